#pragma once

#include "platform/ByteBuffer.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>

namespace platform {
class SocketStream;
}

class Request;

// The answer to one request: every byte the daemon sends goes out here, through
// the connection's stream (none: nothing is written, the diagnostics still are).
class ResponseWriter {
public:
    using HeaderMap = std::map<std::string, std::string>;
    using Body = std::shared_ptr<const platform::ByteBuffer>;
    // Sends up to `count` more bytes of a body sent in pieces to the client's stream
    // and gives how many went; 0 at its end or on failure.
    using PieceSource = std::function<size_t(platform::SocketStream& out, size_t count)>;

    // `request` is the request answered, named in the diagnostics.
    ResponseWriter(platform::SocketStream* stream, const Request& request) : clientFile(stream), request(&request) { }

    ResponseWriter(const ResponseWriter&) = delete;
    ResponseWriter& operator=(const ResponseWriter&) = delete;

    // The status line with the three fixed headers.
    ResponseWriter& sendResponse(int code, const char* message);
    ResponseWriter& sendResponse(int code);
    static const char* messageFromCode(int code);
    ResponseWriter& sendHeader(const char* name, const char* value);
    ResponseWriter& endHeaders();
    // Status line, fixed headers, empty line: no length and no body.
    ResponseWriter& sendError(int code, const char* message);
    // A whole answer with a Content-length of 0.
    ResponseWriter& sendStatus(int code);
    // A status line with the fixed headers and no body or length.
    ResponseWriter& sendStatusOnly(int code);
    // `headers` may be null; `description` is accepted and written nowhere.
    ResponseWriter& sendBody(const Body& body, int code, const char* message, const char* description,
                             const char* contentType, const HeaderMap* headers);
    ResponseWriter& sendBody(const Body& body, int code, const char* message, const char* description);
    ResponseWriter& sendBodyChunks(const std::string& body, int code, const char* message, const char* description,
                                   const char* ctype);
    ResponseWriter& sendBodyChunks(const std::string& body, int code, const char* message, const char* description);
    // The same with a text body, sent as its bytes without another copy; the type
    // defaults to the document type of the other forms.
    ResponseWriter& sendText(const std::string& body, int code, const char* message, const char* description,
                             const char* contentType = nullptr, const HeaderMap* headers = nullptr);
    // A response whose `size` bytes `source` sends in pieces, never held whole.
    // Should the source end early, the answer stops short.
    ResponseWriter& sendBody(uint64_t size, const PieceSource& source, int code, const char* message,
                             const char* description, const char* contentType, const HeaderMap* headers);
    // The head of an answer with a body of `length` bytes: status, fixed headers,
    // `headers` in their order, the type and the length.
    void sendBodyHead(int code, const char* message, const char* contentType, const HeaderMap* headers,
                      uint64_t length);
    ResponseWriter& notFound(const std::string& uri);
    ResponseWriter& resourceBusy(const std::string& uri);
    // A status-only answer refusing a request that must not run; codes the reason
    // table lacks (413, 414, 431) get their standard texts.
    ResponseWriter& sendRefusal(int code);
    // The interim answer a client that sent "Expect: 100-continue" waits for.
    ResponseWriter& sendContinue();
    static std::string formatDate(std::chrono::system_clock::time_point date);

    // From here on every answer goes out without its body (HEAD).
    void setHeadOnly() { headOnly = true; }
    // The status of the answer sent, 0 before one.
    int answeredStatus() const { return answered; }

private:
    friend class Connection; // gives the writer its stream once the socket is open

    // A body's bytes after its head, and their debug lines.
    void writeBodyBytes(const void* bytes, size_t size);

    platform::SocketStream* clientFile;
    const Request* request;
    bool headOnly = false;
    int answered = 0;
};
