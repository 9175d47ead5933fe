// The response writers byte for byte, through a connection whose own handler
// table adds "doTEST" (the writers nothing in the daemon calls included).

#include "http/ServeOne.h"

using namespace httptest;

namespace {

class WriterConnection : public Connection {
public:
    WriterConnection(int fd, MethodHandler handler)
        : Connection(fd, std::make_shared<DataSource>()), table_(classMethodHandlers())
    {
        table_["doTEST"] = std::move(handler);
    }
    const MethodTable& methodHandlers() const override { return table_; }

private:
    MethodTable table_;
};

std::string Write(const Connection::MethodHandler& handler)
{
    return ServeOne("TEST / HTTP/1.1\r\n\r\n", [&](int fd) { return std::make_unique<WriterConnection>(fd, handler); });
}

} // namespace

TEST(Connection, WritersProduceExactBytes)
{
    using Data = DataSource::Data;
    const std::vector<std::tuple<const char*, Connection::MethodHandler, std::string, std::string>> cases{
        {"one chunk, its size in lower-case hex",
         [](Connection& c) { c.sendBodyChunks("abcdefghijklmnopqrstuvwxyz", 200, "OK", "d", "text/plain"); }, "200 OK",
         "Content-type: text/plain\r\nTransfer-Encoding: chunked\r\n\r\n1a\r\nabcdefghijklmnopqrstuvwxyz\r\n0\r\n\r\n"},
        {"status only, two blanks in its type", [](Connection& c) { c.sendStatus(204); }, "204 No Content",
         "Content-type: text/xml;  charset=\"utf-8\"\r\nContent-length: 0\r\n\r\n"},
        {"empty body", [](Connection& c) { c.sendBody(std::make_shared<Data>(), 207, "Multi-Status", "d"); },
         "207 Multi-Status", "Content-type: text/xml; encoding=\"utf-8\"\r\nContent-length: 0\r\n\r\n"},
        {"extra headers come first",
         [](Connection& c) {
             Connection::HeaderMap extra{{"X-One", "1"}, {"X-Two", "2"}};
             c.sendBody(std::make_shared<Data>(Data{'h', 'i'}), 200, "OK", "d", "text/plain", &extra);
         },
         "200 OK", "X-One: 1\r\nX-Two: 2\r\nContent-type: text/plain\r\nContent-length: 2\r\n\r\nhi"},
        {"404 page, the URI escaped as HTML text", [](Connection& c) { c.notFound("/vol/<b>&\""); }, "404 Not found",
         "Content-type: text/html; charset=iso-8859-1\r\nContent-length: 223\r\n\r\n"
         "<!DOCTYPE HTML PUBLIC \"-//IETF//DTD HTML 2.0//EN\">\r\n<HTML><HEAD>\r\n<TITLE>404 Not Found</TITLE>\r\n"
         "</HEAD><BODY>\r\n<H1>Not Found</H1>\r\nThe requested URL /vol/&lt;b&gt;&amp;&quot; was not found on this server.<P>\r\n"
         "</BODY></HTML>"},
        {"busy page", [](Connection& c) { c.resourceBusy("/vol/held.txt"); }, "403 Forbidden",
         "Content-type: text/html; charset=iso-8859-1\r\nContent-length: 191\r\n\r\n"
         "<!DOCTYPE HTML PUBLIC \"-//IETF//DTD HTML 2.0//EN\">\r\n<HTML><HEAD>\r\n<TITLE>403 Forbidden</TITLE>\r\n"
         "</HEAD><BODY>\r\n<H1>Forbidden</H1>\r\nThe requested URL /vol/held.txt was busy.<P>\r\n</BODY></HTML>"},
        {"error: no length, no body", [](Connection& c) { c.sendError(418, "Tea here"); }, "418 Tea here", "\r\n"},
    };
    for (const auto& [what, write, status, rest] : cases) {
        SCOPED_TRACE(what);
        EXPECT_EQ(AfterHead(Write(write), status), rest);
    }
    // A handler that throws costs its answer, not the connection's caller.
    EXPECT_EQ(Write([](Connection&) { throw std::runtime_error("store blew up"); }), "");
}
