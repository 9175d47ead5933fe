#include "device/Metafile.h"

#include "datasource/HrefEscaping.h"
#include "log/LogClient.h"

namespace {

bool StartsWithFolded(const std::string& piece, const char* prefix)
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
    std::string name = PercentDecode(uri);
    while (!name.empty() && (name.back() == '/' || name.back() == '\\'))
        name.pop_back();
    size_t separator = name.find_last_of("/\\");
    std::string piece = separator == std::string::npos ? name : name.substr(separator + 1);

    bool metadataSidecar = StartsWithFolded(piece, "._");
    if (metadataSidecar && gLogDebug)
        LogWithDate("IsMetafile - filename %s starts with ._", piece.c_str());
    bool folderSettings = StartsWithFolded(piece, ".ds_store");
    if (folderSettings && gLogDebug)
        LogWithDate("IsMetafile - filename %s starts with .DS_Store", piece.c_str());
    return metadataSidecar || folderSettings;
}

bool IsMetafileName(const std::string& name)
{
    return StartsWithFolded(name, "._") || StartsWithFolded(name, ".ds_store");
}
