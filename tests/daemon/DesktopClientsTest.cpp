// The Linux desktop's own WebDAV clients (GNOME Files through gvfs, davfs2) on
// the standard answers, and "Expect: 100-continue", which streaming clients send,
// in both kinds of answers.

#include "RealClientsFixture.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace realclients;

namespace {

class StandardClients : public RealClients {
protected:
    void SetUp() override { start(true); }
    std::string bareVolume() const { return base.substr(0, base.size() - 1); } // ".../Device"
};

// In the daemon's own answers (false) and the standard ones (true).
class BothModes : public StandardClients, public ::testing::WithParamInterface<bool> {
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

} // namespace

TEST_F(StandardClients, GnomeFilesThroughGvfs)
{
    for (const char* tool : {"/usr/libexec/gvfsd", "/usr/bin/gio"})
        if (!PathExists(tool))
            GTEST_SKIP() << tool << " is not installed (scripts/setup.sh installs it)";
    PrivateBus bus;
    ChildProcess::Options options;
    options.env["HOME"] = home.path();
    options.env["XDG_RUNTIME_DIR"] = std::nullopt;
    ChildProcess gvfsd({"/usr/libexec/gvfsd", "--no-fuse"}, options);
    // gio finds the daemon by its bus name; asked before it holds the name, gio fails.
    auto gvfsdReady = [] {
        return RunCommand({"/usr/bin/gdbus", "call", "--session", "--dest", "org.freedesktop.DBus", "--object-path",
                           "/org/freedesktop/DBus", "--method", "org.freedesktop.DBus.NameHasOwner",
                           "org.gtk.vfs.Daemon"})
                   .out.find("true") != std::string::npos;
    };
    ASSERT_TRUE(WaitFor(gvfsdReady)) << "gvfsd never took its name";
    auto gio = [&](std::vector<std::string> args) {
        args.insert(args.begin(), "/usr/bin/gio");
        return RunCommand(args, options, std::chrono::seconds(60));
    };
    std::string dav = "dav" + bareVolume().substr(4); // dav://127.0.0.1:PORT/Device, no slash

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

// davfs2 with its default configuration: locks on, uploads when a file closes.
// Listing a folder through the mount fails in containers whatever the server, so
// the test reads and writes by name only.
TEST_F(StandardClients, Davfs2WithItsDefaultConfiguration)
{
    if (!PathExists("/usr/sbin/mount.davfs"))
        GTEST_SKIP() << "davfs2 is not installed (scripts/setup.sh installs it)";
    if (::geteuid() != 0 || !PathExists("/dev/fuse"))
        GTEST_SKIP() << "this machine allows no FUSE mount here (needs root and /dev/fuse)";
    std::string mnt = scratch / "mnt";
    MakeDirs(mnt);
    WriteFile(scratch / "no-credentials", "\n\n");
    ChildProcess::Options options;
    options.stdinFile = scratch / "no-credentials";
    auto mount = RunCommand({"/usr/sbin/mount.davfs", base, mnt}, options);
    // A container may hand out /dev/fuse and still refuse the mount itself.
    std::string said = mount.out + mount.err;
    if (mount.exitCode != 0 && (said.find("fuse") != std::string::npos || said.find("permitted") != std::string::npos))
        GTEST_SKIP() << "this machine refuses the FUSE mount: " << said;
    ASSERT_EQ(mount.exitCode, 0) << said;

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

// The interim answer goes out before the body is sent, and only when the body is
// going to be read.
TEST_P(BothModes, InterimAnswerOnlyWhenTheBodyIsRead)
{
    const std::string expect = "Expect: 100-continue\r\n";
    struct Row {
        std::string head;
        std::string body;
        bool interim;
        int status;
    };
    const std::vector<Row> rows{
        {"PUT /Device/My%20Documents/expected.txt HTTP/1.1\r\nContent-Length: 5\r\n" + expect, "hello", true, 201},
        {"PROPFIND /Device/ HTTP/1.1\r\nDepth: 0\r\nContent-Length: 74\r\n" + expect,
         "<D:propfind xmlns:D=\"DAV:\"><D:prop><D:resourcetype/></D:prop></D:propfind>", true, 207},
        {"PUT /Device/x.txt HTTP/1.1\r\nContent-Range: bytes 0-4/9\r\nContent-Length: 5\r\n" + expect, "hello",
         false, 400},
        {"OPTIONS /Device/ HTTP/1.1\r\nContent-Length: 5\r\n" + expect, "hello", false, 200},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.head);
        int fd = ConnectLoopback(daemon->port());
        SendAll(fd, row.head + "\r\n");
        std::string first = ReadHead(fd);
        if (row.interim) {
            EXPECT_EQ(first, "HTTP/1.1 100 Continue\r\n\r\n");
            SendAll(fd, row.body);
            first = ReadHead(fd);
        }
        EXPECT_EQ(first.substr(0, 13), "HTTP/1.1 " + std::to_string(row.status) + " ") << first;
        ::close(fd);
    }
    EXPECT_EQ(ReadFile(fs("My Documents/expected.txt")), "hello");
    EXPECT_FALSE(PathExists(fs("x.txt")));
}
