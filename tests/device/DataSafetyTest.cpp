// Requests a hostile or unlucky client sends, against the real daemon: each is
// answered with a status that says what happened, and the device tree and the
// mirror hold exactly what they held, unless the request was received whole and
// could be carried out whole.

#include "WinceDaemonFixture.h"

#include <filesystem>

using namespace wincetest;
using testsupport::ConnectLoopback;
using testsupport::SendAll;

namespace {

namespace fsys = std::filesystem;

// Every file and folder under the device tree and the mirror, with its content.
using Tree = std::map<std::string, std::string>;
constexpr const char* kFolder = "<folder>";

void AddTree(Tree& tree, const std::string& root, const std::string& prefix)
{
    std::error_code ec;
    for (auto it = fsys::recursive_directory_iterator(root, ec); !ec && it != fsys::recursive_directory_iterator();
         it.increment(ec)) {
        std::string name = prefix + fsys::relative(it->path(), root).string();
        tree[name] = it->is_directory() ? kFolder : ReadFile(it->path());
    }
}

// A name of `n` copies of `c`.
std::string Repeat(size_t n, char c) { return std::string(n, c); }

// Four folders of 200 characters: a request line naming something inside them
// reaches the 1023 bytes the daemon reads of a line.
const std::string kDeep = Repeat(200, '1') + "/" + Repeat(200, '2') + "/" + Repeat(200, '3') + "/" + Repeat(200, '4') + "/";

std::string Put(const std::string& uri, const std::string& extra, const std::string& body)
{
    return Request("PUT", uri, extra) + body;
}

bool WellFormedXml(const std::string& document)
{
    testsupport::TempDir dir;
    testsupport::WriteFile(dir / "answer.xml", document);
    return testsupport::RunCommand({"/usr/bin/xmllint", "--noout", dir / "answer.xml"}).exitCode == 0;
}

class DataSafety : public WinceDaemon {
protected:
    void SetUp() override
    {
        WinceDaemon::SetUp();
        put("My Documents/a", "A");
        put("My Documents/a.txt", "text");
        put("My Documents/b.txt", "bee");
        put(kDeep + Repeat(207, 'H'), "short name");
        put(kDeep + Repeat(210, 'H'), "other short name");
        start();
        WriteWithFolders(mirror("._x"), "meta");
    }
    Tree tree() const
    {
        Tree tree;
        AddTree(tree, fs(""), "fs/");
        AddTree(tree, mirror(""), "mirror/");
        return tree;
    }
    // The bytes, then the end of the client's stream; whatever the daemon answers.
    Response sendAndEnd(const std::string& raw) const { return askCut(raw, ""); }
};

} // namespace

TEST_F(DataSafety, HostileAndCutRequestsChangeOnlyWhatTheyMayChange)
{
    const std::string cutDelete = "DELETE /vol/" + kDeep + Repeat(240, 'H') + ".old HTTP/1.1\r\n\r\n";
    const std::string cutPut = Put("/vol/" + kDeep + Repeat(300, 'H'), "Content-Length: 3\r\n", "new");
    const std::string longDestination = "Destination: http://h/vol/" + kDeep + Repeat(300, 'H') + "\r\n";
    struct Row {
        const char* what;
        std::string raw;
        int status;
        Tree changes; // what the request may change: path -> content
    };
    const std::vector<Row> rows{
        // A line longer than the daemon reads would name another file.
        {"request line cut, DELETE", cutDelete, 414, {}},
        {"request line cut, PUT", cutPut, 414, {}},
        {"Destination line cut, MOVE", Request("MOVE", "/vol/My%20Documents/b.txt", longDestination), 431, {}},
        // The client stopped sending before the head ended.
        {"DELETE ended inside its request line", "DELETE /vol/My%20Documents/a", 400, {}},
        {"PUT ended before the blank line", "PUT /vol/My%20Documents/a.txt HTTP/1.1\r\nHost: x\r\n", 400, {}},
        {"MOVE ended inside its Destination",
         "MOVE /vol/My%20Documents/b.txt HTTP/1.1\r\nDestination: http://h/vol/My%20Documents/b.tx", 400, {}},
        {"MKCOL ended before the blank line", "MKCOL /vol/New/ HTTP/1.1\r\n", 400, {}},
        // A NUL ends a line early as text: the target would lose its end, and a
        // header line starting with one would read as the blank line.
        {"NUL inside the target", std::string("DELETE /vol/My%20Documents/a\0.txt HTTP/1.1\r\n\r\n", 46), 400, {}},
        {"NUL starting an unended header line", std::string("PUT /vol/My%20Documents/a.txt HTTP/1.1\r\n\0junk", 45),
         400, {}},
        // Bodies that cannot be stored whole.
        {"metafile body ended early", Put("/vol/._x", "Content-Length: 1000\r\n", "0123456789"), 424, {}},
        {"length past 2^31, body short", Put("/vol/._x", "Content-Length: 2147483648\r\n", "0123456789"), 424, {}},
        {"length past the 64-bit range", Put("/vol/._x", "Content-Length: 99999999999999999999\r\n", "x"), 413, {}},
        {"length past the signed range", Put("/vol/._x", "Content-Length: 9223372036854775808\r\n", "x"), 413, {}},
        {"negative length", Put("/vol/._x", "Content-Length: -5\r\n", "x"), 400, {}},
        {"length with trailing garbage", Put("/vol/._x", "Content-Length: 1x\r\n", "x"), 400, {}},
        {"Content-Range", Put("/vol/._x", "Content-Range: bytes 2-3/10\r\nContent-Length: 2\r\n", "xy"), 400, {}},
        {"coding the daemon cannot undo", Put("/vol/._x", "Transfer-Encoding: gzip\r\n", "x"), 501, {}},
        {"chunked stream cut", Put("/vol/._x", "Transfer-Encoding: chunked\r\n", "4\r\nwx"), 424, {}},
        {"chunk size not hex", Put("/vol/._x", "Transfer-Encoding: chunked\r\n", "zz\r\nwxyz\r\n0\r\n\r\n"), 424, {}},
        // A device file is written on the device as its body arrives, so a body
        // that ends early leaves it short; the status says the upload failed.
        {"device file chunked stream cut",
         Put("/vol/My%20Documents/a.txt", "Transfer-Encoding: chunked\r\n", "4\r\nwx"), 424,
         {{"fs/My Documents/a.txt", ""}}},
        // Chunked bodies are decoded; a length beside them means nothing.
        {"chunked device file",
         Put("/vol/My%20Documents/c.txt", "Transfer-Encoding: chunked\r\n", "3\r\nabc\r\n2;x=y\r\nde\r\n0\r\n\r\n"),
         201,
         {{"fs/My Documents/c.txt", "abcde"}}},
        {"chunked metafile with a length",
         Put("/vol/._y", "Content-Length: 5\r\nTransfer-Encoding: chunked\r\n", "4\r\nwxyz\r\n0\r\n\r\n"),
         201,
         {{"mirror/._y", "wxyz"}}},
        // Names the XML of a listing must survive.
        {"metafile named with &", Put("/vol/._Tom&Jerry.txt", "Content-Length: 2\r\n", "tj"), 201,
         {{"mirror/._Tom&Jerry.txt", "tj"}}},
        {"metafile named with < and \"", Put("/vol/._a<b\"c", "Content-Length: 2\r\n", "lt"), 201,
         {{"mirror/._a<b\"c", "lt"}}},
        // Nothing crosses between the device and the mirror.
        {"device file to a metafile name",
         Request("MOVE", "/vol/My%20Documents/b.txt", "Destination: http://h/vol/My%20Documents/._hidden\r\n"), 403,
         {}},
        {"metafile to a device name", Request("MOVE", "/vol/._x", "Destination: http://h/vol/plain\r\n"), 403, {}},
        // Names that are not text could merge into one device file.
        {"name not UTF-8", Put("/vol/My%20Documents/caf%E9.txt", "Content-Length: 1\r\n", "e"), 400, {}},
        {"destination not UTF-8",
         Request("MOVE", "/vol/My%20Documents/b.txt", "Destination: http://h/vol/caf%E8.txt\r\n"), 400, {}},
        {"control byte in a folder name", Request("MKCOL", "/vol/a%01b/"), 400, {}},
        {"DELETE of a name not UTF-8", Request("DELETE", "/vol/My%20Documents/a%FF"), 400, {}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        Tree expected = tree();
        for (const auto& [path, content] : row.changes)
            expected[path] = content;
        EXPECT_EQ(sendAndEnd(row.raw).status(), row.status);
        EXPECT_EQ(tree(), expected);
    }
    EXPECT_TRUE(daemon->process().running());

    // The odd names are listed as well-formed XML, and each href GETs its file.
    Response listing = ask(Propfind("/vol/", "1"));
    EXPECT_EQ(listing.status(), 207);
    EXPECT_TRUE(WellFormedXml(listing.body)) << listing.body;
    std::vector<std::string> hrefs = Hrefs(listing.body);
    for (const char* href : {"/vol/._Tom&amp;Jerry.txt", "/vol/._a&lt;b\"c"})
        EXPECT_NE(std::find(hrefs.begin(), hrefs.end(), href), hrefs.end()) << href << " in " << listing.body;
    EXPECT_EQ(ask(Request("GET", "/vol/._Tom&Jerry.txt")).body, "tj");
    EXPECT_EQ(ask(Request("GET", "/vol/._a<b\"c")).body, "lt");
}

// A 200 MiB metafile goes into the mirror and back out without the daemon holding
// it: the peak resident size stays far below the file's.
TEST_F(DataSafety, LargeMetafilesStreamInBoundedMemory)
{
    const size_t size = 200u << 20;
    const std::string block = Pattern(1 << 20);
    int up = ConnectLoopback(daemon->port());
    SendAll(up, Request("PUT", "/vol/._big", "Content-Length: " + std::to_string(size) + "\r\n"));
    for (size_t sent = 0; sent < size; sent += block.size())
        SendAll(up, block);
    EXPECT_EQ(ParseResponse(testsupport::ReadUntilClose(up)).status(), 201);
    ::close(up);
    EXPECT_EQ(fsys::file_size(mirror("._big")), size);

    int down = ConnectLoopback(daemon->port());
    SendAll(down, Request("GET", "/vol/._big"));
    std::string head;
    char c;
    while (head.find("\r\n\r\n") == std::string::npos && ::recv(down, &c, 1, 0) == 1)
        head += c;
    EXPECT_NE(head.find("Content-length: " + std::to_string(size)), std::string::npos) << head;
    size_t received = 0;
    bool same = true;
    std::vector<char> buffer(1 << 20);
    for (ssize_t n; (n = ::recv(down, buffer.data(), buffer.size(), 0)) > 0;) {
        for (ssize_t i = 0; i < n && same; ++i)
            same = buffer[i] == block[(received + i) % block.size()];
        received += static_cast<size_t>(n);
    }
    ::close(down);
    EXPECT_EQ(received, size);
    EXPECT_TRUE(same) << "the file came back with other bytes";

    std::string status = ReadFile("/proc/" + std::to_string(daemon->pid()) + "/status");
    size_t at = status.find("VmHWM:");
    ASSERT_NE(at, std::string::npos);
    EXPECT_LT(std::stoul(status.substr(at + 6)), 64u * 1024) << "peak resident kB";
}
