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

// The standard lock answer: a document strict parsers take, the token named again
// in the Lock-Token header; the DAV header names class 1 as well.
TEST_F(LocalStore, StandardLockAndOptionsAnswers)
{
    ScopedEnv standard("PAVRIX_STANDARD_DAV", "1");
    const std::string token = "opaquelocktoken:3f8a61c2-9b0e-47d5-b2c9-6e14a07d85fb";
    for (const auto& [depth, written] : std::vector<std::pair<std::string, std::string>>{
             {"", "infinity"}, {"Depth: 0\r\n", "0"}, {"Depth: Infinity\r\n", "infinity"}, {"Depth: 1\r\n", "infinity"}}) {
        SCOPED_TRACE(depth);
        std::string answer = AfterHead(request("LOCK /vol/a HTTP/1.1\r\n" + depth + "\r\n"), "200 OK");
        std::string document = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<D:prop xmlns:D=\"DAV:\"><D:lockdiscovery>"
                               "<D:activelock>\n<D:locktype><D:write/></D:locktype><D:lockscope><D:exclusive/>"
                               "</D:lockscope>\n<D:depth>" + written + "</D:depth><D:timeout>Second-3600</D:timeout>\n"
                               "<D:locktoken><D:href>" + token + "</D:href></D:locktoken>\n</D:activelock>"
                               "</D:lockdiscovery></D:prop>\n";
        EXPECT_EQ(answer, "Lock-Token: <" + token + ">\r\nContent-type: text/xml; charset=\"utf-8\"\r\n"
                          "Content-length: " + std::to_string(document.size()) + "\r\n\r\n" + document);
    }
    std::string options = AfterHead(request("OPTIONS /vol/ HTTP/1.1\r\n\r\n"), "200 OK");
    EXPECT_NE(options.find("\r\nDAV: 1, 2\r\n"), std::string::npos) << options;
}
