#include "http/ResponseWriter.h"

#include "http/MarkupText.h"
#include "http/Request.h"

#include "log/LogClient.h"
#include "platform/CalendarDate.h"
#include "platform/SocketStream.h"

#include <algorithm>
#include <charconv>
#include <cerrno>
#include <unistd.h>
#include <vector>

namespace {

constexpr const char* kDefaultContentType = "text/xml; encoding=\"utf-8\"";
constexpr const char* kPageContentType = "text/html; charset=iso-8859-1";
// Files are sent in pieces of this size.
constexpr size_t kFilePiece = 65536;
constexpr const char* kProtocolVersion = "HTTP/1.1";
// The Server header's value.
constexpr const char* kVersionString = "Pavrix/0.9/2.2";

// A header's text as it goes into the line; none goes in as nothing.
std::string_view Field(const char* text) { return text ? text : ""; }

// A chunk's size: lower-case hexadecimal digits.
std::string HexText(unsigned value)
{
    char digits[2 * sizeof value];
    return {digits, std::to_chars(digits, digits + sizeof digits, value, 16).ptr};
}

// The URI as page text: the characters HTML gives a meaning become entities, so
// that no request target can write markup into the page; others stay as they are.
std::string PageText(const std::string& uri) { return MarkupEscaped(uri, false); }

// Standard reason texts for the refusals that guard against cut or oversized
// requests; the reason table (messageFromCode) has none for them.
const char* RefusalReason(int code)
{
    switch (code) {
    case 413: return "Request Entity Too Large";
    case 414: return "Request-URI Too Long";
    case 416: return "Requested Range Not Satisfiable";
    case 431: return "Request Header Fields Too Large";
    case 507: return "Insufficient Storage";
    default: return ResponseWriter::messageFromCode(code);
    }
}

// One of the two canned HTML pages, naming the URI.
ResponseWriter::Body CannedPage(const char* title, const char* heading, const std::string& uri, const char* what)
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
    page += PageText(uri);
    page += what;
    page += "<P>\r\n"
            "</BODY></HTML>";
    return std::make_shared<platform::ByteBuffer>(page.begin(), page.end());
}

} // namespace

const char* ResponseWriter::messageFromCode(int code)
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

std::string ResponseWriter::formatDate(std::chrono::system_clock::time_point date)
{
    return platform::FormatHTTPDate(date);
}

ResponseWriter& ResponseWriter::sendResponse(int code, const char* message)
{
    answered = code;
    request->logRequest();
    if (clientFile)
        clientFile->writeLine({kProtocolVersion, " ", std::to_string(code), " ", Field(message)});
    if (gLogDebug)
        LogWithDate(">%s %d %s", kProtocolVersion, code, message);
    sendHeader("Server", kVersionString);
    sendHeader("Connection", "Close");
    sendHeader("Date", formatDate(std::chrono::system_clock::now()).c_str());
    return *this;
}

ResponseWriter& ResponseWriter::sendResponse(int code) { return sendResponse(code, messageFromCode(code)); }

ResponseWriter& ResponseWriter::sendHeader(const char* name, const char* value)
{
    if (clientFile)
        clientFile->writeLine({Field(name), ": ", Field(value)});
    if (gLogDebug)
        LogWithDate(">%s: %s", name, value);
    return *this;
}

ResponseWriter& ResponseWriter::endHeaders()
{
    if (clientFile)
        clientFile->write("\r\n", 2);
    if (gLogDebug)
        LogWithDate("endHeaders");
    return *this;
}

ResponseWriter& ResponseWriter::sendError(int code, const char* message)
{
    sendResponse(code, message);
    return endHeaders();
}

ResponseWriter& ResponseWriter::sendStatusOnly(int code)
{
    sendResponse(code);
    return endHeaders();
}

ResponseWriter& ResponseWriter::sendStatus(int code)
{
    const char* message = messageFromCode(code);
    return sendBody(nullptr, code, message, message, "text/xml;  charset=\"utf-8\"", nullptr);
}

void ResponseWriter::sendBodyHead(int code, const char* message, const char* contentType, const HeaderMap* headers,
                                  uint64_t length)
{
    sendResponse(code, message);
    if (headers)
        for (const auto& [name, value] : *headers)
            sendHeader(name.c_str(), value.c_str());
    sendHeader("Content-type", contentType);
    sendHeader("Content-length", std::to_string(length).c_str());
    endHeaders();
}

ResponseWriter& ResponseWriter::sendBody(const Body& body, int code, const char* message, const char* /*description*/,
                                         const char* contentType, const HeaderMap* headers)
{
    sendBodyHead(code, message, contentType, headers, body ? body->size() : 0);
    if (body)
        writeBodyBytes(body->data(), body->size());
    return *this;
}

ResponseWriter& ResponseWriter::sendText(const std::string& body, int code, const char* message,
                                         const char* /*description*/, const char* contentType, const HeaderMap* headers)
{
    sendBodyHead(code, message, contentType ? contentType : kDefaultContentType, headers, body.size());
    writeBodyBytes(body.data(), body.size());
    return *this;
}

void ResponseWriter::writeBodyBytes(const void* bytes, size_t size)
{
    if (gLogDebug)
        LogWithDate("About to fwrite");
    if (clientFile && !headOnly)
        clientFile->write(bytes, size);
    if (gLogDebug) {
        LogWithDate("did fwrite");
        int length = static_cast<int>(size);
        LogWithDate("%*.*s", length, length, static_cast<const char*>(bytes));
    }
}

ResponseWriter& ResponseWriter::sendBody(uint64_t size, const PieceSource& source, int code, const char* message,
                                         const char* /*description*/, const char* contentType, const HeaderMap* headers)
{
    sendBodyHead(code, message, contentType, headers, size);
    if (gLogDebug)
        LogWithDate("About to fwrite");
    // The body goes out in pieces. Should its source shrink meanwhile, the answer
    // stops short and the client, counting on the announced length, sees it cut.
    const bool manyPieces = clientFile && !headOnly && size > kFilePiece;
    if (manyPieces)
        clientFile->holdPartialSegments(true);
    for (uint64_t left = headOnly ? 0 : size; left > 0 && clientFile && !clientFile->writeFailed();) {
        size_t sent = source(*clientFile, static_cast<size_t>(std::min<uint64_t>(left, kFilePiece)));
        if (sent == 0)
            break;
        left -= std::min<uint64_t>(sent, left);
    }
    if (manyPieces)
        clientFile->holdPartialSegments(false);
    if (gLogDebug)
        LogWithDate("did fwrite");
    return *this;
}

ResponseWriter& ResponseWriter::sendBody(const Body& body, int code, const char* message, const char* description)
{
    return sendBody(body, code, message, description, kDefaultContentType, nullptr);
}

ResponseWriter& ResponseWriter::sendBodyChunks(const std::string& body, int code, const char* message,
                                               const char* /*description*/, const char* ctype)
{
    // Text is kept as the bytes it arrived as, so the chunk is the string's bytes.
    sendResponse(code, message);
    sendHeader("Content-type", ctype);
    sendHeader("Transfer-Encoding", "chunked");
    endHeaders();
    if (clientFile)
        clientFile->writeLine({HexText(static_cast<unsigned>(body.size()))});
    if (gLogDebug)
        LogWithDate("%x", static_cast<unsigned>(body.size()));
    if (clientFile) {
        clientFile->write(body);
        clientFile->write("\r\n", 2);
    }
    if (gLogDebug)
        LogWithDate("%s", body.c_str());
    if (clientFile) {
        clientFile->write("0\r\n", 3);
        clientFile->write("\r\n", 2);
    }
    if (gLogDebug) {
        LogWithDate(">0");
        LogWithDate(">");
    }
    return *this;
}

ResponseWriter& ResponseWriter::sendBodyChunks(const std::string& body, int code, const char* message,
                                               const char* description)
{
    return sendBodyChunks(body, code, message, description, kDefaultContentType);
}

ResponseWriter& ResponseWriter::notFound(const std::string& uri)
{
    auto page = CannedPage("404 Not Found", "Not Found", uri, " was not found on this server.");
    return sendBody(page, 404, messageFromCode(404), "Not found", kPageContentType, nullptr);
}

ResponseWriter& ResponseWriter::sendRefusal(int code)
{
    sendResponse(code, RefusalReason(code));
    return endHeaders();
}

ResponseWriter& ResponseWriter::sendContinue()
{
    // Not a response of its own: no fixed headers, and the final answer follows.
    if (clientFile) {
        clientFile->write("HTTP/1.1 100 Continue\r\n\r\n");
        clientFile->flush();
    }
    if (gLogDebug)
        LogWithDate(">HTTP/1.1 100 Continue");
    return *this;
}

ResponseWriter& ResponseWriter::resourceBusy(const std::string& uri)
{
    auto page = CannedPage("403 Forbidden", "Forbidden", uri, " was busy.");
    return sendBody(page, 403, messageFromCode(403), "Forbidden", kPageContentType, nullptr);
}
