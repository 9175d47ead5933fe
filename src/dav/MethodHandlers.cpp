// The WebDAV method handlers other than PROPFIND, as Connection operations.
// Each reads at most one header, makes at most one change through the store and
// writes one answer.

#include "datasource/HrefEscaping.h"
#include "dav/DavMode.h"
#include "dav/PropFind.h"
#include "dav/StandardSupport.h"
#include "http/Connection.h"
#include "http/LossyASCII.h"
#include "log/LogClient.h"
#include "platform/DecimalText.h"
#include "platform/TextEncoding.h"

#include <cstdint>
#include <exception>
#include <functional>

namespace {

constexpr const char* kLockToken = "opaquelocktoken:3f8a61c2-9b0e-47d5-b2c9-6e14a07d85fb";
constexpr const char* kFallbackLastModified = "Sun, 01 Dec 2014 00:00:00 GMT";
constexpr const char* kFallbackContentType = "application/octet-stream";

// A property for a GET header; none when the store has none or fails to answer.
std::optional<std::string> TryProperty(DataSource& store, const char* name, const std::string& uri)
{
    try {
        return store.getProperty(name, uri);
    } catch (...) {
        return std::nullopt;
    }
}

// A store change answers with a status; a store that throws instead has failed
// in a way it did not report, which the client learns as an internal error.
int StatusOfChange(const std::function<int()>& change)
{
    try {
        return change();
    } catch (const std::exception& e) {
        if (gLogDebug)
            LogWithDate("change failed: %s", e.what());
    } catch (...) {
        if (gLogDebug)
            LogWithDate("change failed");
    }
    return 500;
}

// The path of an absolute Destination URI: everything from its third "/" on.
std::optional<std::string> DestinationPath(const std::optional<std::string>& destination)
{
    if (!destination)
        return std::nullopt;
    int slashes = 0;
    for (size_t i = 0; i < destination->size(); ++i)
        if ((*destination)[i] == '/' && ++slashes == 3)
            return destination->substr(i);
    return std::nullopt;
}

// Whether a path names something a change may make or touch: its bytes, escapes
// decoded, must be UTF-8 text without control characters. Two names that are not
// text could land on one device file, and a control character could not be written
// back in any listing.
bool IsTextPath(const std::string& uri)
{
    std::string bytes = PercentDecode(uri);
    for (unsigned char c : bytes)
        if (c < 0x20)
            return false;
    return platform::IsValidUTF8(bytes);
}

} // namespace

void Connection::sendStatusOnly(int code)
{
    sendResponse(code);
    endHeaders();
}

std::optional<std::string> Connection::changeTarget()
{
    // Refused: a cut line or a head that never ended could name another resource
    // than the client meant (the rest of a cut line reads as a header of its own).
    if (auto refusal = headRefusal()) {
        sendRefusal(*refusal);
        return std::nullopt;
    }
    std::string uri = requestURI();
    // Refused: a name that is not text, so that two such names never merge.
    if (!IsTextPath(uri)) {
        sendRefusal(400);
        return std::nullopt;
    }
    return uri;
}

platform::BodyStream* Connection::uploadBody()
{
    // Refused: a range would replace the whole file with a part of it.
    if (headers->objectForKey("Content-Range")) {
        sendRefusal(400);
        return nullptr;
    }
    auto encoding = headers->objectForKey("Transfer-Encoding");
    // Refused: a coding we cannot undo would be stored as it came.
    if (encoding && HeaderToken(encoding) != "chunked") {
        sendRefusal(501);
        return nullptr;
    }
    // A chunked body ends where its framing says; a length beside it means nothing.
    if (!encoding) {
        if (auto length = headers->objectForKey("Content-Length")) {
            // Refused: a length that is not a plain number says nothing certain
            // about where the body ends.
            if (!platform::IsPlainDecimal(*length)) {
                sendRefusal(400);
                return nullptr;
            }
            // Refused: more than the store's length type holds could not be stored whole.
            auto value = platform::ReadDecimalPrefix(*length);
            if (value.overflow || value.magnitude > static_cast<uint64_t>(INT64_MAX)) {
                sendRefusal(413);
                return nullptr;
            }
        }
    }
    return requestBody();
}

void Connection::doOPTIONS()
{
    sendResponse(200);
    sendHeader("Allow", "GET, HEAD, POST, PUT, DELETE, CONNECT, OPTIONS, PATCH, PROPFIND, PROPPATCH, MKCOL, COPY, "
                        "MOVE, TRACE, LOCK, UNLOCK");
    sendHeader("Content-Type", "text/plain");
    sendHeader("DAV", StandardDavAnswers() ? "1, 2" : "2");
    endHeaders();
}

void Connection::doGET()
{
    std::string uri = requestURI();
    bool standard = StandardDavAnswers();
    if (standard && sendFolderIndex(uri))
        return;
    DataSource::DataPtr data;
    DataSource::DataFilePtr file;
    try {
        // A store that can hand over an open file has it sent in pieces, so that
        // no file's size decides how much memory its GET takes.
        file = dataSource->getDataFile(uri);
        if (!file)
            data = dataSource->getData(uri);
    } catch (const platform::NamedException& e) {
        if (e.name() == kDAVBusyException)
            resourceBusy(uri);
        else
            notFound(uri);
        return;
    } catch (...) {
        notFound(uri);
        return;
    }
    std::string lastModified = TryProperty(*dataSource, "getlastmodified", uri).value_or(kFallbackLastModified);
    std::string contentType = standard ? ContentTypeForName(uri)
                                       : TryProperty(*dataSource, "getcontenttype", uri).value_or(kFallbackContentType);
    HeaderMap extra{{"Last-Modified", lastModified}};
    if (standard)
        if (auto tag = EntityTag(*dataSource, uri))
            extra["ETag"] = *tag;
    if (file)
        sendBody(*file, 200, "OK", "OK", contentType.c_str(), &extra);
    else
        sendBody(data, 200, "OK", "OK", contentType.c_str(), &extra);
}

void Connection::doPUT()
{
    if (auto uri = changeTarget()) {
        if (StandardDavAnswers())
            if (auto refusal = standardPutRefusal(*uri)) {
                sendStandardStatus(*refusal);
                return;
            }
        if (platform::BodyStream* body = uploadBody()) {
            int64_t length = body->length() ? static_cast<int64_t>(*body->length()) : -1;
            sendStatusOnly(StatusOfChange([&] {
                // The store reads the body itself, straight from the client stream.
                return dataSource->putDataFromFile(*uri, *body, length) ? 201 : 424;
            }));
        }
    }
    gCachedChildren.reset();
}

void Connection::doDELETE()
{
    if (StandardDavAnswers()) {
        standardDELETE();
        gCachedChildren.reset();
        return;
    }
    if (auto uri = changeTarget())
        sendStatusOnly(StatusOfChange([&] { return dataSource->delete_(*uri); }));
    gCachedChildren.reset();
}

void Connection::doMKCOL()
{
    if (StandardDavAnswers()) {
        standardMKCOL();
        gCachedChildren.reset();
        return;
    }
    if (auto uri = changeTarget())
        sendStatusOnly(StatusOfChange([&] { return dataSource->mkCollection(*uri); }));
    gCachedChildren.reset();
}

std::optional<std::string> Connection::destinationURI()
{
    std::optional<std::string> to = DestinationPath(headers->objectForKey("Destination"));
    if (to)
        to = urlUnquote(*to);
    // Refused: a destination that is not text, as for the source.
    if (to && !IsTextPath(*to))
        return std::nullopt;
    return to;
}

void Connection::doMOVE()
{
    if (StandardDavAnswers()) {
        standardMoveOrCopy(false);
        gCachedChildren.reset();
        return;
    }
    if (auto uri = changeTarget()) {
        // Whatever scheme and host the client names, only the path counts.
        std::optional<std::string> to = DestinationPath(headers->objectForKey("Destination"));
        if (to)
            to = urlUnquote(*to);
        // Refused: a destination that is not text, as for the source.
        if (to && !IsTextPath(*to))
            sendRefusal(400);
        else
            sendStatusOnly(StatusOfChange([&] { return dataSource->move(*uri, to); }));
    }
    gCachedChildren.reset();
}

void Connection::doLOCK()
{
    std::string body = bodyAsString();
    // Refused: a document larger than any lock request is not held.
    if (bodyTooLarge()) {
        sendRefusal(413);
        return;
    }
    if (StandardDavAnswers()) {
        standardLOCK(body);
        return;
    }
    std::string text = getLockResponse(body) + "\n";
    sendText(LossyASCII(std::move(text)), 200, "OK", "OK");
}

std::string Connection::getLockResponse(const std::string& /*body*/)
{
    // Locks are not kept: everybody gets the same token and nothing is refused.
    std::string text = "<D:response xmlns:ns0='DAV:'>\n";
    text += "<D:lockdiscovery>\n";
    text += "\t<D:activelock>\n";
    text += "\t\t<D:locktype><D:write/></D:locktype>\n";
    text += "\t\t<D:lockscope><D:exclusive/></D:lockscope>\n";
    text += "\t\t<D:depth>" + getDepth() + "</D:depth>\n";
    text += "\t\t<D:locktoken><href>" + std::string(kLockToken) + "</href></D:locktoken>\n";
    text += "\t</D:activelock>\n";
    text += "</D:lockdiscovery>\n";
    text += "</D:response>\n";
    return text;
}

void Connection::doUNLOCK()
{
    if (StandardDavAnswers())
        standardUNLOCK();
    else
        sendStatusOnly(200);
}

bool Connection::changeTargetIsText(const std::string& uri) { return IsTextPath(uri); }
