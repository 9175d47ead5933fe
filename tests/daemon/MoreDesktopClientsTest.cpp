// More of the Linux desktop's WebDAV clients on the standard answers, each as a
// user works: list, read, seek, write, replace by rename, make a folder, copy,
// remove a folder with what is in it; every step checked on fs/.

#include "RealClientsFixture.h"

#include <fcntl.h>
#include <unistd.h>

using namespace realclients;

namespace {

class MoreClients : public RealClients {
protected:
    void SetUp() override { start(true); }

    // The client's own environment: its HOME apart from the daemon's, and no
    // desktop settings leaking in.
    ChildProcess::Options clientOptions() const
    {
        ChildProcess::Options options;
        options.env["HOME"] = scratch / "client-home";
        options.env["QT_QPA_PLATFORM"] = "offscreen";
        options.env["XDG_RUNTIME_DIR"] = std::nullopt;
        return options;
    }
    bool installed(const std::string& tool) const { return PathExists(tool); }
    // The bytes `length` from `offset` of a file, read after a seek.
    static std::string ReadAt(const std::string& path, off_t offset, size_t length)
    {
        int fd = ::open(path.c_str(), O_RDONLY);
        if (fd < 0)
            return "<cannot open>";
        std::string bytes(length, '\0');
        ssize_t got = ::pread(fd, bytes.data(), length, offset);
        ::close(fd);
        bytes.resize(got > 0 ? static_cast<size_t>(got) : 0);
        return bytes;
    }
    // Whether the daemon answers ranges (206): a seek through a mount needs them.
    bool answersRanges()
    {
        auto part = ParseResponse(
            daemon->request("GET /Device/My%20Documents/Notes.txt HTTP/1.1\r\nRange: bytes=0-0\r\n\r\n"));
        return part.status() == 206;
    }
};

} // namespace

// lftp with its defaults: it finds folders with HEAD (and the redirect to the
// name with "/"), lists them from the folder page, renames over a file.
TEST_F(MoreClients, Lftp)
{
    if (!installed("/usr/bin/lftp"))
        GTEST_SKIP() << "lftp is not installed (scripts/setup.sh installs it)";
    MakeDirs(scratch / "client-home");
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

// davix: its command-line tools, one request each.
TEST_F(MoreClients, Davix)
{
    if (!installed("/usr/bin/davix-get"))
        GTEST_SKIP() << "davix is not installed (scripts/setup.sh installs it)";
    auto davix = [&](const std::string& tool, std::vector<std::string> args) {
        args.insert(args.begin(), "/usr/bin/" + tool);
        return RunCommand(args, clientOptions(), std::chrono::seconds(60));
    };
    auto listing = davix("davix-ls", {base + "My%20Documents/"});
    EXPECT_EQ(listing.exitCode, 0) << listing.err;
    EXPECT_NE(listing.out.find("Notes.txt\n"), std::string::npos) << listing.out;
    EXPECT_EQ(davix("davix-get", {base + "My%20Documents/Notes.txt"}).out, ReadFile(fs("My Documents/Notes.txt")));

    std::string bytes = RandomBytes(1 << 20, 21);
    WriteFile(scratch / "up.bin", bytes);
    EXPECT_EQ(davix("davix-put", {scratch / "up.bin", base + "up.tmp"}).exitCode, 0);
    EXPECT_EQ(ReadFile(fs("up.tmp")), bytes);
    // davix-mv exits 255 whatever the answer (even for 201), so fs/ tells.
    davix("davix-mv", {base + "up.tmp", base + "My%20Documents/Notes.txt"});
    EXPECT_EQ(ReadFile(fs("My Documents/Notes.txt")), bytes);
    EXPECT_FALSE(PathExists(fs("up.tmp")));

    EXPECT_EQ(davix("davix-mkdir", {base + "Davix%20Folder"}).exitCode, 0);
    EXPECT_TRUE(IsDirectory(fs("Davix Folder")));
    EXPECT_EQ(davix("davix-put", {scratch / "up.bin", base + "Davix%20Folder/inner.bin"}).exitCode, 0);
    MakeDirs(fs("Davix Folder/Deeper"));
    device.put("Davix Folder/Deeper/last.txt", "last");
    EXPECT_EQ(davix("davix-rm", {base + "Davix%20Folder"}).exitCode, 0);
    EXPECT_FALSE(PathExists(fs("Davix Folder")));
}

// KDE's KIO through kioclient5 on a private session bus: copies within the
// device are made by the device.
TEST_F(MoreClients, KioClient)
{
    if (!installed("/usr/bin/kioclient5") || !installed("/usr/bin/dbus-run-session"))
        GTEST_SKIP() << "kioclient5 is not installed (scripts/setup.sh installs kde-cli-tools)";
    MakeDirs(scratch / "client-home");
    std::string dav = "webdav" + base.substr(4); // webdav://127.0.0.1:PORT/Device/
    WriteFile(scratch / "new.txt", "written by KIO\n");
    // One session for every step; kded5, which KIO starts on that bus, is asked
    // to quit at the end so that nothing outlives the test.
    std::string steps = "set -u\n"
                        "k() { timeout 60 kioclient5 --noninteractive \"$@\"; echo \"rc=$?\"; }\n"
                        "k ls '" + dav + "My Documents/'\n"
                        "k cat '" + dav + "My Documents/Notes.txt'\n"
                        "k copy '" + (scratch / "new.txt") + "' '" + dav + "My Documents/new.txt'\n"
                        "k copy '" + dav + "My Documents/' '" + dav + "Copied/'\n"
                        "k move '" + dav + "My Documents/new.txt' '" + dav + "Copied/moved.txt'\n"
                        "k remove '" + dav + "Copied/Personal/'\n"
                        "dbus-send --session --dest=org.kde.kded5 --type=method_call /MainApplication "
                        "org.qtproject.Qt.QCoreApplication.quit >/dev/null 2>&1\n";
    WriteFile(scratch / "kio.sh", steps);
    auto run = RunCommand({"/usr/bin/dbus-run-session", "--", "/bin/sh", scratch / "kio.sh"}, clientOptions(),
                          std::chrono::seconds(300));
    EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
    size_t failures = 0;
    for (size_t at = 0; (at = run.out.find("rc=", at)) != std::string::npos; at += 3)
        failures += run.out.compare(at, 5, "rc=0\n") != 0;
    EXPECT_EQ(failures, 0u) << run.out << run.err;
    EXPECT_NE(run.out.find("Personal\n"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("Call the garage on Monday."), std::string::npos) << run.out;
    EXPECT_EQ(ReadFile(fs("Copied/Notes.txt")), ReadFile(fs("My Documents/Notes.txt")));
    EXPECT_EQ(ReadFile(fs("Copied/moved.txt")), "written by KIO\n");
    EXPECT_FALSE(PathExists(fs("My Documents/new.txt")));
    EXPECT_FALSE(PathExists(fs("Copied/Personal")));
    EXPECT_TRUE(PathExists(fs("My Documents/Personal/Ideas.txt")));
}

// rclone mount: the file system calls a user's programs make, through FUSE.
TEST_F(MoreClients, RcloneMount)
{
    if (!installed("/usr/bin/rclone") || !PathExists("/dev/fuse") || ::geteuid() != 0)
        GTEST_SKIP() << "rclone mount needs rclone, /dev/fuse and root here";
    std::string mnt = scratch / "mnt";
    MakeDirs(mnt);
    std::string bytes = RandomBytes(300000, 31);
    device.put("big.bin", bytes);
    ChildProcess::Options options = clientOptions();
    options.stdoutFile = scratch / "rclone.out";
    options.stderrFile = scratch / "rclone.err";
    ChildProcess mount({"/usr/bin/rclone", "--config", "/dev/null", "mount", ":webdav:", mnt, "--webdav-url", base,
                        "--vfs-cache-mode", "writes", "--vfs-write-back", "0s", "--dir-cache-time", "0s", "-v"},
                       options);
    if (!WaitFor([&] { return PathExists(mnt + "/My Documents"); }, std::chrono::seconds(20))) {
        std::string said = PathExists(scratch / "rclone.err") ? ReadFile(scratch / "rclone.err") : "";
        mount.stop();
        if (said.find("fuse") != std::string::npos || said.find("permitted") != std::string::npos)
            GTEST_SKIP() << "this machine refuses the FUSE mount: " << said;
        FAIL() << "rclone did not mount: " << said;
    }
    EXPECT_EQ(ReadFile(mnt + "/My Documents/Notes.txt"), ReadFile(fs("My Documents/Notes.txt")));
    WriteFile(mnt + "/My Documents/new.txt", "written through rclone\n");
    WriteFile(mnt + "/My Documents/save.tmp", "saved through rclone\n");
    // rclone renames a file whose upload is still queued only in its cache (and
    // then uploads it under the old name), so the rename waits for the upload.
    WaitFor([&] { return PathExists(fs("My Documents/save.tmp")) &&
                         ReadFile(fs("My Documents/save.tmp")) == "saved through rclone\n"; },
            std::chrono::seconds(20));
    bool replaced = ::rename((mnt + "/My Documents/save.tmp").c_str(), (mnt + "/My Documents/Notes.txt").c_str()) == 0;
    MakeDirs(mnt + "/Rclone Folder/Deeper");
    WriteFile(mnt + "/Rclone Folder/Deeper/inner.txt", "inner\n");
    std::string seekRead = ReadAt(mnt + "/big.bin", 200000, 1000);
    // Uploads leave after the file is closed; the last one is waited for.
    WaitFor([&] { return PathExists(fs("Rclone Folder/Deeper/inner.txt")) &&
                         ReadFile(fs("Rclone Folder/Deeper/inner.txt")) == "inner\n" &&
                         ReadFile(fs("My Documents/Notes.txt")) == "saved through rclone\n"; },
            std::chrono::seconds(20));
    bool ranges = answersRanges();
    auto unmount = RunCommand({"/bin/umount", mnt}, {}, std::chrono::seconds(60));
    mount.stop();
    EXPECT_EQ(unmount.exitCode, 0) << unmount.err;

    EXPECT_TRUE(replaced) << ReadFile(scratch / "rclone.err");
    EXPECT_EQ(ReadFile(fs("My Documents/new.txt")), "written through rclone\n");
    EXPECT_EQ(ReadFile(fs("My Documents/Notes.txt")), "saved through rclone\n") << ReadFile(scratch / "rclone.err");
    EXPECT_FALSE(PathExists(fs("My Documents/save.tmp")));
    EXPECT_EQ(ReadFile(fs("Rclone Folder/Deeper/inner.txt")), "inner\n");
    auto purge = RunCommand({"/usr/bin/rclone", "--config", "/dev/null", "--webdav-url", base, "purge",
                             ":webdav:Rclone Folder"},
                            clientOptions());
    EXPECT_EQ(purge.exitCode, 0) << purge.err;
    EXPECT_FALSE(PathExists(fs("Rclone Folder")));
    // A seek reads the right bytes only where the daemon answers ranges, which
    // the device-files work delivers; until then a mount reads from the start.
    if (!ranges)
        GTEST_SKIP() << "the daemon answers no ranges yet: the seek is not checked";
    EXPECT_EQ(seekRead, bytes.substr(200000, 1000));
}

// kio-fuse: KIO's FUSE mount, on a private session bus, as a file manager's
// "open with" or a shell uses it.
TEST_F(MoreClients, KioFuse)
{
    const std::string kioFuse = "/usr/lib/x86_64-linux-gnu/libexec/kio-fuse";
    if (!installed(kioFuse) || !installed("/usr/bin/dbus-run-session") || !installed("/usr/bin/fusermount3"))
        GTEST_SKIP() << "kio-fuse is not installed (scripts/setup.sh installs it)";
    if (!PathExists("/dev/fuse") || ::geteuid() != 0)
        GTEST_SKIP() << "this machine allows no FUSE mount here (needs root and /dev/fuse)";
    MakeDirs(scratch / "client-home");
    std::string mnt = scratch / "kio-fuse";
    MakeDirs(mnt);
    std::string bytes = RandomBytes(3 << 20, 41);
    device.put("big.bin", bytes);
    std::string dav = "webdav" + base.substr(4);
    // kio-fuse mounts the URL it is asked for over D-Bus and says where; each step
    // prints what it did, and everything started on the bus is stopped at the end.
    std::string script = "d() { dbus-send --session --print-reply --dest=org.kde.KIOFuse \"$@\"; }\n"
                         "'" + kioFuse + "' -f '" + mnt + "' & kf=$!\n"
                         // Asking the bus (not kio-fuse) whether the name is taken starts
                         // no installed kio-fuse in its place.
                         "for i in $(seq 1 100); do dbus-send --session --print-reply --dest=org.freedesktop.DBus "
                         "/org/freedesktop/DBus org.freedesktop.DBus.NameHasOwner string:org.kde.KIOFuse | "
                         "grep -q true && break; sleep 0.1; done\n"
                         "p=$(d /org/kde/KIOFuse org.kde.KIOFuse.VFS.mountUrl string:'" + dav + "' | "
                         "sed -n 's/.*string \"\\(.*\\)\"/\\1/p')\n"
                         "ls \"$p/My Documents\"\n"
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
    WriteFile(scratch / "kio-fuse.sh", script);
    auto run = RunCommand({"/usr/bin/dbus-run-session", "--", "/bin/sh", scratch / "kio-fuse.sh"}, clientOptions(),
                          std::chrono::seconds(300));
    std::string said = run.out + run.err;
    // A container may hand out /dev/fuse and still refuse the mount itself.
    if (run.out.find("Personal\n") == std::string::npos && said.find("fuse") != std::string::npos)
        GTEST_SKIP() << "this machine refuses the FUSE mount: " << said;
    for (const char* step : {"cp=0\n", "write=0\n", "mv=0\n", "mkdir=0\n", "copy=0\n", "seek=0\n", "rm=0\n"})
        EXPECT_NE(run.out.find(step), std::string::npos) << step << " in " << said;
    EXPECT_NE(run.out.find("Personal\n"), std::string::npos) << said;
    // Every byte of a file over 1 MiB, not one prop's worth.
    EXPECT_EQ(ReadFile(scratch / "big.copy"), bytes);
    EXPECT_EQ(ReadFile(fs("My Documents/Notes.txt")), "saved by kio-fuse\n");
    EXPECT_FALSE(PathExists(fs("My Documents/save.tmp")));
    EXPECT_NE(run.out.find("saved by kio-fuse\n"), std::string::npos) << said;
    EXPECT_FALSE(PathExists(fs("KF")));
    EXPECT_TRUE(PathExists(fs("My Documents/Personal/Ideas.txt")));
    if (!answersRanges())
        GTEST_SKIP() << "the daemon answers no ranges yet: the seek is not checked";
    EXPECT_EQ(ReadFile(scratch / "seek.bin"), bytes.substr(2000000, 1000));
}
