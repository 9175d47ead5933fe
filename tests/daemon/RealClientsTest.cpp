// The real daemon serving the sample device (scripts/make-sample-device.sh), in its
// own answers or the standard ones, driven by real WebDAV clients and by raw
// requests, every step checked on fs/ (or, for litmus's conformance suites, on what
// litmus says): rclone in both kinds of answers; the Linux desktop's clients (GNOME
// Files through gvfs, davfs2, lftp, KDE's KIO) on the standard answers;
// "Expect: 100-continue", which streaming clients send, in both kinds of answers;
// the standard answers' methods (RFC 4918's Overwrite rules for MOVE and COPY,
// copies made on the device, folders removed bottom-up, HEAD and folder pages, dead
// properties and file times, and malformed request documents), each also checked on
// the device-call trace; and a soak of 20,000 sequential requests of every kind,
// after which the daemon has the descriptors it had and has not grown.

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <poll.h>
#include <regex>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <tuple>
#include <unistd.h>

using namespace testsupport;

namespace {

class RealClients : public ::testing::Test {
protected:
    void SetUp() override { start(false); }
    // PAVRIX_STANDARD_DAV=1 when `standard`; `env` adds to the daemon's environment.
    void start(bool standard, std::map<std::string, std::optional<std::string>> env = {})
    {
        auto made = RunCommand({"/bin/bash", SourcePath("scripts/make-sample-device.sh"), device.path()});
        ASSERT_EQ(made.exitCode, 0) << made.err;
        env.merge(NoBusEnv());
        env["PAVRIX_DEVICE"] = device.path();
        env["PAVRIX_STANDARD_DAV"] = standard ? "1" : "0";
        daemon = std::make_unique<Daemon>(home.path(), env);
        base = "http://127.0.0.1:" + std::to_string(daemon->port()) + "/Device/";
    }

    std::string fs(const std::string& relative) const { return device.fs(relative); }
    // The client's own environment: its HOME apart from the daemon's, and no
    // desktop settings leaking in.
    ChildProcess::Options clientOptions() const
    {
        MakeDirs(scratch / "client-home");
        return {.env = {{"HOME", scratch / "client-home"}, {"QT_QPA_PLATFORM", "offscreen"},
                        {"XDG_RUNTIME_DIR", std::nullopt}}};
    }
    // What is missing of the tools a test needs, if anything.
    static std::optional<std::string> Missing(const std::vector<std::string>& tools)
    {
        for (const auto& tool : tools)
            if (!PathExists(tool))
                return tool + " is not installed (scripts/setup.sh installs it)";
        return std::nullopt;
    }
    // Whether this machine allows no FUSE mount: it needs root and /dev/fuse, and a
    // container may hand those out and still refuse the mount itself.
    static bool FuseRefused(const std::string& said)
    {
        return ::geteuid() != 0 || !PathExists("/dev/fuse") || said.find("fuse") != std::string::npos ||
               said.find("permitted") != std::string::npos;
    }

    TempDir home;
    DeviceFolder device;
    TempDir scratch;
    std::unique_ptr<Daemon> daemon;
    std::string base;
};

class StandardClients : public RealClients {
protected:
    void SetUp() override { start(true); }
};

// In the daemon's own answers (false) and the standard ones (true).
class BothModes : public RealClients, public ::testing::WithParamInterface<bool> {
protected:
    void SetUp() override { start(GetParam()); }
};

INSTANTIATE_TEST_SUITE_P(Modes, BothModes, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "StandardAnswers" : "OwnAnswers"; });

// Reads until the end of one answer head (the blank line), or until the peer
// closes or 10 s pass without a byte.
std::string ReadHead(int fd)
{
    std::string head;
    char c;
    while (head.find("\r\n\r\n") == std::string::npos) {
        struct pollfd pfd {fd, POLLIN, 0};
        if (::poll(&pfd, 1, 10000) <= 0 || ::recv(fd, &c, 1, 0) != 1)
            break;
        head += c;
    }
    return head;
}

// After the daemon has let go of the last connection, which it closes a moment
// after the client has read the answer.
size_t OpenDescriptors(pid_t pid)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    return std::distance(std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd"), {});
}

// A request from its pattern: each "#" is the round number modulo the digit after it.
std::string Request(const std::string& pattern, int round)
{
    std::string out;
    for (size_t i = 0; i < pattern.size(); ++i)
        out += pattern[i] == '#' ? std::to_string(round % (pattern[++i] - '0')) : std::string(1, pattern[i]);
    return out;
}

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

TEST_F(StandardClients, GnomeFilesThroughGvfs)
{
    if (auto missing = Missing({"/usr/libexec/gvfsd", "/usr/bin/gio"}))
        GTEST_SKIP() << *missing;
    PrivateBus bus;
    const ChildProcess::Options options{.env = {{"HOME", home.path()}, {"XDG_RUNTIME_DIR", std::nullopt}}};
    ChildProcess gvfsd({"/usr/libexec/gvfsd", "--no-fuse"}, options);
    // gio finds the daemon by its bus name; asked before it holds the name, gio fails.
    ASSERT_TRUE(WaitFor([] { return BusNameOwnerPid("org.gtk.vfs.Daemon").has_value(); }))
        << "gvfsd never took its name";
    auto gio = [&](std::vector<std::string> args) {
        args.insert(args.begin(), "/usr/bin/gio");
        return RunCommand(args, options, std::chrono::seconds(60));
    };
    std::string dav = "dav" + base.substr(4, base.size() - 5); // dav://127.0.0.1:PORT/Device, no slash

    // gvfs mounts the folder as typed, without its trailing slash.
    auto mount = gio({"mount", dav});
    ASSERT_EQ(mount.exitCode, 0) << mount.out << mount.err;
    auto root = gio({"list", dav + "/"});
    EXPECT_EQ(root.exitCode, 0) << root.err;
    for (const char* name : {"My Documents\n", "Storage Card\n", "Windows\n"})
        EXPECT_NE(root.out.find(name), std::string::npos) << name << " in " << root.out;
    auto folder = gio({"list", dav + "/My Documents/"});
    EXPECT_NE(folder.out.find("Résumé.txt\n"), std::string::npos) << folder.out << folder.err;

    std::string bytes = RandomBytes(3 << 20, 11);
    WriteFile(scratch / "in.bin", bytes);
    EXPECT_EQ(gio({"copy", scratch / "in.bin", dav + "/My Documents/in.bin"}).exitCode, 0);
    EXPECT_EQ(ReadFile(fs("My Documents/in.bin")), bytes);
    EXPECT_EQ(gio({"copy", dav + "/My Documents/in.bin", scratch / "out.bin"}).exitCode, 0);
    EXPECT_EQ(ReadFile(scratch / "out.bin"), bytes);

    EXPECT_EQ(gio({"mkdir", dav + "/Made by gio"}).exitCode, 0);
    EXPECT_TRUE(IsDirectory(fs("Made by gio")));
    EXPECT_EQ(gio({"rename", dav + "/My Documents/in.bin", "renamed.bin"}).exitCode, 0);
    EXPECT_EQ(ReadFile(fs("My Documents/renamed.bin")), bytes);
    EXPECT_EQ(gio({"move", dav + "/My Documents/renamed.bin", dav + "/Made by gio/"}).exitCode, 0);
    EXPECT_EQ(ReadFile(fs("Made by gio/renamed.bin")), bytes);
    EXPECT_FALSE(PathExists(fs("My Documents/renamed.bin")));
    EXPECT_EQ(gio({"remove", dav + "/Made by gio/renamed.bin"}).exitCode, 0);
    EXPECT_FALSE(PathExists(fs("Made by gio/renamed.bin")));
    gio({"mount", "-u", dav});
    gvfsd.stop();
}

// The interim answer goes out before the body is sent, and only when the body is
// going to be read.
TEST_P(BothModes, InterimAnswerOnlyWhenTheBodyIsRead)
{
    const std::string expect = "Expect: 100-continue\r\n";
    // head, body, whether "100 Continue" comes first, status
    const std::vector<std::tuple<std::string, std::string, bool, int>> rows{
        {"PUT /Device/My%20Documents/expected.txt HTTP/1.1\r\nContent-Length: 5\r\n" + expect, "hello", true, 201},
        {"PROPFIND /Device/ HTTP/1.1\r\nDepth: 0\r\nContent-Length: 74\r\n" + expect,
         "<D:propfind xmlns:D=\"DAV:\"><D:prop><D:resourcetype/></D:prop></D:propfind>", true, 207},
        {"PUT /Device/x.txt HTTP/1.1\r\nContent-Range: bytes 0-4/9\r\nContent-Length: 5\r\n" + expect, "hello",
         false, 400},
        {"OPTIONS /Device/ HTTP/1.1\r\nContent-Length: 5\r\n" + expect, "hello", false, 200},
    };
    for (const auto& [head, body, interim, status] : rows) {
        SCOPED_TRACE(head);
        int fd = ConnectLoopback(daemon->port());
        SendAll(fd, head + "\r\n");
        std::string first = ReadHead(fd);
        if (interim) {
            EXPECT_EQ(first, "HTTP/1.1 100 Continue\r\n\r\n");
            SendAll(fd, body);
            first = ReadHead(fd);
        }
        EXPECT_EQ(first.substr(0, 13), "HTTP/1.1 " + std::to_string(status) + " ") << first;
        ::close(fd);
    }
    EXPECT_EQ(ReadFile(fs("My Documents/expected.txt")), "hello");
    EXPECT_FALSE(PathExists(fs("x.txt")));
}

// lftp with its defaults: it finds folders with HEAD (and the redirect to the
// name with "/"), lists them from the folder page, renames over a file.
// davfs2 with its default configuration: locks on, uploads when a file closes.
// Listing a folder through the mount fails in containers whatever the server, so
// the test reads and writes by name only.
TEST_F(StandardClients, Davfs2WithItsDefaultConfiguration)
{
    if (auto missing = Missing({"/usr/sbin/mount.davfs"}))
        GTEST_SKIP() << *missing;
    std::string mnt = scratch / "mnt";
    MakeDirs(mnt);
    WriteFile(scratch / "no-credentials", "\n\n");
    auto mount = RunCommand({"/usr/sbin/mount.davfs", base, mnt}, {.stdinFile = scratch / "no-credentials"});
    if (mount.exitCode != 0 && FuseRefused(mount.out + mount.err))
        GTEST_SKIP() << "this machine refuses the FUSE mount: " << mount.out + mount.err;
    ASSERT_EQ(mount.exitCode, 0) << mount.out + mount.err;

    EXPECT_EQ(ReadFile(mnt + "/My Documents/Notes.txt"), ReadFile(fs("My Documents/Notes.txt")));
    std::string bytes = RandomBytes(3 << 20, 13);
    WriteFile(mnt + "/written.bin", bytes);
    WriteFile(mnt + "/small.txt", "through davfs2\n");
    MakeDirs(mnt + "/Davfs Folder");
    bool renamed = ::rename((mnt + "/small.txt").c_str(), (mnt + "/Davfs Folder/moved.txt").c_str()) == 0;
    bool removed = ::unlink((mnt + "/My Documents/Notes.txt").c_str()) == 0;
    // Unmounting waits until every change has gone to the daemon.
    auto unmount = RunCommand({"/bin/umount", mnt}, {}, std::chrono::seconds(120));
    ASSERT_EQ(unmount.exitCode, 0) << unmount.err;

    EXPECT_TRUE(renamed);
    EXPECT_TRUE(removed);
    EXPECT_EQ(ReadFile(fs("written.bin")), bytes);
    EXPECT_EQ(ReadFile(fs("Davfs Folder/moved.txt")), "through davfs2\n");
    EXPECT_FALSE(PathExists(fs("small.txt")));
    EXPECT_FALSE(PathExists(fs("My Documents/Notes.txt")));
}

TEST_F(StandardClients, Lftp)
{
    if (auto missing = Missing({"/usr/bin/lftp"}))
        GTEST_SKIP() << *missing;
    WriteFile(scratch / "new.txt", "written by lftp\n");
    WriteFile(scratch / "save.tmp", "saved by lftp\n");
    std::string script = "open " + base + "\n"
                         "cls -1 'My Documents/'\n"
                         "cd 'My Documents'\n"
                         "cat Notes.txt\n"
                         "put " + (scratch / "new.txt") + "\n"
                         "put " + (scratch / "save.tmp") + " -o notes.tmp\n"
                         "mv notes.tmp Notes.txt\n"
                         "mkdir Made\n"
                         "put " + (scratch / "new.txt") + " -o Made/inner.txt\n"
                         "mkdir Made/Deeper\n"
                         "rm -r Made\n"
                         "get Notes.txt -o " + (scratch / "back.txt") + "\n";
    WriteFile(scratch / "script.lftp", script);
    auto run = RunCommand({"/usr/bin/lftp", "-f", scratch / "script.lftp"}, clientOptions(), std::chrono::seconds(120));
    EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
    for (const char* name : {"Notes.txt\n", "Personal/\n", "R\xc3\xa9sum\xc3\xa9.txt\n"})
        EXPECT_NE(run.out.find(name), std::string::npos) << name << " in " << run.out;
    EXPECT_NE(run.out.find("Call the garage on Monday."), std::string::npos) << run.out;
    EXPECT_EQ(ReadFile(fs("My Documents/new.txt")), "written by lftp\n");
    EXPECT_EQ(ReadFile(fs("My Documents/Notes.txt")), "saved by lftp\n");
    EXPECT_FALSE(PathExists(fs("My Documents/notes.tmp")));
    EXPECT_FALSE(PathExists(fs("My Documents/Made")));
    EXPECT_EQ(ReadFile(scratch / "back.txt"), "saved by lftp\n");
    EXPECT_FALSE(PathExists(fs("new.txt"))); // the upload went into the folder lftp was in
}

// KDE's KIO on a private session bus: kioclient5, whose copies within the device
// are made by the device, then kio-fuse, KIO's FUSE mount, as a file manager's
// "open with" or a shell uses it.
TEST_F(StandardClients, Kio)
{
    const std::string kioFuse = "/usr/lib/x86_64-linux-gnu/libexec/kio-fuse";
    if (auto missing = Missing({"/usr/bin/kioclient5", "/usr/bin/dbus-run-session"}))
        GTEST_SKIP() << *missing;
    std::string mnt = scratch / "kio-fuse";
    MakeDirs(mnt);
    std::string bytes = RandomBytes(3 << 20, 41);
    device.put("big.bin", bytes);
    std::string dav = "webdav" + base.substr(4); // webdav://127.0.0.1:PORT/Device/
    WriteFile(scratch / "new.txt", "written by KIO\n");
    // One session for every step, each saying how it went; kio-fuse mounts the URL
    // it is asked for over D-Bus and says where. Everything started on the bus
    // (kded5 by KIO) is stopped at the end, so that nothing outlives the test.
    std::string script = "set -u\n"
                         "k() { timeout 60 kioclient5 --noninteractive \"$@\"; echo \"kio=$?\"; }\n"
                         "k ls '" + dav + "My Documents/' | sed 's/^/kio-ls /'\n"
                         "k cat '" + dav + "My Documents/Notes.txt'\n"
                         "k copy '" + (scratch / "new.txt") + "' '" + dav + "My Documents/new.txt'\n"
                         "k copy '" + dav + "My Documents/' '" + dav + "Copied/'\n"
                         "k move '" + dav + "My Documents/new.txt' '" + dav + "Copied/moved.txt'\n"
                         "k remove '" + dav + "Copied/Personal/'\n"
                         "d() { dbus-send --session --print-reply --dest=org.kde.KIOFuse \"$@\"; }\n"
                         "'" + kioFuse + "' -f '" + mnt + "' & kf=$!\n"
                         // Asking the bus (not kio-fuse) whether the name is taken starts
                         // no installed kio-fuse in its place.
                         "for i in $(seq 1 100); do dbus-send --session --print-reply --dest=org.freedesktop.DBus "
                         "/org/freedesktop/DBus org.freedesktop.DBus.NameHasOwner string:org.kde.KIOFuse | "
                         "grep -q true && break; sleep 0.1; done\n"
                         "p=$(d /org/kde/KIOFuse org.kde.KIOFuse.VFS.mountUrl string:'" + dav + "' | "
                         "sed -n 's/.*string \"\\(.*\\)\"/\\1/p')\n"
                         "ls \"$p/My Documents\" | sed 's/^/fuse-ls /'\n"
                         "cp \"$p/big.bin\" '" + (scratch / "big.copy") + "'; echo cp=$?\n"
                         "printf 'saved by kio-fuse\\n' > \"$p/My Documents/save.tmp\"; echo write=$?\n"
                         "mv \"$p/My Documents/save.tmp\" \"$p/My Documents/Notes.txt\"; echo mv=$?\n"
                         "mkdir \"$p/KF\"; echo mkdir=$?\n"
                         "printf inner > \"$p/KF/inner.txt\"; mkdir \"$p/KF/Deeper\"\n"
                         "cp \"$p/My Documents/Notes.txt\" \"$p/KF/copy.txt\"; echo copy=$?\n"
                         "cat \"$p/KF/copy.txt\"; cat '" + fs("KF/copy.txt") + "'\n"
                         "dd if=\"$p/big.bin\" of='" + (scratch / "seek.bin") + "' bs=1000 skip=2000 count=1 "
                         "2>/dev/null; echo seek=$?\n"
                         "rm -r \"$p/KF\"; echo rm=$?\n"
                         "fusermount3 -u '" + mnt + "'\n"
                         "kill $kf 2>/dev/null; wait $kf\n"
                         "dbus-send --session --dest=org.kde.kded5 --type=method_call /MainApplication "
                         "org.qtproject.Qt.QCoreApplication.quit >/dev/null 2>&1\n";
    WriteFile(scratch / "kio.sh", script);
    auto run = RunCommand({"/usr/bin/dbus-run-session", "--", "/bin/sh", scratch / "kio.sh"}, clientOptions(),
                          std::chrono::seconds(300));
    std::string said = run.out + run.err;
    EXPECT_EQ(CountOf(run.out, "kio="), CountOf(run.out, "kio=0\n")) << said;
    EXPECT_NE(run.out.find("kio-ls Personal\n"), std::string::npos) << said;
    EXPECT_NE(run.out.find("Call the garage on Monday."), std::string::npos) << said;
    EXPECT_EQ(ReadFile(fs("Copied/Notes.txt")), "Shopping: milk, bread, coffee.\r\nCall the garage on Monday.\r\n");
    EXPECT_EQ(ReadFile(fs("Copied/moved.txt")), "written by KIO\n");
    EXPECT_FALSE(PathExists(fs("My Documents/new.txt")));
    EXPECT_FALSE(PathExists(fs("Copied/Personal")));

    if (auto missing = Missing({kioFuse, "/usr/bin/fusermount3"}))
        GTEST_SKIP() << *missing << ": the FUSE mount is not checked";
    if (run.out.find("fuse-ls Personal\n") == std::string::npos && FuseRefused(said))
        GTEST_SKIP() << "this machine refuses the FUSE mount: " << said;
    for (const char* step : {"cp=0\n", "write=0\n", "mv=0\n", "mkdir=0\n", "copy=0\n", "seek=0\n", "rm=0\n"})
        EXPECT_NE(run.out.find(step), std::string::npos) << step << " in " << said;
    EXPECT_NE(run.out.find("fuse-ls Personal\n"), std::string::npos) << said;
    // Every byte of a file over 1 MiB, not one prop's worth, and a part after a seek.
    EXPECT_EQ(ReadFile(scratch / "big.copy"), bytes);
    EXPECT_EQ(ReadFile(scratch / "seek.bin"), bytes.substr(2000000, 1000));
    EXPECT_EQ(ReadFile(fs("My Documents/Notes.txt")), "saved by kio-fuse\n");
    EXPECT_FALSE(PathExists(fs("My Documents/save.tmp")));
    EXPECT_NE(run.out.find("saved by kio-fuse\n"), std::string::npos) << said;
    EXPECT_FALSE(PathExists(fs("KF")));
    EXPECT_TRUE(PathExists(fs("My Documents/Personal/Ideas.txt")));
}

// rclone asks for the properties it wants only in its property-listing vendor
// modes; an empty PROPFIND body gets names alone in the daemon's own answers and
// every property in the standard ones, so plain rclone needs those.
TEST_P(BothModes, RcloneListsAndCopiesBothWays)
{
    auto rclone = [&](std::vector<std::string> args) {
        std::vector<std::string> argv{"/usr/bin/rclone", "--config", "/dev/null", "--webdav-url", base};
        if (!GetParam())
            argv.insert(argv.end(), {"--webdav-vendor", "owncloud"});
        argv.insert(argv.end(), args.begin(), args.end());
        return RunCommand(argv, {.env = {{"HOME", home.path()}}}, std::chrono::seconds(120));
    };

    auto listing = rclone({"lsf", "-R", ":webdav:"});
    ASSERT_EQ(listing.exitCode, 0) << listing.err;
    for (const char* entry : {"My Documents/\n", "My Documents/Personal/Ideas.txt\n", "Storage Card/Photos/\n",
                              "Windows/system.ini\n", "My Documents/Résumé.txt\n"})
        EXPECT_NE(listing.out.find(entry), std::string::npos) << entry << "\n" << listing.out;

    std::string up = scratch / "up";
    const std::string blob = RandomBytes(300000, 7);
    WriteFile(up + "/blob.bin", blob); // several upload chunks
    WriteFile(up + "/nested/small.txt", "small\n");
    auto copyTo = rclone({"copy", up, ":webdav:Storage Card/Upload"});
    ASSERT_EQ(copyTo.exitCode, 0) << copyTo.err;
    EXPECT_EQ(ReadFile(fs("Storage Card/Upload/blob.bin")), blob);
    EXPECT_EQ(ReadFile(fs("Storage Card/Upload/nested/small.txt")), "small\n");

    std::string down = scratch / "down";
    auto copyFrom = rclone({"copy", ":webdav:My Documents", down});
    ASSERT_EQ(copyFrom.exitCode, 0) << copyFrom.err;
    EXPECT_EQ(ReadFile(down + "/Personal/Ideas.txt"), ReadFile(fs("My Documents/Personal/Ideas.txt")));
    EXPECT_EQ(ReadFile(down + "/Résumé.txt"), "Curriculum vitae\r\n");
}

// litmus, the WebDAV conformance suites, against the standard answers: every test
// of its five suites passes, with no warning and none skipped.
using Litmus = StandardClients;

TEST_F(Litmus, EverySuitePassesInTheStandardAnswers)
{
    if (auto missing = Missing({"/usr/bin/litmus"}))
        GTEST_SKIP() << *missing;
    for (const std::string suite : {"basic", "copymove", "props", "locks", "http"}) {
        SCOPED_TRACE(suite);
        // Each suite in a collection of its own, as it expects to start from nothing.
        RemoveTree(fs("litmus"));
        MakeDirs(fs("litmus"));
        const ChildProcess::Options options{.env = {{"TESTS", suite}, {"HOME", scratch.path()}}};
        // litmus writes its debug log into the folder it runs in: the scratch folder.
        auto run = RunCommand({"/bin/sh", "-c", "cd \"$1\" && exec /usr/bin/litmus \"$2\"", "litmus",
                               scratch.path(), base + "litmus/"},
                              options, std::chrono::seconds(300));
        EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
        EXPECT_NE(run.out.find("summary for `" + suite + "': of "), std::string::npos) << run.out;
        EXPECT_NE(run.out.find(" 0 failed."), std::string::npos) << run.out;
        EXPECT_EQ(run.out.find("WARNING"), std::string::npos) << run.out;
        EXPECT_EQ(run.out.find("SKIPPED"), std::string::npos) << run.out;
    }
}

TEST_F(RealClients, SoakOfTwentyThousandMixedRequests)
{
    const std::string props = "<propfind><prop><resourcetype/><getcontentlength/></prop></propfind>";
    const std::string card = " /Device/Storage%20Card/", end = " HTTP/1.1\r\nHost: soak\r\n";
    // Each kind in turn; a PUT comes before the MOVE and DELETE of the same name, so
    // each of those finds what it acts on.
    const std::pair<std::string, int> kinds[] = {
        {"PROPFIND /Device/My%20Documents/" + end + "Depth: 1\r\nContent-Length: " + std::to_string(props.size()) +
             "\r\n\r\n" + props, 207},
        {"GET /Device/My%20Documents/Notes.txt" + end + "\r\n", 200},
        {"PUT" + card + "soak#7.txt" + end + "Content-Length: 5\r\n\r\nhello", 201},
        {"PUT /Device/._soak#5" + end + "Content-Length: 4\r\n\r\nmeta", 201},
        {"GET /Device/._soak0" + end + "\r\n", 200},
        {"MOVE" + card + "soak#7.txt" + end + "Destination: http://h/Device/Storage%20Card/moved#3.txt\r\n\r\n", 201},
        {"DELETE" + card + "moved#3.txt" + end + "\r\n", 204},
        {"GET /Device/nothing/here.txt" + end + "\r\n", 404},
        {"DELETE /Device/caf%E9.txt" + end + "\r\n", 400}, // not UTF-8
        {"PUT /Device/cut.txt HTTP/1.1\r\nContent-Length: 3\r\n", 400}, // a head cut short
        {"PUT /Device/._huge" + end + "Content-Length: 99999999999999999999\r\n\r\n", 413},
    };
    int failures = 0;
    auto run = [&](int from, int to) {
        for (int n = from; n < to && failures < 10; ++n) {
            const auto& [pattern, status] = kinds[static_cast<size_t>(n) % std::size(kinds)];
            std::string request = Request(pattern, n / static_cast<int>(std::size(kinds)));
            Response answer = ParseResponse(Exchange(daemon->port(), request));
            if (answer.status() != status) {
                ++failures;
                ADD_FAILURE() << "request " << n << ": " << request.substr(0, 60) << " -> " << answer.statusLine;
            }
        }
    };
    const int warmUp = 1100, total = 20000;
    run(0, warmUp);
    const size_t descriptors = OpenDescriptors(daemon->pid());
    const long resident = ProcStatusKiB(daemon->pid(), "VmRSS");
    ASSERT_GT(resident, 0);
    run(warmUp, total);
    EXPECT_EQ(failures, 0);
    EXPECT_EQ(OpenDescriptors(daemon->pid()), descriptors);
#ifndef PAVRIX_SANITIZED
    EXPECT_LE(ProcStatusKiB(daemon->pid(), "VmRSS"), resident + 2048) << "kB resident after the warm-up: " << resident;
#else
    // AddressSanitizer keeps freed memory in quarantine, so the resident size says
    // nothing about the daemon there; the descriptors and answers still do.
    (void)resident;
#endif
    EXPECT_TRUE(daemon->process().running());
}

// Replace-by-rename as editors save: no Overwrite replaces with 204, a new name
// is 201; a missing source 404, a folder into itself 403. (Overwrite F's 412 and
// a missing destination folder's 409 are litmus's copymove suite.)
TEST_F(StandardMethods, MoveFollowsTheOverwriteRules)
{
    device.put("My Documents/draft.tmp", "saved text");
    device.put("My Documents/other.tmp", "other");
    // from, to, more headers, status
    const std::vector<std::tuple<std::string, std::string, std::string, int>> rows{
        {"Device/My%20Documents/draft.tmp", "Device/My%20Documents/Notes.txt", "", 204},
        {"Device/My%20Documents/other.tmp", "Device/My%20Documents/Personal/other.txt", "Overwrite: T\r\n", 201},
        {"Device/My%20Documents/Missing.txt", "Device/My%20Documents/x.txt", "", 404},
        {"Device/My%20Documents/Personal", "Device/My%20Documents/Personal/inside", "", 403},
    };
    for (const auto& [from, to, overwrite, status] : rows)
        EXPECT_EQ(transfer("MOVE", "/" + from, to, overwrite).status(), status) << from << " -> " << to;
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
TEST_F(StandardMethods, CopyIsMadeOnTheDeviceAndAFailedReplaceKeepsTheDestination)
{
    EXPECT_EQ(transfer("COPY", "/Device/My%20Documents/Notes.txt", "Device/Copy.txt").status(), 201);
    EXPECT_EQ(transfer("COPY", "/Device/My%20Documents/Personal/Ideas.txt", "Device/Copy.txt").status(), 204);
    EXPECT_EQ(ReadFile(fs("Copy.txt")), kIdeas);
    EXPECT_EQ(ReadFile(fs("My Documents/Notes.txt")), kNotes);
    std::string calls = ReadFile(trace);
    EXPECT_NE(calls.find("CeCopyFile\t\\My Documents\\Notes.txt\t\\Copy.txt"), std::string::npos) << calls;
    EXPECT_EQ(calls.find("CeReadFile"), std::string::npos) << calls;
    EXPECT_EQ(calls.find("CeWriteFile"), std::string::npos) << calls;

    EXPECT_EQ(transfer("COPY", "/Device/My%20Documents/", "Device/Backup/").status(), 201);
    EXPECT_EQ(ReadFile(fs("Backup/Personal/Ideas.txt")), kIdeas);
    EXPECT_EQ(ReadFile(fs("Backup/R\xc3\xa9sum\xc3\xa9.txt")), "Curriculum vitae\r\n");
    EXPECT_EQ(transfer("COPY", "/Device/My%20Documents/", "Device/Bad/", "Depth: 1\r\n").status(), 400);

    // A replace that fails midway puts the old destination back, bytes and all.
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
    std::string calls = ReadFile(trace);
    EXPECT_LT(calls.find("CeDeleteFile\t\\Tree\\Sub\\Deeper\\c.txt"), calls.find("CeRemoveDirectory\t\\Tree\\Sub"));
}

// HEAD is GET's head; a folder's GET is a page of links that lead to its members.
TEST_F(StandardMethods, HeadAndFolderPages)
{
    auto get = send("GET", "/Device/My%20Documents/Notes.txt");
    size_t before = ReadFile(trace).size();
    auto head = send("HEAD", "/Device/My%20Documents/Notes.txt");
    // Asking for the head never reads the file over the link.
    EXPECT_EQ(ReadFile(trace).substr(before).find("CeReadFile"), std::string::npos) << ReadFile(trace).substr(before);
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
    const std::regex link("href=\"([^\"]*)\"");
    int links = 0;
    for (std::sregex_iterator it(page.body.begin(), page.body.end(), link), end; it != end; ++it, ++links)
        EXPECT_EQ(send("HEAD", (*it)[1]).status(), 200) << (*it)[1];
    EXPECT_EQ(links, 5); // two folders, three files
}

// Dead properties are kept beside the resource, never on the device nor in a
// listing, and move, copy and go with it.
TEST_F(StandardMethods, DeadPropertiesFollowTheirResourceAndWindowsTimesReachTheDevice)
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

    // The Windows time properties clients set reach the file on the device; one
    // that is no date, or a date the clock cannot hold, is refused rather than
    // wrapped into another century on the file, and the one set before stays.
    auto times = [&](const std::string& props) {
        return send("PROPPATCH", "/Device/Windows/system.ini", "",
                    "<D:propertyupdate xmlns:D=\"DAV:\" xmlns:W=\"urn:schemas-microsoft-com:\"><D:set><D:prop>" +
                        props + "</D:prop></D:set></D:propertyupdate>");
    };
    auto answer = times("<W:Win32LastModifiedTime>Wed, 01 Jan 2014 10:00:00 GMT</W:Win32LastModifiedTime>"
                        "<W:Win32FileAttributes>00000020</W:Win32FileAttributes>");
    EXPECT_EQ(answer.status(), 207);
    EXPECT_EQ(answer.body.find("424"), std::string::npos) << answer.body;
    EXPECT_EQ(ModificationSeconds(fs("Windows/system.ini")), 1388570400);
    EXPECT_NE(ReadFile(trace).find("CeSetFileTime"), std::string::npos);
    for (std::string prop : {"<W:Win32CreationTime>yesterday</W:Win32CreationTime>",
                             "<W:Win32LastModifiedTime>Fri, 31 Dec 9999 23:59:59 GMT</W:Win32LastModifiedTime>",
                             "<W:Win32LastModifiedTime>Mon, 01 Jan 1601 00:00:00 GMT</W:Win32LastModifiedTime>",
                             "<W:Win32LastModifiedTime>Sat, 12 Apr 2262 00:00:00 GMT</W:Win32LastModifiedTime>",
                             "<W:Win32LastModifiedTime>Mon, 20 Sep 1677 00:00:00 GMT</W:Win32LastModifiedTime>"}) {
        EXPECT_NE(times(prop).body.find("409 Conflict"), std::string::npos) << prop;
        EXPECT_EQ(ModificationSeconds(fs("Windows/system.ini")), 1388570400) << prop;
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
    // method, path, body, status
    const std::vector<std::tuple<std::string, std::string, std::string, int>> rows{
        {"PROPFIND", "/Device/", external, 400},
        {"PROPPATCH", "/Device/Windows/system.ini", "<D:propertyupdate xmlns:D=\"DAV:\"><D:set>", 400},
        {"PROPPATCH", "/Device/Windows/system.ini", "<x/>", 400},
        {"LOCK", "/Device/Windows/system.ini", "<D:lockinfo xmlns:D=\"DAV:\"><D:lockscope/></D:lockinfo>", 400},
        {"MKCOL", "/Device/Made", "<x/>", 415},
    };
    for (const auto& [method, path, body, status] : rows) {
        auto answer = send(method, path, "Depth: 0\r\n", body);
        EXPECT_EQ(answer.status(), status) << method << " " << body;
        EXPECT_EQ(answer.body.find("SECRET"), std::string::npos);
    }
    EXPECT_FALSE(PathExists(fs("Made")));
    EXPECT_EQ(send("MKCOL", "/Device/Made").status(), 201);
    EXPECT_TRUE(IsDirectory(fs("Made")));
}
