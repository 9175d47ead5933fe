#pragma once

#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

std::string LowercaseASCII(std::string text);

// Anything that hands out lines one by one: the next line without its line ending,
// or none at the end of input.
class LineReader {
public:
    virtual ~LineReader() = default;
    virtual std::optional<std::string> readLine() = 0;
};

// A block of message-style header lines ("Name: value", continuation lines, an
// empty line at the end), read once at construction and kept by lower-cased name.
// Values keep everything after the first colon, the customary blank included.
class RFC2822 {
public:
    // Stores the reader and reads the whole block.
    explicit RFC2822(LineReader& reader);
    virtual ~RFC2822() = default;

    RFC2822(const RFC2822&) = delete;
    RFC2822& operator=(const RFC2822&) = delete;

    RFC2822& readHeaders();

    // The lower-cased text before the first colon, or none when there is no colon.
    virtual std::optional<std::string> isHeader(const std::string& line) const;
    // A subclass answers true to have a line skipped.
    virtual bool isComment(const std::string& line) const;
    virtual bool isLast(const std::string& line) const;

    std::optional<std::string> getHeader(std::string_view name) const;
    std::optional<std::string> objectForKey(std::string_view name) const { return getHeader(name); }

    // None while the block was well-formed; otherwise the last problem met.
    const std::optional<std::string>& getStatus() const { return status; }
    // Keyed by lower-cased name; found by a view of one, without a copy.
    using Dict = std::map<std::string, std::string, std::less<>>;
    const Dict& getDict() const { return dict; }
    // Whether the block ended with its empty line (rather than with the input).
    bool ended() const { return endSeen; }
    // Whether the header came more than once with values that differ (the last is
    // the one kept): a caller that must not guess between them refuses.
    bool conflicting(const std::string& name) const { return conflicts.count(LowercaseASCII(name)) > 0; }
    // For diagnostics: the headers as "{key = value; ...}".
    std::string description() const;

protected:
    // For subclasses whose own line tests must take part in the parse: they call
    // readHeaders() from their constructor once they are complete.
    struct DeferParse {};
    RFC2822(LineReader& reader, DeferParse) : reader(&reader) {}

    LineReader* reader; // not owned
    std::optional<std::string> headerSeen;
    std::optional<std::string> status;
    // Never created here; a subclass that wants the raw lines creates it.
    std::optional<std::vector<std::string>> list;
    Dict dict;
    bool endSeen = false;
    std::set<std::string> conflicts;
};

// A header value as one token: the blanks around it dropped, in lower case; empty
// for an absent header.
std::string HeaderToken(const std::optional<std::string>& value);
