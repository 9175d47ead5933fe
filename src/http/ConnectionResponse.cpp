// The response side of Connection: every byte the daemon sends goes out here.

#include "http/Connection.h"

#include "log/LogClient.h"
#include "platform/CalendarDate.h"

namespace {

constexpr const char* kDefaultContentType = "text/xml; encoding=\"utf-8\"";
constexpr const char* kPageContentType = "text/html; charset=iso-8859-1";

// One of the two canned HTML pages; the URI goes in as it stands.
DataSource::DataPtr CannedPage(const char* title, const char* heading, const std::string& uri, const char* what)
{
    std::string page = "<!DOCTYPE HTML PUBLIC \"-//IETF//DTD HTML 2.0//EN\">\r\n"
                       "<HTML><HEAD>\r\n"
                       "<TITLE>";
    page += title;
    page += "</TITLE>\r\n"
            "</HEAD><BODY>\r\n"
            "<H1>";
    page += heading;
    page += "</H1>\r\n"
            "The requested URL ";
    page += uri;
    page += what;
    page += "<P>\r\n"
            "</BODY></HTML>";
    return std::make_shared<DataSource::Data>(page.begin(), page.end());
}

} // namespace

const char* Connection::messageFromCode(int code)
{
    switch (code) {
    case 200: return "OK";
    case 201: return "Created";
    case 202: return "Accepted";
    case 203: return "Partial information";
    case 204: return "No Content";
    case 301: return "Moved";
    case 302: return "Found";
    case 303: return "Method";
    case 304: return "Not modified";
    case 400: return "Bad request";
    case 401: return "Unauthorized";
    case 402: return "Payment required";
    case 403: return "Forbidden";
    case 404: return "Not found";
    case 500: return "Internal error";
    case 501: return "Not implemented";
    case 502: return "Service temporarily overloaded";
    case 503: return "Gateway timeout";
    default: return "unknown";
    }
}

std::string Connection::formatDate(std::chrono::system_clock::time_point date) { return platform::FormatHTTPDate(date); }

Connection& Connection::sendResponse(int code, const char* message)
{
    logRequest();
    if (clientFile)
        clientFile->writeFormat("%s %d %s\r\n", protocolVersion, code, message);
    if (debugging())
        LogWithDate(">%s %d %s", protocolVersion, code, message);
    sendHeader("Server", versionString);
    sendHeader("Connection", "Close");
    sendHeader("Date", formatDate(std::chrono::system_clock::now()).c_str());
    return *this;
}

Connection& Connection::sendResponse(int code) { return sendResponse(code, messageFromCode(code)); }

Connection& Connection::sendHeader(const char* name, const char* value)
{
    if (clientFile)
        clientFile->writeFormat("%s: %s\r\n", name, value);
    if (debugging())
        LogWithDate(">%s: %s", name, value);
    return *this;
}

Connection& Connection::endHeaders()
{
    if (clientFile)
        clientFile->write("\r\n", 2);
    if (debugging())
        LogWithDate("endHeaders");
    return *this;
}

Connection& Connection::sendError(int code, const char* message)
{
    sendResponse(code, message);
    return endHeaders();
}

Connection& Connection::sendStatus(int code)
{
    const char* message = messageFromCode(code);
    return sendBody(nullptr, code, message, message, "text/xml;  charset=\"utf-8\"", nullptr);
}

Connection& Connection::sendBody(const DataSource::DataPtr& body, int code, const char* message,
                                 const char* /*description*/, const char* contentType, const HeaderMap* headers)
{
    sendResponse(code, message);
    if (headers)
        for (const auto& [name, value] : *headers)
            sendHeader(name.c_str(), value.c_str());
    sendHeader("Content-type", contentType);
    sendHeader("Content-length", std::to_string(body ? body->size() : 0).c_str());
    endHeaders();
    if (body) {
        if (debugging())
            LogWithDate("About to fwrite");
        if (clientFile)
            clientFile->write(body->data(), body->size());
        if (debugging()) {
            LogWithDate("did fwrite");
            int length = static_cast<int>(body->size());
            LogWithDate("%*.*s", length, length, reinterpret_cast<const char*>(body->data()));
        }
    }
    return *this;
}

Connection& Connection::sendBody(const DataSource::DataPtr& body, int code, const char* message,
                                 const char* description)
{
    return sendBody(body, code, message, description, kDefaultContentType, nullptr);
}

Connection& Connection::sendBodyChunks(const std::string& body, int code, const char* message,
                                       const char* /*description*/, const char* ctype)
{
    // Text is kept as the bytes it arrived as, so the chunk is the string's bytes.
    sendResponse(code, message);
    sendHeader("Content-type", ctype);
    sendHeader("Transfer-Encoding", "chunked");
    endHeaders();
    if (clientFile)
        clientFile->writeFormat("%x\r\n", static_cast<unsigned>(body.size()));
    if (debugging())
        LogWithDate("%x", static_cast<unsigned>(body.size()));
    if (clientFile) {
        clientFile->write(body);
        clientFile->write("\r\n", 2);
    }
    if (debugging())
        LogWithDate("%s", body.c_str());
    if (clientFile) {
        clientFile->write("0\r\n", 3);
        clientFile->write("\r\n", 2);
    }
    if (debugging()) {
        LogWithDate(">0");
        LogWithDate(">");
    }
    return *this;
}

Connection& Connection::sendBodyChunks(const std::string& body, int code, const char* message,
                                       const char* description)
{
    return sendBodyChunks(body, code, message, description, kDefaultContentType);
}

Connection& Connection::notFound(const std::string& uri)
{
    auto page = CannedPage("404 Not Found", "Not Found", uri, " was not found on this server.");
    return sendBody(page, 404, messageFromCode(404), "Not found", kPageContentType, nullptr);
}

Connection& Connection::resourceBusy(const std::string& uri)
{
    auto page = CannedPage("403 Forbidden", "Forbidden", uri, " was busy.");
    return sendBody(page, 403, messageFromCode(403), "Forbidden", kPageContentType, nullptr);
}
