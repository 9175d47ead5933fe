#pragma once

// What the device store tests share: an emulated device in a temporary folder
// behind the fault-injecting wrapper (which also records find masks and write
// sizes), a mirror folder beside it, and a file held by another process; and for
// the end-to-end tests, the real daemon over an emulated device named by
// PAVRIX_DEVICE, its mirror in the test's own HOME, its device calls in
// PAVRIX_DEVICE_TRACE, and the raw requests they send it.

#include "datasource/StoreTestHelpers.h"
#include "device/WinceDataSource.h"
#include "pavrixwm/EmulatedDevice.h"
#include "pavrixwm/Rapi.h"
#include "platform/BodyStream.h"
#include "platform/SocketStream.h"
#include "platform/PlistObject.h"
#include "support/FaultInjectingDevice.h"
#include "support/SimulatedHandheld.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <regex>
#include <utility>

namespace wincetest {
using namespace storetest;
using namespace testsupport;

// Notes each find ("find <path> <mask>") and the size of each write ("write <n>").
class RecordingDevice : public FaultInjectingDevice {
public:
    using FaultInjectingDevice::FaultInjectingDevice;
    BOOL CeFindAllFiles(const std::string& path, DWORD flags, std::vector<RapiFindData>& findData) override
    {
        notes.push_back("find " + path + " " + std::to_string(flags));
        return FaultInjectingDevice::CeFindAllFiles(path, flags, findData);
    }
    BOOL CeWriteFile(HANDLE handle, const uint8_t* buffer, DWORD bytesToWrite, DWORD& bytesWritten) override
    {
        notes.push_back("write " + std::to_string(bytesToWrite));
        return FaultInjectingDevice::CeWriteFile(handle, buffer, bytesToWrite, bytesWritten);
    }
    // The notes starting with `kind` since the last call; all notes are forgotten.
    std::vector<std::string> take(const std::string& kind)
    {
        std::vector<std::string> taken;
        for (const auto& note : std::exchange(notes, {}))
            if (note.rfind(kind, 0) == 0)
                taken.push_back(note);
        return taken;
    }
    std::vector<std::string> notes; // the store calls the device from one thread
};

// A body of `length` bytes over a client stream that carries `bytes` and ends;
// the bodies here fit in the socket's buffer, so they are sent whole at once.
struct ClientBody {
    SocketPair pair;
    std::unique_ptr<platform::SocketStream> socket = platform::SocketStream::open(pair.ours);
    platform::BodyStream body;
    ClientBody(const std::string& bytes, uint64_t length) : body(platform::BodyStream::withLength(*socket, length))
    {
        pair.sendAndEnd(bytes);
        ::close(pair.peer);
    }
    platform::BodyStream& operator*() { return body; }
};

// A device folder, a mirror folder, and a store over both.
struct DeviceStore : DeviceFolder {
    TempDir mirrorDir;
    std::shared_ptr<RecordingDevice> device = std::make_shared<RecordingDevice>(EmulatedDevice::open(path()));
    Rapi rapi{device};
    std::shared_ptr<WinceDataSource> store = std::make_shared<WinceDataSource>(rapi, mirrorDir.path());

    DeviceStore() { store->setClock([this] { return now; }); }
    // The store's caches age only as a test moves this on.
    std::chrono::steady_clock::time_point now = std::chrono::steady_clock::now();

    int calls(FaultInjectingDevice::Call call) const { return device->callCount(call); }
};

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

// The texts of every `tag` element of a document, in order.
inline std::vector<std::string> Texts(const std::string& document, const std::string& tag)
{
    std::vector<std::string> texts;
    std::regex element("<" + tag + ">([^<]*)</" + tag + ">");
    for (auto it = std::sregex_iterator(document.begin(), document.end(), element); it != std::sregex_iterator(); ++it)
        texts.push_back((*it)[1]);
    return texts;
}
inline std::vector<std::string> Hrefs(const std::string& document) { return Texts(document, "D:href"); }

class WinceDaemon : public testing::Test {
protected:
    TempDir home;
    DeviceFolder deviceDir;
    std::string trace = home / "trace.txt";
    std::unique_ptr<Daemon> daemon;
    // With PAVRIX_TEST_OVER_LINK set (a SimulatedHandheld kind), the same folder is
    // reached over the device link through a simulated handheld instead.
    std::unique_ptr<SimulatedHandheld> handheld;

    // PAVRIX_STANDARD_DAV=1 when `standard`.
    void start(bool standard = false)
    {
        auto env = NoBusEnv();
        env["PAVRIX_STANDARD_DAV"] = standard ? "1" : "0";
        env["PAVRIX_DEVICE"] = deviceDir.path();
        env["PAVRIX_DEVICE_TRACE"] = trace;
        if (const char* kind = std::getenv("PAVRIX_TEST_OVER_LINK"); kind && *kind) {
            handheld = std::make_unique<SimulatedHandheld>(deviceDir.path(), kind);
            env = handheld->env(env);
        }
        daemon = std::make_unique<Daemon>(home.path(), env);
        if (handheld) {
            ASSERT_TRUE(handheld->waitConnected()) << handheld->stderrText();
            // A name that is nowhere, so that no cache keeps anything of the probe;
            // the trace starts afresh after it.
            ASSERT_TRUE(handheld->waitAttached([&] { daemon->request(Request("GET", "/vol/~attached~")); }))
                << handheld->stderrText();
            WriteFile(trace, "");
        }
    }
    std::string fs(const std::string& relative) const { return deviceDir.fs(relative); }
    std::string mirror(const std::string& rel) const { return home / ("Library/Caches/pxwm_mirroredfs/" + rel); }
    void put(const std::string& relative, const std::string& content) const { deviceDir.put(relative, content); }
    Response ask(const std::string& raw) const { return ParseResponse(daemon->request(raw)); }
    // How many lines of the trace start with this.
    size_t traced(const std::string& line) const { return CountOf("\n" + ReadFile(trace), "\n" + line); }
};
} // namespace wincetest
