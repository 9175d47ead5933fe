#include "http/Connection.h"

#include "log/LogClient.h"

#include <cstring>
#include <exception>
#include <unistd.h>

Connection::Connection(int fd, ConnectionLimits limits, std::chrono::steady_clock::time_point acceptedAt)
    : fd(fd), limits(limits), acceptedAt(acceptedAt)
{
}

Connection::~Connection()
{
    // The connection owns its socket: a served one was closed with the stream;
    // one never served is closed here.
    if (!served && fd >= 0)
        ::close(fd);
}

Connection& Connection::Handler(const Serve& serve)
{
    served = true;
    clientFile = platform::SocketStream::open(fd);
    if (!clientFile)
        return *this;
    request.stream_ = clientFile.get();
    request.interim_ = &response;
    request.documentLimit_ = limits.documentBytes;
    response.clientFile = clientFile.get();
    // The head must be in soon after the accept, however slowly it trickles.
    clientFile->setDeadline(acceptedAt + limits.requestHead);
    // Whatever a serve function throws, the daemon keeps serving: the client
    // gets what was written so far.
    try {
        handleRequest(serve);
    } catch (...) {
        LogCaughtFailure("request failed");
    }
    // The close sends what is still buffered, in one segment with the end of the
    // stream.
    if (gLogDebug)
        LogWithDate("flushing client file");
    if (gLogDebug)
        LogWithDate("fclose client file");
    // A head refused for its size may be followed by an endless stream: it is
    // drained only briefly, so that a flood costs the next client little.
    if (request.headTooLarge_)
        clientFile->setLingerLimit(std::chrono::milliseconds(200));
    clientFile->close(request.inputConsumed());
    if (gLogDebug)
        LogWithDate("did fclose client file");
    return *this;
}

bool Connection::handleRequest(const Serve& serve)
{
    if (gLogDebug)
        LogWithDate("Handle request");
    if (!readLine(request.requestLine_, sizeof request.requestLine_))
        return false;
    request.requestLineCut_ = lastLineCut;
    request.headerLineBroken_ = lastLineBroken && !lastLineCut;
    if (gLogDebug)
        LogWithDate("request: %s", request.requestLine_);
    request.parseRequest(*this);
    // The head is in, or given up; the body and the answer are held to a pace.
    clientFile->setDeadline(std::nullopt);
    clientFile->setPace(limits.stall, limits.minimumBytesPerSecond, limits.rateWindow);
    // Refused whatever the method: the head was not read whole, so nothing in it
    // can be trusted to say what the client meant.
    if (request.headTooLarge_)
        response.sendRefusal(431);
    serve(request, response);
    return false;
}

bool Connection::readLine(char* buffer, int maxLength)
{
    size_t length = clientFile ? clientFile->getLine(buffer, maxLength) : 0;
    headLinesRead += length > 0 ? 1 : 0;
    headBytesRead += length;
    lastLineCut = length > 0 && length == static_cast<size_t>(maxLength - 1) && buffer[length - 1] != '\n';
    // A NUL ends the line early as text (a line starting with one reads as the blank
    // line that ends the head), and a line the stream ended inside is no line.
    lastLineBroken = length > 0 && (buffer[length - 1] != '\n' || std::strlen(buffer) != length);
    if (length == 0)
        return false;
    if (char* crlf = std::strstr(buffer, "\r\n"))
        *crlf = '\0';
    if (gLogDebug)
        LogWithDate("<%s", buffer);
    return true;
}

std::optional<std::string> Connection::readLine()
{
    char buffer[1024];
    // A head past its limits is read no further: the parser sees its end here,
    // and the request is refused.
    if (request.headTooLarge_ || headLinesRead > limits.headLines || headBytesRead >= limits.headBytes) {
        request.headTooLarge_ = true;
        return std::nullopt;
    }
    if (!readLine(buffer, sizeof buffer))
        return std::nullopt;
    request.headerLineCut_ = request.headerLineCut_ || lastLineCut;
    request.headerLineBroken_ = request.headerLineBroken_ || lastLineBroken;
    if (gLogDebug)
        LogWithDate("line: %@", buffer);
    return std::string(buffer);
}
