// The Linux desktop's WebDAV clients (GNOME Files through gvfs, davfs2, lftp, KDE's KIO)
// on the standard answers, each as a user works, every step checked on fs/; and
// "Expect: 100-continue", which streaming clients send, in both kinds of answers.

#include "RealClientsFixture.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace realclients;

namespace {

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

} // namespace

TEST_F(StandardClients, GnomeFilesThroughGvfs)
{
    if (auto missing = Missing({"/usr/libexec/gvfsd", "/usr/bin/gio"}))
        GTEST_SKIP() << *missing;
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
    ChildProcess::Options options;
    options.stdinFile = scratch / "no-credentials";
    auto mount = RunCommand({"/usr/sbin/mount.davfs", base, mnt}, options);
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
    size_t failures = 0;
    for (size_t at = 0; (at = run.out.find("kio=", at)) != std::string::npos; at += 4)
        failures += run.out.compare(at, 6, "kio=0\n") != 0;
    EXPECT_EQ(failures, 0u) << said;
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
