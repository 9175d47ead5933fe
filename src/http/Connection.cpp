#include "http/Connection.h"

#include "log/LogClient.h"
#include "platform/DecimalText.h"

#include <cctype>
#include <climits>
#include <cstdio>
#include <cstring>
#include <exception>
#include <unistd.h>

namespace {

// The handler name is formed in a buffer of this size, terminator included.
constexpr size_t kHandlerNameSize = 62;

// Body bytes are read in blocks of this size, so that a large announced length
// costs memory only as the bytes actually arrive.
constexpr size_t kBodyBlock = 65536;

const char* Text(const char* s) { return s ? s : "(null)"; }

bool IsChunked(const std::optional<std::string>& transferEncoding)
{
    return HeaderToken(transferEncoding) == "chunked";
}

bool ExpectsContinue(const std::optional<std::string>& expect) { return HeaderToken(expect) == "100-continue"; }

} // namespace

Connection::Connection(int fd, std::shared_ptr<DataSource> dataSource, ConnectionLimits limits,
                       std::chrono::steady_clock::time_point acceptedAt)
    : fd(fd), protocolVersion("HTTP/1.1"), versionString("Pavrix/0.9/2.2"), dataSource(std::move(dataSource)),
      limits(limits), acceptedAt(acceptedAt)
{
}

Connection::~Connection()
{
    // The connection owns its socket: a served one was closed with the stream;
    // one never served is closed here.
    if (!served && fd >= 0)
        ::close(fd);
}

bool Connection::debugging() const { return gLogDebug; }

const Connection::MethodTable& Connection::classMethodHandlers()
{
    static const MethodTable table{
        {"doOPTIONS", &Connection::doOPTIONS}, {"doGET", &Connection::doGET},
        {"doPUT", &Connection::doPUT},         {"doDELETE", &Connection::doDELETE},
        {"doMKCOL", &Connection::doMKCOL},     {"doMOVE", &Connection::doMOVE},
        {"doLOCK", &Connection::doLOCK},       {"doUNLOCK", &Connection::doUNLOCK},
        {"doPROPFIND", &Connection::doPROPFIND}, {"doHEAD", &Connection::doHEAD},
        {"doCOPY", &Connection::doCOPY},         {"doPROPPATCH", &Connection::doPROPPATCH},
    };
    return table;
}

const Connection::MethodTable& Connection::methodHandlers() const { return classMethodHandlers(); }

Connection& Connection::Handler()
{
    served = true;
    clientFile = platform::SocketStream::open(fd);
    if (!clientFile)
        return *this;
    // The head must be in soon after the accept, however slowly it trickles.
    clientFile->setDeadline(acceptedAt + limits.requestHead);
    // Whatever a store throws from a handler that does not expect it, the
    // daemon keeps serving: the client gets what was written so far.
    try {
        handleRequest();
    } catch (const std::exception& e) {
        if (gLogDebug)
            LogWithDate("request failed: %s", e.what());
    } catch (...) {
        if (gLogDebug)
            LogWithDate("request failed");
    }
    if (debugging())
        LogWithDate("flushing client file");
    clientFile->flush();
    if (debugging())
        LogWithDate("fclose client file");
    // A head refused for its size may be followed by an endless stream: it is
    // drained only briefly, so that a flood costs the next client little.
    if (headTooLarge)
        clientFile->setLingerLimit(std::chrono::milliseconds(200));
    clientFile->close(inputConsumed());
    if (debugging())
        LogWithDate("did fclose client file");
    return *this;
}

bool Connection::handleRequest()
{
    if (gLogDebug)
        LogWithDate("Handle request");
    if (!readLine(requestLine, sizeof requestLine))
        return false;
    requestLineCut = lastLineCut;
    headerLineBroken = lastLineBroken && !lastLineCut;
    if (gLogDebug)
        LogWithDate("request: %s", requestLine);
    parseRequest(requestLine);
    // The head is in, or given up; the body and the answer are held to a pace.
    clientFile->setDeadline(std::nullopt);
    clientFile->setPace(limits.stall, limits.minimumBytesPerSecond, limits.rateWindow);
    // Refused whatever the method: the head was not read whole, so nothing in it
    // can be trusted to say what the client meant.
    if (headTooLarge) {
        sendRefusal(431);
        dataSource->requestAnswered(answeredStatus);
        return false;
    }

    char name[kHandlerNameSize];
    int length = std::snprintf(name, sizeof name, "do%s", command ? command : "");
    if (gLogDebug)
        LogWithDate("about to %s %s", Text(command), Text(path));

    // A token too long for the name buffer cannot name a handler.
    const MethodHandler* handler = nullptr;
    if (length >= 0 && static_cast<size_t>(length) < sizeof name) {
        const auto& table = methodHandlers();
        auto it = table.find(name);
        if (it != table.end())
            handler = &it->second;
    }
    if (handler)
        (*handler)(*this);
    else
        sendError(501, "Unsupported method");
    dataSource->requestAnswered(answeredStatus);
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
    if (debugging())
        LogWithDate("<%s", buffer);
    return true;
}

std::optional<std::string> Connection::readLine()
{
    char buffer[1024];
    // A head past its limits is read no further: the parser sees its end here,
    // and the request is refused.
    if (headTooLarge || headLinesRead > limits.headLines || headBytesRead >= limits.headBytes) {
        headTooLarge = true;
        return std::nullopt;
    }
    if (!readLine(buffer, sizeof buffer))
        return std::nullopt;
    headerLineCut = headerLineCut || lastLineCut;
    headerLineBroken = headerLineBroken || lastLineBroken;
    if (gLogDebug)
        LogWithDate("line: %@", buffer);
    return std::string(buffer);
}

bool Connection::parseRequest(char* request)
{
    // Blanks separate the tokens (a run of them counts as one); tabs do not.
    char* tokens[3] = {nullptr, nullptr, nullptr};
    char* p = request;
    for (int i = 0; i < 3;) {
        while (*p == ' ')
            ++p;
        if (*p == '\0')
            break;
        tokens[i++] = p;
        while (*p != '\0' && *p != ' ')
            ++p;
        if (*p != '\0')
            *p++ = '\0';
    }
    command = tokens[0];
    path = tokens[1];
    requestVersion = tokens[2];

    headers = std::make_unique<MimeTools>(*this);
    if (gLogDebug)
        LogWithDate("headers: %@", headers->description().c_str());
    connectionWillClose = headers->objectForKey("Connection") == std::optional<std::string>("Close");
    return true;
}

Connection& Connection::logRequest()
{
    if (debugging())
        LogWithDate("Log: %s %s", requestLine, Text(path));
    return *this;
}

std::string Connection::getDepth()
{
    auto depth = headers ? headers->objectForKey("Depth") : std::nullopt;
    return depth ? *depth : "infinity";
}

bool Connection::inputConsumed() const
{
    if (requestBody_)
        return requestBody_->complete();
    if (headRefusal() || headers->objectForKey("Transfer-Encoding"))
        return false;
    auto length = headers->objectForKey("Content-Length");
    return !length || (platform::IsPlainDecimal(*length) && platform::ReadDecimalPrefix(*length).magnitude == 0);
}

std::optional<int> Connection::headRefusal() const
{
    if (requestLineCut)
        return 414;
    if (headerLineCut || headTooLarge)
        return 431;
    if (!headers || !headers->ended() || headerLineBroken)
        return 400;
    return std::nullopt;
}

platform::BodyStream* Connection::requestBody()
{
    if (requestBody_)
        return &*requestBody_;
    if (!clientFile)
        return nullptr;
    if (IsChunked(headers->objectForKey("Transfer-Encoding"))) {
        requestBody_ = platform::BodyStream::chunked(*clientFile);
    } else {
        // Blanks skipped, reading stops at the first non-digit, 0 when absent; a
        // negative length is no body at all.
        auto length = platform::ReadDecimalPrefix(headers->objectForKey("Content-Length").value_or(""));
        if (length.negative && length.magnitude > 0)
            return nullptr;
        requestBody_ = platform::BodyStream::withLength(*clientFile, length.magnitude);
    }
    if (ExpectsContinue(headers->objectForKey("Expect")))
        requestBody_->setBeforeFirstRead([this] { sendContinue(); });
    return &*requestBody_;
}

DataSource::DataPtr Connection::body()
{
    platform::BodyStream* stream = requestBody();
    if (!stream)
        return nullptr;
    // A document body is held whole; one larger than any real document is refused
    // unread, so that no client can make the daemon's memory grow with its body.
    stream->setLimit(limits.documentBody);
    auto data = std::make_shared<DataSource::Data>();
    while (!stream->complete())
        if (!stream->readNext(*data, kBodyBlock))
            return nullptr; // the client ended (or stalled) before the whole body
    return data;
}

std::string Connection::bodyAsString()
{
    auto data = body();
    std::string text = data ? std::string(data->begin(), data->end()) : std::string();
    if (debugging())
        LogWithDate("%s", text.c_str());
    return text;
}

std::string Connection::urlUnquote(const std::string& url)
{
    auto query = url.find('?');
    if (gLogDebug) {
        std::string parts = "(";
        for (size_t start = 0;;) {
            auto end = url.find('?', start);
            parts += "\"" + url.substr(start, end == std::string::npos ? std::string::npos : end - start) + "\"";
            if (end == std::string::npos)
                break;
            parts += ", ";
            start = end + 1;
        }
        parts += ")";
        LogWithDate("urlUnquote: %@", parts.c_str());
    }
    return url.substr(0, query);
}

std::string Connection::baseURI() { return "http://localhost"; }

std::string Connection::requestURI() { return urlUnquote(TargetPath(path ? path : "")); }

std::string TargetPath(const std::string& target)
{
    // An absolute-form target ("http://host/vol/x") names the same resource as its
    // path: whatever scheme and host a client writes, only the path counts, and
    // the scheme never reads as a volume.
    size_t colon = target.find("://");
    if (colon == std::string::npos || colon == 0 || !std::isalpha(static_cast<unsigned char>(target[0])))
        return target;
    for (size_t i = 1; i < colon; ++i) {
        char c = target[i];
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '+' && c != '-' && c != '.')
            return target;
    }
    size_t slash = target.find('/', colon + 3);
    return slash == std::string::npos ? std::string("/") : target.substr(slash);
}
