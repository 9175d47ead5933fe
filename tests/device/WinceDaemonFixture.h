#pragma once

// The real daemon over an emulated device named by PAVRIX_DEVICE, its mirror in
// the test's own HOME, its device calls in PAVRIX_DEVICE_TRACE; and the raw
// requests the end-to-end tests send it.

#include "WinceTestSupport.h"

#include <regex>
#include <sys/socket.h>

namespace wincetest {
using testsupport::ParseResponse;
using testsupport::PathExists;
using testsupport::ReadFile;
using testsupport::Response;

inline std::string Request(const std::string& method, const std::string& uri, const std::string& extra = "")
{
    return method + " " + uri + " HTTP/1.1\r\n" + extra + "\r\n";
}

inline std::string Propfind(const std::string& uri, const std::string& depth)
{
    std::string body = "<?xml version=\"1.0\"?><D:propfind xmlns:D=\"DAV:\"><D:prop><D:resourcetype/>"
                       "<D:getcontentlength/><D:getlastmodified/><D:quota/><D:quotaused/></D:prop></D:propfind>";
    return Request("PROPFIND", uri, "Depth: " + depth + "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n") +
           body;
}

inline std::vector<std::string> Hrefs(const std::string& document)
{
    std::vector<std::string> hrefs;
    std::regex href("<D:href>([^<]*)</D:href>");
    for (auto it = std::sregex_iterator(document.begin(), document.end(), href); it != std::sregex_iterator(); ++it)
        hrefs.push_back((*it)[1]);
    return hrefs;
}

class WinceDaemon : public testing::Test {
protected:
    testsupport::TempDir home, deviceDir;
    std::string trace = home / "trace.txt";
    std::unique_ptr<testsupport::Daemon> daemon;

    void SetUp() override { testsupport::MakeDirs(deviceDir / "fs"); }
    void start()
    {
        daemon = std::make_unique<testsupport::Daemon>(
            home.path(), std::map<std::string, std::optional<std::string>>{
                             {"PAVRIX_DEVICE", deviceDir.path()}, {"PAVRIX_DEVICE_TRACE", trace},
                             {"DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/bus"},
                             {"XDG_RUNTIME_DIR", std::nullopt}, {"PAVRIX_LOG_DEBUG", std::nullopt}});
    }
    std::string fs(const std::string& relative) const { return deviceDir / ("fs/" + relative); }
    std::string mirror(const std::string& relative) const
    {
        return home / ("Library/Caches/pxwm_mirroredfs/" + relative);
    }
    void put(const std::string& relative, const std::string& content) const { WriteWithFolders(fs(relative), content); }
    Response ask(const std::string& raw) const { return ParseResponse(daemon->request(raw)); }
    size_t traced(const std::string& line) const // how many times the trace holds this line
    {
        std::string text = "\n" + ReadFile(trace);
        size_t n = 0;
        for (size_t pos = text.find("\n" + line); pos != std::string::npos; pos = text.find("\n" + line, pos + 1))
            ++n;
        return n;
    }
    // The bytes, then the end of the client's stream; whatever the daemon answers.
    Response sendAndEnd(const std::string& raw) const
    {
        int fd = testsupport::ConnectLoopback(daemon->port());
        testsupport::SendAll(fd, raw);
        ::shutdown(fd, SHUT_WR);
        std::string answer = testsupport::ReadUntilClose(fd);
        ::close(fd);
        return ParseResponse(answer);
    }
};
} // namespace wincetest
