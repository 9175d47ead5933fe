#pragma once

#include "http/MimeTools.h"
#include "platform/BodyStream.h"
#include "platform/ByteBuffer.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace platform {
class SocketStream;
}

class ResponseWriter;

// The path of a request target: an absolute-form target ("scheme://host/path")
// reduced to its path ("/" when it has none); any other target as it is.
std::string TargetPath(const std::string& target);

// One request as the connection read it: the request line split in place, the
// header block, what went wrong while the head was read, and the body, which is
// left on the socket until a method asks for it.
class Request {
public:
    using Body = std::shared_ptr<const platform::ByteBuffer>;

    Request() = default;
    Request(const Request&) = delete; // the tokens point into the request line
    Request& operator=(const Request&) = delete;

    // The request line's tokens, split at blanks; null when the line had fewer.
    const char* command() const { return command_; }
    const char* path() const { return path_; }
    const char* requestVersion() const { return requestVersion_; }
    const MimeTools& headers() const { return *headers_; }
    // Whether the client's "Connection" value is exactly "Close"; nothing needs it,
    // as every connection carries one request.
    bool connectionWillClose() const { return connectionWillClose_; }

    // The Depth header as sent (leading blank included), or "infinity".
    std::string getDepth() const;
    // The target without its query part; percent escapes stay as they are.
    std::string urlUnquote(const std::string& url) const;
    static std::string baseURI();
    // The target's path without its query: the URI the methods work on.
    std::string requestURI() const;
    // The diagnostic line of the request, before each status line.
    void logRequest() const;

    // The status refusing a request that must not run because its head did not
    // arrive whole (414 a cut request line, 431 a cut or oversized head, 400 a head
    // that never ended or held a NUL), if any.
    std::optional<int> headRefusal() const;
    // The head went past a limit and was read no further.
    bool headTooLarge() const { return headTooLarge_; }

    // The request body (by its Content-Length, or decoded when chunked): empty
    // without one, null when the client sent fewer bytes or more than the daemon
    // holds (bodyTooLarge). Call at most once, after the headers.
    Body body();
    std::string bodyAsString();
    bool bodyTooLarge() const { return body_ && body_->tooLarge(); }
    // The body stream by the request's framing (chunked, else Content-Length read
    // as digits after blanks, 0 when absent); none for a negative length. A client
    // that asked to be told to go on is told before the first byte is read.
    platform::BodyStream* bodyStream();
    // Whether everything the client announced has been read: a whole head and
    // no body, or the whole body.
    bool inputConsumed() const;

private:
    friend class Connection;

    // Splits `requestLine_` in place into its tokens and reads the header block
    // from `lines`.
    void parseRequest(LineReader& lines);

    char requestLine_[1024] = {};
    const char* command_ = nullptr;
    const char* path_ = nullptr;
    const char* requestVersion_ = nullptr;
    std::optional<MimeTools> headers_;
    bool connectionWillClose_ = false;

    bool requestLineCut_ = false;   // the request line did not end within its 1023 bytes
    bool headerLineCut_ = false;    // nor did some header line
    bool headerLineBroken_ = false; // the request line or some header line held a NUL or did not end
    bool headTooLarge_ = false;     // the head went past a limit and was read no further

    // Where the body comes from, and where "100 Continue" goes.
    platform::SocketStream* stream_ = nullptr;
    ResponseWriter* interim_ = nullptr;
    uint64_t documentLimit_ = 0; // the largest body held whole (body())
    std::optional<platform::BodyStream> body_;
};
