#pragma once

#include "http/ConnectionLimits.h"
#include "http/Request.h"
#include "http/ResponseWriter.h"
#include "platform/SocketStream.h"

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

// One accepted client socket of the WebDAV server: reads exactly one request off
// it within the client's limits, hands it to whoever serves requests together
// with the writer of its answer, and closes the socket.
class Connection : public LineReader {
public:
    // Answers one request through the writer. A request whose head the connection
    // refused itself (past its limits: 431) arrives answered already
    // (answeredStatus() is not 0).
    using Serve = std::function<void(Request&, ResponseWriter&)>;

    // Reads from the client on `fd` within `limits` counted from `acceptedAt`,
    // when the client was accepted.
    explicit Connection(int fd, ConnectionLimits limits = {},
                        std::chrono::steady_clock::time_point acceptedAt = std::chrono::steady_clock::now());
    ~Connection() override;

    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Serves the connection (one request) with `serve` and closes it. Whatever
    // `serve` throws ends that request: the client gets what was written so far.
    Connection& Handler(const Serve& serve);
    // Reads, parses and serves one request; whether to read another (never).
    bool handleRequest(const Serve& serve);

    // fgets on the client stream, then a CR LF ending cut off (a bare LF stays).
    // False at the end of the stream.
    bool readLine(char* buffer, int maxLength);
    // The header parser's line source: a line of up to 1023 bytes, none at the end.
    std::optional<std::string> readLine() override;

private:
    std::unique_ptr<platform::SocketStream> clientFile;
    int fd;
    bool served = false; // Handler has run: the stream owns the socket

    ConnectionLimits limits;
    std::chrono::steady_clock::time_point acceptedAt;
    bool lastLineCut = false;    // the last line read filled its buffer without ending
    bool lastLineBroken = false; // the last line read held a NUL or did not end
    size_t headLinesRead = 0;    // lines of the head read so far, request line included
    size_t headBytesRead = 0;    // and their bytes

    Request request;
    ResponseWriter response{nullptr, request};
};
