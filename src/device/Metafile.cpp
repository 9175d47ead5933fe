#include "device/Metafile.h"

#include "datasource/HrefEscaping.h"
#include "log/LogClient.h"
#include "pavrixwm/DeviceNames.h"

#include <string_view>

namespace {

bool StartsWithFolded(std::string_view piece, const char* prefix)
{
    for (size_t i = 0; prefix[i] != '\0'; ++i) {
        if (i >= piece.size())
            return false;
        char c = piece[i];
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
        if (c != prefix[i])
            return false;
    }
    return true;
}

} // namespace

bool IsMetafile(const std::string& uri)
{
    // Most URIs hold no escape, and decoding would only copy them.
    std::string decoded;
    std::string_view name = uri;
    if (uri.find('%') != std::string::npos) {
        decoded = PercentDecode(uri);
        name = decoded;
    }
    while (!name.empty() && (name.back() == '/' || name.back() == '\\'))
        name.remove_suffix(1);
    const std::string_view piece = name.substr(LastNameStart(name));

    bool metadataSidecar = StartsWithFolded(piece, "._");
    if (metadataSidecar && gLogDebug)
        LogWithDate("IsMetafile - filename %s starts with ._", std::string(piece).c_str());
    bool folderSettings = StartsWithFolded(piece, ".ds_store");
    if (folderSettings && gLogDebug)
        LogWithDate("IsMetafile - filename %s starts with .DS_Store", std::string(piece).c_str());
    return metadataSidecar || folderSettings;
}

bool IsMetafileName(const std::string& name)
{
    return StartsWithFolded(name, "._") || StartsWithFolded(name, ".ds_store");
}
