// The connection in-process: request-side operations as the handlers see them,
// the writers nothing in the daemon calls, and dispatch through a subclass's
// own handler table.

#include "daemon/Application.h"
#include "device/WinceDataSource.h"
#include "http/InProcessServer.h"

#include <gtest/gtest.h>

#include <mutex>
#include <regex>

using testsupport::ParseResponse;

namespace {

const std::string kDatePattern =
    "(Mon|Tue|Wed|Thu|Fri|Sat|Sun), [0-9]{2} (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) [0-9]{4} "
    "[0-9]{2}:[0-9]{2}:[0-9]{2} GMT";

// The standard head of every answer, with the reason given.
std::regex Head(int code, const std::string& reason)
{
    return std::regex("HTTP/1\\.1 " + std::to_string(code) + " " + reason +
                      "\r\nServer: Pavrix/0\\.9/2\\.2\r\nConnection: Close\r\nDate: " + kDatePattern + "\r\n");
}

// What a probe saw of one request.
struct Seen {
    std::optional<std::string> command, path, requestVersion;
    std::string depth;
    std::optional<std::string> body; // none: body() gave null
    bool connectionWillClose = false;
};

// A connection with handlers of its own besides the standard ones.
class TestConnection : public Connection {
public:
    TestConnection(int fd, std::shared_ptr<DataSource> store, std::mutex& m, Seen& seen)
        : Connection(fd, std::move(store)), mutex_(m), seen_(seen)
    {
    }

    const MethodTable& methodHandlers() const override
    {
        static const MethodTable table = [] {
            MethodTable t = Connection::classMethodHandlers();
            auto handler = [](void (TestConnection::*member)()) {
                return [member](Connection& c) { (static_cast<TestConnection&>(c).*member)(); };
            };
            t["doPROBE"] = handler(&TestConnection::doPROBE);
            t["doOPTIONS"] = handler(&TestConnection::replacedOPTIONS);
            t["doCHUNK"] = [](Connection& c) { c.sendBodyChunks("abc", 200, "OK", "d", "text/plain"); };
            t["doCHUNKEMPTY"] = [](Connection& c) { c.sendBodyChunks("", 200, "OK", "d"); };
            t["doSTATUS"] = [](Connection& c) { c.sendStatus(204); };
            t["doNOBODY"] = [](Connection& c) { c.sendBody(nullptr, 200, "OK", "d"); };
            t["doEMPTYBODY"] = [](Connection& c) {
                c.sendBody(std::make_shared<DataSource::Data>(), 207, "Multi-Status", "d");
            };
            t["doEXTRA"] = [](Connection& c) {
                HeaderMap extra{{"X-One", "1"}, {"X-Two", "2"}};
                auto body = std::make_shared<DataSource::Data>(DataSource::Data{'h', 'i'});
                c.sendBody(body, 200, "OK", "d", "text/plain", &extra);
            };
            t["doNOTFOUND"] = [](Connection& c) { c.notFound("/vol/<b>&"); };
            t["doBUSY"] = [](Connection& c) { c.resourceBusy("/vol/held.txt"); };
            t["doERROR"] = [](Connection& c) { c.sendError(418, "Teapot here"); };
            t["doTHROW"] = [](Connection&) { throw std::runtime_error("store blew up"); };
            return t;
        }();
        return table;
    }

    void doPROBE()
    {
        std::lock_guard lock(mutex_);
        auto text = [](const char* p) { return p ? std::optional<std::string>(p) : std::nullopt; };
        seen_.command = text(command);
        seen_.path = text(path);
        seen_.requestVersion = text(requestVersion);
        seen_.depth = getDepth();
        auto data = body();
        seen_.body = data ? std::optional<std::string>(std::string(data->begin(), data->end())) : std::nullopt;
        seen_.connectionWillClose = connectionWillClose;
        sendError(200, "Probed");
    }

    void replacedOPTIONS() { sendError(299, "Replaced"); }

private:
    std::mutex& mutex_;
    Seen& seen_;
};

struct ProbeServer {
    std::mutex mutex;
    Seen seen;
    InProcessServer server{[this](int fd) {
        return std::make_unique<TestConnection>(fd, std::make_shared<DataSource>(), mutex, seen);
    }};
    Seen probe(const std::string& raw)
    {
        server.request(raw);
        std::lock_guard lock(mutex);
        Seen copy = seen;
        seen = Seen{};
        return copy;
    }
};

// Sends the bytes, ends the sending side (the daemon sees the end of the
// stream) and reads the answer.
std::string SendAndHalfClose(int port, const std::string& raw)
{
    int fd = testsupport::ConnectLoopback(port);
    testsupport::SendAll(fd, raw);
    ::shutdown(fd, SHUT_WR);
    std::string out = testsupport::ReadUntilClose(fd);
    ::close(fd);
    return out;
}

} // namespace

TEST(Connection, ReasonTextsAreTheTablesOwn)
{
    const std::vector<std::pair<int, const char*>> table{
        {200, "OK"},
        {201, "Created"},
        {202, "Accepted"},
        {203, "Partial information"},
        {204, "No Content"},
        {301, "Moved"},
        {302, "Found"},
        {303, "Method"},
        {304, "Not modified"},
        {400, "Bad request"},
        {401, "Unauthorized"},
        {402, "Payment required"},
        {403, "Forbidden"},
        {404, "Not found"},
        {500, "Internal error"},
        {501, "Not implemented"},
        {502, "Service temporarily overloaded"},
        {503, "Gateway timeout"},
        {207, "unknown"},
        {405, "unknown"},
        {409, "unknown"},
        {423, "unknown"},
        {424, "unknown"},
        {0, "unknown"},
        {-200, "unknown"},
    };
    for (const auto& [code, text] : table)
        EXPECT_STREQ(Connection::messageFromCode(code), text) << code;
}

TEST(Connection, RequestLineSplitsAtBlanksOnly)
{
    ProbeServer s;
    struct Case {
        const char* line;
        std::optional<std::string> command, path, version;
    } cases[] = {
        {"PROBE /a HTTP/1.1", "PROBE", "/a", "HTTP/1.1"},
        {"PROBE   /a\tb    HTTP/1.0  extra tokens", "PROBE", "/a\tb", "HTTP/1.0"},
        {"PROBE", "PROBE", std::nullopt, std::nullopt},
        {"PROBE /x?q=1", "PROBE", "/x?q=1", std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        Seen seen = s.probe(std::string(c.line) + "\r\n\r\n");
        EXPECT_EQ(seen.command, c.command);
        EXPECT_EQ(seen.path, c.path);
        EXPECT_EQ(seen.requestVersion, c.version);
    }
    // A bare line feed is no CR LF ending: it stays in the last token.
    EXPECT_EQ(s.probe("PROBE /a HTTP/1.1\n\r\n").requestVersion, std::optional<std::string>("HTTP/1.1\n"));
}

TEST(Connection, DepthBodyAndConnectionHeaderAsHandlersSeeThem)
{
    ProbeServer s;
    Seen seen = s.probe("PROBE / HTTP/1.1\r\n\r\n");
    EXPECT_EQ(seen.depth, "infinity");
    EXPECT_EQ(seen.body, std::optional<std::string>("")); // no length: empty, nothing read
    EXPECT_FALSE(seen.connectionWillClose);

    seen = s.probe("PROBE / HTTP/1.1\r\nDepth: 1\r\nConnection: Close\r\nContent-Length:  5\r\n\r\nhello");
    EXPECT_EQ(seen.depth, " 1");
    EXPECT_EQ(seen.body, std::optional<std::string>("hello"));
    EXPECT_FALSE(seen.connectionWillClose); // the stored value is " Close"

    seen = s.probe("PROBE / HTTP/1.1\r\nConnection:Close\r\nContent-Length: 3xyz\r\n\r\nabcdef");
    EXPECT_TRUE(seen.connectionWillClose);
    EXPECT_EQ(seen.body, std::optional<std::string>("abc"));

    // Lengths that cannot be read as a count of bytes.
    EXPECT_EQ(s.probe("PROBE / HTTP/1.1\r\nContent-Length: -1\r\n\r\n").body, std::nullopt);
    EXPECT_EQ(s.probe("PROBE / HTTP/1.1\r\nContent-Length: abc\r\n\r\nxyz").body, std::optional<std::string>(""));

    // The body may hold any byte, NUL and line ends included.
    std::string binary("a\0b\r\n\xff", 6);
    EXPECT_EQ(s.probe("PROBE / HTTP/1.1\r\nContent-Length: 6\r\n\r\n" + binary).body, std::optional<std::string>(binary));
}

TEST(Connection, ShortBodyGivesNoBody)
{
    ProbeServer s;
    SendAndHalfClose(s.server.port(), "PROBE / HTTP/1.1\r\nContent-Length: 5\r\n\r\nabc");
    std::lock_guard lock(s.mutex);
    EXPECT_EQ(s.seen.command, std::optional<std::string>("PROBE"));
    EXPECT_EQ(s.seen.body, std::nullopt);
}

TEST(Connection, HeaderBlockEndedByTheStreamStillDispatches)
{
    ProbeServer s;
    std::string raw = SendAndHalfClose(s.server.port(), "PROBE /p HTTP/1.1\r\nDepth: 0\r\n");
    EXPECT_TRUE(std::regex_search(raw, Head(200, "Probed")));
    std::lock_guard lock(s.mutex);
    EXPECT_EQ(s.seen.depth, " 0");
    // Nothing at all: no answer.
    EXPECT_EQ(SendAndHalfClose(s.server.port(), ""), "");
}

TEST(Connection, SubclassTableAddsAndReplacesHandlers)
{
    ProbeServer s;
    auto raw = s.server.request("OPTIONS / HTTP/1.1\r\n\r\n");
    EXPECT_TRUE(std::regex_match(raw, std::regex(R"(HTTP/1\.1 299 Replaced\r\n(.|\r|\n)*)"))) << raw;
    EXPECT_EQ(ParseResponse(raw).header("Allow"), std::nullopt);
    // Inherited handlers still answer.
    EXPECT_EQ(ParseResponse(s.server.request("UNLOCK / HTTP/1.1\r\n\r\n")).statusLine, "HTTP/1.1 200 OK");
    // A handler that throws costs its answer, not the server.
    EXPECT_EQ(s.server.request("THROW / HTTP/1.1\r\n\r\n").find("HTTP/1.1 200"), std::string::npos);
    EXPECT_EQ(ParseResponse(s.server.request("UNLOCK / HTTP/1.1\r\n\r\n")).statusLine, "HTTP/1.1 200 OK");
}

TEST(Connection, WritersProduceExactBytes)
{
    ProbeServer s;
    const std::string notFoundPage = "<!DOCTYPE HTML PUBLIC \"-//IETF//DTD HTML 2.0//EN\">\r\n"
                                     "<HTML><HEAD>\r\n"
                                     "<TITLE>404 Not Found</TITLE>\r\n"
                                     "</HEAD><BODY>\r\n"
                                     "<H1>Not Found</H1>\r\n"
                                     "The requested URL /vol/<b>& was not found on this server.<P>\r\n"
                                     "</BODY></HTML>";
    const std::string busyPage = "<!DOCTYPE HTML PUBLIC \"-//IETF//DTD HTML 2.0//EN\">\r\n"
                                 "<HTML><HEAD>\r\n"
                                 "<TITLE>403 Forbidden</TITLE>\r\n"
                                 "</HEAD><BODY>\r\n"
                                 "<H1>Forbidden</H1>\r\n"
                                 "The requested URL /vol/held.txt was busy.<P>\r\n"
                                 "</BODY></HTML>";
    const std::vector<std::pair<const char*, std::pair<std::pair<int, std::string>, std::string>>> cases{
        {"CHUNK",
         {{200, "OK"}, "Content-type: text/plain\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n0\r\n\r\n"}},
        {"CHUNKEMPTY",
         {{200, "OK"},
          "Content-type: text/xml; encoding=\"utf-8\"\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n0\r\n\r\n"}},
        {"STATUS", {{204, "No Content"}, "Content-type: text/xml;  charset=\"utf-8\"\r\nContent-length: 0\r\n\r\n"}},
        {"NOBODY", {{200, "OK"}, "Content-type: text/xml; encoding=\"utf-8\"\r\nContent-length: 0\r\n\r\n"}},
        {"EMPTYBODY",
         {{207, "Multi-Status"}, "Content-type: text/xml; encoding=\"utf-8\"\r\nContent-length: 0\r\n\r\n"}},
        {"EXTRA",
         {{200, "OK"}, "X-One: 1\r\nX-Two: 2\r\nContent-type: text/plain\r\nContent-length: 2\r\n\r\nhi"}},
        {"NOTFOUND",
         {{404, "Not found"},
          "Content-type: text/html; charset=iso-8859-1\r\nContent-length: " + std::to_string(notFoundPage.size()) +
              "\r\n\r\n" + notFoundPage}},
        {"BUSY",
         {{403, "Forbidden"},
          "Content-type: text/html; charset=iso-8859-1\r\nContent-length: " + std::to_string(busyPage.size()) +
              "\r\n\r\n" + busyPage}},
        {"ERROR", {{418, "Teapot here"}, "\r\n"}},
    };
    for (const auto& [method, expected] : cases) {
        SCOPED_TRACE(method);
        std::string raw = s.server.request(std::string(method) + " /x HTTP/1.1\r\n\r\n");
        std::smatch m;
        ASSERT_TRUE(std::regex_search(raw, m, Head(expected.first.first, expected.first.second),
                                      std::regex_constants::match_continuous))
            << raw;
        EXPECT_EQ(raw.substr(m.length()), expected.second);
    }
}

TEST(Connection, HangUpSwitchesLaterConnectionsToAFreshEmptyStore)
{
    // No socket is served here; only the choice of store is looked at.
    auto shared = WinceDataSource::defaultDataSource();
    EXPECT_EQ(Connection(-1).getDataSource(), shared);
    Application::hup();
    Connection first(-1), second(-1);
    ASSERT_TRUE(first.getDataSource());
    EXPECT_NE(first.getDataSource(), shared);
    EXPECT_NE(first.getDataSource(), second.getDataSource());
    EXPECT_EQ(typeid(*first.getDataSource()), typeid(DataSource));
}
