#pragma once

// A private session bus and a scratch folder per test, with helpers that start
// the real preference server and read back what it received.

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

class PrefServerFixture : public ::testing::Test {
protected:
    using Env = std::map<std::string, std::optional<std::string>>;

    testsupport::TempDir dir;
    testsupport::PrivateBus bus;
    const std::string name = "TestPreferences";

    std::string prefsFile() const { return dir / "prefs.plist"; }

    // Starts pavrix-prefserver NAME FILE with its standard output in dir/<log> and
    // waits until the name is registered.
    testsupport::ChildProcess startServer(const std::string& log, const Env& env = {},
                                          std::optional<std::string> file = std::nullopt)
    {
        testsupport::ChildProcess::Options options;
        options.stdoutFile = dir / log;
        options.stderrFile = dir / (log + ".err");
        options.env = env;
        std::vector<std::string> argv{testsupport::BinPath("pavrix-prefserver"), name};
        if (file)
            argv.push_back(*file);
        else if (!env.count("HOME"))
            argv.push_back(prefsFile());
        testsupport::ChildProcess server(argv, options);
        if (!testsupport::WaitFor([&] { return testsupport::ServiceRegistered(name); }))
            throw std::runtime_error("pavrix-prefserver did not register " + name);
        return server;
    }

    // The lines the server printed, one per message it received.
    std::vector<std::string> received(const std::string& log) const
    {
        std::vector<std::string> lines;
        std::istringstream in(testsupport::ReadFile(dir / log));
        for (std::string line; std::getline(in, line);)
            lines.push_back(line);
        return lines;
    }

    long count(const std::string& log, const std::string& line) const
    {
        auto lines = received(log);
        return std::count(lines.begin(), lines.end(), line);
    }

    bool waitForLine(const std::string& log, const std::string& line,
                     std::chrono::milliseconds timeout = std::chrono::seconds(5)) const
    {
        return testsupport::WaitFor([&] { return count(log, line) > 0; }, timeout);
    }
};

inline double SecondsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}
