// The hand-off files in ~/Library/Caches as start-up meets them, written by another
// program and so holding anything. Input: the bytes of the password file, the
// address file and the port file, cut at "\n----\n" (an empty part: no file).
//   Start-up takes the password and address over: a file is deleted exactly when
//   it held a dictionary, and the values taken are that dictionary's ("Password"
//   data, "IpAddr" text).
//   The port file is read, given "WebdavPort" and "WebdavPID" and written back as
//   the listener does; whatever it held before, the launcher can then read both.

#include "FuzzSupport.h"

#include "daemon/HandOffFiles.h"
#include "platform/HomeFolder.h"
#include "platform/PlistObject.h"

#include <filesystem>
#include <fstream>
#include <unistd.h>

using platform::PlistObject;

namespace {

constexpr int kPort = 53211;

// The home folder the start-up is given.
const std::string& Home()
{
    static const std::string home = fuzzsupport::ScratchFolder();
    return home;
}

bool Exists(const std::string& path) { return std::filesystem::exists(std::filesystem::symlink_status(path)); }

void Put(const std::string& path, const std::string& bytes)
{
    std::filesystem::remove(path);
    if (!bytes.empty())
        std::ofstream(path, std::ios::binary) << bytes;
}

std::optional<PlistObject> DictionaryIn(const std::string& bytes)
{
    auto parsed = PlistObject::fromBytes(std::vector<uint8_t>(bytes.begin(), bytes.end()));
    return parsed && parsed->isDictionary() ? parsed : std::nullopt;
}

void CheckTakeOver(const std::string& password, const std::string& address)
{
    Put(PasswordFilePath(Home()), password);
    Put(AddressFilePath(Home()), address);
    const auto passwords = DictionaryIn(password);
    const auto addresses = DictionaryIn(address);
    gDevicePassword = std::vector<uint8_t>{'s', 't', 'a', 'l', 'e'};
    gDeviceIPAddress = "stale";

    TakeOverHandOffFiles(Home());

    FUZZ_CHECK(Exists(PasswordFilePath(Home())) == (!passwords && !password.empty()));
    FUZZ_CHECK(Exists(AddressFilePath(Home())) == (!addresses && !address.empty()));
    if (passwords)
        FUZZ_CHECK(gDevicePassword == passwords->getData(kPasswordKey).value_or(std::vector<uint8_t>{}));
    else
        FUZZ_CHECK(!gDevicePassword);
    auto ip = addresses ? addresses->getString(kAddressKey) : std::nullopt;
    FUZZ_CHECK(gDeviceIPAddress == (ip ? *ip : "stale"));
}

void CheckPortFile(const std::string& port)
{
    Put(PortFilePath(Home()), port);
    // What Listen does with the file once its socket is bound.
    auto dict = PlistObject::loadDictionary(PortFilePath(Home())).value_or(PlistObject::dictionary());
    dict.set(kPortKey, PlistObject::integer(kPort));
    dict.set(kPIDKey, PlistObject::integer(getpid()));
    FUZZ_CHECK(dict.writeAtomically(PortFilePath(Home())));

    auto written = PlistObject::loadDictionary(PortFilePath(Home()));
    FUZZ_CHECK(written);
    FUZZ_CHECK(written->getInteger(kPortKey) == kPort);
    FUZZ_CHECK(written->getInteger(kPIDKey) == getpid());
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // The launcher writes its files into a cache folder that exists.
    platform::CreateFolderWithParents(HandOffFolder(Home()));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    auto parts = fuzzsupport::SplitInput(data, size, 3);
    CheckTakeOver(parts[0], parts[1]);
    CheckPortFile(parts[2]);
    return 0;
}
