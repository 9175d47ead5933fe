// The WebDAV method functions other than PROPFIND and the standard answers' own.
// Each reads at most one header, makes at most one change through the store and
// writes one answer.

#include "datasource/HrefEscaping.h"
#include "dav/ByteRange.h"
#include "dav/DavMode.h"
#include "dav/HttpStatusOf.h"
#include "dav/MethodSteps.h"
#include "dav/Methods.h"
#include "dav/PropFind.h"
#include "dav/StandardSupport.h"
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

// A property for a GET header; none when the store has none, or reports the
// resource missing or busy.
std::optional<std::string> PropertyOrNone(DataSource& store, const char* name, const std::string& uri)
{
    std::optional<std::string> value;
    store.readProperty(name, uri, value);
    return value;
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

// A response whose body the store's file gives piece by piece.
void SendPieces(ResponseWriter& response, const DataSource::DataFile& file, int code, const char* message,
                const char* description, const char* contentType, const dav::HeaderMap* headers)
{
    auto source = [&file](platform::SocketStream& out, size_t count) { return file.sendTo(out, count); };
    response.sendBody(file.size, source, code, message, description, contentType, headers);
}

} // namespace

std::optional<std::string> dav::changeTarget(const Request& request, ResponseWriter& response)
{
    // Refused: a cut line or a head that never ended could name another resource
    // than the client meant (the rest of a cut line reads as a header of its own).
    if (auto refusal = request.headRefusal()) {
        response.sendRefusal(*refusal);
        return std::nullopt;
    }
    std::string uri = request.requestURI();
    // Refused: a name that is not text, so that two such names never merge.
    if (!changeTargetIsText(uri)) {
        response.sendRefusal(400);
        return std::nullopt;
    }
    return uri;
}

platform::BodyStream* dav::uploadBody(Request& request, ResponseWriter& response)
{
    // Refused: a range would replace the whole file with a part of it.
    if (request.headers().objectForKey("Content-Range")) {
        response.sendRefusal(400);
        return nullptr;
    }
    auto encoding = request.headers().objectForKey("Transfer-Encoding");
    // Refused: a coding we cannot undo would be stored as it came; codings split
    // over two header lines are such a list too.
    if (encoding && (HeaderToken(encoding) != "chunked" || request.headers().conflicting("Transfer-Encoding"))) {
        response.sendRefusal(501);
        return nullptr;
    }
    // A chunked body ends where its framing says; a length beside it means nothing.
    if (!encoding) {
        // Refused: two lengths that differ leave it open where the body ends.
        if (request.headers().conflicting("Content-Length")) {
            response.sendRefusal(400);
            return nullptr;
        }
        if (auto length = request.headers().objectForKey("Content-Length")) {
            // Refused: a length that is not a plain number says nothing certain
            // about where the body ends.
            if (!platform::IsPlainDecimal(*length)) {
                response.sendRefusal(400);
                return nullptr;
            }
            // Refused: more than the store's length type holds could not be stored whole.
            auto value = platform::ReadDecimalPrefix(*length);
            if (value.overflow || value.magnitude > static_cast<uint64_t>(INT64_MAX)) {
                response.sendRefusal(413);
                return nullptr;
            }
        }
    }
    return request.bodyStream();
}

void dav::doOPTIONS(Request&, ResponseWriter& response, DataSource& store)
{
    response.sendResponse(200);
    response.sendHeader("Allow", "GET, HEAD, POST, PUT, DELETE, CONNECT, OPTIONS, PATCH, PROPFIND, PROPPATCH, MKCOL, "
                                 "COPY, MOVE, TRACE, LOCK, UNLOCK");
    response.sendHeader("Content-Type", "text/plain");
    response.sendHeader("DAV", StandardDavAnswers(store) ? "1, 2" : "2");
    response.endHeaders();
}

void dav::doGET(Request& request, ResponseWriter& response, DataSource& store)
{
    std::string uri = request.requestURI();
    bool standard = StandardDavAnswers(store);
    if (standard && sendFolderIndex(response, store, uri))
        return;
    DataSource::DataPtr data;
    DataSource::DataFilePtr file;
    // A store that can hand over an open file has it sent in pieces, so that no
    // file's size decides how much memory its GET takes.
    StoreStatus read = store.readData(uri, file, data);
    if (read == StoreStatus::Busy) {
        response.resourceBusy(uri);
        return;
    }
    // A store that holds nothing at all (the plain store after a hang-up) has no
    // such file: an empty 200 would read as an empty file.
    if (read != StoreStatus::Done || (!file && !data)) {
        response.notFound(uri);
        return;
    }
    std::string lastModified = PropertyOrNone(store, "getlastmodified", uri).value_or(kFallbackLastModified);
    std::string contentType = standard ? ContentTypeForName(uri)
                                       : PropertyOrNone(store, "getcontenttype", uri).value_or(kFallbackContentType);
    HeaderMap extra{{"Last-Modified", lastModified}};
    if (standard)
        if (auto tag = EntityTag(store, uri))
            extra["ETag"] = *tag;
    // A player or a mounted file system seeking in a large file asks for a part;
    // only that part is read and sent. If-Range is not weighed: with it the whole
    // file is sent, which is right whatever its validator says.
    auto range = request.headers().objectForKey("Range");
    if (StandardDavAnswers(store) && range && !request.headers().objectForKey("If-Range")) {
        if (!file)
            file = std::make_unique<DataSource::DataFile>(data);
        ByteRange part = ChooseByteRange(*range, file->size);
        if (part.kind == ByteRange::Unsatisfiable) {
            extra = {{"Content-Range", "bytes */" + std::to_string(file->size)}};
            response.sendText("", 416, "Requested Range Not Satisfiable", "", contentType.c_str(), &extra);
            return;
        }
        if (part.kind == ByteRange::Part) {
            if (!file->seekTo(part.first)) {
                response.notFound(uri);
                return;
            }
            extra.emplace("Content-Range", "bytes " + std::to_string(part.first) + "-" +
                                               std::to_string(part.first + part.count - 1) + "/" +
                                               std::to_string(file->size));
            file->size = part.count;
            SendPieces(response, *file, 206, "Partial Content", "Partial Content", contentType.c_str(), &extra);
            return;
        }
    }
    // Contents the store holds whole go out as one block, as they always have.
    if (file && file->contents) {
        data = file->contents;
        file.reset();
    }
    if (file)
        SendPieces(response, *file, 200, "OK", "OK", contentType.c_str(), &extra);
    else
        response.sendBody(data, 200, "OK", "OK", contentType.c_str(), &extra);
}

void dav::doPUT(Request& request, ResponseWriter& response, DataSource& store)
{
    if (auto uri = changeTarget(request, response)) {
        if (platform::BodyStream* body = uploadBody(request, response)) {
            int64_t length = body->length() ? static_cast<int64_t>(*body->length()) : -1;
            std::optional<int> standardRefusal;
            // Refused before a byte is read: a body the store cannot hold would
            // only be taken to be thrown away.
            if (int refusal = StatusOfChange([&] {
                    auto refused = store.uploadRefusal(*uri, length);
                    return refused ? HttpStatusOf(*refused) : 0;
                }))
                response.sendRefusal(refusal);
            else if (StandardDavAnswers(store) && (standardRefusal = standardPutRefusal(request, store, *uri)))
                sendStandardStatus(request, response, *standardRefusal);
            else
                response.sendStatusOnly(StatusOfChange([&] {
                    // The store reads the body itself, straight from the client stream.
                    return HttpStatusOf(store.putDataFromFile(*uri, *body, length) ? StoreStatus::Created
                                                                                    : StoreStatus::NotStored);
                }));
        }
    }
}

// DELETE and MKCOL in the daemon's own answers: the status of the store's
// outcome, without a body.
namespace {

template <class Change>
void SendOwnChange(Request& request, ResponseWriter& response, Change change)
{
    if (auto uri = dav::changeTarget(request, response))
        response.sendStatusOnly(StatusOfChange([&] { return HttpStatusOf(change(*uri)); }));
}

} // namespace

void dav::doDELETE(Request& request, ResponseWriter& response, DataSource& store)
{
    if (StandardDavAnswers(store))
        standardDELETE(request, response, store);
    else
        SendOwnChange(request, response, [&](const std::string& uri) { return store.delete_(uri); });
}

void dav::doMKCOL(Request& request, ResponseWriter& response, DataSource& store)
{
    if (StandardDavAnswers(store))
        standardMKCOL(request, response, store);
    else
        SendOwnChange(request, response, [&](const std::string& uri) { return store.mkCollection(uri); });
}

std::optional<std::string> dav::destinationURI(const Request& request)
{
    auto destination = request.headers().objectForKey("Destination");
    std::optional<std::string> to = destination ? DestinationPath(*destination) : std::nullopt;
    if (to)
        to = request.urlUnquote(*to);
    // Refused: a destination that is not text, as for the source.
    if (to && !changeTargetIsText(*to))
        return std::nullopt;
    return to;
}

void dav::doMOVE(Request& request, ResponseWriter& response, DataSource& store)
{
    if (StandardDavAnswers(store)) {
        standardMoveOrCopy(request, response, store, false);
        return;
    }
    if (auto uri = changeTarget(request, response)) {
        // Whatever scheme and host the client names, only the path counts.
        auto destination = request.headers().objectForKey("Destination");
        std::optional<std::string> to = destination ? DestinationPath(*destination) : std::nullopt;
        if (to)
            to = request.urlUnquote(*to);
        // Refused: a destination that names no path (it would be guessed at), or
        // one that is not text, as for the source.
        if ((destination && !to) || (to && !changeTargetIsText(*to)))
            response.sendRefusal(400);
        else if (HeaderToken(request.headers().objectForKey("Overwrite")) == "f")
            response.sendStatusOnly(StatusOfChange([&] { return HttpStatusOf(store.moveKeeping(*uri, to)); }));
        else
            response.sendStatusOnly(StatusOfChange([&] { return HttpStatusOf(store.move(*uri, to)); }));
    }
}

void dav::doLOCK(Request& request, ResponseWriter& response, DataSource& store)
{
    std::string body = request.bodyAsString();
    // Refused: a document larger than any lock request is not held.
    if (request.bodyTooLarge()) {
        response.sendRefusal(413);
        return;
    }
    if (StandardDavAnswers(store)) {
        standardLOCK(request, response, store, body);
        return;
    }
    std::string text = getLockResponse(request, body) + "\n";
    response.sendText(LossyASCII(std::move(text)), 200, "OK", "OK");
}

std::string dav::getLockResponse(const Request& request, const std::string& /*body*/)
{
    // Locks are not kept: everybody gets the same token and nothing is refused.
    std::string text = "<D:response xmlns:ns0='DAV:'>\n";
    text += "<D:lockdiscovery>\n";
    text += "\t<D:activelock>\n";
    text += "\t\t<D:locktype><D:write/></D:locktype>\n";
    text += "\t\t<D:lockscope><D:exclusive/></D:lockscope>\n";
    // The depth as sent, with what XML cannot carry as text made entities.
    text += "\t\t<D:depth>" + XmlText(request.getDepth()) + "</D:depth>\n";
    text += "\t\t<D:locktoken><href>" + std::string(kLockToken) + "</href></D:locktoken>\n";
    text += "\t</D:activelock>\n";
    text += "</D:lockdiscovery>\n";
    text += "</D:response>\n";
    return text;
}

void dav::doUNLOCK(Request& request, ResponseWriter& response, DataSource& store)
{
    if (StandardDavAnswers(store))
        standardUNLOCK(request, response, store);
    else
        response.sendStatusOnly(200);
}

// Two names that are not text could land on one device file, and a control
// character could not be written back in any listing.
bool dav::changeTargetIsText(const std::string& uri)
{
    std::string bytes = PercentDecode(uri);
    for (unsigned char c : bytes)
        if (c < 0x20)
            return false;
    return platform::IsValidUTF8(bytes);
}
