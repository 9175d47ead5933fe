// The standard answers' methods over the real daemon and the emulated device:
// RFC 4918's Overwrite rules for MOVE and COPY, copies made on the device,
// folders removed bottom-up, HEAD and folder pages, dead properties and file
// times, and malformed request documents; each checked on fs/ and the trace.

#include "RealClientsFixture.h"

#include <sys/stat.h>

using namespace realclients;

namespace {

class StandardMethods : public RealClients {
protected:
    void SetUp() override { start(true, {{"PAVRIX_DEVICE_TRACE", trace}}); }

    Response send(const std::string& method, const std::string& path, const std::string& headers = "",
                  const std::string& body = "")
    {
        std::string raw = method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + headers;
        if (!body.empty())
            raw += "Content-Length: " + std::to_string(body.size()) + "\r\n";
        return ParseResponse(daemon->request(raw + "\r\n" + body));
    }
    Response transfer(const std::string& method, const std::string& from, const std::string& to,
                      const std::string& more = "")
    {
        return send(method, from, "Destination: http://127.0.0.1/" + to + "\r\n" + more);
    }
    std::string traceText() const { return PathExists(trace) ? ReadFile(trace) : ""; }

    std::string trace = scratch / "trace";
};

const std::string kNotes = "Shopping: milk, bread, coffee.\r\nCall the garage on Monday.\r\n";
const std::string kIdeas = "A tide clock for the kitchen.\r\n";

int64_t ModificationSeconds(const std::string& path)
{
    struct stat attributes {};
    return ::stat(path.c_str(), &attributes) == 0 ? attributes.st_mtim.tv_sec : -1;
}

} // namespace

// Replace-by-rename as editors save: no Overwrite replaces with 204, a new name
// is 201; a missing source 404, a folder into itself 403. (Overwrite F's 412 and
// a missing destination folder's 409 are litmus's copymove suite.)
TEST_F(StandardMethods, MoveFollowsTheOverwriteRules)
{
    struct Row {
        std::string from, to, overwrite;
        int status;
    };
    device.put("My Documents/draft.tmp", "saved text");
    device.put("My Documents/other.tmp", "other");
    const std::vector<Row> rows{
        {"Device/My%20Documents/draft.tmp", "Device/My%20Documents/Notes.txt", "", 204},
        {"Device/My%20Documents/other.tmp", "Device/My%20Documents/Personal/other.txt", "Overwrite: T\r\n", 201},
        {"Device/My%20Documents/Missing.txt", "Device/My%20Documents/x.txt", "", 404},
        {"Device/My%20Documents/Personal", "Device/My%20Documents/Personal/inside", "", 403},
    };
    for (const auto& row : rows)
        EXPECT_EQ(transfer("MOVE", "/" + row.from, row.to, row.overwrite).status(), row.status)
            << row.from << " -> " << row.to;
    EXPECT_EQ(ReadFile(fs("My Documents/Notes.txt")), "saved text");
    EXPECT_FALSE(PathExists(fs("My Documents/draft.tmp")));
    EXPECT_EQ(ReadFile(fs("My Documents/Personal/other.txt")), "other");

    // A file never takes the place of a folder that holds something.
    device.put("Full/kept.txt", "kept");
    EXPECT_EQ(transfer("MOVE", "/Device/My%20Documents/Notes.txt", "Device/Full").status(), 412);
    EXPECT_EQ(transfer("COPY", "/Device/My%20Documents/Notes.txt", "Device/Full/").status(), 412);
    EXPECT_EQ(ReadFile(fs("Full/kept.txt")), "kept");
    EXPECT_EQ(ReadFile(fs("My Documents/Notes.txt")), "saved text");

    // A folder onto a folder: the old one and all it held give way.
    MakeDirs(fs("Old"));
    device.put("Old/stale.txt", "stale");
    device.put("New/fresh.txt", "fresh");
    EXPECT_EQ(transfer("MOVE", "/Device/New/", "Device/Old/").status(), 204);
    EXPECT_EQ(ReadFile(fs("Old/fresh.txt")), "fresh");
    EXPECT_FALSE(PathExists(fs("Old/stale.txt")));
    EXPECT_FALSE(PathExists(fs("New")));
    // Nothing set aside is left behind.
    EXPECT_EQ(RunCommand({"/bin/sh", "-c", "find '" + fs("") + "' -name '*aside*' | wc -l"}).out, "0\n");
}

// COPY runs on the device (CeCopyFile: no byte read or written over the link),
// folders member by member. (Overwrite F and Depth 0 are litmus's copymove suite.)
TEST_F(StandardMethods, CopyIsMadeOnTheDevice)
{
    EXPECT_EQ(transfer("COPY", "/Device/My%20Documents/Notes.txt", "Device/Copy.txt").status(), 201);
    EXPECT_EQ(transfer("COPY", "/Device/My%20Documents/Personal/Ideas.txt", "Device/Copy.txt").status(), 204);
    EXPECT_EQ(ReadFile(fs("Copy.txt")), kIdeas);
    EXPECT_EQ(ReadFile(fs("My Documents/Notes.txt")), kNotes);
    std::string calls = traceText();
    EXPECT_NE(calls.find("CeCopyFile\t\\My Documents\\Notes.txt\t\\Copy.txt"), std::string::npos) << calls;
    EXPECT_EQ(calls.find("CeReadFile"), std::string::npos) << calls;
    EXPECT_EQ(calls.find("CeWriteFile"), std::string::npos) << calls;

    EXPECT_EQ(transfer("COPY", "/Device/My%20Documents/", "Device/Backup/").status(), 201);
    EXPECT_EQ(ReadFile(fs("Backup/Personal/Ideas.txt")), kIdeas);
    EXPECT_EQ(ReadFile(fs("Backup/R\xc3\xa9sum\xc3\xa9.txt")), "Curriculum vitae\r\n");
    EXPECT_EQ(transfer("COPY", "/Device/My%20Documents/", "Device/Bad/", "Depth: 1\r\n").status(), 400);
}

// A replace that fails midway puts the old destination back, bytes and all.
TEST_F(StandardMethods, FailedReplaceKeepsTheDestination)
{
    device.put("busy.txt", "held by a program");
    ChildProcess holder = HoldFile(fs("busy.txt"));
    auto answer = transfer("COPY", "/Device/busy.txt", "Device/My%20Documents/Notes.txt");
    EXPECT_EQ(answer.status(), 423) << answer.body;
    EXPECT_EQ(ReadFile(fs("My Documents/Notes.txt")), kNotes);
    EXPECT_EQ(RunCommand({"/bin/sh", "-c", "find '" + fs("") + "' -name '*aside*' | wc -l"}).out, "0\n");
}

// DELETE of a folder takes everything in it, members first; a member another
// program holds stays with the folders above it, named in a 207.
TEST_F(StandardMethods, DeleteRemovesFoldersBottomUp)
{
    device.put("Tree/a.txt", "a");
    device.put("Tree/Sub/b.txt", "b");
    device.put("Tree/Sub/Deeper/c.txt", "c");
    device.put("Tree/Kept/held.txt", "held");
    {
        ChildProcess holder = HoldFile(fs("Tree/Kept/held.txt"));
        auto answer = send("DELETE", "/Device/Tree/");
        EXPECT_EQ(answer.status(), 207);
        EXPECT_NE(answer.body.find("<D:href>/Device/Tree/Kept/held.txt</D:href><D:status>HTTP/1.1 423 Locked"),
                  std::string::npos)
            << answer.body;
        EXPECT_EQ(ReadFile(fs("Tree/Kept/held.txt")), "held");
        EXPECT_FALSE(PathExists(fs("Tree/a.txt")));
        EXPECT_FALSE(PathExists(fs("Tree/Sub")));
    }
    // The volume itself is never removed, nor anything in it that way.
    for (const char* volume : {"/Device/", "/Device", "/Other/"})
        EXPECT_EQ(send("DELETE", volume).status(), 403) << volume;
    EXPECT_EQ(transfer("MOVE", "/Device/", "Device/Elsewhere/").status(), 403);
    EXPECT_TRUE(PathExists(fs("My Documents/Notes.txt")));
    EXPECT_EQ(send("DELETE", "/Device/Tree").status(), 204);
    EXPECT_FALSE(PathExists(fs("Tree")));
    EXPECT_EQ(send("DELETE", "/Device/Tree").status(), 404);
    std::string calls = traceText();
    EXPECT_LT(calls.find("CeDeleteFile\t\\Tree\\Sub\\Deeper\\c.txt"), calls.find("CeRemoveDirectory\t\\Tree\\Sub"));
}

// HEAD is GET's head; a folder's GET is a page of links that lead to its members.
TEST_F(StandardMethods, HeadAndFolderPages)
{
    auto get = send("GET", "/Device/My%20Documents/Notes.txt");
    size_t before = traceText().size();
    auto head = send("HEAD", "/Device/My%20Documents/Notes.txt");
    // Asking for the head never reads the file over the link.
    EXPECT_EQ(traceText().substr(before).find("CeReadFile"), std::string::npos) << traceText().substr(before);
    EXPECT_EQ(head.status(), 200);
    EXPECT_EQ(head.body, "");
    EXPECT_EQ(get.body, kNotes);
    for (const char* name : {"Content-type", "Content-length", "Last-Modified", "ETag"})
        EXPECT_EQ(head.header(name), get.header(name)) << name;
    EXPECT_EQ(get.header("Content-type"), "text/plain");
    EXPECT_EQ(send("GET", "/Device/Storage%20Card/Photos/harbour.jpg").header("Content-type"), "image/jpeg");
    EXPECT_EQ(send("HEAD", "/Device/nothing.txt").status(), 404);

    device.put("My Documents/a&b <c>.txt", "odd");
    auto page = send("GET", "/Device/My%20Documents/");
    EXPECT_EQ(page.status(), 200);
    EXPECT_EQ(page.header("Content-type"), "text/html; charset=utf-8");
    EXPECT_NE(page.body.find(">a&amp;b &lt;c&gt;.txt</a>"), std::string::npos) << page.body;
    EXPECT_NE(page.body.find(">Personal/</a>"), std::string::npos) << page.body;
    // Every link leads somewhere that answers.
    size_t at = 0;
    int links = 0;
    while ((at = page.body.find("href=\"", at)) != std::string::npos) {
        at += 6;
        std::string href = page.body.substr(at, page.body.find('"', at) - at);
        EXPECT_EQ(send("HEAD", href).status(), 200) << href;
        ++links;
    }
    EXPECT_EQ(links, 5); // two folders, three files
}

// Dead properties are kept beside the resource, never on the device nor in a
// listing, and move, copy and go with it.
TEST_F(StandardMethods, DeadPropertiesFollowTheirResource)
{
    const std::string set = "<?xml version=\"1.0\"?><D:propertyupdate xmlns:D=\"DAV:\" xmlns:Z=\"urn:x\"><D:set>"
                            "<D:prop><Z:colour>blue <Z:b>and</Z:b> caf\xc3\xa9</Z:colour></D:prop></D:set>"
                            "</D:propertyupdate>";
    const std::string ask = "<D:propfind xmlns:D=\"DAV:\"><D:prop><Z:colour xmlns:Z=\"urn:x\"/></D:prop></D:propfind>";
    auto colour = [&](const std::string& path) {
        return send("PROPFIND", path, "Depth: 0\r\n", ask).body;
    };
    const std::string found = "<P:colour xmlns:P=\"urn:x\">blue <Z:b xmlns:Z=\"urn:x\">and</Z:b> caf&#xE9;</P:colour>";
    auto patched = send("PROPPATCH", "/Device/My%20Documents/Notes.txt", "", set);
    EXPECT_EQ(patched.status(), 207);
    EXPECT_NE(patched.body.find("HTTP/1.1 200 OK"), std::string::npos) << patched.body;
    EXPECT_NE(colour("/Device/My%20Documents/Notes.txt").find(found), std::string::npos)
        << colour("/Device/My%20Documents/Notes.txt");

    EXPECT_EQ(transfer("COPY", "/Device/My%20Documents/Notes.txt", "Device/Copied.txt").status(), 201);
    EXPECT_EQ(transfer("MOVE", "/Device/My%20Documents/Notes.txt", "Device/Moved.txt").status(), 201);
    EXPECT_NE(colour("/Device/Copied.txt").find(found), std::string::npos);
    EXPECT_NE(colour("/Device/Moved.txt").find(found), std::string::npos);
    device.put("My Documents/Notes.txt", "new");
    EXPECT_NE(colour("/Device/My%20Documents/Notes.txt").find("404 Not Found"), std::string::npos);
    EXPECT_EQ(send("DELETE", "/Device/Moved.txt").status(), 204);
    device.put("Moved.txt", "again");
    EXPECT_EQ(colour("/Device/Moved.txt").find("blue"), std::string::npos);

    // Neither the device nor a listing shows where they are kept.
    auto listing = send("PROPFIND", "/Device/", "Depth: 1\r\n", "");
    EXPECT_EQ(listing.body.find("davprops"), std::string::npos) << listing.body;
    EXPECT_EQ(RunCommand({"/bin/sh", "-c", "find '" + fs("") + "' -name '*davprops*' | wc -l"}).out, "0\n");

    // A remove, and a live property that cannot be set: nothing of the request is made.
    const std::string mixed = "<D:propertyupdate xmlns:D=\"DAV:\" xmlns:Z=\"urn:x\"><D:remove><D:prop><Z:colour/>"
                              "</D:prop></D:remove><D:set><D:prop><D:getcontentlength>1</D:getcontentlength>"
                              "</D:prop></D:set></D:propertyupdate>";
    auto refused = send("PROPPATCH", "/Device/Copied.txt", "", mixed);
    EXPECT_NE(refused.body.find("HTTP/1.1 424 Failed Dependency"), std::string::npos) << refused.body;
    EXPECT_NE(refused.body.find("HTTP/1.1 403 Forbidden"), std::string::npos) << refused.body;
    EXPECT_NE(colour("/Device/Copied.txt").find(found), std::string::npos);
}

// The Windows time properties clients set reach the file on the device.
TEST_F(StandardMethods, WindowsTimesAreSetOnTheDevice)
{
    const std::string set = "<D:propertyupdate xmlns:D=\"DAV:\" xmlns:W=\"urn:schemas-microsoft-com:\"><D:set><D:prop>"
                            "<W:Win32LastModifiedTime>Wed, 01 Jan 2014 10:00:00 GMT</W:Win32LastModifiedTime>"
                            "<W:Win32FileAttributes>00000020</W:Win32FileAttributes></D:prop></D:set>"
                            "</D:propertyupdate>";
    auto answer = send("PROPPATCH", "/Device/Windows/system.ini", "", set);
    EXPECT_EQ(answer.status(), 207);
    EXPECT_EQ(answer.body.find("424"), std::string::npos) << answer.body;
    EXPECT_EQ(ModificationSeconds(fs("Windows/system.ini")), 1388570400);
    EXPECT_NE(traceText().find("CeSetFileTime"), std::string::npos);
    const std::string bad = "<D:propertyupdate xmlns:D=\"DAV:\" xmlns:W=\"urn:schemas-microsoft-com:\"><D:set><D:prop>"
                            "<W:Win32CreationTime>yesterday</W:Win32CreationTime></D:prop></D:set>"
                            "</D:propertyupdate>";
    EXPECT_NE(send("PROPPATCH", "/Device/Windows/system.ini", "", bad).body.find("409 Conflict"), std::string::npos);
    // Dates the clock cannot hold are refused, not wrapped into another century
    // on the file; the one set above stays.
    for (const char* date : {"Fri, 31 Dec 9999 23:59:59 GMT", "Mon, 01 Jan 1601 00:00:00 GMT",
                             "Sat, 12 Apr 2262 00:00:00 GMT", "Mon, 20 Sep 1677 00:00:00 GMT"}) {
        const std::string far = "<D:propertyupdate xmlns:D=\"DAV:\" xmlns:W=\"urn:schemas-microsoft-com:\"><D:set>"
                                "<D:prop><W:Win32LastModifiedTime>" + std::string(date) +
                                "</W:Win32LastModifiedTime></D:prop></D:set></D:propertyupdate>";
        auto refused = send("PROPPATCH", "/Device/Windows/system.ini", "", far);
        EXPECT_NE(refused.body.find("409 Conflict"), std::string::npos) << date << refused.body;
        EXPECT_EQ(ModificationSeconds(fs("Windows/system.ini")), 1388570400) << date;
    }
    EXPECT_TRUE(daemon->process().running());
}

// Request documents that are not well-formed, or that declare entities, are
// refused, an external entity unread; MKCOL with a body is refused; nothing
// changes. (Which documents are well-formed is the request readers' own test.)
TEST_F(StandardMethods, MalformedDocumentsAreRefused)
{
    WriteFile(scratch / "secret", "SECRET");
    const std::string external = "<?xml version=\"1.0\"?><!DOCTYPE D:propfind [<!ENTITY x SYSTEM \"file://" +
                                 (scratch / "secret") +
                                 "\">]><D:propfind xmlns:D=\"DAV:\"><D:prop><D:x>&x;</D:x></D:prop></D:propfind>";
    struct Row {
        std::string method, path, body;
        int status;
    };
    const std::vector<Row> rows{
        {"PROPFIND", "/Device/", external, 400},
        {"PROPPATCH", "/Device/Windows/system.ini", "<D:propertyupdate xmlns:D=\"DAV:\"><D:set>", 400},
        {"PROPPATCH", "/Device/Windows/system.ini", "<x/>", 400},
        {"LOCK", "/Device/Windows/system.ini", "<D:lockinfo xmlns:D=\"DAV:\"><D:lockscope/></D:lockinfo>", 400},
        {"MKCOL", "/Device/Made", "<x/>", 415},
    };
    for (const auto& row : rows) {
        auto answer = send(row.method, row.path, "Depth: 0\r\n", row.body);
        EXPECT_EQ(answer.status(), row.status) << row.method << " " << row.body;
        EXPECT_EQ(answer.body.find("SECRET"), std::string::npos);
    }
    EXPECT_FALSE(PathExists(fs("Made")));
    EXPECT_EQ(send("MKCOL", "/Device/Made").status(), 201);
    EXPECT_TRUE(IsDirectory(fs("Made")));
}
