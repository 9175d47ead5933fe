// The device link: where it is, a handheld that comes and goes, stalls, sends
// nonsense or is locked, and the same calls answered over the link as on the
// emulated device.

#include "DeviceFixture.h"

#include <array>
#include <fcntl.h>
#include <sstream>
#include <sys/stat.h>
#include <thread>
#include <tuple>
#include <unistd.h>

using namespace devicetest;
using namespace std::chrono_literals;

// A handheld that comes and goes, stalls, sends nonsense, or is locked: the link
// device answers as no device while none is usable, fails a cut call cleanly,
// and takes the handheld again when it is back, without a restart.

TEST(LinkLife, PluggedInLateUnpluggedAndBackWithoutARestart)
{
    DeviceFolder folder;
    folder.put("a.txt", "alpha");
    SimulatedHandheld handheld(folder.path(), "rndis");
    handheld.unplug(); // not there when the desktop starts
    auto link = Manager(handheld);
    ASSERT_TRUE(link);
    LinkDevice device(link);
    EXPECT_EQ(ListRoot(device), ERROR_DEVICE_NOT_CONNECTED);
    HKEY key = 0;
    EXPECT_EQ(device.CeRegOpenKeyEx(HKEY_CURRENT_USER, "x", key), static_cast<LONG>(ERROR_DEVICE_NOT_CONNECTED));
    EXPECT_TRUE(device.description().empty());

    handheld.start();
    ASSERT_TRUE(Attached(*link)) << handheld.stderrText();
    EXPECT_EQ(ReadWhole(device, "\\a.txt"), "alpha");
    EXPECT_EQ(device.description()["DeviceName"], "Simulated");

    // Pulled out with a file open: the open handle dies with it.
    HANDLE open = device.CeCreateFile("\\a.txt", GENERIC_READ, 0, OPEN_EXISTING, 0);
    ASSERT_NE(open, INVALID_HANDLE_VALUE);
    handheld.unplug();
    ASSERT_TRUE(WaitFor([&] { return link->state() == LinkManager::State::Absent; }, 10s));
    uint8_t buffer[8];
    DWORD got = 99;
    EXPECT_FALSE(device.CeReadFile(open, buffer, sizeof buffer, got));
    EXPECT_EQ(got, 0u);
    EXPECT_EQ(device.CeGetLastError(), ERROR_DEVICE_NOT_CONNECTED);

    folder.put("b.txt", "beta");
    handheld.start();
    ASSERT_TRUE(Attached(*link)) << handheld.stderrText();
    EXPECT_EQ(ReadWhole(device, "\\b.txt"), "beta");
    EXPECT_FALSE(device.CeCloseHandle(open)) << "a handle of the handheld's last visit";
    EXPECT_EQ(device.CeGetLastError(), ERROR_INVALID_HANDLE);
}

TEST(LinkLife, BrokenRepliesFailTheCallAndTheNextCallGetsAFreshChannel)
{
    // The fault the handheld makes in its second reply, and the call's last error.
    const std::pair<const char*, DWORD> cases[] = {
        {"drop", ERROR_DEVICE_NOT_CONNECTED}, {"truncate", ERROR_DEVICE_NOT_CONNECTED},
        {"wrong-length", ERROR_DEVICE_NOT_CONNECTED}, {"garbage", ERROR_GEN_FAILURE},
        {"silent", ERROR_DEVICE_NOT_CONNECTED}, // given up after the call timeout
    };
    for (const auto& [fault, error] : cases) {
        DeviceFolder folder;
        folder.put("a.txt", "alpha");
        SimulatedHandheld handheld(folder.path(), "rndis", {"--fault", fault, "--fault-at", "2"});
        auto link = Manager(handheld);
        ASSERT_TRUE(link && Attached(*link)) << fault;
        LinkDevice device(link);
        EXPECT_EQ(ListRoot(device), 0u) << fault;
        EXPECT_EQ(ListRoot(device), error) << fault;
        EXPECT_EQ(ReadWhole(device, "\\a.txt"), "alpha") << fault;
    }
}

TEST(LinkLife, PasswordsAcceptedRefusedAndUnlockedOnTheHandheld)
{
    DeviceFolder folder;
    folder.put("a.txt", "alpha");
    using State = LinkManager::State;
    // the handheld's kind and options, the password given, the first state (until
    // then the handheld is no device), whether its files can be read
    const std::tuple<const char*, std::vector<std::string>, std::optional<std::string>, State, bool> cases[] = {
        {"rndis", {"--password", "s3cret", "--key", "0x3c"}, "s3cret", State::Attached, true},
        {"rndis", {"--password", "s3cret"}, "wrong", State::Locked, false},
        {"rndis", {"--unlock-after", "1"}, std::nullopt, State::AwaitingUnlock, true},
        // The remote-call port of the older kind takes the password too.
        {"legacy", {"--password", "s3cret"}, "s3cret", State::Attached, true},
    };
    for (const auto& [kind, args, password, first, readable] : cases) {
        SCOPED_TRACE(std::string(kind) + " " + args.back());
        SimulatedHandheld handheld(folder.path(), kind, args);
        auto link = Manager(handheld, password);
        ASSERT_TRUE(link && WaitFor([&] { return link->state() == first; }, 10s)) << handheld.stderrText();
        LinkDevice device(link);
        if (first != State::Attached) {
            EXPECT_EQ(ListRoot(device), ERROR_DEVICE_NOT_CONNECTED);
        }
        if (readable) {
            ASSERT_TRUE(Attached(*link));
            EXPECT_EQ(ReadWhole(device, "\\a.txt"), "alpha");
        }
    }
}

TEST(LinkLife, AnOlderHandheldThatMissesThreePingsIsGone)
{
    DeviceFolder folder;
    SimulatedHandheld answering(folder.path(), "legacy");
    auto link = Manager(answering);
    ASSERT_TRUE(link && Attached(*link));
    EXPECT_EQ(link->deviceInfo()->dialect(), RapiDialect::Rapi1);
    std::this_thread::sleep_for(12s); // two pings answered
    EXPECT_EQ(link->state(), LinkManager::State::Attached);
    link.reset();

    SimulatedHandheld silent(folder.path(), "legacy", {"--no-pings"});
    link = Manager(silent);
    ASSERT_TRUE(link && Attached(*link));
    EXPECT_TRUE(WaitFor([&] { return link->state() == LinkManager::State::Absent; }, 25s));
}

// Where the desktop's ports are held by the privileged listener, the connections
// reach the manager handed over through the user's runtime folder.
TEST(LinkLife, ConnectionsHandedOverByThePrivilegedListener)
{
    DeviceFolder folder;
    folder.put("a.txt", "alpha");
    TempDir runtime;
    SimulatedHandheld handheld(folder.path(), "rndis");
    std::string ports = *handheld.env()["PAVRIX_LINK_PORTS"];
    const ChildProcess::Options options{.stderrFile = runtime / "linkd.err"};
    const std::vector<std::string> linkd{std::string(PAVRIX_BIN_DIR) + "/pavrix-linkd", "--address", "127.0.0.1",
                                         "--ports", ports, "--socket", runtime / "pavrix-link.sock"};
    ChildProcess listener(linkd, options);
    ASSERT_TRUE(WaitFor([&] { return PathExists(runtime / "pavrix-link.sock"); }, 5s))
        << ReadFile(runtime / "linkd.err");

    auto link = Manager(handheld, std::nullopt, runtime.path()); // its own listening fails: the ports are taken
    ASSERT_TRUE(link && Attached(*link)) << handheld.stderrText();
    LinkDevice device(link);
    EXPECT_EQ(ReadWhole(device, "\\a.txt"), "alpha");

    // The listener restarting does not lose the handheld's next visit.
    listener.stop();
    ChildProcess again(linkd, options);
    handheld.unplug();
    ASSERT_TRUE(WaitFor([&] { return link->state() == LinkManager::State::Absent; }, 10s));
    handheld.start();
    ASSERT_TRUE(Attached(*link, 15s)) << handheld.stderrText();
    EXPECT_EQ(ReadWhole(device, "\\a.txt"), "alpha");
}

// Connections to the control port that are not a handheld's handshake (a channel
// that came too late, a stranger, a handshake cut short) leave the handheld that
// is attached alone. Then it falls silent with its connections open: the call in
// progress and the next one's channel request each give up after the call
// timeout, and then the handheld counts as gone, so later calls answer at once.
// While attached, the framework lists the handheld as the kind it says it is, so
// a smartphone on the link is told apart as the emulated one is.
TEST(LinkLife, StrangersAreIgnoredAndAHandheldThatFallsSilentIsForgotten)
{
    DeviceFolder folder;
    folder.put("a.txt", "alpha");
    WriteFile(folder / "device.plist", "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
                                       "<key>DeviceClass</key><string>SmartPhone</string></dict></plist>\n");
    SimulatedHandheld handheld(folder.path(), "rndis");
    auto link = Manager(handheld);
    ASSERT_TRUE(link && Attached(*link));
    Rapi session(std::make_shared<LinkDevice>(link));
    auto devices = session.availableDevices();
    ASSERT_TRUE(devices && devices->size() == 1);
    EXPECT_EQ(devices->front().at("DeviceClass"), "SmartPhone");
    EXPECT_EQ(LinkDevice(link).description().at("DeviceName"), "Simulated");
    std::string ports = *handheld.env()["PAVRIX_LINK_PORTS"];
    int control = std::stoi(ports.substr(0, ports.find(',')));
    for (std::string bytes : {std::string("\x05\x00\x01\x00", 4), std::string("\xff\xff\xff\xff", 4),
                              std::string("\x01\x02", 2), std::string()}) {
        int fd = ConnectLoopback(control);
        SendAll(fd, bytes);
        ::close(fd);
    }
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(link->state(), LinkManager::State::Attached);
    LinkDevice device(link);
    EXPECT_EQ(ReadWhole(device, "\\a.txt"), "alpha");

    handheld.freeze();
    EXPECT_EQ(ListRoot(device), ERROR_DEVICE_NOT_CONNECTED) << "the call in progress";
    EXPECT_EQ(ListRoot(device), ERROR_DEVICE_NOT_CONNECTED) << "no channel comes";
    EXPECT_TRUE(WaitFor([&] { return link->state() == LinkManager::State::Absent; }, 5s));
    EXPECT_FALSE(session.availableDevices()) << "no handheld, no device listed";
    handheld.unplug();
    handheld.start();
    ASSERT_TRUE(Attached(*link)) << handheld.stderrText();
    EXPECT_EQ(ReadWhole(device, "\\a.txt"), "alpha");
}

// The same calls on twin device folders, one reached directly and one over the
// link through a simulated handheld of each kind: every result, output and last
// error the same, so the store and the extras cannot tell the two apart.

// The same files in each twin, with the same times (to the 100 ns the device keeps).
void Fill(const DeviceFolder& folder)
{
    const timespec when[2] = {{981158400, 123456700}, {981158400, 123456700}};
    for (const auto& [file, content] : std::vector<std::pair<const char*, std::string>>{
             {"My Documents/a.txt", "alpha"}, {"My Documents/b.bin", std::string(200000, 'b')},
             {"Windows/x.ini", "[x]"}}) {
        folder.put(file, content);
        ::utimensat(AT_FDCWD, folder.fs(file).c_str(), when, 0);
    }
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

TEST(LinkParity, EveryCallGivesWhatTheEmulatedDeviceGives)
{
    for (std::string kind : {"rndis", "rndis-rapi1", "legacy"}) {
        DeviceFolder direct, linked;
        Fill(direct);
        Fill(linked);
        bool fileTimes = kind == "rndis"; // the older dialect has no known layout for them
        auto expected = Script(*EmulatedDevice::open(direct.path()), fileTimes);

        SimulatedHandheld handheld(linked.path(), kind);
        auto link = Manager(handheld);
        ASSERT_TRUE(link && Attached(*link)) << kind << handheld.stderrText();
        LinkDevice device(link);
        EXPECT_EQ(Script(device, fileTimes), expected) << kind;
        EXPECT_EQ(ReadFile(linked.fs("My Documents/copy.txt")), "hello") << kind;
    }
}

// Where the link is, from the options and what was handed over at start.

TEST(LinkSettings, AddressesAndPortsFromTheOptionsWithTheirDefaults)
{
    using Ports = std::array<uint16_t, 4>; // control, information, wake-up, remote calls
    const Ports defaults{990, 5679, 5679, 990};
    using Text = std::optional<std::string>;
    // what; the desktop and device addresses, their ports and the address handed
    // over; the device address chosen (none: no link at all) and the ports
    const std::tuple<const char*, Text, Text, Text, Text, Text, Text, Ports> cases[] = {
        {"no link", {}, {}, {}, {}, {}, {}, {}},
        {"not an address", "usb0", {}, {}, {}, {}, {}, {}},
        {"newer handheld", "169.254.2.2", {}, {}, {}, {}, "169.254.2.1", defaults},
        {"older handheld", "192.168.131.1", {}, {}, {}, {}, "192.168.131.129", defaults},
        {"second older handheld", "192.168.131.2", {}, {}, {}, {}, "192.168.131.130", defaults},
        {"handed over", "169.254.2.2", {}, {}, {}, "169.254.2.9", "169.254.2.9", defaults},
        {"named beats handed over", "127.0.0.1", "127.0.0.2", "20990,25679", "25680,20991", "169.254.2.9", "127.0.0.2",
         {20990, 25679, 25680, 20991}},
        {"malformed ports keep the defaults", "127.0.0.1", "127.0.0.1", "990", "5679,0", {}, "127.0.0.1", defaults},
        {"ports out of range", "127.0.0.1", "127.0.0.1", "70000,1", "a,b", {}, "127.0.0.1", defaults},
    };
    for (const auto& [what, desktop, device, ports, devicePorts, handOff, expectedDevice, expectedPorts] : cases) {
        SCOPED_TRACE(what);
        auto settings = LinkSettings::fromOptions({desktop, device, ports, devicePorts, "/run/user/7"}, handOff,
                                                  std::string("pw"));
        ASSERT_EQ(settings.has_value(), expectedDevice.has_value());
        if (!settings)
            continue;
        EXPECT_EQ(settings->deviceAddress, *expectedDevice);
        EXPECT_EQ((Ports{settings->controlPort, settings->infoPort, settings->wakePort, settings->rapiPort}),
                  expectedPorts);
        EXPECT_EQ(settings->password, std::optional<std::string>("pw"));
        EXPECT_EQ(settings->handOffPath, std::optional<std::string>("/run/user/7/pavrix-link.sock"));
    }
    LinkOptions link;
    link.desktopAddress = "169.254.2.2";
    auto settings = LinkSettings::fromOptions(link, std::nullopt, std::string());
    EXPECT_EQ(settings->password, std::nullopt) << "an empty password handed over is no password";
    EXPECT_EQ(settings->handOffPath, std::nullopt) << "no runtime folder, no listener to ask";
}
