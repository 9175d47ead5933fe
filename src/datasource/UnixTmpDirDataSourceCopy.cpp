#include "datasource/UnixTmpDirDataSource.h"

#include <unistd.h>

#include <filesystem>

StoreStatus UnixTmpDirDataSource::copyResource(const std::string& uri, const std::string& to)
{
    auto source = uriToLocal(uri);
    auto destination = uriToLocal(to);
    if (!source || !destination || !isFile(uri))
        return StoreStatus::Refused;
    // Made under another name first, so that a copy cut short never stands in
    // the destination's place; that name never starts like a metafile's, so no
    // request or listing reaches it meanwhile.
    std::error_code failure;
    std::filesystem::path target(*destination);
    std::string temporary =
        (target.parent_path() / (".copy-" + std::to_string(::getpid()) + "-" + target.filename().string())).string();
    std::filesystem::copy_file(*source, temporary, std::filesystem::copy_options::overwrite_existing, failure);
    if (!failure)
        std::filesystem::rename(temporary, *destination, failure);
    if (failure) {
        std::error_code ignored;
        std::filesystem::remove(temporary, ignored);
        return StoreStatus::Refused;
    }
    return StoreStatus::Created;
}
