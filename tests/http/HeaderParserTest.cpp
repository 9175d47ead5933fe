// The header block parser, how lines become the lower-cased header dictionary; and
// the response writers byte for byte, answering a request the connection read.

#include "http/LossyASCII.h"
#include "http/MimeTools.h"
#include "http/ServeOne.h"

#include <gtest/gtest.h>

using namespace httptest;

namespace {

// Hands out the given lines, then the end of input; counts what was asked for.
struct ListReader : LineReader {
    std::vector<std::string> lines;
    size_t calls = 0;
    explicit ListReader(std::vector<std::string> given) : lines(std::move(given)) {}
    std::optional<std::string> readLine() override
    {
        return ++calls <= lines.size() ? std::optional<std::string>(lines[calls - 1]) : std::nullopt;
    }
};

using Write = std::function<void(ResponseWriter&)>;

std::string Written(const Write& write)
{
    return ServeOne("TEST / HTTP/1.1\r\n\r\n", [&](Request&, ResponseWriter& response) { write(response); });
}

} // namespace

TEST(HeaderParser, LinesBecomeTheDictionaryByteForByte)
{
    // What, the lines, the headers, the status, and how many lines were read: what
    // follows the empty line is the body, which must not be consumed.
    using Case = std::tuple<const char*, std::vector<std::string>, MimeTools::Dict,
                            std::optional<std::string>, size_t>;
    const std::string noHeader = "Non-header line where header expected", eof = "EOF in headers";
    const std::vector<Case> cases{
        {"value keeps its blank", {"Content-Length: 12", "", "body"}, {{"content-length", " 12"}}, {}, 2},
        {"immediately empty first line", {"", "A: 1", ""}, {}, {}, 1},
        {"blank before the colon stays in the key", {"Host : x", ""}, {{"host ", " x"}}, {}, 2},
        {"further colons stay in the value", {"Url:http://h:80/a", ""}, {{"url", "http://h:80/a"}}, {}, 2},
        {"continuations keep their lead and join with LF", {"X-A: 1", "\tmore", "  again", "B: 2", ""},
         {{"x-a", " 1\n\tmore\n  again"}, {"b", " 2"}}, {}, 5},
        {"the later of two equal names wins", {"Depth: 0", "DEPTH: 1", ""}, {{"depth", " 1"}}, {}, 3},
        {"a line without a colon first", {"junk", "A: 1", ""}, {{"a", " 1"}}, "No headers", 3},
        {"a bare line feed ends nothing", {"A: 1\n", "\n", "B: 2", ""}, {{"a", " 1\n"}, {"b", " 2"}}, noHeader, 4},
        {"end of input inside the block", {"A: 1", "B: 2"}, {{"a", " 1"}, {"b", " 2"}}, eof, 3},
        {"end of input at once", {}, {}, eof, 1},
    };
    for (const auto& [what, lines, dict, status, linesRead] : cases) {
        ListReader reader(lines);
        MimeTools headers(reader);
        EXPECT_EQ(headers.getDict(), dict) << what;
        EXPECT_EQ(headers.getStatus(), status) << what;
        EXPECT_EQ(reader.calls, linesRead) << what;
    }
    // Lookup ignores the case of the requested name only: the stored key keeps its blank.
    ListReader reader({"Content-Length: 12", "Host : x", ""});
    MimeTools headers(reader);
    EXPECT_EQ(headers.objectForKey("CONTENT-length"), std::optional<std::string>(" 12"));
    EXPECT_EQ(headers.getHeader("Host"), std::nullopt);
}

// The refusal pages, which escape the URI as HTML text; the bodies the handlers send
// are checked byte for byte by the method and PROPFIND tests.
TEST(Connection, WritersProduceExactBytes)
{
    const std::vector<std::tuple<Write, std::string, std::string>> cases{
        {[](ResponseWriter& w) { w.notFound("/vol/<b>&\""); }, "404 Not found",
         NotFoundPage("/vol/&lt;b&gt;&amp;&quot;")},
        {[](ResponseWriter& w) { w.resourceBusy("/vol/held.txt"); }, "403 Forbidden",
         ErrorPage("403 Forbidden", "Forbidden", "The requested URL /vol/held.txt was busy.")},
        // The chunk's size in lower-case hexadecimal, then the closing empty chunk.
        {[](ResponseWriter& w) { w.sendBodyChunks("abcdefghijklmnopqrstuvwxyz", 207, "Multi-Status", ""); },
         "207 Multi-Status",
         "Content-type: text/xml; encoding=\"utf-8\"\r\nTransfer-Encoding: chunked\r\n\r\n"
         "1a\r\nabcdefghijklmnopqrstuvwxyz\r\n0\r\n\r\n"},
    };
    for (const auto& [write, status, rest] : cases)
        EXPECT_EQ(AfterHead(Written(write), status), rest) << status;
    // A serve function that throws costs its answer, not the connection's caller.
    EXPECT_EQ(Written([](ResponseWriter&) { throw std::runtime_error("store blew up"); }), "");
}

// Answers are scanned a block at a time until the first byte past ASCII; the
// character must become one "?" wherever it falls against the blocks.
TEST(LossyASCII, EachCharacterPastASCIIBecomesOneQuestionMark)
{
    for (const std::string character : {"\xc3\xa9", "\xe2\x82\xac", "\xf0\x90\x80\x80", "\x80"})
        for (size_t at : {0, 7, 63, 64, 255, 256, 257, 511, 512, 599}) {
            std::string text(600, 'a'), expected(600, 'a');
            text.insert(at, character);
            expected.insert(at, "?");
            EXPECT_EQ(LossyASCII(text), expected) << at;
        }
    EXPECT_EQ(LossyASCII(std::string(512, 'x') + "\xc3\xa9\xc3\xa9"), std::string(512, 'x') + "??");
    EXPECT_EQ(LossyASCII("cut \xc3"), "cut ?");
}
