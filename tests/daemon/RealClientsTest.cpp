// Real WebDAV clients (rclone in both kinds of answers, litmus's conformance
// suites in the standard ones) against the daemon serving an emulated device;
// each test checks what the device's fs/ holds afterwards, or what litmus says.

#include "RealClientsFixture.h"

using namespace realclients;

// rclone asks for the properties it wants only in its property-listing vendor
// modes; an empty PROPFIND body gets names alone in the daemon's own answers and
// every property in the standard ones, so plain rclone needs those.
class Rclone : public RealClients, public ::testing::WithParamInterface<bool> {
protected:
    void SetUp() override { start(GetParam()); }
};

INSTANTIATE_TEST_SUITE_P(Modes, Rclone, ::testing::Values(false, true), [](const auto& info) {
    return info.param ? "StandardAnswersNoVendor" : "OwnAnswersOwncloudVendor";
});

TEST_P(Rclone, ListsAndCopiesBothWays)
{
    auto rclone = [&](std::vector<std::string> args) {
        std::vector<std::string> argv{"/usr/bin/rclone", "--config", "/dev/null", "--webdav-url", base};
        if (!GetParam())
            argv.insert(argv.end(), {"--webdav-vendor", "owncloud"});
        argv.insert(argv.end(), args.begin(), args.end());
        ChildProcess::Options options;
        options.env["HOME"] = home.path();
        return RunCommand(argv, options, std::chrono::seconds(120));
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
        ChildProcess::Options options;
        options.env["TESTS"] = suite;
        options.env["HOME"] = scratch.path();
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
