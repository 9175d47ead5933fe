#pragma once

// The real daemon serving the sample device (scripts/make-sample-device.sh), in
// its own answers or the standard ones, for tests that drive real clients; each
// checks what the device's fs/ holds afterwards.

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <unistd.h>

namespace realclients {
using namespace testsupport;

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
        ChildProcess::Options options;
        options.env["HOME"] = scratch / "client-home";
        options.env["QT_QPA_PLATFORM"] = "offscreen";
        options.env["XDG_RUNTIME_DIR"] = std::nullopt;
        return options;
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

} // namespace realclients
