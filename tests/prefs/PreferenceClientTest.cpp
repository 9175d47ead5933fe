// The preference client against the real preference server on a private session
// bus: typed values, the retry over a fresh look-up, and when a request gives up;
// and what arrives over the bus is not trusted: bytes that do not hold the
// one-element array a value travels in read as nil, never as a crash or a
// half-read value.

#include "prefs/PrefWireFormat.h"
#include "prefs/PreferenceClient.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <future>
#include <tuple>

using platform::CalendarDate;
using platform::PlistObject;
using namespace testsupport;
using namespace std::chrono_literals;

namespace {

std::optional<std::string> Text(const PreferenceClient::Value& v) { return v ? v->asString() : std::nullopt; }

class PreferenceClientTest : public testing::Test {
protected:
    // Starts pavrix-prefserver with its standard output (one line per message it
    // received, printed before the message is handled) in dir/<log>.
    ChildProcess startServer(const std::string& log, std::map<std::string, std::optional<std::string>> env = {})
    {
        return StartService({BinPath("pavrix-prefserver"), name, dir / "prefs.plist"}, name,
                            {.env = std::move(env), .stdoutFile = dir / log});
    }

    // How many of the lines in dir/<log> are `line`.
    long count(const std::string& log, const std::string& line) const
    {
        return static_cast<long>(CountOf("\n" + ReadFile(dir / log) + "\n", "\n" + line + "\n"));
    }

    TempDir dir;
    PrivateBus bus;
    const std::string name = "TestPreferences";
};

TEST_F(PreferenceClientTest, TypedAccessorsRoundTripAndConvertOtherKindsOfValue)
{
    ChildProcess server = startServer("server.log");
    PreferenceClient client(name);
    client.writeInteger("lowest", INT32_MIN);
    client.writeBool("on", true);
    client.writeString("text", std::string("caf\xC3\xA9 au lait"));
    client.writeString("empty", std::string());
    EXPECT_EQ(client.readInteger("lowest"), INT32_MIN);
    EXPECT_TRUE(client.readBool("on"));
    EXPECT_EQ(Text(client.readString("text")), "caf\xC3\xA9 au lait");
    EXPECT_EQ(Text(client.readString("empty")), "") << "an empty text is a value, not nil";
    EXPECT_EQ(Text(client.readString("missing", PlistObject::string("default"))), "default");
    // What travelled is a number object and a boolean object, not text.
    EXPECT_EQ(client.readPref("lowest").value_or(PlistObject()).type(), PLIST_UINT);
    EXPECT_EQ(client.readPref("on").value_or(PlistObject()).type(), PLIST_BOOLEAN);

    // label, stored value, readInteger(key, 99), readBool(key, true)
    const std::tuple<const char*, PlistObject, int32_t, bool> cases[] = {
        {"text with digits", PlistObject::string("  42abc"), 42, true},
        {"text without digits", PlistObject::string("no"), 0, false},
        {"yes text", PlistObject::string("YES"), 0, true},
        {"text too big", PlistObject::string("99999999999"), INT32_MAX, true},
        {"text too small", PlistObject::string("-99999999999"), INT32_MIN, true},
        {"text with a sign", PlistObject::string("+007"), 7, true},
        {"false", PlistObject::boolean(false), 0, false},
        {"real", PlistObject::real(3.9), 3, true},
        {"wider than 32 bits", PlistObject::integer((int64_t{1} << 32) + 5), 5, true},
        {"data", PlistObject::data({1, 2}), 99, true},
    };
    for (const auto& [label, stored, integer, flag] : cases) {
        client.writePref(label, stored);
        EXPECT_EQ(client.readInteger(label, 99), integer) << label;
        EXPECT_EQ(client.readBool(label, true), flag) << label;
    }

    // Dates travel as text in their own zone, to the second: 2024-03-01 13:05:09.750 at +01:30; the fraction does not survive.
    auto base = CalendarDate::fromFields(2024, 3, 1, 13, 5, 9, 5400);
    ASSERT_TRUE(base);
    client.writeDate("when", CalendarDate::at(base->time().value() + 750ms, 5400));
    EXPECT_EQ(Text(client.readString("when")), "20240301 130509 +0130");
    EXPECT_EQ(client.readDate("when"), base);
    client.writeString("garbled", std::string("2024-03-01 13:05:09"));
    EXPECT_FALSE(client.readDate("garbled"));

    // A nil write sends both arguments, the key and nil.
    client.writeDate("when", std::nullopt);
    EXPECT_FALSE(client.readDate("when"));
    EXPECT_EQ(count("server.log", "writePref \"when\" nil"), 1);
}

TEST_F(PreferenceClientTest, NoServerGivesDefaultsAndARestartedOneIsLookedUpAgain)
{
    PreferenceClient client(name);
    EXPECT_TRUE(client.readBool("flag", true));
    EXPECT_FALSE(client.readDate("d"));
    EXPECT_FALSE(client.getAllPrefs());
    client.writeInteger("n", 1);
    EXPECT_FALSE(client.isConnected());

    ChildProcess first = startServer("first.log");
    EXPECT_EQ(client.readInteger("count", -1), -1);
    first.stop();
    ChildProcess second = startServer("second.log");
    ASSERT_TRUE(client.isConnected()) << "a server that went away is noticed only by a send";

    // A oneway message: the first send fails on the old proxy, the second reaches
    // the new server.
    client.writeInteger("count", 6);
    EXPECT_TRUE(WaitFor([&] { return count("second.log", "writePref \"count\" 6") == 1; }, 5s));

    second.stop();
    ChildProcess third = startServer("third.log");
    // A request with a reply: the retry's reply is the result.
    EXPECT_EQ(client.readInteger("count"), 6);
    EXPECT_EQ(count("third.log", "readPref \"count\""), 1);
    EXPECT_EQ(count("second.log", "writePref \"count\" 6"), 1);
}

// Limits of a fraction of a second: the waits below are the ones under test.
constexpr PreferenceClientLimits kShortLimits{100ms, 200ms};

// Lets a test hold the client's request lock from another thread.
// A server that dies while the client waits for its reply: the retry finds no one.
TEST_F(PreferenceClientTest, ServerDyingMidRequestWithNoneToRetryGivesNil)
{
    ChildProcess server = startServer("server.log", {{"PAVRIX_PREFSERVER_DIE_KEY", "boom"}});
    PreferenceClient client(name);
    ASSERT_TRUE(client.makeConnection());
    EXPECT_FALSE(client.readPref("boom"));
    EXPECT_FALSE(client.isConnected());
    auto status = server.waitExit(5s);
    ASSERT_TRUE(status);
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 3);
    EXPECT_EQ(count("server.log", "readPref \"boom\""), 1);
}

class LockableClient : public PreferenceClient {
public:
    using PreferenceClient::PreferenceClient;
    std::timed_mutex& requestLock() { return mLock; }
};

// A request gives nil when the server stalls past the reply time-out (after two
// sends, not a third) and when the lock stays held past the deadline.
TEST_F(PreferenceClientTest, StalledServerOrHeldLockGivesNil)
{
    ChildProcess server = startServer(
        "server.log", {{"PAVRIX_PREFSERVER_STALL_KEY", "slow"}, {"PAVRIX_PREFSERVER_STALL_SECONDS", "1"}});
    LockableClient client(name, kShortLimits);
    // Each send gives up at the reply time-out, and a failed send drops the proxy.
    EXPECT_FALSE(client.readPref("slow"));
    EXPECT_FALSE(client.isConnected());
    // The server takes the sends in turn as it wakes up, and answers again after:
    // there were two, not a third.
    EXPECT_TRUE(client.makeConnection());
    EXPECT_TRUE(WaitFor([&] { return client.isReallyConnected(); }, 10s));
    EXPECT_EQ(count("server.log", "readPref \"slow\""), 2);

    client.writeInteger("n", 3);
    // The lock is held here until after the read on another thread: it can only give up.
    client.requestLock().lock();
    EXPECT_EQ(std::async(std::launch::async, [&] { return client.readInteger("n", -1); }).get(), -1);
    client.requestLock().unlock();
    EXPECT_EQ(count("server.log", "readPref \"n\""), 0) << "the server was never contacted";
    EXPECT_EQ(client.readInteger("n", -1), 3);
}

} // namespace

// Besides malformed bytes, values a binary list can carry but no sender means: a
// "text" that is not UTF-8, a key holding zero bytes (on which libplist's key
// getters stop the process) and a key given twice. Each read as a value once and
// broke the client or the server; those inputs are the fuzzer's, kept with its seeds.
TEST(PrefWireFormat, MalformedBytesAndValuesNoSenderMeansReadAsNil)
{
    auto seed = [](const std::string& name) {
        std::string bytes = testsupport::ReadFile(testsupport::SourcePath("fuzz/corpus/fuzz_pref_values/" + name));
        return PrefWireValue{(bytes.at(0) & 1) != 0, std::vector<uint8_t>(bytes.begin() + 1, bytes.end())};
    };
    PlistObject dict = PlistObject::dictionary();
    dict.set("a", PlistObject::integer(1));
    const std::vector<std::pair<std::string, PrefWireValue>> cases = {
        {"present without bytes", PrefWireValue{true, {}}},
        {"garbage", PrefWireValue{true, {'n', 'o', 't', ' ', 'a', ' ', 'l', 'i', 's', 't'}}},
        {"truncated binary", PrefWireValue{true, {'b', 'p', 'l', 'i', 's', 't', '0', '0', 1}}},
        {"bare dictionary", PrefWireValue{true, dict.toBinary()}},
        {"text-not-utf8", seed("text-not-utf8")},
        {"key-with-zero-bytes", seed("key-with-zero-bytes")},
        {"key-twice", seed("key-twice")},
    };
    for (const auto& [label, wire] : cases)
        EXPECT_FALSE(DecodePrefValue(wire).has_value()) << label;
    // A seed of the same shape that a sender does mean still reads, so the cases
    // above fail on their bytes alone.
    auto meant = DecodePrefValue(seed("dictionary"));
    ASSERT_TRUE(meant);
    EXPECT_TRUE(DecodePrefValue(EncodePrefValue(meant)) == meant);
}
