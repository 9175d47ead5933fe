#include "pavrixwm/EmulatedRegistry.h"

#include "pavrixwm/DeviceNames.h"

#include <variant>
#include <vector>

using platform::PlistObject;

namespace {

constexpr HKEY kFirstKey = 0x1000;

const char* RootName(HKEY root)
{
    switch (root) {
    case HKEY_CLASSES_ROOT:
        return "HKEY_CLASSES_ROOT";
    case HKEY_CURRENT_USER:
        return "HKEY_CURRENT_USER";
    case HKEY_LOCAL_MACHINE:
        return "HKEY_LOCAL_MACHINE";
    case HKEY_USERS:
        return "HKEY_USERS";
    default:
        return nullptr;
    }
}

// Key names without empty ones, so "\A\\B\" and "A\B" are the same key.
std::vector<std::string> SplitKeyPath(const std::string& path)
{
    std::vector<std::string> parts;
    std::string current;
    for (char c : path) {
        if (c == '\\') {
            if (!current.empty())
                parts.push_back(current);
            current.clear();
        } else {
            current.push_back(c);
        }
    }
    if (!current.empty())
        parts.push_back(current);
    return parts;
}

std::string JoinKeyPath(const std::vector<std::string>& parts, size_t count)
{
    std::string out;
    for (size_t i = 0; i < count; ++i) {
        if (i)
            out += '\\';
        out += parts[i];
    }
    return out;
}

// The entry of a dictionary that equals `name` without regard to case.
std::optional<std::string> FindKeyIgnoringCase(const PlistObject& dictionary, const std::string& name)
{
    if (dictionary.get(name))
        return name;
    for (const auto& key : dictionary.keys())
        if (DeviceNamesEqual(key, name))
            return key;
    return std::nullopt;
}

// The stored spelling of `path` below a root, or none when the key is absent.
std::optional<std::string> StoredKey(const PlistObject& rootDictionary, const std::string& path)
{
    if (path.empty())
        return std::string();
    return FindKeyIgnoringCase(rootDictionary, path);
}

} // namespace

EmulatedRegistry::EmulatedRegistry(std::string plistPath) : plistPath_(std::move(plistPath)), nextKey_(kFirstKey) {}

PlistObject EmulatedRegistry::load() const
{
    auto registry = PlistObject::loadDictionary(plistPath_);
    return registry ? *registry : PlistObject::dictionary();
}

std::optional<EmulatedRegistry::OpenKey> EmulatedRegistry::keyOf(HKEY handle) const
{
    if (const char* root = RootName(handle))
        return OpenKey{root, ""};
    auto it = keys_.find(handle);
    if (it == keys_.end())
        return std::nullopt;
    return it->second;
}

HKEY EmulatedRegistry::remember(OpenKey key)
{
    HKEY handle = nextKey_;
    do {
        handle = nextKey_;
        nextKey_ = handle >= 0x7FFFFFF0 ? kFirstKey : handle + 1; // clear of the predefined roots
    } while (keys_.count(handle));
    keys_[handle] = std::move(key);
    return handle;
}

LONG EmulatedRegistry::openKey(HKEY root, const std::string& subKey, HKEY& result)
{
    auto base = keyOf(root);
    if (!base)
        return ERROR_INVALID_HANDLE;
    auto parts = SplitKeyPath(base->path + "\\" + subKey);
    PlistObject registry = load();
    auto rootDictionary = registry.get(base->root).value_or(PlistObject::dictionary());
    auto stored = StoredKey(rootDictionary, JoinKeyPath(parts, parts.size()));
    if (!stored)
        return ERROR_FILE_NOT_FOUND;
    result = remember(OpenKey{base->root, *stored});
    return ERROR_SUCCESS;
}

LONG EmulatedRegistry::createKey(HKEY root, const std::string& subKey, HKEY& result, DWORD* disposition)
{
    auto base = keyOf(root);
    if (!base)
        return ERROR_INVALID_HANDLE;
    auto parts = SplitKeyPath(base->path + "\\" + subKey);
    std::string path = JoinKeyPath(parts, parts.size());
    PlistObject registry = load();
    auto rootDictionary = registry.get(base->root).value_or(PlistObject::dictionary());
    auto stored = StoredKey(rootDictionary, path);
    bool created = !stored;
    if (created) {
        // A key's missing parents come into being with it, as on the device.
        for (size_t n = 1; n <= parts.size(); ++n) {
            std::string ancestor = JoinKeyPath(parts, n);
            if (!StoredKey(rootDictionary, ancestor))
                rootDictionary.set(ancestor, PlistObject::dictionary());
        }
        registry.set(base->root, rootDictionary);
        if (!registry.writeAtomically(plistPath_))
            return ERROR_ACCESS_DENIED;
        stored = path;
    }
    result = remember(OpenKey{base->root, *stored});
    if (disposition)
        *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    return ERROR_SUCCESS;
}

LONG EmulatedRegistry::queryValue(HKEY key, const std::string& valueName, std::optional<RegistryValue>& value)
{
    auto base = keyOf(key);
    if (!base)
        return ERROR_INVALID_HANDLE;
    PlistObject registry = load();
    auto rootDictionary = registry.get(base->root).value_or(PlistObject::dictionary());
    auto stored = StoredKey(rootDictionary, base->path);
    if (!stored || stored->empty())
        return ERROR_FILE_NOT_FOUND;
    auto values = rootDictionary.get(*stored);
    if (!values)
        return ERROR_FILE_NOT_FOUND;
    auto name = FindKeyIgnoringCase(*values, valueName);
    if (!name)
        return ERROR_FILE_NOT_FOUND;
    auto item = values->get(*name);
    if (auto number = item->asInteger())
        value = RegistryValue(*number);
    else if (auto flag = item->asBoolean())
        value = RegistryValue(int64_t(*flag ? 1 : 0));
    else if (auto text = item->asString())
        value = RegistryValue(*text);
    else if (auto bytes = item->asData())
        value = RegistryValue(*bytes);
    else
        return ERROR_INVALID_DATA;
    return ERROR_SUCCESS;
}

LONG EmulatedRegistry::setValue(HKEY key, const std::string& valueName, const RegistryValue& value)
{
    auto base = keyOf(key);
    if (!base)
        return ERROR_INVALID_HANDLE;
    if (base->path.empty())
        return ERROR_ACCESS_DENIED; // values live in keys, not in the predefined roots
    PlistObject registry = load();
    auto rootDictionary = registry.get(base->root).value_or(PlistObject::dictionary());
    std::string stored = StoredKey(rootDictionary, base->path).value_or(base->path);
    auto values = rootDictionary.get(stored).value_or(PlistObject::dictionary());
    std::string name = FindKeyIgnoringCase(values, valueName).value_or(valueName);
    PlistObject item;
    if (auto number = std::get_if<int64_t>(&value))
        item = PlistObject::integer(static_cast<uint32_t>(*number)); // a DWORD value keeps 32 bits
    else if (auto text = std::get_if<std::string>(&value))
        item = PlistObject::string(*text);
    else
        item = PlistObject::data(std::get<std::vector<uint8_t>>(value));
    values.set(name, item);
    rootDictionary.set(stored, values);
    registry.set(base->root, rootDictionary);
    if (!registry.writeAtomically(plistPath_))
        return ERROR_ACCESS_DENIED;
    return ERROR_SUCCESS;
}

LONG EmulatedRegistry::closeKey(HKEY key)
{
    if (RootName(key))
        return ERROR_SUCCESS;
    return keys_.erase(key) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}
