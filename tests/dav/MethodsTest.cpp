// The method handlers in-process over a local directory store: each method's answer,
// standard locks, reads the store fails, and PROPFIND (the multistatus documents
// byte for byte, the href escaping, and the listing cache).

#include "datasource/HrefEscaping.h"
#include "datasource/StoreTestHelpers.h"
#include "datasource/UnixTmpDirDataSource.h"
#include "dav/DavMode.h"
#include "dav/Methods.h"
#include "dav/PropFind.h"
#include "http/ServeOne.h"

#include <algorithm>
#include <cstdlib>
#include <sys/stat.h>

using namespace httptest;
using namespace testsupport;
using storetest::SetTime;

namespace {

// Counts the property values it works out, so that a value taken from a
// listing's record is told apart from one asked of the store.
class CountingStore : public UnixTmpDirDataSource {
public:
    using UnixTmpDirDataSource::UnixTmpDirDataSource;
    StoreStatus stat(const std::string& uri, ChildRecord& record) override
    {
        ++asked;
        return UnixTmpDirDataSource::stat(uri, record);
    }
    std::optional<Date> getLastModified(const std::string& uri) override
    {
        ++asked;
        return UnixTmpDirDataSource::getLastModified(uri);
    }
    int asked = 0;
};

struct LocalStore : ::testing::Test {
    TempDir root;
    std::shared_ptr<CountingStore> store = std::make_shared<CountingStore>(root.path());
    std::string request(const std::string& raw)
    {
        return ServeOne(raw, [&](Request& request, ResponseWriter& response) {
            if (!response.answeredStatus())
                dav::Dispatch(request, response, *store);
        });
    }
};

// The head of a document answer (PROPFIND, LOCK), and the document itself.
inline std::string XMLBody(const std::string& raw, const std::string& status)
{
    std::string rest = AfterHead(raw, status);
    size_t end = std::min(rest.find("\r\n\r\n") + 4, rest.size());
    EXPECT_EQ(rest.substr(0, end), "Content-type: text/xml; encoding=\"utf-8\"\r\nContent-length: " +
                                       std::to_string(rest.size() - end) + "\r\n\r\n");
    return rest.substr(end);
}

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
    std::string header = ParseResponse(raw).header("Lock-Token").value_or("<>");
    return header.substr(1, header.size() - 2);
}

std::string StatusOf(const std::string& raw) { return raw.substr(9, 3); }

const std::string kHead = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<D:multistatus xmlns:D=\"DAV:\">";
const std::string kTail = "</D:multistatus>\n\n";
const std::string kAllFive = "<D:propfind xmlns:D=\"DAV:\"><D:prop><D:resourcetype/><D:getlastmodified/>"
                             "<D:getcontentlength/><D:quota/><D:quotaused/></D:prop></D:propfind>";
const std::string kDec2014 = "Mon, 01 Dec 2014 00:00:00 GMT";
const std::vector<std::string> kNoQuota{"quota", "quotaused"};

std::string Propfind(const std::string& uri, const std::optional<std::string>& depth, const std::string& body)
{
    return "PROPFIND " + uri + " HTTP/1.1\r\n" + (depth ? "Depth:" + *depth + "\r\n" : "") +
           "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

using Props = std::vector<std::pair<std::string, std::string>>;
const Props kThree{{"resourcetype", ""}, {"getlastmodified", kDec2014}, {"getcontentlength", "5"}};

// One response element: the href, the properties found, the ones missing; each
// property in a prop element of its own, or all of a propstat in one (`grouped`).
std::string Element(const std::string& href, const Props& found = {}, const std::vector<std::string>& missing = {},
                    bool grouped = false)
{
    auto propstat = [&](const std::vector<std::string>& props, const std::string& status) {
        std::string inner;
        for (const auto& prop : props)
            inner += grouped ? prop : "\t\t<D:prop>\n" + prop + "\t\t</D:prop>\n";
        if (grouped)
            inner = "\t\t<D:prop>\n" + inner + "\t\t</D:prop>\n";
        if (props.empty())
            return std::string();
        return "\t<D:propstat>\n" + inner + "\t\t<D:status>HTTP/1.1 " + status + "</D:status>\n\t</D:propstat>\n";
    };
    std::vector<std::string> good, bad;
    for (const auto& [name, value] : found)
        good.push_back("\t\t\t<ns0:" + name + ">" + value + "</ns0:" + name + ">\n");
    for (const auto& name : missing)
        bad.push_back("\t\t\t<ns0:" + name + "/>\n");
    return "<D:response xmlns:ns0='DAV:'>\n\t<D:href>" + href + "</D:href>\n" + propstat(good, "200 OK") +
           propstat(bad, "404 Not Found") + "</D:response>\n";
}

// Whether `doc` holds the target's element and then the members' in some order:
// members come in the order the directory lists them.
bool IsListing(const std::string& doc, const std::string& target, std::vector<std::string> members)
{
    std::sort(members.begin(), members.end());
    do {
        std::string expected = kHead + target;
        for (const auto& m : members)
            expected += m;
        if (doc == expected + kTail)
            return true;
    } while (std::next_permutation(members.begin(), members.end()));
    return false;
}

} // namespace

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

// Locks that lock: a change of a locked resource needs the lock's token in If, a
// malformed If is refused, UNLOCK needs the right token. (A change or a lock
// without the token, a wrong token, an entity-tag condition and a refresh are
// litmus's locks suite.)
TEST_F(LocalStore, StandardLocksHoldUntilTheirTokenIsShown)
{
    store->setStandardAnswers(true); // the daemon sets them from its options
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
    store->setStandardAnswers(true);
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

// The standard answers: one prop element per propstat, the live properties for
// an empty or allprop body, names alone for propname; only "1" switches them on.
TEST_F(LocalStore, StandardAnswersGroupPropertiesAndAnswerEveryForm)
{
    WriteFile(root / "a.txt", "hello");
    SetTime(root / "a.txt", 1417392000);
    const std::string all = Element("/vol/a.txt", kThree, kNoQuota, true);
    // allprop leaves quota out: only the live properties the store has.
    const std::string live = Element("/vol/a.txt", kThree, {}, true);
    const Props names{{"resourcetype", ""}, {"getlastmodified", ""}, {"getcontentlength", ""}, {"quota", ""},
                      {"quotaused", ""}};
    const std::vector<std::pair<std::string, std::string>> cases{
        {"", live}, {" \r\n", live}, {"<D:propfind xmlns:D=\"DAV:\"><D:allprop/></D:propfind>", live}, {kAllFive, all},
        {"<D:propfind xmlns:D=\"DAV:\"><D:propname/></D:propfind>", Element("/vol/a.txt", names, {}, true)},
        // Names come from the document, in the order asked.
        {"<D:propfind xmlns:D=\"DAV:\"><D:prop><D:quotaused/><D:resourcetype/></D:prop></D:propfind>",
         Element("/vol/a.txt", {{"resourcetype", ""}}, {"quotaused"}, true)},
    };
    store->setStandardAnswers(true);
    for (const auto& [body, element] : cases)
        EXPECT_EQ(XMLBody(request(Propfind("/vol/a.txt", "0", body)), "207 Multi-Status"), kHead + element + kTail)
            << "asking " << body;
    store->setStandardAnswers(false);
    EXPECT_EQ(XMLBody(request(Propfind("/vol/a.txt", "0", "")), "207 Multi-Status"),
              kHead + Element("/vol/a.txt") + kTail);
}

TEST_F(LocalStore, DepthAndBodyDecideTheDocument)
{
    WriteFile(root / "a.txt", "hello");
    SetTime(root / "a.txt", 1417392000);
    const std::string bare = Element("/vol/a.txt");
    const std::vector<std::tuple<std::optional<std::string>, std::string, std::string>> cases{
        {std::nullopt, kAllFive, ""}, // the default depth, infinity: no element at all
        {" 0 ", kAllFive, ""}, {"\t0", kAllFive, ""}, // only leading spaces go: neither "0" nor "1"
        {"     0", kAllFive, Element("/vol/a.txt", kThree, kNoQuota)},
        {" 0", "", bare}, // no name asked: the href alone
        {" 0", "<D:propfind xmlns:D=\"DAV:\"><D:allprop/></D:propfind>", bare}, {" 0", "<ResourceType/>", bare},
        {" 0", "quotaused resourcetype", Element("/vol/a.txt", {{"resourcetype", ""}}, kNoQuota)},
    };
    for (const auto& [depth, body, elements] : cases)
        EXPECT_EQ(XMLBody(request(Propfind("/vol/a.txt", depth, body)), "207 Multi-Status"), kHead + elements + kTail)
            << depth.value_or("(no header)") << " asking " << body;
}

TEST_F(LocalStore, MissingTargetIsAPageOnlyWhenAPropertyIsAsked)
{
    EXPECT_EQ(AfterHead(request(Propfind("/vol/nothing?q", " 0", "<D:resourcetype/>")), "404 Not found"),
              NotFoundPage("/vol/nothing"));
    EXPECT_EQ(XMLBody(request(Propfind("/vol/nothing", " 0", "")), "207 Multi-Status"),
              kHead + Element("/vol/nothing") + kTail);
}

TEST_F(LocalStore, HrefsEscapeNonASCIINamesByteWise)
{
    for (const char* name : {"caf\xc3\xa9 menu", "a b", "\xc3\xa9\\x", "a\\b"})
        WriteFile(root / "h/" + name, "x");
    std::string doc = XMLBody(request(Propfind("/vol/h", " 1", "")), "207 Multi-Status");
    EXPECT_TRUE(IsListing(doc, Element("/vol/h"), {Element("/vol/h/caf%C3%A9%20menu"), Element("/vol/h/a b"),
                                                    Element("/vol/h/%C3%A9/x"), Element("/vol/h/a\\b")}))
        << doc;

    // ASCII alone stays as it is (fuzz_uri_mapping checks that); with other bytes
    // beside it, every byte outside the unreserved set is escaped, always in two
    // digits, so that a low byte never runs into the character after it.
    const std::vector<std::pair<std::string, std::string>> rule{
        {"/vol/\xc3\xa9\t\x01 ", "/vol/%C3%A9%09%01%20"}, {"\xc3\xa9\x05" "c\x01" "a", "%C3%A9%05c%01a"},
        {"\xc3\xa9\"#%&:;<=>?@[\\]^`{|}~\x7f", "%C3%A9%22%23%25%26%3A%3B%3C%3D%3E%3F%40%5B/%5D%5E%60%7B%7C%7D%7E%7F"},
        {"\xc3\xa9!$'()*+,-./09AZ_az\xff", "%C3%A9!$'()*+,-./09AZ_az%FF"},
    };
    for (const auto& [uri, href] : rule)
        EXPECT_EQ(PropFind::encodeURI(uri), href) << uri;

    // A listing appends each href and builds each member's URI in place: the same
    // bytes as the escaping functions give, markup and control bytes included.
    for (const std::string& uri : std::vector<std::string>{"/vol/a&b<c>d", std::string("/vol/\x01tab\there\0", 15), "/vol/\xc3\xa9&<\x02",
                                                           "", "&", "/vol/%5C\\x/y"}) {
        std::string appended = "<";
        PropFind::AppendHrefText(appended, uri);
        EXPECT_EQ(appended, "<" + HrefElementText(PropFind::encodeURI(uri))) << uri;
        std::string escaped = "/d/";
        AppendEscapedHrefBytes(escaped, uri);
        EXPECT_EQ(escaped, "/d/" + BackslashEscapesToSlashes(EscapeHrefBytes(uri))) << uri;
    }
}

TEST_F(LocalStore, ListedMembersAreAnsweredFromTheirRecordsUntilAChange)
{
    MakeDirs(root / "dir/sub");
    WriteFile(root / "dir/empty", "");
    for (const auto& [path, days] : {std::pair<const char*, int>{"dir", 0}, {"dir/sub", 1}, {"dir/empty", 2}})
        SetTime(root / path, 1417392000 + days * 86400);
    auto folder = [&](const std::string& path, const std::string& date) {
        struct stat st {};
        std::string size = std::to_string(::lstat((root / path).c_str(), &st) == 0 ? st.st_size : -1);
        return Element("/vol/" + path, {{"resourcetype", "<D:collection/>"}, {"getlastmodified", date},
                                        {"getcontentlength", size}}, kNoQuota);
    };
    const std::string sub = folder("dir/sub", "Tue, 02 Dec 2014 00:00:00 GMT");
    const std::string empty = Element("/vol/dir/empty", {{"resourcetype", ""},
        {"getlastmodified", "Wed, 03 Dec 2014 00:00:00 GMT"}, {"getcontentlength", "0"}}, kNoQuota);
    std::string doc = XMLBody(request(Propfind("/vol/dir", "   1", kAllFive)), "207 Multi-Status");
    EXPECT_TRUE(IsListing(doc, folder("dir", kDec2014), {sub, empty})) << doc;

    // From the records: a folder's holds all three values, an empty file's no
    // size; only an exact name matches a record.
    for (const auto& [uri, element, asked] : std::vector<std::tuple<std::string, std::string, int>>{
             {"/vol/dir/sub?x", sub, 0}, {"/vol/dir/empty", empty, 1}, {"/vol/dir/sub/", "", 3}}) {
        store->asked = 0;
        std::string answer = XMLBody(request(Propfind(uri, "0", kAllFive)), "207 Multi-Status");
        EXPECT_TRUE(element.empty() || answer == kHead + element + kTail) << answer;
        EXPECT_EQ(store->asked, asked) << uri;
    }

    // A change empties the cache, whatever its outcome; other methods keep it.
    for (const auto& [step, keepsCache] : std::vector<std::pair<std::string, bool>>{
             {"OPTIONS /vol/dir/sub", true}, {"GET /vol/dir/empty", true}, {"LOCK /vol/dir/sub", true},
             {"UNLOCK /vol/dir/sub", true}, {"PUT /vol/other", false}, {"DELETE /vol/other", false},
             {"MKCOL /vol/no/such", false}, {"MOVE /vol/other", false}}) {
        request(Propfind("/vol/dir", "1", ""));
        request(step + " HTTP/1.1\r\nDestination: http://h/vol/x\r\n\r\n");
        store->asked = 0;
        request(Propfind("/vol/dir/sub", "0", "<D:resourcetype/>"));
        EXPECT_EQ(store->asked, keepsCache ? 0 : 1) << step;
    }
}
