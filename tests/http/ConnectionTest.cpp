// The response writers byte for byte, answering a request the connection read.

#include "http/ServeOne.h"

using namespace httptest;

namespace {

using Write = std::function<void(ResponseWriter&)>;

std::string Written(const Write& write)
{
    return ServeOne("TEST / HTTP/1.1\r\n\r\n", [&](Request&, ResponseWriter& response) { write(response); });
}

} // namespace

// The refusal pages, which escape the URI as HTML text; the bodies the handlers send
// are checked byte for byte by the method and PROPFIND tests.
TEST(Connection, WritersProduceExactBytes)
{
    const std::vector<std::tuple<Write, std::string, std::string>> cases{
        {[](ResponseWriter& w) { w.notFound("/vol/<b>&\""); }, "404 Not found",
         NotFoundPage("/vol/&lt;b&gt;&amp;&quot;")},
        {[](ResponseWriter& w) { w.resourceBusy("/vol/held.txt"); }, "403 Forbidden",
         ErrorPage("403 Forbidden", "Forbidden", "The requested URL /vol/held.txt was busy.")},
    };
    for (const auto& [write, status, rest] : cases)
        EXPECT_EQ(AfterHead(Written(write), status), rest) << status;
    // A serve function that throws costs its answer, not the connection's caller.
    EXPECT_EQ(Written([](ResponseWriter&) { throw std::runtime_error("store blew up"); }), "");
}
