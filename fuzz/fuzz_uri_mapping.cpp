// URI mapping and escaping, the text every request target goes through before a
// store acts on it. One input is read as each of:
//   a device path: the device store maps it to a URI and back to the same path,
//     and the URI is text an answer can carry as it stands;
//   a request URI: the device store maps it to a device path (text, below "\"),
//     the local store to a path that never leaves the store's root and that maps
//     back to a URI naming the same path, and so does the mirror's, escapes
//     decoded; no URI IsMetafile refuses names a metafile on the device;
//     the href escaping of PROPFIND answers keeps plain ASCII and escapes the rest
//     into text an answer can carry.

#include "FuzzSupport.h"

#include "dav/PropFind.h"
#include "datasource/UnixTmpDirDataSource.h"
#include "device/Metafile.h"
#include "device/UnixMirroredFSDataSource.h"
#include "device/WinceDataSource.h"
#include "pavrixwm/Rapi.h"
#include "platform/TextEncoding.h"

#include <filesystem>

namespace {

// Mapping is text only: the local store's root is never touched.
const std::string kLocalRoot = "/srv/pavrix-store";

// A name a device can hold: no control character and none of \ / : * ? " < > |.
bool IsDeviceName(const std::string& name)
{
    if (name.empty())
        return false;
    for (unsigned char c : name)
        if (c < 32 || std::string_view("\\/:*?\"<>|").find(static_cast<char>(c)) != std::string_view::npos)
            return false;
    return true;
}

// "\" alone, or "\" followed by device names separated by single backslashes.
bool IsDevicePath(const std::string& path)
{
    if (path.empty() || path[0] != '\\' || !platform::IsValidUTF8(path))
        return false;
    if (path == "\\")
        return true;
    size_t start = 1;
    for (;;) {
        size_t cut = path.find('\\', start);
        if (!IsDeviceName(path.substr(start, cut == std::string::npos ? std::string::npos : cut - start)))
            return false;
        if (cut == std::string::npos)
            return true;
        start = cut + 1;
    }
}

// Text that can stand in an XML answer and in a request line as it is: printable
// ASCII without the characters markup or a URI would read as their own.
bool IsAnswerText(const std::string& text)
{
    for (unsigned char c : text)
        if (c < 33 || c > 126 || std::string_view("\"&<>?#").find(static_cast<char>(c)) != std::string_view::npos)
            return false;
    return true;
}

bool IsASCII(const std::string& text)
{
    for (unsigned char c : text)
        if (c >= 0x80)
            return false;
    return true;
}

// The stores as the daemon holds them, each with its volume fixed by a first URI.
WinceDataSource& DeviceStore()
{
    static Rapi unattached(nullptr);
    static WinceDataSource store(unattached, fuzzsupport::ScratchFolder());
    static const bool volumeFixed = store.uriToLocal("/Device/").has_value();
    FUZZ_CHECK(volumeFixed);
    return store;
}

// The metafile mirror, whose mapping decodes escapes: its paths stay below the
// root however a name is spelled.
UnixMirroredFSDataSource& MirrorStore()
{
    static UnixMirroredFSDataSource store(kLocalRoot);
    return store;
}

UnixTmpDirDataSource& LocalStore()
{
    static UnixTmpDirDataSource store(kLocalRoot);
    static const bool volumeFixed = store.uriToLocal("/vol/").has_value();
    FUZZ_CHECK(volumeFixed);
    return store;
}

void CheckDevicePath(const std::string& path)
{
    std::string uri = DeviceStore().localToUri(path);
    FUZZ_CHECK(uri.rfind("/Device/", 0) == 0);
    FUZZ_CHECK(IsAnswerText(uri));
    FUZZ_CHECK(DeviceStore().uriToLocal(uri) == path);
}

void CheckRequestURI(const std::string& uri)
{
    if (auto path = DeviceStore().uriToLocal(uri)) {
        FUZZ_CHECK(!path->empty() && (*path)[0] == '\\');
        FUZZ_CHECK(platform::IsValidUTF8(*path));
    }

    if (auto local = LocalStore().uriToLocal(uri)) {
        FUZZ_CHECK(local->find('\0') == std::string::npos);
        std::string normal = std::filesystem::path(*local).lexically_normal().string();
        FUZZ_CHECK(normal.rfind(kLocalRoot, 0) == 0);
        FUZZ_CHECK(normal.size() == kLocalRoot.size() || normal[kLocalRoot.size()] == '/');
        // A path below the root maps back to a URI of the same path (the root
        // itself maps to the bare volume, which names no path).
        if (*local != kLocalRoot) {
            auto back = LocalStore().localToUri(*local);
            FUZZ_CHECK(back && LocalStore().uriToLocal(*back) == local);
        }
    }

    if (auto local = MirrorStore().uriToLocal(uri)) {
        FUZZ_CHECK(local->find('\0') == std::string::npos);
        std::string normal = std::filesystem::path(*local).lexically_normal().string();
        FUZZ_CHECK(normal == *local); // no ".", "..", empty or trailing name survives
        FUZZ_CHECK(normal.rfind(kLocalRoot, 0) == 0);
        FUZZ_CHECK(normal.size() == kLocalRoot.size() || normal[kLocalRoot.size()] == '/');
    }

    // No URI that is not a metafile's names a device file whose last name is one:
    // whatever the escapes, the letter case or the separators, a "._" or
    // ".DS_Store" name never reaches the device.
    if (!IsMetafile(uri)) {
        if (auto path = DeviceStore().uriToLocal(uri)) {
            size_t separator = path->find_last_of("\\/");
            std::string name = separator == std::string::npos ? *path : path->substr(separator + 1);
            std::string folded;
            for (char c : name)
                folded += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
            FUZZ_CHECK(folded.rfind("._", 0) != 0 && folded.rfind(".ds_store", 0) != 0);
        }
    }
    // Trailing separators name the same thing without them.
    std::string trimmed = uri;
    while (!trimmed.empty() && trimmed.back() == '/')
        trimmed.pop_back();
    FUZZ_CHECK(IsMetafile(uri) == IsMetafile(trimmed + "/"));

    std::string href = PropFind::encodeURI(uri);
    if (IsASCII(uri))
        FUZZ_CHECK(href == uri);
    else
        FUZZ_CHECK(IsAnswerText(href));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string input(reinterpret_cast<const char*>(data), size);
    if (IsDevicePath(input))
        CheckDevicePath(input);
    CheckRequestURI(input);
    return 0;
}
