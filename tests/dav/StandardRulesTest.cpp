// The byte rules of the answers: request documents read with the XML parser, names
// and paths, content types, which locks conflict, and the single byte range a GET
// may ask for in standard answers.

#include "datasource/HrefEscaping.h"
#include "datasource/LockTable.h"
#include "dav/ByteRange.h"
#include "dav/DavXml.h"
#include "dav/StandardSupport.h"

#include <gtest/gtest.h>

#include <tuple>

namespace {

const std::string kDav = "xmlns:D=\"DAV:\"";

} // namespace

TEST(StandardRules, PropfindDocuments)
{
    // body, whether it is well-formed, its kind, the names asked in Clark form
    const std::vector<std::tuple<std::string, bool, davxml::PropfindRequest::Kind, std::vector<std::string>>> rows{
        // (An empty body, allprop and propname are read as the PROPFIND answers show.)
        {"<propfind xmlns=\"DAV:\"><prop><getetag/><x:a xmlns:x=\"urn:x\"/><b xmlns=\"\"/></prop></propfind>", true,
         davxml::PropfindRequest::Prop, {"{DAV:}getetag", "{urn:x}a", "{}b"}},
        {"<D:propfind " + kDav + "><D:prop>", false, {}, {}},
        {"<D:propfind " + kDav + "><D:prop><bar:foo xmlns:bar=\"\"/></D:prop></D:propfind>", false, {}, {}},
        {"<propfind><allprop/></propfind>", false, {}, {}},               // not in DAV:
        {"<D:propfind " + kDav + "/>", false, {}, {}},                     // asks for nothing
        {"<D:lockinfo " + kDav + "/>", false, {}, {}},                     // another document
        {"resourcetype getlastmodified", false, {}, {}},
        {"<?xml version=\"1.0\"?><!DOCTYPE D:propfind [<!ENTITY e \"x\">]><D:propfind " + kDav +
             "><D:allprop/></D:propfind>",
         false, {}, {}},
    };
    for (const auto& [body, wellFormed, kind, names] : rows) {
        auto request = davxml::ReadPropfind(body);
        ASSERT_EQ(request.has_value(), wellFormed) << body;
        if (!request)
            continue;
        EXPECT_EQ(request->kind, kind) << body;
        std::vector<std::string> read;
        for (const auto& name : request->names)
            read.push_back(name.clark());
        EXPECT_EQ(read, names) << body;
    }
}

TEST(StandardRules, PropertyUpdatesKeepTheirValuesReadableAnywhere)
{
    const std::string body = "<D:propertyupdate " + kDav + " xmlns:Z=\"urn:z\"><D:set><D:prop>"
                             "<Z:plain>text &amp; more</Z:plain>"
                             "<Z:nested><Z:inner a=\"1\">x</Z:inner><other xmlns=\"urn:o\"/></Z:nested>"
                             "<empty xmlns=\"\">e</empty>"
                             "</D:prop></D:set><D:remove><D:prop><Z:gone/></D:prop></D:remove></D:propertyupdate>";
    auto updates = davxml::ReadPropertyUpdate(body);
    ASSERT_TRUE(updates);
    ASSERT_EQ(updates->size(), 4u);
    const std::vector<std::tuple<std::string, bool, std::string>> expected{
        {"{urn:z}plain", false, "text &amp; more"},
        // The prefix the value uses is declared inside it.
        {"{urn:z}nested", false, "<Z:inner xmlns:Z=\"urn:z\" a=\"1\">x</Z:inner><other xmlns=\"urn:o\"/>"},
        {"{}empty", false, "e"},
        {"{urn:z}gone", true, ""},
    };
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ((*updates)[i].name.clark(), std::get<0>(expected[i]));
        EXPECT_EQ((*updates)[i].remove, std::get<1>(expected[i]));
        EXPECT_EQ((*updates)[i].value, std::get<2>(expected[i]));
    }
    for (const std::string& bad : {std::string(""), std::string("<D:propertyupdate " + kDav + "/>"),
                                   std::string("<D:propertyupdate " + kDav + "><D:set><D:prop></D:set>")})
        EXPECT_FALSE(davxml::ReadPropertyUpdate(bad)) << bad;
}

TEST(StandardRules, LockDocuments)
{
    bool refresh = false;
    auto shared = davxml::ReadLockInfo("<D:lockinfo " + kDav + "><D:lockscope><D:shared/></D:lockscope><D:locktype>"
                                       "<D:write/></D:locktype><D:owner><D:href>me</D:href></D:owner></D:lockinfo>",
                                       refresh);
    ASSERT_TRUE(shared);
    EXPECT_FALSE(refresh);
    EXPECT_TRUE(shared->shared);
    EXPECT_EQ(shared->owner, "<D:href xmlns:D=\"DAV:\">me</D:href>");
    EXPECT_FALSE(davxml::ReadLockInfo("", refresh));
    EXPECT_TRUE(refresh);
    for (const std::string& bad :
         {"<D:lockinfo " + kDav + "><D:locktype><D:write/></D:locktype></D:lockinfo>",     // no scope
          "<D:lockinfo " + kDav + "><D:lockscope><D:exclusive/></D:lockscope></D:lockinfo>", // no type
          "<D:lockinfo " + kDav + "><D:lockscope>"}) {
        EXPECT_FALSE(davxml::ReadLockInfo(bad, refresh)) << bad;
        EXPECT_FALSE(refresh);
    }
}

TEST(StandardRules, NamesPathsAndTypes)
{
    const std::vector<std::tuple<std::string, std::string, std::string>> paths{
        {"/Device/a/b", "/Device/a/", "b"}, {"/Device/a/b/", "/Device/a/", "b"}, {"/Device/a", "/Device/", "a"},
        {"/Device/", "/", "Device"},
    };
    for (const auto& [uri, parent, last] : paths) {
        EXPECT_EQ(ParentURI(uri), parent) << uri;
        EXPECT_EQ(LastSegment(uri), last) << uri;
    }
    const std::vector<std::tuple<std::string, std::string, bool>> below{
        {"/Device/a/b", "/Device/a", true},    {"/Device/A/b", "/Device/a/", true}, {"/Device/a", "/Device/a/", true},
        {"/Device/ab", "/Device/a", false},    {"/Device/a", "/Device/a/b", false},
        {"/Device/My%20D/x", "/Device/my d", true},
    };
    for (const auto& [inner, outer, expected] : below)
        EXPECT_EQ(SameOrBelow(inner, outer), expected) << inner << " in " << outer;

    const std::vector<std::pair<std::string, std::string>> escaped{
        {"/Device/My Documents/a&b.txt", "/Device/My%20Documents/a%26b.txt"},
        {"/Device/R\xc3\xa9sum\xc3\xa9?#%", "/Device/R%C3%A9sum%C3%A9%3F%23%25"},
        {"/a-b_c.d~e/", "/a-b_c.d~e/"},
    };
    for (const auto& [path, uri] : escaped)
        EXPECT_EQ(UriEscaped(path), uri);

    const std::vector<std::pair<std::string, std::string>> decoded{
        {"/plain/path", "/plain/path"}, {"%41%2f%2F%5c", "A//\\"}, {"a%20b%zz%4", "a b%zz%4"},
        {"%%41%", "%A%"}, {"%2", "%2"}, {"x%00y", std::string("x\0y", 3)}, {"%C3%a9%", "\xc3\xa9%"},
    };
    for (const auto& [text, bytes] : decoded)
        EXPECT_EQ(PercentDecode(text), bytes) << text;

    const std::vector<std::pair<std::string, std::string>> references{
        {"plain <a/>", "plain <a/>"}, {"caf\xc3\xa9", "caf&#xE9;"}, {"\xe2\x82\xac", "&#x20AC;"},
        {"\xf0\x90\x80\x80", "&#x10000;"}, {"cut \xc3", "cut ?"}, {"stray \x80!", "stray ?!"},
    };
    for (const auto& [text, ascii] : references)
        EXPECT_EQ(AsciiCharacterReferences(text), ascii) << text;

    const std::vector<std::pair<std::string, std::string>> types{
        {"/Device/a.TXT", "text/plain"}, {"/Device/p.jpeg", "image/jpeg"}, {"/Device/x.tar.zip", "application/zip"},
        {"/Device/noext", "application/octet-stream"}, {"/Device/dot.", "application/octet-stream"},
        {"/Device/a.txt/b", "application/octet-stream"}, {"/Device/.txt", "text/plain"},
    };
    for (const auto& [uri, type] : types)
        EXPECT_STREQ(ContentTypeForName(uri), type.c_str()) << uri;

    EXPECT_EQ(XmlEscaped("<a href=\"x\">&'</a>"), "&lt;a href=&quot;x&quot;&gt;&amp;&#39;&lt;/a&gt;");
}

TEST(StandardRules, WhichLocksConflict)
{
    using std::chrono::seconds;
    // held: path, deep, shared; wanted: the same; whether the second is granted
    const std::vector<std::tuple<std::string, bool, bool, std::string, bool, bool, bool>> rows{
        {"/v/a", false, false, "/v/a", false, false, false}, {"/v/a", false, true, "/v/a", false, true, true},
        {"/v/a", false, true, "/v/a", false, false, false},  {"/v/d", true, false, "/v/d/x", false, false, false},
        {"/v/d", false, false, "/v/d/x", false, false, true}, {"/v/d/x", false, false, "/v/d", true, false, false},
        {"/v/d/x", false, false, "/v/d", false, false, true}, {"/v/d", true, true, "/v/D/x/", false, true, true},
        {"/v/d", true, false, "/v/dx", false, false, true},
    };
    for (const auto& [held, heldDeep, heldShared, wanted, wantedDeep, wantedShared, granted] : rows) {
        LockTable table;
        ASSERT_TRUE(table.acquire(held, heldDeep, heldShared, "", seconds(60)));
        EXPECT_EQ(table.acquire(wanted, wantedDeep, wantedShared, "", seconds(60)).has_value(), granted)
            << held << " then " << wanted;
    }

    LockTable table;
    auto lock = table.acquire("/v/a", false, false, "", seconds(0));
    ASSERT_TRUE(lock);
    EXPECT_EQ(lock->timeout, LockTable::kMaximumTimeout); // none asked: the longest
    EXPECT_FALSE(table.release("/v/a", "opaquelocktoken:other"));
    EXPECT_FALSE(table.release("/v/b", lock->token));
    EXPECT_EQ(table.refresh("/v/a", lock->token, seconds(30))->timeout, seconds(30));
    EXPECT_TRUE(table.release("/V/a/", lock->token));
    EXPECT_TRUE(table.covering("/v/a").empty());
    EXPECT_FALSE(table.acquire("/v/o", false, false, std::string(LockTable::kMaximumOwnerBytes + 1, 'x'), seconds(9)));
    for (size_t i = 0; i < LockTable::kMaximumLocks; ++i)
        ASSERT_TRUE(table.acquire("/v/n" + std::to_string(i), false, false, "", seconds(60)));
    EXPECT_FALSE(table.acquire("/v/full", false, false, "", seconds(60)));
    table.forget("/v");
    EXPECT_TRUE(table.acquire("/v/full", false, false, "", seconds(60)));
}

TEST(ByteRange, OneRangeOfBytesIsHonouredAndEverythingElseIgnored)
{
    const uint64_t big = (uint64_t(5) << 30) + 7;
    // header, size, the first byte and how many
    const std::tuple<const char*, uint64_t, uint64_t, uint64_t> parts[] = {
        {"bytes=0-0", 10, 0, 1},
        {" bytes=2-5", 10, 2, 4},
        {"BYTES=2-5 ", 10, 2, 4},
        {"bytes=7-", 10, 7, 3},
        {"bytes=5-100", 10, 5, 5},
        {"bytes=-3", 10, 7, 3},
        {"bytes=-30", 10, 0, 10},
        {"bytes=9-9", 10, 9, 1},
        {"bytes=4294967296-", big, 4294967296, big - 4294967296},
        {"bytes=-4", big, big - 4, 4},
    };
    for (const auto& [header, size, first, count] : parts) {
        SCOPED_TRACE(std::string("\"") + header + "\" of " + std::to_string(size));
        ByteRange range = ChooseByteRange(header, size);
        EXPECT_EQ(range.kind, ByteRange::Part);
        EXPECT_EQ(range.first, first);
        EXPECT_EQ(range.count, count);
    }
    // Nothing of the resource is in the range.
    for (const auto& [header, size] : std::vector<std::pair<const char*, uint64_t>>{
             {"bytes=10-", 10}, {"bytes=10-20", 10}, {"bytes=-0", 10}, {"bytes=0-", 0}, {"bytes=-5", 0}})
        EXPECT_EQ(ChooseByteRange(header, size).kind, ByteRange::Unsatisfiable) << header << " of " << size;
    // Not one well-formed range of bytes: the whole resource.
    for (const char* header : {"bytes=1-2,4-5", "lines=1-2", "bytes=5-2", "bytes=a-2", "bytes=-", "bytes=1",
                               "bytes=+1-2", "bytes=99999999999999999999-", "bytes", ""})
        EXPECT_EQ(ChooseByteRange(header, 10).kind, ByteRange::Whole) << header;
}
