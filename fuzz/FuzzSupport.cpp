#include "FuzzSupport.h"

#include "pavrixwm/EmulatedDevice.h"

#include <filesystem>
#include <stdexcept>

namespace fuzzsupport {

namespace {

std::vector<std::string>& FoldersToRemove()
{
    static std::vector<std::string> folders;
    return folders;
}

void RemoveFolders()
{
    std::error_code ec;
    for (const auto& folder : FoldersToRemove())
        std::filesystem::remove_all(folder, ec);
}

} // namespace

std::string ScratchFolder()
{
    std::string name = (std::filesystem::temp_directory_path() / "pavrix-fuzz-XXXXXX").string();
    if (!::mkdtemp(name.data()))
        throw std::runtime_error("no scratch folder");
    if (FoldersToRemove().empty())
        std::atexit(RemoveFolders);
    FoldersToRemove().push_back(name);
    return name;
}

std::vector<std::string> SplitInput(const uint8_t* data, size_t size, size_t count)
{
    static const std::string kSeparator = "\n----\n";
    const std::string input(reinterpret_cast<const char*>(data), size);
    std::vector<std::string> parts;
    size_t start = 0;
    while (parts.size() + 1 < count) {
        size_t cut = input.find(kSeparator, start);
        if (cut == std::string::npos)
            break;
        parts.push_back(input.substr(start, cut - start));
        start = cut + kSeparator.size();
    }
    parts.push_back(start <= input.size() ? input.substr(start) : std::string());
    parts.resize(count);
    return parts;
}

DeviceSession OpenScratchDevice()
{
    DeviceSession session;
    session.folder = ScratchFolder();
    std::filesystem::create_directory(session.folder + "/fs");
    session.device = std::make_shared<FaultInjectingDevice>(EmulatedDevice::open(session.folder));
    session.rapi = std::make_unique<Rapi>(session.device);
    return session;
}

} // namespace fuzzsupport
