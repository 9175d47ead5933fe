#include "http/Request.h"

#include "http/ResponseWriter.h"
#include "log/LogClient.h"
#include "platform/DecimalText.h"

#include <algorithm>
#include <cctype>

namespace {

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

void Request::parseRequest(LineReader& lines)
{
    // Blanks separate the tokens (a run of them counts as one); tabs do not.
    char* tokens[3] = {nullptr, nullptr, nullptr};
    char* p = requestLine_;
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
    command_ = tokens[0];
    path_ = tokens[1];
    requestVersion_ = tokens[2];

    headers_.emplace(lines);
    if (gLogDebug)
        LogWithDate("headers: %@", headers_->description().c_str());
    connectionWillClose_ = headers_->objectForKey("Connection") == std::optional<std::string>("Close");
}

void Request::logRequest() const
{
    if (gLogDebug)
        LogWithDate("Log: %s %s", requestLine_, Text(path_));
}

std::string Request::getDepth() const
{
    auto depth = headers_ ? headers_->objectForKey("Depth") : std::nullopt;
    return depth ? *depth : "infinity";
}

bool Request::inputConsumed() const
{
    if (body_)
        return body_->complete();
    if (headRefusal() || headers_->objectForKey("Transfer-Encoding"))
        return false;
    auto length = headers_->objectForKey("Content-Length");
    return !length || (platform::IsPlainDecimal(*length) && platform::ReadDecimalPrefix(*length).magnitude == 0);
}

std::optional<int> Request::headRefusal() const
{
    if (requestLineCut_)
        return 414;
    if (headerLineCut_ || headTooLarge_)
        return 431;
    if (!headers_ || !headers_->ended() || headerLineBroken_)
        return 400;
    return std::nullopt;
}

platform::BodyStream* Request::bodyStream()
{
    if (body_)
        return &*body_;
    if (!stream_)
        return nullptr;
    if (IsChunked(headers_->objectForKey("Transfer-Encoding"))) {
        body_ = platform::BodyStream::chunked(*stream_);
    } else {
        // Blanks skipped, reading stops at the first non-digit, 0 when absent; a
        // negative length is no body at all.
        auto length = platform::ReadDecimalPrefix(headers_->objectForKey("Content-Length").value_or(""));
        if (length.negative && length.magnitude > 0)
            return nullptr;
        body_ = platform::BodyStream::withLength(*stream_, length.magnitude);
    }
    if (interim_ && ExpectsContinue(headers_->objectForKey("Expect")))
        body_->setBeforeFirstRead([writer = interim_] { writer->sendContinue(); });
    return &*body_;
}

Request::Body Request::body()
{
    platform::BodyStream* stream = bodyStream();
    if (!stream)
        return nullptr;
    // A document body is held whole; one larger than any real document is refused
    // unread, so that no client can make the daemon's memory grow with its body.
    stream->setLimit(documentLimit_);
    auto data = std::make_shared<platform::ByteBuffer>();
    while (!stream->complete()) {
        // A body of known length is read into a buffer of its size: a PROPFIND
        // document of a few hundred bytes took a 64 KiB one.
        size_t block = kBodyBlock;
        if (auto length = stream->length(); length && *length > stream->bytesRead())
            block = static_cast<size_t>(std::min<uint64_t>(block, *length - stream->bytesRead()));
        if (!stream->readNext(*data, block))
            return nullptr; // the client ended (or stalled) before the whole body
    }
    return data;
}

std::string Request::bodyAsString()
{
    auto data = body();
    std::string text = data ? std::string(data->begin(), data->end()) : std::string();
    if (gLogDebug)
        LogWithDate("%s", text.c_str());
    return text;
}

std::string Request::urlUnquote(const std::string& url) const
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

std::string Request::baseURI() { return "http://localhost"; }

std::string Request::requestURI() const { return urlUnquote(TargetPath(path_ ? path_ : "")); }

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
