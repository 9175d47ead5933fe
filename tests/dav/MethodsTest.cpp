// The method handlers other than PROPFIND, in-process over a local directory
// store and a scripted one.

#include "dav/DavTestSupport.h"
#include "datasource/UnixTmpDirDataSource.h"
#include "support/TestSupport.h"

#include <fcntl.h>
#include <sys/stat.h>

using namespace davtest;
using testsupport::PathExists;
using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WriteFile;

namespace {

const std::string kToken = "opaquelocktoken:3f8a61c2-9b0e-47d5-b2c9-6e14a07d85fb";

struct MethodsLocal : ::testing::Test {
    TempDir root;
    InProcessServer server{std::make_shared<UnixTmpDirDataSource>(root.path())};
};

struct MethodsScripted : ::testing::Test {
    std::shared_ptr<ScriptedStore> store = std::make_shared<ScriptedStore>();
    InProcessServer server{store};
};

std::string LockDocument(const std::string& depth)
{
    return "<D:response xmlns:ns0='DAV:'>\n"
           "<D:lockdiscovery>\n"
           "\t<D:activelock>\n"
           "\t\t<D:locktype><D:write/></D:locktype>\n"
           "\t\t<D:lockscope><D:exclusive/></D:lockscope>\n"
           "\t\t<D:depth>" +
           depth +
           "</D:depth>\n"
           "\t\t<D:locktoken><href>" +
           kToken +
           "</href></D:locktoken>\n"
           "\t</D:activelock>\n"
           "</D:lockdiscovery>\n"
           "</D:response>\n\n";
}

} // namespace

TEST_F(MethodsLocal, GetAnswersFilesAndPagesForEverythingElse)
{
    WriteFile(root / "a.txt", "hello\r\nworld");
    timespec times[2] = {{1417392000, 0}, {1417392000, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, (root / "a.txt").c_str(), times, 0), 0);
    EXPECT_EQ(AfterHead(server.request("GET /vol/a.txt?version=2 HTTP/1.1\r\n\r\n"), "200 OK"),
              "Last-Modified: Mon, 01 Dec 2014 00:00:00 GMT\r\nContent-type: text/html\r\nContent-length: 12\r\n\r\n"
              "hello\r\nworld");

    WriteFile(root / "empty", "");
    std::string empty = AfterHead(server.request("GET /vol/empty HTTP/1.1\r\n\r\n"), "200 OK");
    EXPECT_TRUE(std::regex_match(empty, std::regex("Last-Modified: " + kDate +
                                                   "\r\nContent-type: text/html\r\nContent-length: 0\r\n\r\n")))
        << empty;

    testsupport::MakeDirs(root / "dir");
    for (const std::string uri : {"/vol/dir", "/vol/missing<x>", "/vol"}) {
        SCOPED_TRACE(uri);
        EXPECT_EQ(AfterHead(server.request("GET " + uri + " HTTP/1.1\r\n\r\n"), "404 Not found"), NotFoundPage(uri));
    }
}

TEST_F(MethodsScripted, GetMapsStoreFailuresToPagesAndFallbacks)
{
    store->files = {{"/vol/held", "!busy"}, {"/vol/gone", "!missing"}, {"/vol/odd", "!crash"}, {"/vol/f", "data"}};
    EXPECT_EQ(AfterHead(server.request("GET /vol/held?x HTTP/1.1\r\n\r\n"), "403 Forbidden"), BusyPage("/vol/held"));
    EXPECT_EQ(AfterHead(server.request("GET /vol/gone HTTP/1.1\r\n\r\n"), "404 Not found"), NotFoundPage("/vol/gone"));
    EXPECT_EQ(AfterHead(server.request("GET /vol/odd HTTP/1.1\r\n\r\n"), "404 Not found"), NotFoundPage("/vol/odd"));
    EXPECT_EQ(store->takeCalls(), (std::vector<std::string>{"getData /vol/held", "getData /vol/gone", "getData /vol/odd"}));

    // Header lookups that raise or have no value fall back, each on its own.
    const std::vector<std::pair<std::map<std::string, std::string>, std::string>> cases{
        {{{"getlastmodified", "!missing"}, {"getcontenttype", "text/plain"}},
         "Last-Modified: Sun, 01 Dec 2014 00:00:00 GMT\r\nContent-type: text/plain\r\n"},
        {{{"getlastmodified", "Tue, 02 Dec 2014 00:00:00 GMT"}, {"getcontenttype", "!crash"}},
         "Last-Modified: Tue, 02 Dec 2014 00:00:00 GMT\r\nContent-type: application/octet-stream\r\n"},
        {{}, "Last-Modified: Sun, 01 Dec 2014 00:00:00 GMT\r\nContent-type: application/octet-stream\r\n"},
    };
    for (const auto& [properties, headers] : cases) {
        SCOPED_TRACE(headers);
        store->properties["/vol/f"] = properties;
        EXPECT_EQ(AfterHead(server.request("GET /vol/f HTTP/1.1\r\n\r\n"), "200 OK"),
                  headers + "Content-length: 4\r\n\r\ndata");
        EXPECT_EQ(store->takeCalls(),
                  (std::vector<std::string>{"getData /vol/f", "getlastmodified /vol/f", "getcontenttype /vol/f"}));
    }
}

TEST_F(MethodsScripted, PutHandsTheStreamAndLengthToTheStore)
{
    EXPECT_EQ(AfterHead(server.request("PUT /vol/new.txt?x HTTP/1.1\r\nContent-Length:   11\r\n\r\nhello world"),
                        "201 Created"),
              "\r\n");
    EXPECT_EQ(store->takeCalls(), std::vector<std::string>{"putDataFromFile /vol/new.txt 11"});
    EXPECT_EQ(store->putBody, "hello world");

    store->putResult = false;
    EXPECT_EQ(AfterHead(server.request("PUT /vol/new.txt HTTP/1.1\r\n\r\n"), "424 unknown"), "\r\n");
    EXPECT_EQ(store->takeCalls(), std::vector<std::string>{"putDataFromFile /vol/new.txt 0"});
    EXPECT_EQ(AfterHead(server.request("PUT /vol/n HTTP/1.1\r\nContent-Length: x1\r\n\r\n"), "424 unknown"), "\r\n");
    EXPECT_EQ(store->takeCalls(), std::vector<std::string>{"putDataFromFile /vol/n 0"});
}

TEST_F(MethodsLocal, ChangesAnswerWithTheStoresStatus)
{
    WriteFile(root / "f", "x");
    WriteFile(root / "g", "y");
    testsupport::MakeDirs(root / "full/inner");
    struct Case {
        std::string request;
        std::string status;
    };
    const std::vector<Case> cases{
        {"DELETE /vol/f HTTP/1.1\r\n\r\n", "204 No Content"},
        {"DELETE /vol/f HTTP/1.1\r\n\r\n", "204 No Content"}, // already gone
        {"DELETE /vol/full HTTP/1.1\r\n\r\n", "204 No Content"},
        {"MKCOL /vol/d HTTP/1.1\r\n\r\n", "201 Created"},
        {"MKCOL /vol/d HTTP/1.1\r\n\r\n", "405 unknown"},
        {"MKCOL /vol/no/such HTTP/1.1\r\n\r\n", "403 Forbidden"},
        {"MOVE /vol/g HTTP/1.1\r\nDestination: http://localhost:8080/vol/d/moved?x=1\r\n\r\n", "201 Created"},
        {"MOVE /vol/d/moved HTTP/1.1\r\nDestination: http://localhost/vol/no/such\r\n\r\n", "412 unknown"},
        {"PUT /vol/p HTTP/1.1\r\nContent-Length: 2\r\n\r\nhi", "424 unknown"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.request);
        EXPECT_EQ(AfterHead(server.request(c.request), c.status), "\r\n");
    }
    EXPECT_FALSE(PathExists(root / "f"));
    EXPECT_FALSE(PathExists(root / "full"));
    EXPECT_FALSE(PathExists(root / "g"));
    EXPECT_EQ(ReadFile(root / "d/moved"), "y");
    EXPECT_FALSE(PathExists(root / "p"));
}

TEST_F(MethodsScripted, MoveDestinationIsThePathFromTheThirdSlash)
{
    const std::vector<std::pair<std::optional<std::string>, std::optional<std::string>>> cases{
        {"http://localhost:8080/vol/dir/new.txt?x=1", "/vol/dir/new.txt"},
        {"https://user@host/vol/a%20b", "/vol/a%20b"},
        {"webdav:///vol/x", "/vol/x"},
        {"http://host/", "/"},
        {"  x//y/z/w", "/z/w"},
        {"http://host", std::nullopt},
        {"/vol/relative", std::nullopt},
        {"", std::nullopt},
        {std::nullopt, std::nullopt},
    };
    store->changeStatus = 201;
    for (const auto& [destination, to] : cases) {
        SCOPED_TRACE(destination.value_or("(no header)"));
        std::string request = "MOVE /vol/src?q HTTP/1.1\r\n";
        if (destination)
            request += "Destination: " + *destination + "\r\n";
        EXPECT_EQ(AfterHead(server.request(request + "\r\n"), "201 Created"), "\r\n");
        EXPECT_EQ(store->moveDestination, to);
        EXPECT_EQ(store->takeCalls(), std::vector<std::string>{"move /vol/src"});
    }
}

TEST_F(MethodsScripted, StoreThatThrowsFromAChangeIsAnInternalError)
{
    store->changeStatus = -1; // the store throws
    EXPECT_EQ(AfterHead(server.request("DELETE /vol/x HTTP/1.1\r\n\r\n"), "500 Internal error"), "\r\n");
    EXPECT_EQ(AfterHead(server.request("UNLOCK /vol/x HTTP/1.1\r\n\r\n"), "200 OK"), "\r\n");
}

TEST_F(MethodsScripted, LockHandsOutOneTokenAndEchoesTheDepth)
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
    for (const auto& [request, depth] : cases) {
        SCOPED_TRACE(request);
        EXPECT_EQ(XMLBody(server.request(request), "200 OK"), LockDocument(depth));
    }
    EXPECT_TRUE(store->takeCalls().empty()); // locks never reach the store
}
