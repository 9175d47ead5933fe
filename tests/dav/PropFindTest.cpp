// PROPFIND: the multistatus documents byte for byte, the listing cache, and the
// href escaping.

#include "dav/DavTestSupport.h"
#include "datasource/UnixTmpDirDataSource.h"
#include "support/TestSupport.h"

#include <algorithm>
#include <fcntl.h>
#include <sys/stat.h>

using namespace davtest;
using testsupport::TempDir;

namespace {

const std::string kXMLHead = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<D:multistatus xmlns:D=\"DAV:\">";
const std::string kXMLTail = "</D:multistatus>\n\n";
const std::string kAllFive = "<?xml version=\"1.0\" encoding=\"utf-8\"?><D:propfind xmlns:D=\"DAV:\"><D:prop>"
                             "<D:resourcetype/><D:getlastmodified/><D:getcontentlength/>"
                             "<D:quota/><D:quotaused/></D:prop></D:propfind>";
const std::string kDec2014 = "Mon, 01 Dec 2014 00:00:00 GMT";

std::string Propfind(const std::string& uri, const std::optional<std::string>& depth, const std::string& body)
{
    std::string raw = "PROPFIND " + uri + " HTTP/1.1\r\nHost: localhost\r\n";
    if (depth)
        raw += "Depth:" + *depth + "\r\n";
    if (!body.empty())
        raw += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    return raw + "\r\n" + body;
}

std::string Found(const std::vector<std::pair<std::string, std::string>>& props)
{
    std::string text = "\t<D:propstat>\n";
    for (const auto& [name, value] : props)
        text += "\t\t<D:prop>\n\t\t\t<ns0:" + name + ">" + value + "</ns0:" + name + ">\n\t\t</D:prop>\n";
    return text + "\t\t<D:status>HTTP/1.1 200 OK</D:status>\n\t</D:propstat>\n";
}

std::string Missing(const std::vector<std::string>& names)
{
    std::string text = "\t<D:propstat>\n";
    for (const auto& name : names)
        text += "\t\t<D:prop>\n\t\t\t<ns0:" + name + "/>\n\t\t</D:prop>\n";
    return text + "\t\t<D:status>HTTP/1.1 404 Not Found</D:status>\n\t</D:propstat>\n";
}

std::string Response(const std::string& href, const std::string& propstats = "")
{
    return "<D:response xmlns:ns0='DAV:'>\n\t<D:href>" + href + "</D:href>\n" + propstats + "</D:response>\n";
}

void SetTime(const std::string& path, time_t seconds)
{
    timespec times[2] = {{seconds, 0}, {seconds, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
}

// A local directory store in a fresh folder, served in-process.
struct PropFindLocal : ::testing::Test {
    TempDir root;
    std::shared_ptr<UnixTmpDirDataSource> store = std::make_shared<UnixTmpDirDataSource>(root.path());
    InProcessServer server{store};
    void SetUp() override { gCachedChildren.reset(); }
};

// A scripted store, served in-process.
struct PropFindScripted : ::testing::Test {
    std::shared_ptr<ScriptedStore> store = std::make_shared<ScriptedStore>();
    InProcessServer server{store};
    void SetUp() override { gCachedChildren.reset(); }
    std::string body(const std::string& uri, const std::optional<std::string>& depth, const std::string& request)
    {
        return XMLBody(server.request(Propfind(uri, depth, request)), "207 Multi-Status");
    }
};

} // namespace

TEST_F(PropFindLocal, DepthDecidesBetweenAnEmptyListingAndAnswers)
{
    testsupport::WriteFile(root / "a.txt", "hello");
    SetTime(root / "a.txt", 1417392000);
    const std::string fileAnswer = kXMLHead +
                                   Response("/vol/a.txt", Found({{"resourcetype", ""},
                                                                 {"getlastmodified", kDec2014},
                                                                 {"getcontentlength", "5"}}) +
                                                              Missing({"quota", "quotaused"})) +
                                   kXMLTail;
    const std::string empty = kXMLHead + kXMLTail;
    const std::vector<std::pair<std::optional<std::string>, std::string>> cases{
        {std::nullopt, empty},   {" infinity", empty}, {" 0", fileAnswer}, {"0", fileAnswer},
        {"     0", fileAnswer},  {" 0 ", empty},       {"\t0", empty},     {" 2", empty},
    };
    for (const auto& [depth, expected] : cases) {
        SCOPED_TRACE(depth.value_or("(no header)"));
        EXPECT_EQ(XMLBody(server.request(Propfind("/vol/a.txt", depth, kAllFive)), "207 Multi-Status"), expected);
    }
}

TEST_F(PropFindLocal, BodyIsSearchedAsTextForTheFiveNames)
{
    testsupport::MakeDirs(root / "d");
    const std::vector<std::pair<std::string, std::string>> cases{
        // No known name (empty, allprop, propname): the href alone, store not asked.
        {"", Response("/vol/d")},
        {"<D:propfind xmlns:D=\"DAV:\"><D:allprop/></D:propfind>", Response("/vol/d")},
        {"<D:propfind xmlns:D=\"DAV:\"><D:propname/></D:propfind>", Response("/vol/d")},
        // Case matters; "quotaused" names "quota" too; order is the fixed one.
        {"<ResourceType/>", Response("/vol/d")},
        {"quotaused resourcetype", Response("/vol/d", Found({{"resourcetype", "<D:collection/>"}}) +
                                                          Missing({"quota", "quotaused"}))},
        {"getcontenttype creationdate", Response("/vol/d")},
    };
    for (const auto& [request, response] : cases) {
        SCOPED_TRACE(request);
        EXPECT_EQ(XMLBody(server.request(Propfind("/vol/d", " 0", request)), "207 Multi-Status"),
                  kXMLHead + response + kXMLTail);
    }
}

TEST_F(PropFindLocal, MissingTargetIsAPageOnlyWhenAPropertyIsAsked)
{
    std::string raw = server.request(Propfind("/vol/nothing?q", " 0", "<D:resourcetype/>"));
    EXPECT_EQ(AfterHead(raw, "404 Not found"), NotFoundPage("/vol/nothing"));
    // Asking for nothing asks the store nothing: a document with the href alone.
    EXPECT_EQ(XMLBody(server.request(Propfind("/vol/nothing", " 0", "")), "207 Multi-Status"),
              kXMLHead + Response("/vol/nothing") + kXMLTail);
}

TEST_F(PropFindLocal, DepthOneListsMembersAfterTheTarget)
{
    testsupport::MakeDirs(root / "dir/sub");
    testsupport::WriteFile(root / "dir/empty", "");
    SetTime(root / "dir", 1417392000);
    SetTime(root / "dir/sub", 1417392000 + 86400);
    SetTime(root / "dir/empty", 1417392000 + 2 * 86400);
    auto size = [&](const std::string& path) {
        struct stat st {};
        EXPECT_EQ(::lstat(path.c_str(), &st), 0);
        return std::to_string(st.st_size);
    };
    std::string doc = XMLBody(server.request(Propfind("/vol/dir", "   1", kAllFive)), "207 Multi-Status");

    const std::string target = Response("/vol/dir", Found({{"resourcetype", "<D:collection/>"},
                                                           {"getlastmodified", kDec2014},
                                                           {"getcontentlength", size(root / "dir")}}) +
                                                        Missing({"quota", "quotaused"}));
    // The empty file's record has no size, so that one is asked of the store.
    const std::string empty = Response("/vol/dir/empty", Found({{"resourcetype", ""},
                                                                {"getlastmodified", "Wed, 03 Dec 2014 00:00:00 GMT"},
                                                                {"getcontentlength", "0"}}) +
                                                             Missing({"quota", "quotaused"}));
    const std::string sub = Response("/vol/dir/sub", Found({{"resourcetype", "<D:collection/>"},
                                                            {"getlastmodified", "Tue, 02 Dec 2014 00:00:00 GMT"},
                                                            {"getcontentlength", size(root / "dir/sub")}}) +
                                                         Missing({"quota", "quotaused"}));
    // Members come in the order the directory lists them.
    EXPECT_TRUE(doc == kXMLHead + target + empty + sub + kXMLTail || doc == kXMLHead + target + sub + empty + kXMLTail)
        << doc;
    ASSERT_TRUE(gCachedChildren);
    EXPECT_EQ(gCachedChildren->size(), 2u);
}

TEST_F(PropFindLocal, HrefsOfNonASCIINamesAreEscapedByteWise)
{
    testsupport::MakeDirs(root / "acc");
    testsupport::WriteFile(root / "acc/caf\xc3\xa9 menu", "x");
    testsupport::MakeDirs(root / "sp");
    testsupport::WriteFile(root / "sp/a b", "x");
    EXPECT_EQ(XMLBody(server.request(Propfind("/vol/acc", " 1", "")), "207 Multi-Status"),
              kXMLHead + Response("/vol/acc") + Response("/vol/acc/caf%C3%A9%20menu") + kXMLTail);
    EXPECT_EQ(XMLBody(server.request(Propfind("/vol/sp", " 1", "")), "207 Multi-Status"),
              kXMLHead + Response("/vol/sp") + Response("/vol/sp/a b") + kXMLTail);
}

TEST(PropFindHref, EscapingByteRule)
{
    const std::vector<std::pair<std::string, std::string>> cases{
        {"/vol/plain name", "/vol/plain name"},
        {"/vol/a\\b%20<&>", "/vol/a\\b%20<&>"}, // ASCII: unchanged, backslash kept
        {"/vol/\xc3\xa9", "/vol/%C3%A9"},
        {"/vol/\xc3\xa9\\x", "/vol/%C3%A9/x"},
        {"/vol/\xc3\xa9\t\x01 ", "/vol/%C3%A9%9%1%20"},
        {"\xc3\xa9\"#%&:;<=>?@[\\]^`{|}~\x7f", "%C3%A9%22%23%25%26%3A%3B%3C%3D%3E%3F%40%5B/%5D%5E%60%7B%7C%7D%7E%7F"},
        {"\xc3\xa9!$'()*+,-./09AZ_az", "%C3%A9!$'()*+,-./09AZ_az"},
        {"\xff\xfe", "%FF%FE"},
    };
    for (const auto& [uri, href] : cases)
        EXPECT_EQ(PropFind::encodeURI(uri), href) << uri;
}

TEST_F(PropFindScripted, DepthOneDocumentAndWhatItAsksTheStore)
{
    store->properties["/vol/dir/"] = {{"resourcetype", "<D:collection/>"}, {"quota", "9"}};
    store->properties["/vol/dir/a"] = {{"quota", "100"}};
    store->listings["/vol/dir/"] = {
        {{"name", "/vol/dir/b"}, {"resourcetype", ""}, {"getlastmodified", kDec2014}, {"getcontentlength", "7"},
         {"attributes", "420"}},
        {{"name", "/vol/dir/a"}, {"resourcetype", "<D:collection/>"}, {"getlastmodified", kDec2014}},
    };
    EXPECT_EQ(body("/vol/dir/", " 1", kAllFive),
              kXMLHead +
                  Response("/vol/dir/", Found({{"resourcetype", "<D:collection/>"}, {"quota", "9"}}) +
                                            Missing({"getlastmodified", "getcontentlength", "quotaused"})) +
                  Response("/vol/dir/b", Found({{"resourcetype", ""},
                                                {"getlastmodified", kDec2014},
                                                {"getcontentlength", "7"}}) +
                                             Missing({"quota", "quotaused"})) +
                  Response("/vol/dir/a",
                           Found({{"resourcetype", "<D:collection/>"}, {"getlastmodified", kDec2014}, {"quota", "100"}}) +
                               Missing({"getcontentlength", "quotaused"})) +
                  kXMLTail);
    EXPECT_EQ(store->takeCalls(),
              (std::vector<std::string>{"resourcetype /vol/dir/", "getlastmodified /vol/dir/",
                                        "getcontentlength /vol/dir/", "quota /vol/dir/", "quotaused /vol/dir/",
                                        "getChildren /vol/dir/", "quota /vol/dir/b", "quotaused /vol/dir/b",
                                        "getcontentlength /vol/dir/a", "quota /vol/dir/a", "quotaused /vol/dir/a"}));
    ASSERT_TRUE(gCachedChildren);
    EXPECT_EQ(*gCachedChildren, store->listings["/vol/dir/"]);
}

TEST_F(PropFindScripted, ListedMemberIsAnsweredFromTheListingUntilAChange)
{
    store->listings["/vol/dir"] = {
        {{"name", "/vol/dir/a"}, {"resourcetype", ""}, {"getlastmodified", kDec2014}},
        {{"name", "/vol/dir/c"}, {"getcontentlength", "3"}},
    };
    body("/vol/dir", " 1", "");
    EXPECT_EQ(store->takeCalls(), std::vector<std::string>{"getChildren /vol/dir"});

    // Depth 0 on a listed member: the record's keys are not asked again, and the
    // cache outlives the request.
    for (int round = 0; round < 2; ++round) {
        EXPECT_EQ(body("/vol/dir/a?x=1", "0", kAllFive),
                  kXMLHead +
                      Response("/vol/dir/a", Found({{"resourcetype", ""}, {"getlastmodified", kDec2014}}) +
                                                 Missing({"getcontentlength", "quota", "quotaused"})) +
                      kXMLTail);
        EXPECT_EQ(store->takeCalls(),
                  (std::vector<std::string>{"getcontentlength /vol/dir/a", "quota /vol/dir/a", "quotaused /vol/dir/a"}));
    }
    // Only an exact name matches a record.
    body("/vol/dir/a/", "0", "resourcetype");
    EXPECT_EQ(store->takeCalls(), std::vector<std::string>{"resourcetype /vol/dir/a/"});

    // Every change empties the cache, whatever its outcome; other methods keep it.
    struct Step {
        std::string request;
        bool keepsCache;
    };
    const std::vector<Step> steps{
        {"OPTIONS /vol/dir/a HTTP/1.1\r\n\r\n", true},
        {"GET /vol/dir/a HTTP/1.1\r\n\r\n", true},
        {"LOCK /vol/dir/a HTTP/1.1\r\n\r\n", true},
        {"UNLOCK /vol/dir/a HTTP/1.1\r\n\r\n", true},
        {"PUT /vol/other HTTP/1.1\r\nContent-Length: 2\r\n\r\nhi", false},
        {"DELETE /vol/other HTTP/1.1\r\n\r\n", false},
        {"MKCOL /vol/other HTTP/1.1\r\n\r\n", false},
        {"MOVE /vol/other HTTP/1.1\r\nDestination: http://h/vol/x\r\n\r\n", false},
    };
    for (int status : {204, 403}) {
        store->changeStatus = status;
        store->putResult = status == 204;
        for (const auto& step : steps) {
            SCOPED_TRACE(step.request + " with status " + std::to_string(status));
            body("/vol/dir", "1", "");
            server.request(step.request);
            store->takeCalls();
            body("/vol/dir/c", "0", "getcontentlength");
            auto calls = store->takeCalls();
            EXPECT_EQ(calls.empty(), step.keepsCache) << (calls.empty() ? "" : calls[0]);
        }
    }
}

TEST_F(PropFindScripted, AnyFailureWhileBuildingGivesTheNotFoundPage)
{
    store->properties["/vol/d"] = {{"quota", "1"}};
    store->properties["/vol/d/bad"] = {{"quota", "!missing"}};
    store->listings["/vol/d"] = {{{"name", "/vol/d/bad"}}};
    store->properties["/vol/crash"] = {{"resourcetype", "!crash"}};
    const std::vector<std::pair<std::string, std::string>> cases{
        {Propfind("/vol/gone", "1", ""), "/vol/gone"},          // the listing raises
        {Propfind("/vol/d", "1", "quota"), "/vol/d"},           // a member's property raises
        {Propfind("/vol/crash?q", "0", "resourcetype"), "/vol/crash"}, // an unnamed exception
    };
    for (const auto& [request, uri] : cases) {
        SCOPED_TRACE(request);
        EXPECT_EQ(AfterHead(server.request(request), "404 Not found"), NotFoundPage(uri));
    }
}

TEST_F(PropFindScripted, CharactersASCIILacksAreReplacedInTheDocument)
{
    store->properties["/vol/\xc3\xa9"] = {{"quota", "caf\xc3\xa9 \xf0\x9f\x98\x80 \xff!"}};
    EXPECT_EQ(body("/vol/\xc3\xa9", "0", "quota"),
              kXMLHead + Response("/vol/%C3%A9", Found({{"quota", "caf? ? ?!"}})) + kXMLTail);
}
