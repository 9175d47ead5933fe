// The header block parser: how lines become the lower-cased header dictionary.

#include "http/MimeTools.h"

#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace {

// Hands out the given lines, then the end of input; counts what was asked for.
class ListReader : public LineReader {
public:
    explicit ListReader(std::vector<std::string> lines) : lines_(std::move(lines)) {}
    std::optional<std::string> readLine() override
    {
        ++calls;
        if (next_ >= lines_.size())
            return std::nullopt;
        return lines_[next_++];
    }
    size_t calls = 0;

private:
    std::vector<std::string> lines_;
    size_t next_ = 0;
};

using Dict = std::map<std::string, std::string>;

struct ParseCase {
    const char* what;
    std::vector<std::string> lines;
    Dict headers;
    std::optional<std::string> status;
    size_t linesRead;
};

} // namespace

TEST(HeaderParser, LinesBecomeTheDictionaryByteForByte)
{
    const std::vector<ParseCase> cases{
        {"value keeps the blank after the colon", {"Content-Length: 12", ""}, {{"content-length", " 12"}}, {}, 2},
        {"immediately empty first line", {"", "A: 1", ""}, {}, {}, 1},
        {"blank before the colon stays in the key", {"Host : x", ""}, {{"host ", " x"}}, {}, 2},
        {"no blank after the colon", {"Connection:Close", ""}, {{"connection", "Close"}}, {}, 2},
        {"further colons stay in the value",
         {"Destination: http://h:8080/vol/a", ""},
         {{"destination", " http://h:8080/vol/a"}},
         {},
         2},
        {"continuation lines keep their lead and join with LF",
         {"X-A: 1", "\tmore", "  again", "B: 2", ""},
         {{"x-a", " 1\n\tmore\n  again"}, {"b", " 2"}},
         {},
         5},
        {"the later of two equal names wins", {"Depth: 0", "DEPTH: 1", ""}, {{"depth", " 1"}}, {}, 3},
        {"a blank-led line before any header is an ordinary line",
         {"\tnocolon", " Lead: v", ""},
         {{" lead", " v"}},
         std::string("No headers"),
         3},
        {"a line without a colon first", {"junk", "A: 1", ""}, {{"a", " 1"}}, std::string("No headers"), 3},
        {"after a non-header line a blank-led line is no continuation",
         {"A: 1", "junk", " B: 2", ""},
         {{"a", " 1"}, {" b", " 2"}},
         std::string("Non-header line where header expected"),
         4},
        {"a bare line feed does not end the block",
         {"A: 1\n", "\n", "B: 2", ""},
         {{"a", " 1\n"}, {"b", " 2"}},
         std::string("Non-header line where header expected"),
         4},
        {"end of input inside the block", {"A: 1", "B: 2"}, {{"a", " 1"}, {"b", " 2"}}, std::string("EOF in headers"), 3},
        {"end of input at once", {}, {}, std::string("EOF in headers"), 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ListReader reader(c.lines);
        MimeTools headers(reader);
        EXPECT_EQ(headers.getDict(), c.headers);
        EXPECT_EQ(headers.getStatus(), c.status);
        EXPECT_EQ(reader.calls, c.linesRead); // nothing after the empty line is consumed
    }
}

TEST(HeaderParser, LookupIgnoresCaseOfTheRequestedNameOnly)
{
    ListReader reader({"Content-Length: 12", "Host : x", "Content-Type: text/xml", "Content-Transfer-Encoding: 8bit", ""});
    MimeTools headers(reader);
    for (const char* name : {"Content-Length", "content-length", "CONTENT-LENGTH"})
        EXPECT_EQ(headers.objectForKey(name), std::optional<std::string>(" 12")) << name;
    EXPECT_EQ(headers.getHeader("Host"), std::nullopt);
    EXPECT_EQ(headers.getHeader("Host "), std::optional<std::string>(" x"));
    EXPECT_EQ(headers.getHeader("Missing"), std::nullopt);
    EXPECT_EQ(headers.typeHeader, std::optional<std::string>(" text/xml"));
    EXPECT_EQ(headers.encodingHeader, std::optional<std::string>(" 8bit"));

    ListReader bare({"Depth: 1", ""});
    MimeTools noContent(bare);
    EXPECT_EQ(noContent.typeHeader, std::nullopt);
    EXPECT_EQ(noContent.encodingHeader, std::nullopt);
}

namespace {

// A parser that skips lines starting with "#": its own line test takes part in
// the parse because it starts the parse itself.
class CommentSkipping : public RFC2822 {
public:
    explicit CommentSkipping(LineReader& reader) : RFC2822(reader, DeferParse{}) { readHeaders(); }
    bool isComment(const std::string& line) const override { return !line.empty() && line[0] == '#'; }
};

} // namespace

TEST(HeaderParser, SubclassLineTestsTakePartInTheParse)
{
    ListReader reader({"A: 1", "# note: skipped", "\tcontinued", ""});
    CommentSkipping headers(reader);
    // The comment neither became a header nor ended the current one.
    EXPECT_EQ(headers.getDict(), (Dict{{"a", " 1\n\tcontinued"}}));
    EXPECT_EQ(headers.getStatus(), std::nullopt);
}
