#pragma once

// Serves one request in the test's own thread: a Connection on one end of a
// socket pair, the client's bytes and then the end of its stream on the other.
// Also the check of an answer's fixed head, and the refusal pages.

#include "http/Connection.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <regex>
#include <unistd.h>

namespace httptest {

// `serve` answers the request the connection reads. Request and answer must fit
// the pair's buffer, since nobody reads while the other side works.
inline std::string ServeOne(const std::string& request, const Connection::Serve& serve)
{
    testsupport::SocketPair pair;
    pair.sendAndEnd(request);
    Connection(pair.ours).Handler(serve);
    std::string answer = testsupport::ReadUntilClose(pair.peer);
    ::close(pair.peer);
    return answer;
}

// Checks the status line and the three fixed headers in their order, and gives
// what follows them.
inline std::string AfterHead(const std::string& raw, const std::string& status)
{
    std::regex head("HTTP/1\\.1 " + status + "\r\nServer: Pavrix/0\\.9/2\\.2\r\nConnection: Close\r\nDate: "
                    "(Mon|Tue|Wed|Thu|Fri|Sat|Sun), [0-9]{2} (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) "
                    "[0-9]{4} [0-9]{2}:[0-9]{2}:[0-9]{2} GMT\r\n");
    std::smatch m;
    EXPECT_TRUE(std::regex_search(raw, m, head, std::regex_constants::match_continuous))
        << "expected " << status << ", got: " << raw.substr(0, 400);
    return m.empty() ? "<no such head>" : raw.substr(static_cast<size_t>(m.length()));
}

// The HTML page of a refusal ("404 Not Found", "Not Found", what happened), with
// the two headers that come after the fixed ones.
inline std::string ErrorPage(const std::string& title, const std::string& heading, const std::string& text)
{
    std::string page = "<!DOCTYPE HTML PUBLIC \"-//IETF//DTD HTML 2.0//EN\">\r\n<HTML><HEAD>\r\n<TITLE>" + title +
                       "</TITLE>\r\n</HEAD><BODY>\r\n<H1>" + heading + "</H1>\r\n" + text + "<P>\r\n</BODY></HTML>";
    return "Content-type: text/html; charset=iso-8859-1\r\nContent-length: " + std::to_string(page.size()) +
           "\r\n\r\n" + page;
}

inline std::string NotFoundPage(const std::string& uri)
{
    return ErrorPage("404 Not Found", "Not Found", "The requested URL " + uri + " was not found on this server.");
}

} // namespace httptest
