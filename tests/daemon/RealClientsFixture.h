#pragma once

// The real daemon serving the sample device (scripts/make-sample-device.sh), in
// its own answers or the standard ones, for tests that drive real clients; each
// checks what the device's fs/ holds afterwards.

#include "support/TestSupport.h"

#include <gtest/gtest.h>

namespace realclients {
using namespace testsupport;

class RealClients : public ::testing::Test {
protected:
    void SetUp() override { start(false); }
    // PAVRIX_STANDARD_DAV=1 when `standard`.
    void start(bool standard)
    {
        auto made = RunCommand({"/bin/bash", SourcePath("scripts/make-sample-device.sh"), device.path()});
        ASSERT_EQ(made.exitCode, 0) << made.err;
        auto env = NoBusEnv();
        env["PAVRIX_DEVICE"] = device.path();
        env["PAVRIX_STANDARD_DAV"] = standard ? "1" : "0";
        daemon = std::make_unique<Daemon>(home.path(), env);
        base = "http://127.0.0.1:" + std::to_string(daemon->port()) + "/Device/";
    }

    std::string fs(const std::string& relative) const { return device.fs(relative); }

    TempDir home;
    DeviceFolder device;
    TempDir scratch;
    std::unique_ptr<Daemon> daemon;
    std::string base;
};

} // namespace realclients
