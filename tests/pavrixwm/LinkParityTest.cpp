// The same calls on twin device folders, one reached directly and one over the
// link through a simulated handheld of each kind: every result, output and last
// error the same, so the store and the extras cannot tell the two apart.

#include "LinkFixture.h"

#include <fcntl.h>
#include <sstream>
#include <sys/stat.h>

using namespace devicetest;
using testsupport::SimulatedHandheld;

namespace {

// The same files in each twin, with the same times (to the 100 ns the device keeps).
void Fill(const testsupport::DeviceFolder& folder)
{
    folder.put("My Documents/a.txt", "alpha");
    folder.put("My Documents/b.bin", std::string(200000, 'b'));
    folder.put("Windows/x.ini", "[x]");
    const timespec when[2] = {{981158400, 123456700}, {981158400, 123456700}};
    for (const char* file : {"My Documents/a.txt", "My Documents/b.bin", "Windows/x.ini"})
        ::utimensat(AT_FDCWD, folder.fs(file).c_str(), when, 0);
}

// One line per call: what it gave back and the last error after it.
std::vector<std::string> Script(DeviceBackend& device, bool fileTimes)
{
    std::vector<std::string> lines;
    auto note = [&](const std::string& what, int64_t result) {
        lines.push_back(what + " -> " + std::to_string(result) + " err " + std::to_string(device.CeGetLastError()));
    };
    for (std::string path : {"\\My Documents\\*", "\\my documents\\A.TXT", "\\Missing\\*", "\\My Documents\\none"}) {
        std::vector<RapiFindData> found;
        BOOL result = device.CeFindAllFiles(path, FAF_NAME | FAF_ATTRIBUTES | FAF_SIZE_LOW | FAF_LASTWRITE_TIME, found);
        std::ostringstream entries;
        for (const auto& entry : found)
            entries << " " << entry.filename << "/" << entry.attributes << "/" << entry.fileSize << "/"
                    << entry.lastModTime.time_since_epoch().count();
        note("find " + path + entries.str(), result);
    }
    HANDLE file = device.CeCreateFile("\\My Documents\\b.bin", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, 0);
    note("open b.bin", file != INVALID_HANDLE_VALUE);
    std::vector<uint8_t> buffer(150000);
    DWORD got = 0;
    note("read 150000", device.CeReadFile(file, buffer.data(), 150000, got));
    note("read got " + std::to_string(got), 0);
    note("seek end", device.CeSetFilePointer(file, 0, nullptr, FILE_END));
    note("seek before start", device.CeSetFilePointer(file, -5, nullptr, FILE_BEGIN));
    note("write on a read handle", device.CeWriteFile(file, buffer.data(), 1, got));
    note("close", device.CeCloseHandle(file));
    note("close again", device.CeCloseHandle(file));
    note("open a folder", device.CeCreateFile("\\Windows", GENERIC_READ, 0, OPEN_EXISTING, 0) != INVALID_HANDLE_VALUE);
    note("create new over a file",
         device.CeCreateFile("\\My Documents\\a.txt", GENERIC_WRITE, 0, CREATE_NEW, 0) != INVALID_HANDLE_VALUE);
    HANDLE made = device.CeCreateFile("\\My Documents\\new.txt", GENERIC_WRITE, 0, CREATE_NEW, 0);
    note("make new.txt", made != INVALID_HANDLE_VALUE);
    note("write 5", device.CeWriteFile(made, reinterpret_cast<const uint8_t*>("hello"), 5, got));
    note("wrote " + std::to_string(got), 0);
    if (fileTimes) {
        FILETIME when{0xD53E8000, 0x01A8E79F}; // 1990 or so
        note("set times", device.CeSetFileTime(made, nullptr, nullptr, &when));
    }
    note("close new.txt", device.CeCloseHandle(made));
    note("delete missing", device.CeDeleteFile("\\My Documents\\none"));
    note("delete a folder", device.CeDeleteFile("\\Windows"));
    note("mkdir existing", device.CeCreateDirectory("\\Windows"));
    note("mkdir", device.CeCreateDirectory("\\Windows\\Sub"));
    note("rmdir non-empty", device.CeRemoveDirectory("\\My Documents"));
    note("rmdir", device.CeRemoveDirectory("\\Windows\\Sub"));
    note("move onto existing", device.CeMoveFile("\\My Documents\\new.txt", "\\My Documents\\a.txt"));
    note("move", device.CeMoveFile("\\My Documents\\new.txt", "\\Windows\\moved.txt"));
    note("copy fail if exists", device.CeCopyFile("\\Windows\\moved.txt", "\\My Documents\\a.txt", TRUE));
    note("copy", device.CeCopyFile("\\Windows\\moved.txt", "\\My Documents\\copy.txt", TRUE));

    HKEY key = 0;
    DWORD disposition = 0;
    note("reg create", device.CeRegCreateKeyEx(HKEY_CURRENT_USER, "ControlPanel\\Owner", std::nullopt, key, &disposition));
    note("reg disposition " + std::to_string(disposition), 0);
    note("reg set text", device.CeRegSetValueEx(key, "Name", RegistryValue(std::string("Ann Ö"))));
    note("reg set number", device.CeRegSetValueEx(key, "Count", RegistryValue(int64_t{42})));
    note("reg set bytes", device.CeRegSetValueEx(key, "Blob", RegistryValue(std::vector<uint8_t>{1, 0, 2})));
    for (std::string name : {"name", "Count", "Blob", "Missing"}) {
        std::optional<RegistryValue> value;
        LONG code = device.CeRegQueryValueEx(key, name, value);
        std::string shown = !value ? "none"
                            : std::holds_alternative<int64_t>(*value)
                                ? std::to_string(std::get<int64_t>(*value))
                            : std::holds_alternative<std::string>(*value) ? std::get<std::string>(*value)
                                                                          : "bytes";
        note("reg query " + name + " " + shown, code);
    }
    note("reg close", device.CeRegCloseKey(key));
    HKEY opened = 0;
    note("reg open missing", device.CeRegOpenKeyEx(HKEY_LOCAL_MACHINE, "Nothing\\Here", opened));

    DWORD outputCount = 0;
    uint8_t* output = nullptr;
    note("invoke version", device.CeRapiInvoke("pavrix.dll", "GetDLLVersion", 0, nullptr, &outputCount, &output));
    note("invoke reply " + std::to_string(outputCount) + " " +
             (output ? std::string(reinterpret_cast<char*>(output) + 12) : std::string("none")),
         0);
    device.CeRapiFreeBuffer(output);
    note("invoke unknown", device.CeRapiInvoke("pavrix.dll", "Nope", 0, nullptr, &outputCount, &output));
    note("invoke other library", device.CeRapiInvoke("other.dll", "GetDLLVersion", 0, nullptr, nullptr, nullptr));

    STORE_INFORMATION store;
    note("store", device.CeGetStoreInformation(store));
    return lines;
}

} // namespace

TEST(LinkParity, EveryCallGivesWhatTheEmulatedDeviceGives)
{
    for (std::string kind : {"rndis", "rndis-rapi1", "legacy"}) {
        testsupport::DeviceFolder direct, linked;
        Fill(direct);
        Fill(linked);
        bool fileTimes = kind == "rndis"; // the older dialect has no known layout for them
        auto expected = Script(*EmulatedDevice::open(direct.path()), fileTimes);

        SimulatedHandheld handheld(linked.path(), kind);
        auto link = Manager(handheld);
        ASSERT_TRUE(link && Attached(*link)) << kind << handheld.stderrText();
        LinkDevice device(link);
        auto got = Script(device, fileTimes);
        ASSERT_EQ(got.size(), expected.size()) << kind;
        for (size_t i = 0; i < got.size(); ++i)
            EXPECT_EQ(got[i], expected[i]) << kind;
        EXPECT_EQ(testsupport::ReadFile(linked.fs("My Documents/copy.txt")), "hello") << kind;
    }
}
