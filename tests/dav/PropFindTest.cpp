// PROPFIND over a local directory store: the multistatus documents byte for
// byte, the href escaping, and the listing cache.

#include "dav/DavTestSupport.h"
#include "datasource/HrefEscaping.h"

#include <algorithm>

using namespace davtest;

namespace {

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
    StandardAnswers standard(*store);
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
