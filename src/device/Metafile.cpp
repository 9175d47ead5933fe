#include "device/Metafile.h"

#include "log/LogClient.h"

bool IsMetafile(const std::string& uri)
{
    size_t slash = uri.rfind('/');
    std::string piece = slash == std::string::npos ? uri : uri.substr(slash + 1);

    bool metadataSidecar = piece.rfind("._", 0) == 0;
    if (metadataSidecar && gLogDebug)
        LogWithDate("IsMetafile - filename %s starts with ._", piece.c_str());
    bool folderSettings = piece.rfind(".DS_Store", 0) == 0;
    if (folderSettings && gLogDebug)
        LogWithDate("IsMetafile - filename %s starts with .DS_Store", piece.c_str());
    return metadataSidecar || folderSettings;
}
