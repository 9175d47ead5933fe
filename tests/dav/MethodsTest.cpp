// The method handlers other than PROPFIND, in-process over a local directory store.

#include "dav/DavTestSupport.h"

using namespace davtest;

TEST_F(LocalStore, EachMethodAnswersWithItsStatus)
{
    WriteFile(root / "a.txt", "hello\r\nworld");
    SetTime(root / "a.txt", 1417392000);
    WriteFile(root / "g", "y");
    MakeDirs(root / "full/inner");
    // Request line, header, status, and what follows the fixed head.
    std::vector<std::tuple<std::string, std::string, std::string, std::string>> cases{
        {"GET /vol/a.txt?version=2", "", "200 OK",
         "Last-Modified: Mon, 01 Dec 2014 00:00:00 GMT\r\nContent-type: text/html\r\nContent-length: 12\r\n\r\n"
         "hello\r\nworld"},
        {"GET /vol/full", "", "404 Not found", NotFoundPage("/vol/full")},
        {"UNLOCK /vol/a.txt", "", "200 OK", "\r\n"}, {"DELETE /vol/full", "", "204 No Content", "\r\n"},
        {"PUT /vol/p", "Content-Length: 0\r\n", "424 unknown", "\r\n"}, // this store takes no stream
        {"MKCOL /vol/d", "", "201 Created", "\r\n"}, {"MKCOL /vol/d", "", "405 unknown", "\r\n"},
        {"MOVE /vol/g", "Destination: http://localhost:8080/vol/d/moved?x=1\r\n", "201 Created", "\r\n"},
        {"MOVE /vol/g", "Destination: http://localhost/vol/d/again\r\n", "412 unknown", "\r\n"},
    };
    // No handler: a method without one, a name not spelt as a handler's, or one a
    // byte too long for a handler's name; its body is never read.
    for (const std::string& line : std::vector<std::string>{"COPY /vol/a.txt", "HEAD /", "POST /", "PROPPATCH /a",
             "get /", "", "   ", "\tGET /", std::string(60, 'G') + " /", std::string(1500, 'P') + " /"})
        cases.push_back({line, "Content-Length: 4\r\n\r\nbody", "501 Unsupported method", "\r\n"});
    for (const auto& [line, header, status, rest] : cases)
        EXPECT_EQ(AfterHead(request(line + " HTTP/1.1\r\n" + header + "\r\n"), status), rest) << line;
    EXPECT_FALSE(PathExists(root / "full"));
    EXPECT_EQ(ReadFile(root / "d/moved"), "y");
}

TEST_F(LocalStore, LockHandsOutOneTokenAndEchoesTheDepth)
{
    const std::string info = "<?xml version=\"1.0\"?><D:lockinfo xmlns:D=\"DAV:\"><D:lockscope><D:shared/>"
                             "</D:lockscope></D:lockinfo>";
    const std::vector<std::pair<std::string, std::string>> cases{
        {"LOCK /vol/a HTTP/1.1\r\nContent-Length: " + std::to_string(info.size()) + "\r\n\r\n" + info, "infinity"},
        {"LOCK /vol/b HTTP/1.1\r\nDepth: 0\r\n\r\n", " 0"},
        {"LOCK /vol/b HTTP/1.1\r\nDepth:Infinity\r\n\r\n", "Infinity"},
        // Only ASCII goes out: each character it lacks becomes "?".
        {"LOCK /vol/c HTTP/1.1\r\nDepth: caf\xc3\xa9\xff\r\n\r\n", " caf??"},
    };
    for (const auto& [raw, depth] : cases)
        EXPECT_EQ(XMLBody(request(raw), "200 OK"),
                  "<D:response xmlns:ns0='DAV:'>\n<D:lockdiscovery>\n\t<D:activelock>\n"
                  "\t\t<D:locktype><D:write/></D:locktype>\n\t\t<D:lockscope><D:exclusive/></D:lockscope>\n"
                  "\t\t<D:depth>" + depth + "</D:depth>\n"
                  "\t\t<D:locktoken><href>opaquelocktoken:3f8a61c2-9b0e-47d5-b2c9-6e14a07d85fb</href></D:locktoken>\n"
                  "\t</D:activelock>\n</D:lockdiscovery>\n</D:response>\n\n")
            << raw;
    EXPECT_EQ(store->asked, 0); // locks never reach the store
}

namespace {

const std::string kExclusive = "<?xml version=\"1.0\"?><D:lockinfo xmlns:D=\"DAV:\"><D:lockscope><D:exclusive/>"
                               "</D:lockscope><D:locktype><D:write/></D:locktype><D:owner>me</D:owner></D:lockinfo>";
const std::string kShared = "<?xml version=\"1.0\"?><D:lockinfo xmlns:D=\"DAV:\"><D:lockscope><D:shared/>"
                            "</D:lockscope><D:locktype><D:write/></D:locktype></D:lockinfo>";

std::string Lock(const std::string& uri, const std::string& info, const std::string& extra = "")
{
    return "LOCK " + uri + " HTTP/1.1\r\n" + extra + "Content-Length: " + std::to_string(info.size()) + "\r\n\r\n" +
           info;
}

// The token of a lock answer's Lock-Token header; empty without one.
std::string TokenOf(const std::string& raw)
{
    size_t at = raw.find("\r\nLock-Token: <");
    if (at == std::string::npos)
        return "";
    at += 15;
    return raw.substr(at, raw.find('>', at) - at);
}

std::string StatusOf(const std::string& raw) { return raw.substr(9, 3); }

} // namespace

// Locks that lock: a change of a locked resource needs the lock's token in If, a
// malformed If is refused, UNLOCK needs the right token. (A change or a lock
// without the token, a wrong token, an entity-tag condition and a refresh are
// litmus's locks suite.)
TEST_F(LocalStore, StandardLocksHoldUntilTheirTokenIsShown)
{
    StandardAnswers standard(*store);
    WriteFile(root / "a.txt", "hello");
    std::string answer = request(Lock("/vol/a.txt", kExclusive, "Depth: 0\r\nTimeout: Second-100\r\n"));
    ASSERT_EQ(StatusOf(answer), "200") << answer;
    std::string token = TokenOf(answer);
    ASSERT_EQ(token.rfind("opaquelocktoken:", 0), 0u) << answer;
    for (const char* part : {"<D:exclusive/>", "<D:depth>0</D:depth>", "<D:owner>me</D:owner>",
                             "<D:timeout>Second-100</D:timeout>", "<D:lockroot><D:href>/vol/a.txt</D:href>"})
        EXPECT_NE(answer.find(part), std::string::npos) << part << " in " << answer;

    const std::string del = "DELETE /vol/a.txt HTTP/1.1\r\n";
    const std::vector<std::pair<std::string, std::string>> refused{
        // A condition that fails stops the request first.
        {del + "If: (Not <" + token + ">)\r\n\r\n", "412"},
        {del + "If: (<" + token + ">\r\n\r\n", "400"},
        {Lock("/vol/a.txt", kShared), "423"},
        {"UNLOCK /vol/a.txt HTTP/1.1\r\nLock-Token: <opaquelocktoken:not-the-one>\r\n\r\n", "409"},
        {Lock("/vol/a.txt", "<D:lockinfo xmlns:D=\"DAV:\"><D:lockscope>"), "400"},
        {Lock("/vol/a.txt", "", "If: (<opaquelocktoken:not-the-one>)\r\n"), "412"},
    };
    for (const auto& [raw, status] : refused) {
        EXPECT_EQ(StatusOf(request(raw)), status) << raw;
        EXPECT_EQ(ReadFile(root / "a.txt"), "hello") << raw;
    }
    EXPECT_EQ(StatusOf(request(del + "If: (<" + token + ">)\r\n\r\n")), "204");
    EXPECT_FALSE(PathExists(root / "a.txt"));
    // The lock went with its resource.
    EXPECT_EQ(StatusOf(request("UNLOCK /vol/a.txt HTTP/1.1\r\nLock-Token: <" + token + ">\r\n\r\n")), "409");
}

// A deep lock on a folder holds what is in it; shared locks share; UNLOCK frees.
// (Changes and locks of a locked folder's members, an unmapped name's lock and
// shared locks beside each other are litmus's locks suite.)
TEST_F(LocalStore, StandardDeepAndSharedLocks)
{
    StandardAnswers standard(*store);
    MakeDirs(root / "d/e");
    WriteFile(root / "d/e/f.txt", "x");
    std::string deep = request(Lock("/vol/d/", kExclusive));
    ASSERT_EQ(StatusOf(deep), "200") << deep;
    std::string token = TokenOf(deep);
    EXPECT_EQ(StatusOf(request("MKCOL /vol/d/new HTTP/1.1\r\n\r\n")), "423");
    // A lock refused on an unmapped name makes no file there.
    EXPECT_EQ(StatusOf(request(Lock("/vol/d/unmapped.txt", kExclusive))), "423");
    EXPECT_FALSE(PathExists(root / "d/unmapped.txt"));
    EXPECT_EQ(StatusOf(request("MKCOL /vol/d/new HTTP/1.1\r\nIf: (<" + token + ">)\r\n\r\n")), "201");
    EXPECT_EQ(StatusOf(request("UNLOCK /vol/d HTTP/1.1\r\nLock-Token: <" + token + ">\r\n\r\n")), "204");

    // An unmapped name in a missing folder gets nothing.
    EXPECT_EQ(StatusOf(request(Lock("/vol/none/x.txt", kExclusive))), "409");
    EXPECT_EQ(StatusOf(request(Lock("/vol/none/x.txt", kExclusive))), "409"); // no lock was left behind
    std::string first = TokenOf(request(Lock("/vol/d/e/f.txt", kShared)));
    std::string second = TokenOf(request(Lock("/vol/d/e/f.txt", kShared)));
    EXPECT_NE(first, second);
    // The folder above cannot be removed while something in it is locked.
    EXPECT_EQ(StatusOf(request("DELETE /vol/d HTTP/1.1\r\n\r\n")), "423");
    EXPECT_TRUE(PathExists(root / "d/e/f.txt"));
    // The token names a lock of the member, not of the folder: a list tagged with it.
    EXPECT_EQ(StatusOf(request("DELETE /vol/d HTTP/1.1\r\nIf: (<" + second + ">)\r\n\r\n")), "412");
    EXPECT_EQ(StatusOf(request("DELETE /vol/d HTTP/1.1\r\nIf: <http://h/vol/d/e/f.txt> (<" + second + ">)\r\n\r\n")),
              "204");
    EXPECT_FALSE(PathExists(root / "d"));
}

// A read the store reports missing or busy is answered as such; a failure that
// is no report of the store is the daemon's own (500), never a silent 404.
TEST(StoreReads, OnlyTheStoresReportsReadAsMissingOrBusy)
{
    struct FailingStore : DataSource {
        std::function<void()> fail;
        DataFilePtr getDataFile(const std::string&) override
        {
            fail();
            return nullptr;
        }
        StoreStatus stat(const std::string&, ChildRecord&) override
        {
            fail();
            return StoreStatus::Done;
        }
        uint8_t answeredProperties() const override { return kAnswersResourceType; }
    };
    const std::string body = "<D:propfind xmlns:D=\"DAV:\"><D:prop><D:resourcetype/></D:prop></D:propfind>";
    const std::string propfind = "PROPFIND /vol/a HTTP/1.1\r\nDepth: 0\r\nContent-Length: " +
                                 std::to_string(body.size()) + "\r\n\r\n" + body;
    const std::function<void()> missing = [] { RaiseDAVNotFound(); }, busy = [] { RaiseDAVBusy(); },
                                fault = [] { throw std::runtime_error("store fault"); };
    const std::vector<std::tuple<std::function<void()>, std::string, std::string>> cases{
        {missing, "GET /vol/a HTTP/1.1\r\n\r\n", "404"}, {busy, "GET /vol/a HTTP/1.1\r\n\r\n", "403"},
        {fault, "GET /vol/a HTTP/1.1\r\n\r\n", "500"},   {missing, propfind, "404"},
        {fault, propfind, "500"},
    };
    for (bool standard : {false, true})
        for (const auto& [fail, raw, status] : cases) {
            FailingStore store;
            store.fail = fail;
            store.setStandardAnswers(standard);
            std::string answer = ServeOne(raw, [&](Request& request, ResponseWriter& response) {
                dav::Dispatch(request, response, store);
            });
            EXPECT_EQ(answer.substr(0, 12), "HTTP/1.1 " + status) << raw << answer;
        }
}
