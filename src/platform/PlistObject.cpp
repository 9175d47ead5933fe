#include "platform/PlistObject.h"
#include "platform/ReadToEnd.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

PlistObject::PlistObject(const PlistObject& other) : node_(other.node_ ? plist_copy(other.node_) : nullptr) {}

PlistObject& PlistObject::operator=(const PlistObject& other)
{
    if (this != &other) {
        PlistObject copy(other);
        std::swap(node_, copy.node_);
    }
    return *this;
}

PlistObject::PlistObject(PlistObject&& other) noexcept : node_(other.node_) { other.node_ = nullptr; }

PlistObject& PlistObject::operator=(PlistObject&& other) noexcept
{
    std::swap(node_, other.node_);
    return *this;
}

PlistObject::~PlistObject()
{
    if (node_)
        plist_free(node_);
}

PlistObject PlistObject::dictionary() { return PlistObject(plist_new_dict()); }
PlistObject PlistObject::integer(int64_t value) { return PlistObject(plist_new_uint(static_cast<uint64_t>(value))); }
PlistObject PlistObject::string(const std::string& value) { return PlistObject(plist_new_string(value.c_str())); }
PlistObject PlistObject::boolean(bool value) { return PlistObject(plist_new_bool(value ? 1 : 0)); }
PlistObject PlistObject::real(double value) { return PlistObject(plist_new_real(value)); }

PlistObject PlistObject::data(const std::vector<uint8_t>& bytes)
{
    return PlistObject(plist_new_data(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

std::optional<PlistObject> PlistObject::fromBytes(const std::vector<uint8_t>& bytes)
{
    if (bytes.empty())
        return std::nullopt;
    plist_t node = nullptr;
    const char* raw = reinterpret_cast<const char*>(bytes.data());
    if (plist_is_binary(raw, static_cast<uint32_t>(bytes.size())))
        plist_from_bin(raw, static_cast<uint32_t>(bytes.size()), &node);
    else
        plist_from_xml(raw, static_cast<uint32_t>(bytes.size()), &node);
    if (!node)
        return std::nullopt;
    return PlistObject(node);
}

std::optional<PlistObject> PlistObject::loadDictionary(const std::string& path)
{
    // Plain reads: a folder or other non-file in the file's place is "no list", not
    // an error thrown at the caller.
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return std::nullopt;
    }
    std::vector<uint8_t> bytes;
    bool read =
        ReadToEnd(fd, [&](const uint8_t* block, size_t count) { bytes.insert(bytes.end(), block, block + count); });
    ::close(fd);
    if (!read)
        return std::nullopt;
    auto parsed = fromBytes(bytes);
    if (!parsed || !parsed->isDictionary())
        return std::nullopt;
    return parsed;
}

bool PlistObject::writeAtomically(const std::string& path) const
{
    if (!node_)
        return false;
    char* xml = nullptr;
    uint32_t length = 0;
    plist_to_xml(node_, &xml, &length);
    if (!xml)
        return false;
    // A temporary name of its own per call, created exclusively: two writers of the
    // same file (threads of one process too) never share a temporary file, and a
    // leftover file or link of that name is never written through.
    static std::atomic<unsigned> counter{0};
    std::string tmp = path + ".tmp." + std::to_string(getpid()) + "." + std::to_string(counter++);
    int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    bool ok = fd >= 0;
    if (ok) {
        const char* p = xml;
        size_t left = length;
        while (ok && left > 0) {
            ssize_t n = ::write(fd, p, left);
            if (n < 0 && errno == EINTR)
                continue;
            ok = n > 0;
            if (ok) {
                p += n;
                left -= static_cast<size_t>(n);
            }
        }
        ok = (::close(fd) == 0) && ok;
    }
    std::free(xml);
    if (ok)
        ok = std::rename(tmp.c_str(), path.c_str()) == 0;
    if (!ok && fd >= 0)
        ::unlink(tmp.c_str());
    return ok;
}

std::vector<uint8_t> PlistObject::toBinary() const
{
    if (!node_)
        return {};
    char* bin = nullptr;
    uint32_t length = 0;
    plist_to_bin(node_, &bin, &length);
    std::vector<uint8_t> out(bin, bin + length);
    std::free(bin);
    return out;
}

std::optional<PlistObject> PlistObject::get(const std::string& key) const
{
    if (!isDictionary())
        return std::nullopt;
    plist_t item = plist_dict_get_item(node_, key.c_str());
    if (!item)
        return std::nullopt;
    return PlistObject(plist_copy(item));
}

std::optional<int64_t> PlistObject::getInteger(const std::string& key) const
{
    auto item = get(key);
    return item ? item->asInteger() : std::nullopt;
}

std::optional<std::string> PlistObject::getString(const std::string& key) const
{
    auto item = get(key);
    return item ? item->asString() : std::nullopt;
}

std::optional<std::vector<uint8_t>> PlistObject::getData(const std::string& key) const
{
    auto item = get(key);
    return item ? item->asData() : std::nullopt;
}

void PlistObject::set(const std::string& key, const PlistObject& value)
{
    if (!isDictionary() || !value.node_)
        return;
    plist_dict_set_item(node_, key.c_str(), plist_copy(value.node_));
}

void PlistObject::remove(const std::string& key)
{
    if (isDictionary() && plist_dict_get_item(node_, key.c_str()))
        plist_dict_remove_item(node_, key.c_str());
}

std::vector<std::string> PlistObject::keys() const
{
    std::vector<std::string> out;
    if (!isDictionary())
        return out;
    plist_dict_iter it = nullptr;
    plist_dict_new_iter(node_, &it);
    for (;;) {
        char* key = nullptr;
        plist_t value = nullptr;
        plist_dict_next_item(node_, it, &key, &value);
        if (!key)
            break;
        out.emplace_back(key);
        std::free(key);
    }
    std::free(it);
    return out;
}

std::optional<int64_t> PlistObject::asInteger() const
{
    if (type() != PLIST_UINT)
        return std::nullopt;
    uint64_t value = 0;
    plist_get_uint_val(node_, &value);
    return static_cast<int64_t>(value);
}

std::optional<std::string> PlistObject::asString() const
{
    if (type() != PLIST_STRING)
        return std::nullopt;
    // By pointer and length: a text read from a file may hold a zero byte, which
    // no property list can carry (the parser keeps nothing after it, and the
    // copying getter stops the process on one). Such a text is none, not a name
    // cut short.
    uint64_t length = 0;
    const char* value = plist_get_string_ptr(node_, &length);
    if (!value)
        return std::string();
    if (std::memchr(value, 0, length))
        return std::nullopt;
    return std::string(value, length);
}

std::optional<std::vector<uint8_t>> PlistObject::asData() const
{
    if (type() != PLIST_DATA)
        return std::nullopt;
    char* value = nullptr;
    uint64_t length = 0;
    plist_get_data_val(node_, &value, &length);
    std::vector<uint8_t> out(value, value + length);
    std::free(value);
    return out;
}

std::optional<bool> PlistObject::asBoolean() const
{
    if (type() != PLIST_BOOLEAN)
        return std::nullopt;
    uint8_t value = 0;
    plist_get_bool_val(node_, &value);
    return value != 0;
}

namespace {

// Structural equality: dictionaries are equal when they hold the same keys with
// equal values, whatever order the keys were added in.
bool SameNode(plist_t a, plist_t b)
{
    plist_type type = plist_get_node_type(a);
    if (type != plist_get_node_type(b))
        return false;
    switch (type) {
    case PLIST_DICT: {
        if (plist_dict_get_size(a) != plist_dict_get_size(b))
            return false;
        bool same = true;
        plist_dict_iter it = nullptr;
        plist_dict_new_iter(a, &it);
        for (;;) {
            char* key = nullptr;
            plist_t value = nullptr;
            plist_dict_next_item(a, it, &key, &value);
            if (!key)
                break;
            plist_t other = plist_dict_get_item(b, key);
            std::free(key);
            if (!other || !SameNode(value, other)) {
                same = false;
                break;
            }
        }
        std::free(it);
        return same;
    }
    case PLIST_ARRAY: {
        uint32_t n = plist_array_get_size(a);
        if (n != plist_array_get_size(b))
            return false;
        for (uint32_t i = 0; i < n; ++i)
            if (!SameNode(plist_array_get_item(a, i), plist_array_get_item(b, i)))
                return false;
        return true;
    }
    default:
        // Scalars: libplist compares type and value.
        return plist_compare_node_value(a, b) != 0;
    }
}

} // namespace

bool PlistObject::operator==(const PlistObject& other) const
{
    if (!node_ || !other.node_)
        return node_ == other.node_;
    return SameNode(node_, other.node_);
}

} // namespace platform
