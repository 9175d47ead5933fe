// Uploads to the device. The body goes into a scratch file beside the target and
// takes the target's place only once it is whole, by renames on the device: the
// link is too slow and the device too small to stage a large body here first, and
// a rename is the one device step that either happens whole or not at all. Until
// the last rename the old file is untouched; after it, the new one is whole.

#include "device/DeviceFileStore.h"

#include "device/LogDescriptions.h"
#include "log/LogClient.h"
#include "pavrixwm/DeviceNames.h"
#include "platform/BodyStream.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <random>

namespace {

std::vector<std::string> SplitAt(const std::string& text, char separator)
{
    std::vector<std::string> pieces;
    size_t start = 0;
    for (;;) {
        size_t end = text.find(separator, start);
        pieces.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos)
            return pieces;
        start = end + 1;
    }
}


// A part no other upload of this or an earlier run picks: 64 random bits.
std::string RandomToken()
{
    static std::mt19937_64 generator{std::random_device{}()};
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(generator()));
    return text;
}

bool IsMissing(DWORD error) { return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND; }

} // namespace

bool DeviceFileStore::IsUnfindable(const std::string& devicePath)
{
    size_t cut = devicePath.rfind('\\');
    std::string last = cut == std::string::npos ? devicePath : devicePath.substr(cut + 1);
    return HasWildcard(last) || IsScratchName(last);
}

bool DeviceFileStore::IsScratchName(const std::string& name)
{
    // Device names compare without regard to case.
    auto same = [](char a, char b) {
        return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
    };
    const std::string prefixText = kScratchPrefix, suffixText = kScratchSuffix;
    return name.size() >= prefixText.size() + suffixText.size() &&
           std::equal(prefixText.begin(), prefixText.end(), name.begin(), same) &&
           std::equal(suffixText.rbegin(), suffixText.rend(), name.rbegin(), same);
}

void DeviceFileStore::removeStrays()
{
    std::vector<std::pair<std::string, std::string>> waiting;
    for (const auto& [backup, path] : restores) {
        // A name taken since leaves the old file under its backup name, where
        // every listing shows it; any other failure is tried again next time.
        if (!rapi.CeMoveFile(backup, path)) {
            DWORD error = rapi.CeGetLastError();
            if (error != ERROR_ALREADY_EXISTS && !IsMissing(error))
                waiting.emplace_back(backup, path);
        }
    }
    restores = std::move(waiting);
    std::vector<std::string> left;
    for (const auto& path : strays)
        if (!rapi.CeDeleteFile(path) && !IsMissing(rapi.CeGetLastError()))
            left.push_back(path);
    strays = std::move(left);
}

std::optional<std::string> DeviceFileStore::uploadTarget(const std::string& uri)
{
    auto path = uriToLocal(uri);
    if (path && gLogDebug) {
        auto items = SplitAt(*path, '\\');
        const std::string& last = items.back();
        size_t dot = last.find('.');
        int dotLength = dot == std::string::npos ? 0 : 1;
        int dotPosition = dot == std::string::npos ? -1 : static_cast<int>(dot);
        LogWithDate("putData - pathItems: %@ %d %d", DescribeList(items).c_str(), dotLength, dotPosition);
        if (!last.empty() && last.front() == '.')
            LogWithDate("putData - starts with a .");
    }
    forgetBeforeChange();
    // Refused: a scratch name belongs to the daemon's own upload; a pattern would
    // name some other file.
    if (!path || IsUnfindable(*path))
        return std::nullopt;
    return path;
}

bool DeviceFileStore::replaceFile(const std::string& requested, const std::function<bool(HANDLE)>& write)
{
    removeStrays();
    const std::string folder = requested.substr(0, requested.rfind('\\') + 1);
    std::string path = requested;
    std::vector<RapiFindData> found;
    rapi.CeFindAllFiles(requested, FAF_ATTRIBUTES | FAF_NAME, found);
    if (!found.empty()) {
        // Refused: a folder would be renamed away in the swap and left under a
        // backup name, and a read-only file is not to be written over.
        if (found.front().attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY))
            return false;
        // Names match without regard to case: the file keeps the spelling it has.
        if (!found.front().filename.empty())
            path = folder + found.front().filename;
    }

    const std::string token = RandomToken();
    const std::string scratch = folder + kScratchPrefix + token + kScratchSuffix;
    const std::string backup = folder + kScratchPrefix + token + kBackupSuffix;
    auto discard = [&](const std::string& name) {
        if (!rapi.CeDeleteFile(name) && !IsMissing(rapi.CeGetLastError()))
            strays.push_back(name);
    };

    HANDLE handle = rapi.CeCreateFile(scratch, GENERIC_WRITE, 0, CREATE_NEW, FILE_ATTRIBUTE_NORMAL);
    if (handle == INVALID_HANDLE_VALUE)
        return false;
    bool written = write(handle);
    // A file that did not close may not hold what was written.
    written = rapi.CeCloseHandle(handle) && written;
    if (!written) {
        discard(scratch);
        return false;
    }

    // Where the find saw no file there is nothing to set aside: the new file's
    // move fails rather than replace one that appeared since, so nothing is lost,
    // and a new file costs two device calls fewer.
    bool hadOld = !found.empty() && rapi.CeMoveFile(path, backup);
    if (!found.empty() && !hadOld && !IsMissing(rapi.CeGetLastError())) {
        // The old file is held or cannot be moved: it stays, the new body goes.
        discard(scratch);
        return false;
    }
    if (!rapi.CeMoveFile(scratch, path)) {
        // The backup is the only copy of the old file: it goes back, and should
        // that fail it is never deleted and goes back at the next chance.
        if (hadOld && !rapi.CeMoveFile(backup, path)) {
            restores.emplace_back(backup, path);
            if (gLogDebug)
                LogWithDate("putData - old file kept as %@", backup.c_str());
        }
        discard(scratch);
        return false;
    }
    if (hadOld)
        discard(backup);
    return true;
}

std::optional<StoreStatus> DeviceFileStore::refusalOfUpload(const std::string&, int64_t length)
{
    if (length <= 0)
        return std::nullopt;
    if (static_cast<uint64_t>(length) > kLargestDeviceFile)
        return StoreStatus::TooLarge;
    // The old file stays until the new one is whole, so the new one needs room
    // of its own. A device that reports no space at all cannot tell.
    auto [total, free] = deviceSpace();
    if (total > 0 && static_cast<uint64_t>(length) > free)
        return StoreStatus::NoSpace;
    return std::nullopt;
}

bool DeviceFileStore::writeFromStream(const std::string& uri, platform::BodyStream& clientFile, int64_t length)
{
    auto path = uploadTarget(uri);
    if (!path)
        return false;

    bool result = replaceFile(*path, [&](HANDLE handle) {
        // A few chunks in memory at a time, read straight from the client and
        // written before more is read.
        uint64_t total = 0;
        return clientFile.copyInBlocks(kWriteChunk, [&](const uint8_t* chunk, size_t size) {
            // Refused: a body past what the device can hold would wrap its size.
            if ((total += size) > kLargestDeviceFile)
                return false;
            DWORD offset = 0;
            while (offset < size) {
                DWORD written = 0;
                // A write that takes nothing would never finish the chunk.
                if (!rapi.CeWriteFile(handle, chunk + offset, static_cast<DWORD>(size) - offset, written) ||
                    written == 0)
                    return false;
                offset += std::min(written, static_cast<DWORD>(size) - offset);
            }
            return true;
        });
    });

    if (gLogDebug)
        LogWithDate("Write %ld - result: %d", static_cast<long>(length >= 0 ? length : int64_t(clientFile.bytesRead())),
                    result ? 1 : 0);
    return result;
}

bool DeviceFileStore::writeData(const DataPtr& data, const std::string& withUri)
{
    auto path = uploadTarget(withUri);
    if (!path)
        return false;

    size_t length = data ? data->size() : 0;
    bool replaced = replaceFile(*path, [&](HANDLE handle) {
        size_t offset = 0;
        while (offset < length) {
            DWORD size = static_cast<DWORD>(std::min<size_t>(kWriteChunk, length - offset));
            DWORD written = 0;
            if (!rapi.CeWriteFile(handle, data->data() + offset, size, written) || written == 0)
                return false;
            offset += std::min(written, size);
        }
        return true;
    });
    // As before: an empty body makes an empty file but reports no chunk written.
    bool result = replaced && length > 0;
    if (gLogDebug)
        LogWithDate("Write %ld - result: %d", static_cast<long>(length), result ? 1 : 0);
    return result;
}
