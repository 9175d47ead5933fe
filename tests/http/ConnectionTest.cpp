// The response writers byte for byte, through a connection whose own handler
// table adds "doTEST".

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

// The refusal pages, which escape the URI as HTML text; the bodies the handlers send
// are checked byte for byte by the method and PROPFIND tests.
TEST(Connection, WritersProduceExactBytes)
{
    const std::vector<std::tuple<Connection::MethodHandler, std::string, std::string>> cases{
        {[](Connection& c) { c.notFound("/vol/<b>&\""); }, "404 Not found", NotFoundPage("/vol/&lt;b&gt;&amp;&quot;")},
        {[](Connection& c) { c.resourceBusy("/vol/held.txt"); }, "403 Forbidden",
         ErrorPage("403 Forbidden", "Forbidden", "The requested URL /vol/held.txt was busy.")},
    };
    for (const auto& [write, status, rest] : cases)
        EXPECT_EQ(AfterHead(Write(write), status), rest) << status;
    // A handler that throws costs its answer, not the connection's caller.
    EXPECT_EQ(Write([](Connection&) { throw std::runtime_error("store blew up"); }), "");
}
