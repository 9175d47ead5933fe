// litmus, the WebDAV conformance suites, against the standard answers on the
// emulated device: every test of its five suites passes, with no warning and
// none skipped.

#include "RealClientsFixture.h"

using namespace realclients;

namespace {

class Litmus : public RealClients {
protected:
    void SetUp() override { start(true); }
};

} // namespace

TEST_F(Litmus, EverySuitePassesInTheStandardAnswers)
{
    if (!PathExists("/usr/bin/litmus"))
        GTEST_SKIP() << "litmus is not installed (scripts/setup.sh installs it)";
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
