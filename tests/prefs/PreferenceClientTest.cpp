#include "prefs/PreferenceClient.h"

#include "PrefServerFixture.h"

#include <atomic>
#include <csignal>
#include <future>
#include <sys/wait.h>
#include <thread>

using platform::CalendarDate;
using platform::PlistObject;
using testsupport::ChildProcess;

namespace {

using Clock = std::chrono::steady_clock;

// Lets a test hold the client's request lock from another thread.
class LockableClient : public PreferenceClient {
public:
    using PreferenceClient::PreferenceClient;
    std::timed_mutex& requestLock() { return mLock; }
};

class PreferenceClientTest : public PrefServerFixture {};

} // namespace

TEST_F(PreferenceClientTest, IntegersBooleansAndStringsRoundTrip)
{
    ChildProcess server = startServer("server.log");
    PreferenceClient client(name);

    client.writeInteger("answer", 42);
    client.writeInteger("negative", -17);
    client.writeInteger("lowest", INT32_MIN);
    client.writeBool("on", true);
    client.writeBool("off", false);
    client.writeString("text", std::string("caf\xC3\xA9 au lait"));
    client.writeString("empty", std::string());

    EXPECT_EQ(client.readInteger("answer"), 42);
    EXPECT_EQ(client.readInteger("negative", 3), -17);
    EXPECT_EQ(client.readInteger("lowest"), INT32_MIN);
    EXPECT_EQ(client.readInteger("missing"), 0);
    EXPECT_EQ(client.readInteger("missing", 7), 7);

    EXPECT_TRUE(client.readBool("on"));
    EXPECT_FALSE(client.readBool("off", true));
    EXPECT_FALSE(client.readBool("missing"));
    EXPECT_TRUE(client.readBool("missing", true));

    auto text = client.readString("text");
    ASSERT_TRUE(text);
    EXPECT_EQ(text->asString(), "caf\xC3\xA9 au lait");
    auto empty = client.readString("empty");
    ASSERT_TRUE(empty) << "an empty text is a value, not nil";
    EXPECT_EQ(empty->asString(), "");
    EXPECT_FALSE(client.readString("missing"));
    auto fallback = client.readString("missing", PlistObject::string("default"));
    ASSERT_TRUE(fallback);
    EXPECT_EQ(fallback->asString(), "default");

    // readString hands back whatever is stored, without looking at its kind.
    auto number = client.readString("answer", PlistObject::string("default"));
    ASSERT_TRUE(number);
    EXPECT_EQ(number->asInteger(), 42);

    // What travelled is a number object and a boolean object, not text.
    auto stored = client.readPref("answer");
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->type(), PLIST_UINT);
    stored = client.readPref("on");
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->type(), PLIST_BOOLEAN);
}

TEST_F(PreferenceClientTest, TypedReadsConvertOtherKindsOfValue)
{
    ChildProcess server = startServer("server.log");
    PreferenceClient client(name);
    struct Case {
        std::string label;
        PlistObject stored;
        int32_t integer; // readInteger with default 99
        bool flag;       // readBool with default true
    };
    const std::vector<Case> cases = {
        {"text with digits", PlistObject::string("  42abc"), 42, true},
        {"negative text", PlistObject::string("-8"), -8, true},
        {"text without digits", PlistObject::string("no"), 0, false},
        {"yes text", PlistObject::string("YES"), 0, true},
        {"text of zeros", PlistObject::string("000"), 0, false},
        {"zeros then a digit", PlistObject::string("007"), 7, true},
        {"text too big", PlistObject::string("99999999999"), INT32_MAX, true},
        {"true", PlistObject::boolean(true), 1, true},
        {"false", PlistObject::boolean(false), 0, false},
        {"real", PlistObject::real(3.9), 3, true},
        {"zero real", PlistObject::real(0.0), 0, false},
        {"wider than 32 bits", PlistObject::integer((int64_t{1} << 32) + 5), 5, true},
        {"data", PlistObject::data({1, 2}), 99, true},
        {"dictionary", PlistObject::dictionary(), 99, true},
    };
    for (size_t i = 0; i < cases.size(); ++i)
        client.writePref("k" + std::to_string(i), cases[i].stored);
    for (size_t i = 0; i < cases.size(); ++i) {
        std::string key = "k" + std::to_string(i);
        EXPECT_EQ(client.readInteger(key, 99), cases[i].integer) << cases[i].label;
        EXPECT_EQ(client.readBool(key, true), cases[i].flag) << cases[i].label;
    }
}

TEST_F(PreferenceClientTest, DatesRoundTripToTheSecondInTheirOwnZone)
{
    ChildProcess server = startServer("server.log");
    PreferenceClient client(name);

    // 2024-03-01 13:05:09.750 at +01:30; the fraction does not survive.
    auto base = CalendarDate::fromFields(2024, 3, 1, 13, 5, 9, 5400);
    ASSERT_TRUE(base);
    CalendarDate withFraction(base->time() + std::chrono::milliseconds(750), 5400);
    client.writeDate("when", withFraction);

    auto text = client.readString("when");
    ASSERT_TRUE(text);
    EXPECT_EQ(text->asString(), "20240301 130509 +0130");

    auto back = client.readDate("when");
    ASSERT_TRUE(back);
    EXPECT_EQ(back->seconds(), base->seconds());
    EXPECT_EQ(back->gmtOffset(), 5400);
    EXPECT_EQ(back->time(), base->time());

    CalendarDate west = CalendarDate::fromSeconds(0, -8 * 3600);
    client.writeDate("west", west);
    EXPECT_EQ(client.readString("west")->asString(), "19691231 160000 -0800");
    EXPECT_EQ(client.readDate("west"), west);

    client.writeString("garbled", std::string("2024-03-01 13:05:09"));
    EXPECT_FALSE(client.readDate("garbled"));
    client.writeInteger("number", 20240301);
    EXPECT_FALSE(client.readDate("number"));
    EXPECT_FALSE(client.readDate("missing"));

    client.writeDate("when", std::nullopt);
    EXPECT_FALSE(client.readDate("when"));
    EXPECT_TRUE(waitForLine("server.log", "writePref \"when\" nil"));
}

TEST_F(PreferenceClientTest, NilWriteSendsBothArguments)
{
    ChildProcess server = startServer("server.log");
    PreferenceClient client(name);
    client.writeString("color", std::string("blue"));
    client.writeString("color", std::nullopt);
    client.writePref("other", std::nullopt);
    ASSERT_TRUE(waitForLine("server.log", "writePref \"other\" nil"));
    EXPECT_EQ(count("server.log", "writePref \"color\" \"blue\""), 1);
    EXPECT_EQ(count("server.log", "writePref \"color\" nil"), 1);
    EXPECT_FALSE(client.readString("color"));
}

TEST_F(PreferenceClientTest, ServerMessagesThroughTheClient)
{
    ChildProcess server = startServer("server.log");
    PreferenceClient client(name);

    client.writeInteger("kept", 1);
    PlistObject defaults = PlistObject::dictionary();
    defaults.set("kept", PlistObject::integer(100));
    defaults.set("added", PlistObject::string("fresh"));
    client.setDefaults(defaults);
    EXPECT_EQ(client.readInteger("kept"), 1) << "a default never replaces a set value";
    EXPECT_EQ(client.readString("added")->asString(), "fresh");

    auto all = client.getAllPrefs();
    ASSERT_TRUE(all);
    ASSERT_TRUE(all->isDictionary());
    EXPECT_EQ(all->getInteger("kept"), 1);
    EXPECT_EQ(all->getString("added"), "fresh");

    client.deletePref("added");
    EXPECT_FALSE(client.readPref("added"));

    client.sync();
    ASSERT_TRUE(waitForLine("server.log", "sync"));
    EXPECT_TRUE(testsupport::WaitFor([&] {
        auto saved = PlistObject::loadDictionary(prefsFile());
        return saved && saved->getInteger("kept") == 1;
    }));

    client.writeInteger("kept", 2);
    client.writeInteger("unsynced", 3);
    EXPECT_EQ(client.readInteger("kept"), 2);
    client.reload();
    EXPECT_EQ(client.readInteger("kept"), 1);
    EXPECT_EQ(client.readInteger("unsynced", -1), -1);
}

TEST_F(PreferenceClientTest, PingAndConnectionState)
{
    ChildProcess server = startServer("server.log");
    PreferenceClient client(name);

    // Never connected: no look-up, no exchange.
    EXPECT_FALSE(client.isConnected());
    EXPECT_FALSE(client.isReallyConnected());
    EXPECT_FALSE(client.ping(PlistObject::string("x")));
    EXPECT_FALSE(client.isConnected());

    EXPECT_TRUE(client.makeConnection());
    EXPECT_TRUE(client.isConnected());
    EXPECT_TRUE(client.isReallyConnected());
    PlistObject dict = PlistObject::dictionary();
    dict.set("n", PlistObject::integer(5));
    auto echo = client.ping(dict);
    ASSERT_TRUE(echo);
    EXPECT_TRUE(*echo == dict);

    client.reset();
    EXPECT_FALSE(client.isConnected());
    EXPECT_FALSE(client.isReallyConnected());

    auto lines = received("server.log");
    EXPECT_EQ(lines, (std::vector<std::string>{"ping \"ping\"", "ping {1 entries}"}));

    // A ping that breaks does not drop the proxy: only requests reset.
    EXPECT_TRUE(client.makeConnection());
    server.stop();
    EXPECT_FALSE(client.isReallyConnected());
    EXPECT_TRUE(client.isConnected());
}

TEST_F(PreferenceClientTest, NoServerGivesDefaultsAtOnce)
{
    PreferenceClient client(name);
    auto start = Clock::now();
    EXPECT_FALSE(client.readBool("flag"));
    EXPECT_TRUE(client.readBool("flag", true));
    EXPECT_EQ(client.readInteger("n", 7), 7);
    EXPECT_FALSE(client.readDate("d"));
    EXPECT_FALSE(client.getAllPrefs());
    client.writeInteger("n", 1);
    client.sync();
    EXPECT_LT(SecondsSince(start), 2.0);
    EXPECT_FALSE(client.makeConnection());
    EXPECT_FALSE(client.isConnected());
}

TEST_F(PreferenceClientTest, RetriesOverAFreshLookUpAfterTheServerRestarts)
{
    ChildProcess first = startServer("first.log");
    PreferenceClient client(name);
    client.writeInteger("count", 5);
    EXPECT_EQ(client.readInteger("count"), 5);
    ASSERT_TRUE(client.isConnected());
    first.stop(); // writes its unsynced values

    ChildProcess second = startServer("second.log");
    ASSERT_TRUE(client.isConnected()) << "a server that went away is noticed only by a send";

    // A oneway message: the first send fails on the old proxy, the second reaches
    // the new server.
    client.writeInteger("count", 6);
    EXPECT_TRUE(waitForLine("second.log", "writePref \"count\" 6"));
    EXPECT_EQ(count("second.log", "writePref \"count\" 6"), 1);

    second.stop();
    ChildProcess third = startServer("third.log");
    // A request with a reply: the retry's reply is the result.
    EXPECT_EQ(client.readInteger("count"), 6);
    EXPECT_EQ(count("third.log", "readPref \"count\""), 1);
    EXPECT_TRUE(client.isConnected());

    EXPECT_EQ(count("first.log", "writePref \"count\" 6"), 0);
}

TEST_F(PreferenceClientTest, ServerDyingMidRequestWithNoneToRetryGivesNil)
{
    ChildProcess server = startServer("server.log", {{"PAVRIX_PREFSERVER_DIE_KEY", "boom"}});
    PreferenceClient client(name);
    EXPECT_EQ(client.readInteger("other", -1), -1);
    ASSERT_TRUE(client.isConnected());

    auto start = Clock::now();
    EXPECT_FALSE(client.readPref("boom"));
    EXPECT_LT(SecondsSince(start), 3.0) << "a broken exchange is not waited out";
    EXPECT_FALSE(client.isConnected());
    auto status = server.waitExit(std::chrono::seconds(5));
    ASSERT_TRUE(status);
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 3);
    EXPECT_EQ(count("server.log", "readPref \"boom\""), 1);
}

TEST_F(PreferenceClientTest, StalledServerGivesNilAfterTwoSends)
{
    ChildProcess server = startServer(
        "server.log", {{"PAVRIX_PREFSERVER_STALL_KEY", "slow"}, {"PAVRIX_PREFSERVER_STALL_SECONDS", "6"}});
    PreferenceClient client(name);
    auto start = Clock::now();
    EXPECT_FALSE(client.readPref("slow"));
    double took = SecondsSince(start);
    // Each send gives up at the reply time-out (5 s); there is no third.
    EXPECT_GE(took, 9.0);
    EXPECT_LT(took, 12.0);
    EXPECT_FALSE(client.isConnected());

    // The server takes both sends in turn as it wakes up, and answers again after.
    EXPECT_TRUE(client.makeConnection());
    EXPECT_TRUE(testsupport::WaitFor([&] { return client.isReallyConnected(); }, std::chrono::seconds(10)));
    EXPECT_EQ(count("server.log", "readPref \"slow\""), 2);
}

TEST_F(PreferenceClientTest, LockHeldElsewhereGivesNilAfterTenSeconds)
{
    ChildProcess server = startServer("server.log");
    LockableClient client(name);
    client.writeInteger("n", 3);

    std::promise<void> held, release;
    std::thread holder([&] {
        client.requestLock().lock();
        held.set_value();
        release.get_future().wait();
        client.requestLock().unlock();
    });
    held.get_future().wait();

    auto start = Clock::now();
    EXPECT_EQ(client.readInteger("n", -1), -1);
    double took = SecondsSince(start);
    release.set_value();
    holder.join();

    EXPECT_GE(took, 9.9);
    EXPECT_LT(took, 12.0);
    EXPECT_EQ(count("server.log", "readPref \"n\""), 0) << "the server was never contacted";
    EXPECT_EQ(client.readInteger("n", -1), 3);
}

TEST_F(PreferenceClientTest, RequestsFromSeveralThreadsAreSerialised)
{
    ChildProcess server = startServer("server.log");
    PreferenceClient client(name);
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            std::string key = "thread" + std::to_string(t);
            for (int i = 0; i < 100; ++i) {
                client.writeInteger(key, t * 1000 + i);
                if (client.readInteger(key, -1) != t * 1000 + i)
                    ++wrong;
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(count("server.log", "readPref \"thread3\""), 100);
}

TEST_F(PreferenceClientTest, DefaultClientLifecycle)
{
    PreferenceCleanup();
    EXPECT_FALSE(PreferenceClient::defaultClient());

    ChildProcess server = startServer("server.log");
    PreferenceInit(name);
    auto first = PreferenceClient::defaultClient();
    ASSERT_TRUE(first);
    EXPECT_EQ(PreferenceClient::defaultClient(), first);
    EXPECT_EQ(gDefaultPrefClient, first);
    EXPECT_FALSE(first->isConnected()) << "made without a look-up";

    // A new name is for clients made later; the existing one keeps its own.
    PreferenceInit("SomebodyElse");
    EXPECT_EQ(PreferenceClient::defaultClient(), first);
    first->writeInteger("x", 9);
    EXPECT_EQ(first->readInteger("x"), 9);

    PreferenceCleanup();
    EXPECT_FALSE(gDefaultPrefClient);
    EXPECT_FALSE(gDefaultPrefClientName);
    EXPECT_FALSE(PreferenceClient::defaultClient());
    EXPECT_EQ(first->readInteger("x"), 9) << "a caller's reference outlives the cleanup";

    // After a new PreferenceInit the next default client is a new one.
    PreferenceInit("SomebodyElse");
    auto second = PreferenceClient::defaultClient();
    ASSERT_TRUE(second);
    EXPECT_NE(second, first);
    EXPECT_EQ(second->readInteger("x", -1), -1) << "nobody is registered under that name";
    PreferenceCleanup();
}

TEST_F(PreferenceClientTest, ServerKeepsItsFileUnderTheHomeFolderByDefault)
{
    const std::string file = dir / "Library/Preferences/TestPreferences.plist";
    testsupport::MakeDirs(dir / "Library/Preferences");
    PlistObject existing = PlistObject::dictionary();
    existing.set("earlier", PlistObject::string("kept"));
    ASSERT_TRUE(existing.writeAtomically(file));

    ChildProcess server = startServer("server.log", {{"HOME", dir.path()}});
    PreferenceClient client(name);
    EXPECT_EQ(client.readString("earlier")->asString(), "kept");
    client.writeInteger("later", 8);
    EXPECT_EQ(client.readInteger("later"), 8); // the write has been handled
    EXPECT_EQ(server.stop(), 0);

    auto saved = PlistObject::loadDictionary(file);
    ASSERT_TRUE(saved) << "a clean stop writes unsynced values";
    EXPECT_EQ(saved->getString("earlier"), "kept");
    EXPECT_EQ(saved->getInteger("later"), 8);
}
