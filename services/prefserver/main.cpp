// pavrix-prefserver NAME [FILE]
//
// The preference server: registers NAME on the session bus and answers every
// message of PreferenceProtocol. Values live in memory as one dictionary, loaded at
// start from the property-list FILE (default ~/Library/Preferences/NAME.plist; a
// missing or unreadable file starts empty).
//
//   writePref key value   sets the key (a nil value removes it)
//   readPref key          the key's value, or nil
//   deletePref key        removes the key
//   sync                  writes the dictionary to FILE (atomically)
//   reload                reads FILE again, dropping changes made since the last sync
//   setDefaults dict      adds the dictionary's keys that are not set yet
//   getAllPrefs           the whole dictionary
//   ping object           the object itself
//
// SIGTERM or SIGINT writes FILE when it has unsynced changes, then ends the server.
//
// Standard output gets one line per message received, flushed at once, before the
// message is handled: the method name and a description of each argument, for
// example: writePref "color" nil. Tests count requests with it.
//
// Two environment variables let tests make the server misbehave:
//   PAVRIX_PREFSERVER_STALL_KEY=K  a writePref, readPref or deletePref of the key K
//       sleeps PAVRIX_PREFSERVER_STALL_SECONDS (default 30) before it is handled;
//       the server answers nothing else meanwhile.
//   PAVRIX_PREFSERVER_DIE_KEY=K  such a request for the key K ends the server at
//       once (exit status 3), without an answer and without writing FILE.

#include "platform/HomeFolder.h"
#include "platform/NamedService.h"
#include "platform/PlistObject.h"
#include "prefs/PrefWireFormat.h"
#include "prefs/PreferenceProtocol.h"

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>
#include <unistd.h>

using platform::PlistObject;
using Value = std::optional<PlistObject>;

namespace {

std::string Describe(const Value& value)
{
    if (!value || value->isNull())
        return "nil";
    switch (value->type()) {
    case PLIST_STRING: return "\"" + *value->asString() + "\"";
    case PLIST_UINT: return std::to_string(*value->asInteger());
    case PLIST_BOOLEAN: return *value->asBoolean() ? "true" : "false";
    case PLIST_REAL: {
        double real = 0;
        plist_get_real_val(value->node(), &real);
        char buf[64];
        std::snprintf(buf, sizeof buf, "%g", real);
        return buf;
    }
    case PLIST_DATA: return "<" + std::to_string(value->asData()->size()) + " bytes>";
    case PLIST_DICT: return "{" + std::to_string(value->keys().size()) + " entries}";
    case PLIST_ARRAY: return "(" + std::to_string(plist_array_get_size(value->node())) + " items)";
    default: return "<value>";
    }
}

void Report(const std::string& method, std::initializer_list<Value> arguments = {})
{
    std::string line = method;
    for (const Value& argument : arguments)
        line += " " + Describe(argument);
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

std::optional<std::string> Environment(const char* name)
{
    const char* value = std::getenv(name);
    if (!value || !*value)
        return std::nullopt;
    return std::string(value);
}

class PreferenceStore {
public:
    explicit PreferenceStore(std::string file) : file_(std::move(file)) { load(); }

    void load()
    {
        values_ = PlistObject::loadDictionary(file_).value_or(PlistObject::dictionary());
        dirty_ = false;
    }

    bool save()
    {
        auto slash = file_.rfind('/');
        if (slash != std::string::npos && slash > 0)
            platform::CreateFolderWithParents(file_.substr(0, slash));
        bool ok = values_.writeAtomically(file_);
        if (ok)
            dirty_ = false;
        else
            std::fprintf(stderr, "pavrix-prefserver: cannot write %s\n", file_.c_str());
        return ok;
    }

    Value read(const std::string& key) const { return values_.get(key); }

    void write(const std::string& key, const Value& value)
    {
        if (value && !value->isNull())
            values_.set(key, *value);
        else
            values_.remove(key);
        dirty_ = true;
    }

    void remove(const std::string& key)
    {
        values_.remove(key);
        dirty_ = true;
    }

    void addDefaults(const PlistObject& defaults)
    {
        for (const std::string& key : defaults.keys()) {
            if (!values_.get(key)) {
                values_.set(key, *defaults.get(key));
                dirty_ = true;
            }
        }
    }

    const PlistObject& all() const { return values_; }
    bool dirty() const { return dirty_; }

private:
    std::string file_;
    PlistObject values_;
    bool dirty_ = false;
};

// The test controls: a key that makes the server stall, a key that makes it die.
struct Misbehaviour {
    std::optional<std::string> stallKey = Environment("PAVRIX_PREFSERVER_STALL_KEY");
    unsigned stallSeconds = static_cast<unsigned>(std::atoi(Environment("PAVRIX_PREFSERVER_STALL_SECONDS").value_or("30").c_str()));
    std::optional<std::string> dieKey = Environment("PAVRIX_PREFSERVER_DIE_KEY");

    void before(const std::optional<std::string>& key) const
    {
        if (!key)
            return;
        if (dieKey && *key == *dieKey)
            ::_exit(3);
        if (stallKey && *key == *stallKey)
            std::this_thread::sleep_for(std::chrono::seconds(stallSeconds));
    }
};

std::optional<std::string> KeyText(const Value& key) { return key ? key->asString() : std::nullopt; }

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2 || argc > 3 || !*argv[1]) {
        std::fprintf(stderr, "usage: pavrix-prefserver NAME [FILE]\n");
        return 2;
    }
    const std::string name = argv[1];
    const std::string file = argc == 3 ? std::string(argv[2])
                                       : platform::HomeFolder(Environment("HOME")) + "/Library/Preferences/" + name + ".plist";

    // Termination requests end the loop cleanly, so unsynced values are kept.
    platform::ServiceHost::BlockStopSignals();

    PreferenceStore store(file);
    const Misbehaviour misbehaviour;

    std::unique_ptr<platform::ServiceHost> host;
    try {
        host = std::make_unique<platform::ServiceHost>(name);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "pavrix-prefserver: %s\n", e.what());
        return 1;
    }

    const std::string iface = platform::ProtocolInterfaceName(kPreferenceProtocol);
    sdbus::IObject& root = host->rootObject();
    auto method = [&](PrefMessage message) -> const char* { return PrefMessageDescription(message).method; };

    root.registerMethod(method(PrefMessage::writePref))
        .onInterface(iface)
        .implementedAs([&](const PrefWireValue& key, const PrefWireValue& data) {
            Value keyValue = DecodePrefValue(key), dataValue = DecodePrefValue(data);
            Report("writePref", {keyValue, dataValue});
            misbehaviour.before(KeyText(keyValue));
            if (auto text = KeyText(keyValue))
                store.write(*text, dataValue);
        })
        .withNoReply();
    root.registerMethod(method(PrefMessage::readPref))
        .onInterface(iface)
        .implementedAs([&](const PrefWireValue& key) {
            Value keyValue = DecodePrefValue(key);
            Report("readPref", {keyValue});
            misbehaviour.before(KeyText(keyValue));
            auto text = KeyText(keyValue);
            return EncodePrefValue(text ? store.read(*text) : std::nullopt);
        });
    root.registerMethod(method(PrefMessage::deletePref))
        .onInterface(iface)
        .implementedAs([&](const PrefWireValue& key) {
            Value keyValue = DecodePrefValue(key);
            Report("deletePref", {keyValue});
            misbehaviour.before(KeyText(keyValue));
            if (auto text = KeyText(keyValue))
                store.remove(*text);
        })
        .withNoReply();
    root.registerMethod(method(PrefMessage::sync))
        .onInterface(iface)
        .implementedAs([&]() {
            Report("sync");
            store.save();
        })
        .withNoReply();
    root.registerMethod(method(PrefMessage::reload))
        .onInterface(iface)
        .implementedAs([&]() {
            Report("reload");
            store.load();
        })
        .withNoReply();
    root.registerMethod(method(PrefMessage::setDefaults))
        .onInterface(iface)
        .implementedAs([&](const PrefWireValue& defaults) {
            Value value = DecodePrefValue(defaults);
            Report("setDefaults", {value});
            if (value && value->isDictionary())
                store.addDefaults(*value);
        })
        .withNoReply();
    root.registerMethod(method(PrefMessage::getAllPrefs))
        .onInterface(iface)
        .implementedAs([&]() {
            Report("getAllPrefs");
            return EncodePrefValue(store.all());
        });
    root.registerMethod(method(PrefMessage::ping))
        .onInterface(iface)
        .implementedAs([&](const PrefWireValue& object) {
            Report("ping", {DecodePrefValue(object)});
            return object;
        });
    root.finishRegistration();

    try {
        host->runUntilStopSignal();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "pavrix-prefserver: %s\n", e.what());
    }
    if (store.dirty())
        store.save();
    return 0;
}
