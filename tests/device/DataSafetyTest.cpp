// Requests a hostile or unlucky client sends, against the real daemon: each is
// answered with a status that says what happened, and the device tree and the
// mirror hold exactly what they held, unless the request was received whole and
// could be carried out whole.

#include "WinceTestSupport.h"

#include <filesystem>

using namespace wincetest;

namespace {

namespace fsys = std::filesystem;

// Every file and folder under the device tree and the mirror, with its content.
using Tree = std::map<std::string, std::string>;
constexpr const char* kFolder = "<folder>";
constexpr const char* kGone = "<gone>"; // in a row's changes: the request removes it

void AddTree(Tree& tree, const std::string& root, const std::string& prefix)
{
    std::error_code ec;
    for (auto it = fsys::recursive_directory_iterator(root, ec); !ec && it != fsys::recursive_directory_iterator();
         it.increment(ec)) {
        std::string name = prefix + it->path().lexically_relative(root).string();
        tree[name] = it->is_symlink() ? "<link>" : it->is_directory() ? kFolder : ReadFile(it->path());
    }
}

using std::string;

// Four folders of 200 characters: a request line naming something inside them
// reaches the 1023 bytes the daemon reads of a line.
const string kDeep = string(200, '1') + "/" + string(200, '2') + "/" + string(200, '3') + "/" + string(200, '4') + "/";

string Repeat(const string& line, int times)
{
    string lines;
    while (times-- > 0)
        lines += line;
    return lines;
}

string Put(const string& uri, const string& extra, const string& body) { return Request("PUT", uri, extra) + body; }

// In the daemon's own answers (false) and the standard ones (true), the same
// requests give the same safe answers.
class DataSafetyBothModes : public WinceDaemon, public testing::WithParamInterface<bool> {
protected:
    void SetUp() override
    {
        WinceDaemon::SetUp();
        auto settings = platform::PlistObject::dictionary();
        settings.set("StoreSize", platform::PlistObject::integer(1000000));
        settings.set("StoreFree", platform::PlistObject::integer(500000));
        settings.writeAtomically(deviceDir / "device.plist");
        put("My Documents/a", "A");
        put("My Documents/a.txt", "text");
        put("My Documents/b.txt", "bee");
        put(kDeep + string(207, 'H'), "short name");
        put(kDeep + string(210, 'H'), "other short name");
        start(GetParam());
        WriteFile(mirror("._x"), "meta");
        WriteFile(mirror("._keep"), "keep");
        MakeDirs(mirror("._folder"));
        // A link planted in the mirror, to a file outside both trees.
        WriteFile(home / "secret", "secret");
        fsys::create_symlink(home / "secret", mirror("._link"));
    }
    Tree tree() const
    {
        Tree tree;
        // A link is recorded as a link, never read through.
        AddTree(tree, deviceDir.path(), "");
        tree.erase("device.plist");
        AddTree(tree, mirror(""), "mirror/");
        return tree;
    }
    bool standardMode() const { return GetParam(); }
};

} // namespace

INSTANTIATE_TEST_SUITE_P(Modes, DataSafetyBothModes, testing::Values(false, true),
                         [](const testing::TestParamInfo<bool>& info) { return info.param ? "Standard" : "Design"; });

TEST_P(DataSafetyBothModes, HostileAndCutRequestsChangeOnlyWhatTheyMayChange)
{
    const std::string docs = "/vol/My%20Documents/", chunked = "Transfer-Encoding: chunked\r\n";
    auto move = [](const std::string& from, const std::string& to) {
        return Request("MOVE", from, "Destination: http://h/vol/" + to + "\r\n");
    };
    auto length = [](const std::string& n) { return "Content-Length: " + n + "\r\n"; };
    struct Row {
        const char* what;
        std::string raw;
        int status;
        Tree changes; // what the request may change: path -> content
        int standardStatus = 0; // where the standard answers give another status
        std::optional<Tree> standardChanges = std::nullopt; // and make other changes
    };
    const std::vector<Row> rows{
        // A line longer than the daemon reads would name another file.
        {"request line cut, DELETE", "DELETE /vol/" + kDeep + string(240, 'H') + ".old HTTP/1.1\r\n\r\n", 414, {}},
        {"request line cut, PUT", Put("/vol/" + kDeep + string(300, 'H'), length("3"), "new"), 414, {}},
        {"Destination line cut, MOVE", move(docs + "b.txt", kDeep + string(300, 'H')), 431, {}},
        // The client stopped sending before the head ended.
        {"DELETE ended inside its request line", "DELETE " + docs + "a", 400, {}},
        {"PUT ended before the blank line", "PUT " + docs + "a.txt HTTP/1.1\r\nHost: x\r\n", 400, {}},
        {"MOVE ended inside its Destination",
         "MOVE " + docs + "b.txt HTTP/1.1\r\nDestination: http://h" + docs + "b.tx", 400, {}},
        {"MKCOL ended before the blank line", "MKCOL /vol/New/ HTTP/1.1\r\n", 400, {}},
        // A NUL ends a line early as text: the target would lose its end, and a
        // header line starting with one would read as the blank line.
        {"NUL inside the target", "DELETE " + docs + "a" + std::string(1, '\0') + ".txt HTTP/1.1\r\n\r\n", 400, {}},
        {"NUL starting an unended header line", "PUT " + docs + "a.txt HTTP/1.1\r\n" + std::string(1, '\0') + "junk",
         400, {}},
        // Bodies that cannot be stored whole.
        {"metafile body ended early", Put("/vol/._x", length("1000"), "0123456789"), 424, {}},
        {"length past 2^31, body short", Put("/vol/._x", length("2147483648"), "0123456789"), 424, {}},
        {"length past the 64-bit range", Put("/vol/._x", length("99999999999999999999"), "x"), 413, {}},
        {"length past the signed range", Put("/vol/._x", length("9223372036854775808"), "x"), 413, {}},
        {"negative length", Put("/vol/._x", length("-5"), "x"), 400, {}},
        {"length with trailing garbage", Put("/vol/._x", length("1x"), "x"), 400, {}},
        {"Content-Range", Put("/vol/._x", "Content-Range: bytes 2-3/10\r\n" + length("2"), "xy"), 400, {}},
        {"coding the daemon cannot undo", Put("/vol/._x", "Transfer-Encoding: gzip\r\n", "x"), 501, {}},
        {"chunked stream cut", Put("/vol/._x", chunked, "4\r\nwx"), 424, {}},
        // A device file's body goes to a scratch file that replaces the old one
        // only once the body is whole: every way an upload can fail leaves the old
        // file as it was and no scratch file behind.
        {"device file chunked stream cut", Put(docs + "a.txt", chunked, "4\r\nwx"), 424, {}},
        {"device file body cut", Put(docs + "a.txt", length("10"), "new"), 424, {}},
        {"device file continue asked, no body sent",
         Request("PUT", docs + "a.txt", "Expect: 100-continue\r\n" + length("5")), 424, {}},
        {"device file of 4 GiB and more", Put(docs + "a.txt", length("4294967396"), "new"), 413, {}},
        {"device file past the free space", Put(docs + "a.txt", length("600000"), "new"), 507, {}},
        {"chunked device file cut inside a 4 GiB chunk", Put(docs + "a.txt", chunked, "100000000\r\nx"), 424, {}},
        {"device file replaced", Put(docs + "a.txt", length("3"), "new"), 201, {{"fs/My Documents/a.txt", "new"}}},
        {"device folder not replaced", Put("/vol/My%20Documents", length("3"), "new"), 424, {}, 405},
        {"device file emptied", Put(docs + "b.txt", length("0"), ""), 201, {{"fs/My Documents/b.txt", ""}}},
        // Chunked bodies are decoded; a length beside them means nothing.
        {"chunked device file", Put(docs + "c.txt", chunked, "3\r\nabc\r\n2;x=y\r\nde\r\n0\r\n\r\n"), 201,
         {{"fs/My Documents/c.txt", "abcde"}}},
        {"chunked metafile with a length", Put("/vol/._y", length("5") + chunked, "4\r\nwxyz\r\n0\r\n\r\n"), 201,
         {{"mirror/._y", "wxyz"}}},
        // Names the XML of a listing must survive.
        {"metafile named with &", Put("/vol/._Tom&Jerry.txt", length("2"), "tj"), 201,
         {{"mirror/._Tom&Jerry.txt", "tj"}}},
        {"metafile named with < and \"", Put("/vol/._a<b\"c", length("2"), "lt"), 201, {{"mirror/._a<b\"c", "lt"}}},
        // A metafile in the way of the folders a change into the mirror needs.
        // The standard answers name the cause: no folder there (409), a move into
        // itself (403), no destination (400).
        {"metafile under a metafile", Put("/vol/._x/._a", length("1"), "a"), 424, {}, 409},
        {"metafile folder under a metafile", Request("MKCOL", "/vol/._x/._d"), 403, {}, 409},
        {"metafile moved under a metafile", move("/vol/._x", "._x/deeper/._z"), 412, {}, 403},
        {"metafile moved nowhere", Request("MOVE", "/vol/._x"), 412, {}, 400},
        // Nothing crosses between the device and the mirror.
        {"device file to a metafile name", move(docs + "b.txt", "My%20Documents/._hidden"), 403, {}},
        {"metafile to a device name", move("/vol/._x", "plain"), 403, {}},
        // Names that are not text could merge into one device file.
        {"name not UTF-8", Put(docs + "caf%E9.txt", length("1"), "e"), 400, {}},
        {"destination not UTF-8", move(docs + "b.txt", "caf%E8.txt"), 400, {}},
        {"control byte in a folder name", Request("MKCOL", "/vol/a%01b/"), 400, {}},
        {"DELETE of a name not UTF-8", Request("DELETE", docs + "a%FF"), 400, {}},
        // A Destination that is a path alone names that path; one that is neither
        // a path nor an absolute URI names nothing.
        {"path-only Destination", Request("MOVE", docs + "a", "Destination: " + docs + "renamed\r\n"), 201,
         {{"fs/My Documents/a", kGone}, {"fs/My Documents/renamed", "A"}}},
        {"relative Destination", Request("MOVE", docs + "a.txt", "Destination: renamed.txt\r\n"), 400, {}},
        {"Destination without a path", Request("MOVE", docs + "a.txt", "Destination: http://h\r\n"), 400, {}},
        // Every spelling of a metafile name goes to the mirror, as the device would
        // read it; none reaches the device, and no move crosses the two stores.
        // (Which spellings name a metafile is the path mapping's own table.)
        {"escaped dot", Put("/vol/%2E_enc", length("1"), "e"), 201, {{"mirror/._enc", "e"}}},
        {"escaped separator", Put("/vol/My%20Documents%2F._sep", length("1"), "s"), 201,
         {{"mirror/my documents", kFolder}, {"mirror/my documents/._sep", "s"}}},
        {"metafile folder with its slash", Request("MKCOL", "/vol/._dir/"), 201, {{"mirror/._dir", kFolder}}},
        {"device file to an escaped metafile name", move(docs + "b.txt", "My%20Documents/%2E_moved"), 403, {}},
        // Heads past the daemon's limits are refused unread, whatever they ask.
        {"300 header lines", Request("DELETE", docs + "a", Repeat("X-Line: v\r\n", 300)), 431, {}},
        {"70 KiB of continuation lines",
         Request("DELETE", docs + "a", "X-Folded: v\r\n" + Repeat("\t" + string(1000, 'c') + "\r\n", 70)), 431, {}},
        // An absolute-form target names its path; the scheme is no volume.
        {"absolute-form metafile PUT", Put("http://evil.example/vol/._abs", length("1"), "a"), 201,
         {{"mirror/._abs", "a"}}},
        {"absolute-form DELETE", Request("DELETE", "http://evil.example" + docs + "c.txt"), 204,
         {{"fs/My Documents/c.txt", kGone}}},
        // Metafile moves are renames: Overwrite: F keeps what stands there, and
        // nothing is moved into (or over) a folder standing at the name.
        {"Overwrite: F onto a metafile", Request("MOVE", "/vol/._x", "Destination: http://h/vol/._keep\r\nOverwrite: F\r\n"),
         412, {}},
        // The standard answers replace an empty folder, as RFC 4918 asks; one that
        // holds anything stays (StandardMethodsTest).
        {"metafile onto a metafile folder", move("/vol/._x", "._folder"), 412, {}, 204,
         Tree{{"mirror/._x", kGone}, {"mirror/._folder", "meta"}}},
        // (In the standard answers ._x went into ._folder's place just above.)
        {"metafile onto a metafile", move("/vol/._keep", "._x"), 201, {{"mirror/._keep", kGone}, {"mirror/._x", "keep"}}},
        // A link standing in the mirror is replaced, never written through.
        {"PUT over a link in the mirror", Put("/vol/._link", length("3"), "new"), 201, {{"mirror/._link", "new"}}},
        // Framing that leaves the body's end or coding in doubt.
        {"two different lengths", Put("/vol/._x", length("1") + length("3"), "abc"), 400, {}},
        {"codings over two lines", Put("/vol/._x", "Transfer-Encoding: gzip\r\n" + chunked, "3\r\nabc\r\n0\r\n\r\n"),
         501, {}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        Tree expected = tree();
        for (const auto& [path, content] : standardMode() && row.standardChanges ? *row.standardChanges : row.changes)
            if (content == kGone)
                expected.erase(path);
            else
                expected[path] = content;
        std::string raw = daemon->request(row.raw);
        // The interim answer to Expect comes before the final one.
        if (raw.rfind("HTTP/1.1 100 Continue\r\n\r\n", 0) == 0)
            raw.erase(0, 25);
        EXPECT_EQ(ParseResponse(raw).status(), standardMode() && row.standardStatus ? row.standardStatus : row.status);
        EXPECT_EQ(tree(), expected);
    }
    EXPECT_TRUE(daemon->process().running());
    EXPECT_EQ(ReadFile(home / "secret"), "secret") << "written through the link";

    // The odd names are listed escaped by the href byte rule, as device names are,
    // and each href GETs its file (that every listing is well-formed XML is what
    // fuzz_propfind checks).
    Response listing = ask(Propfind("/vol/", "1"));
    EXPECT_EQ(listing.status(), 207);
    std::vector<std::string> hrefs = Hrefs(listing.body);
    for (const char* href : {"/vol/._Tom%26Jerry.txt", "/vol/._a%3Cb%22c"})
        EXPECT_NE(std::find(hrefs.begin(), hrefs.end(), href), hrefs.end()) << href << " in " << listing.body;
    EXPECT_EQ(ask(Request("GET", "/vol/._Tom%26Jerry.txt")).body, "tj");
    EXPECT_EQ(ask(Request("GET", "/vol/._a%3Cb%22c")).body, "lt");
}
