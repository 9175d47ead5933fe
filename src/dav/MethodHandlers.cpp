// The WebDAV method handlers other than PROPFIND, as Connection operations.
// Each reads at most one header, makes at most one change through the store and
// writes one answer.

#include "datasource/HrefEscaping.h"
#include "dav/ByteRange.h"
#include "dav/DavMode.h"
#include "dav/HttpStatusOf.h"
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


// The path a Destination names. An absolute URI gives everything from its third
// "/" on; a path alone ("/vol/dir/new.txt", which clients may send) is that path,
// not something to cut at its third "/". None when the value is neither.
std::optional<std::string> DestinationPath(const std::string& destination)
{
    size_t start = destination.find_first_not_of(" \t");
    if (start == std::string::npos)
        return std::nullopt;
    std::string value = destination.substr(start);
    if (value[0] == '/' && (value.size() < 2 || value[1] != '/'))
        return value;
    if (value[0] != '/' && TargetPath(value) == value)
        return std::nullopt; // neither a path nor an absolute URI
    int slashes = 0;
    for (size_t i = 0; i < value.size(); ++i)
        if (value[i] == '/' && ++slashes == 3)
            return value.substr(i);
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

// Text as XML element content: "&", "<" and ">" as entities.
std::string XmlText(const std::string& text)
{
    std::string escaped;
    for (char c : text) {
        if (c == '&')
            escaped += "&amp;";
        else if (c == '<')
            escaped += "&lt;";
        else if (c == '>')
            escaped += "&gt;";
        else
            escaped += c;
    }
    return escaped;
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
    // Refused: a coding we cannot undo would be stored as it came; codings split
    // over two header lines are such a list too.
    if (encoding && (HeaderToken(encoding) != "chunked" || headers->conflicting("Transfer-Encoding"))) {
        sendRefusal(501);
        return nullptr;
    }
    // A chunked body ends where its framing says; a length beside it means nothing.
    if (!encoding) {
        // Refused: two lengths that differ leave it open where the body ends.
        if (headers->conflicting("Content-Length")) {
            sendRefusal(400);
            return nullptr;
        }
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
    // A store that holds nothing at all (the plain store after a hang-up) has no
    // such file: an empty 200 would read as an empty file.
    if (!file && !data) {
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
    // A player or a mounted file system seeking in a large file asks for a part;
    // only that part is read and sent. If-Range is not weighed: with it the whole
    // file is sent, which is right whatever its validator says.
    auto range = headers->objectForKey("Range");
    if (StandardDavAnswers() && range && !headers->objectForKey("If-Range")) {
        if (!file)
            file = std::make_unique<DataSource::DataFile>(data);
        ByteRange part = ChooseByteRange(*range, file->size);
        if (part.kind == ByteRange::Unsatisfiable) {
            extra = {{"Content-Range", "bytes */" + std::to_string(file->size)}};
            sendText("", 416, "Requested Range Not Satisfiable", "", contentType.c_str(), &extra);
            return;
        }
        if (part.kind == ByteRange::Part) {
            if (!file->seekTo(part.first)) {
                notFound(uri);
                return;
            }
            extra.emplace("Content-Range", "bytes " + std::to_string(part.first) + "-" +
                                               std::to_string(part.first + part.count - 1) + "/" +
                                               std::to_string(file->size));
            file->size = part.count;
            sendBody(*file, 206, "Partial Content", "Partial Content", contentType.c_str(), &extra);
            return;
        }
    }
    // Contents the store holds whole go out as one block, as they always have.
    if (file && file->contents) {
        data = file->contents;
        file.reset();
    }
    if (file)
        sendBody(*file, 200, "OK", "OK", contentType.c_str(), &extra);
    else
        sendBody(data, 200, "OK", "OK", contentType.c_str(), &extra);
}

void Connection::doPUT()
{
    if (auto uri = changeTarget()) {
        if (platform::BodyStream* body = uploadBody()) {
            int64_t length = body->length() ? static_cast<int64_t>(*body->length()) : -1;
            std::optional<int> standardRefusal;
            // Refused before a byte is read: a body the store cannot hold would
            // only be taken to be thrown away.
            if (int refusal = StatusOfChange([&] {
                    auto refused = dataSource->uploadRefusal(*uri, length);
                    return refused ? HttpStatusOf(*refused) : 0;
                }))
                sendRefusal(refusal);
            else if (StandardDavAnswers() && (standardRefusal = standardPutRefusal(*uri)))
                sendStandardStatus(*standardRefusal);
            else
                sendStatusOnly(StatusOfChange([&] {
                    // The store reads the body itself, straight from the client stream.
                    return HttpStatusOf(dataSource->putDataFromFile(*uri, *body, length) ? StoreStatus::Created
                                                                                          : StoreStatus::NotStored);
                }));
        }
    }
}

void Connection::doDELETE()
{
    if (StandardDavAnswers()) {
        standardDELETE();
        return;
    }
    if (auto uri = changeTarget())
        sendStatusOnly(StatusOfChange([&] { return HttpStatusOf(dataSource->delete_(*uri)); }));
}

void Connection::doMKCOL()
{
    if (StandardDavAnswers()) {
        standardMKCOL();
        return;
    }
    if (auto uri = changeTarget())
        sendStatusOnly(StatusOfChange([&] { return HttpStatusOf(dataSource->mkCollection(*uri)); }));
}

std::optional<std::string> Connection::destinationURI()
{
    auto destination = headers->objectForKey("Destination");
    std::optional<std::string> to = destination ? DestinationPath(*destination) : std::nullopt;
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
        return;
    }
    if (auto uri = changeTarget()) {
        // Whatever scheme and host the client names, only the path counts.
        auto destination = headers->objectForKey("Destination");
        std::optional<std::string> to = destination ? DestinationPath(*destination) : std::nullopt;
        if (to)
            to = urlUnquote(*to);
        // Refused: a destination that names no path (it would be guessed at), or
        // one that is not text, as for the source.
        if ((destination && !to) || (to && !IsTextPath(*to)))
            sendRefusal(400);
        else if (HeaderToken(headers->objectForKey("Overwrite")) == "f")
            sendStatusOnly(StatusOfChange([&] { return HttpStatusOf(dataSource->moveKeeping(*uri, to)); }));
        else
            sendStatusOnly(StatusOfChange([&] { return HttpStatusOf(dataSource->move(*uri, to)); }));
    }
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
    // The depth as sent, with what XML cannot carry as text made entities.
    text += "\t\t<D:depth>" + XmlText(getDepth()) + "</D:depth>\n";
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
