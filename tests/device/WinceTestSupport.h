#pragma once

// What the device store tests share: an emulated device in a temporary folder
// behind the fault-injecting wrapper (which also records find masks and write
// sizes), a mirror folder beside it, and a file held by another process.

#include "device/WinceDataSource.h"
#include "pavrixwm/EmulatedDevice.h"
#include "pavrixwm/FaultInjectingDevice.h"
#include "platform/NamedException.h"
#include "platform/PlistObject.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <functional>
#include <mutex>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>

namespace wincetest {

class RecordingDevice : public FaultInjectingDevice {
public:
    using FaultInjectingDevice::FaultInjectingDevice;
    BOOL CeFindAllFiles(const std::string& path, DWORD flags, std::vector<RapiFindData>& findData) override
    {
        note(finds_, std::make_pair(path, flags));
        return FaultInjectingDevice::CeFindAllFiles(path, flags, findData);
    }
    BOOL CeWriteFile(HANDLE handle, const uint8_t* buffer, DWORD bytesToWrite, DWORD& bytesWritten) override
    {
        note(writes_, bytesToWrite);
        return FaultInjectingDevice::CeWriteFile(handle, buffer, bytesToWrite, bytesWritten);
    }
    std::vector<std::pair<std::string, DWORD>> takeFinds() { return take(finds_); }
    std::vector<DWORD> takeWrites() { return take(writes_); }

private:
    template <class T> void note(std::vector<T>& list, T value)
    {
        std::lock_guard lock(mutex_);
        list.push_back(std::move(value));
    }
    template <class T> std::vector<T> take(std::vector<T>& list)
    {
        std::lock_guard lock(mutex_);
        return std::exchange(list, {});
    }
    std::mutex mutex_;
    std::vector<std::pair<std::string, DWORD>> finds_;
    std::vector<DWORD> writes_;
};

inline void ResetReadCache()
{
    gCachedFile.reset();
    gCachedFileName.reset();
    gCachedFileDate.reset();
}

inline void WriteWithFolders(const std::string& path, const std::string& content)
{
    testsupport::MakeDirs(path.substr(0, path.rfind('/')));
    testsupport::WriteFile(path, content);
}

// A device folder with fs/, a mirror folder, and a store over both.
struct DeviceStore {
    testsupport::TempDir temp;
    std::string deviceDir = temp / "device";
    std::string mirrorDir = temp / "mirror";
    std::shared_ptr<RecordingDevice> device;
    std::shared_ptr<Rapi> rapi;
    std::shared_ptr<WinceDataSource> store;

    explicit DeviceStore(const std::optional<platform::PlistObject>& settings = std::nullopt)
    {
        testsupport::MakeDirs(deviceDir + "/fs");
        testsupport::MakeDirs(mirrorDir);
        if (settings)
            settings->writeAtomically(deviceDir + "/device.plist");
        device = std::make_shared<RecordingDevice>(EmulatedDevice::open(deviceDir));
        rapi = std::make_shared<Rapi>(device);
        rapi->setTracePath(std::nullopt);
        store = std::make_shared<WinceDataSource>(rapi, mirrorDir);
        ResetReadCache();
    }
    ~DeviceStore() { ResetReadCache(); }

    std::string fs(const std::string& relative) const { return deviceDir + "/fs/" + relative; }
    std::string mirror(const std::string& relative) const { return mirrorDir + "/" + relative; }
    void put(const std::string& relative, const std::string& content) const { WriteWithFolders(fs(relative), content); }
    void putMirror(const std::string& relative, const std::string& content) const
    {
        WriteWithFolders(mirror(relative), content);
    }
    void mkdir(const std::string& relative) const { testsupport::MakeDirs(fs(relative)); }
    int calls(FaultInjectingDevice::Call call) const { return device->callCount(call); }
    int allCalls() const
    {
        int n = 0;
        for (int c = 0; c <= static_cast<int>(FaultInjectingDevice::Call::RapiInvoke); ++c)
            n += device->callCount(static_cast<FaultInjectingDevice::Call>(c));
        return n;
    }
};

// The name of the named exception `action` raises, "" when it raises none.
inline std::string RaisedName(const std::function<void()>& action)
{
    try {
        action();
    } catch (const platform::NamedException& e) {
        return e.name();
    }
    return "";
}

inline std::string Text(const DataSource::DataPtr& data)
{
    return data ? std::string(data->begin(), data->end()) : std::string("<none>");
}

inline DataSource::DataPtr Bytes(const std::string& text)
{
    return std::make_shared<DataSource::Data>(text.begin(), text.end());
}

inline std::string Pattern(size_t size)
{
    std::string text(size, '\0');
    for (size_t i = 0; i < size; ++i)
        text[i] = static_cast<char>('a' + (i * 7 + i / 65536) % 26);
    return text;
}

// Another process that holds an exclusive flock(2) on a file until destroyed, as
// a program of the device keeping the file open.
class HeldFile {
public:
    explicit HeldFile(const std::string& path)
    {
        int ready[2];
        if (::pipe(ready) != 0)
            return;
        pid_ = ::fork();
        if (pid_ == 0) { // only async-signal-safe calls: the parent has threads
            int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
            char ok = fd >= 0 && ::flock(fd, LOCK_EX) == 0 ? 1 : 0;
            [[maybe_unused]] ssize_t n = ::write(ready[1], &ok, 1);
            for (;;)
                ::pause();
        }
        ::close(ready[1]);
        char ok = 0;
        held_ = pid_ > 0 && ::read(ready[0], &ok, 1) == 1 && ok == 1;
        ::close(ready[0]);
    }
    ~HeldFile()
    {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    HeldFile(const HeldFile&) = delete;
    HeldFile& operator=(const HeldFile&) = delete;
    bool held() const { return held_; }

private:
    pid_t pid_ = -1;
    bool held_ = false;
};

} // namespace wincetest
