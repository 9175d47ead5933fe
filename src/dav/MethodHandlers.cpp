// The WebDAV method handlers other than PROPFIND, as Connection operations.
// Each reads at most one header, makes at most one change through the store and
// writes one answer.

#include "dav/PropFind.h"
#include "http/Connection.h"
#include "http/LossyASCII.h"
#include "log/LogClient.h"

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

} // namespace

void Connection::sendStatusOnly(int code)
{
    sendResponse(code);
    endHeaders();
}

void Connection::doOPTIONS()
{
    sendResponse(200);
    sendHeader("Allow", "GET, HEAD, POST, PUT, DELETE, CONNECT, OPTIONS, PATCH, PROPFIND, PROPPATCH, MKCOL, COPY, "
                        "MOVE, TRACE, LOCK, UNLOCK");
    sendHeader("Content-Type", "text/plain");
    sendHeader("DAV", "2");
    endHeaders();
}

void Connection::doGET()
{
    std::string uri = requestURI();
    DataSource::DataPtr data;
    try {
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
    std::string contentType = TryProperty(*dataSource, "getcontenttype", uri).value_or(kFallbackContentType);
    HeaderMap extra{{"Last-Modified", lastModified}};
    sendBody(data, 200, "OK", "OK", contentType.c_str(), &extra);
}

void Connection::doPUT()
{
    std::string uri = requestURI();
    int32_t length = contentLength();
    int code = StatusOfChange([&] {
        // The store reads the body itself, straight from the client stream.
        return dataSource->putDataFromFile(uri, *clientFile, length) ? 201 : 424;
    });
    sendStatusOnly(code);
    gCachedChildren.reset();
}

void Connection::doDELETE()
{
    std::string uri = requestURI();
    sendStatusOnly(StatusOfChange([&] { return dataSource->delete_(uri); }));
    gCachedChildren.reset();
}

void Connection::doMKCOL()
{
    std::string uri = requestURI();
    sendStatusOnly(StatusOfChange([&] { return dataSource->mkCollection(uri); }));
    gCachedChildren.reset();
}

void Connection::doMOVE()
{
    std::string uri = requestURI();
    // Whatever scheme and host the client names, only the path counts.
    std::optional<std::string> to = DestinationPath(headers ? headers->objectForKey("Destination") : std::nullopt);
    if (to)
        to = urlUnquote(*to);
    sendStatusOnly(StatusOfChange([&] { return dataSource->move(uri, to); }));
    gCachedChildren.reset();
}

void Connection::doLOCK()
{
    std::string text = getLockResponse(bodyAsString()) + "\n";
    std::string ascii = LossyASCII(text);
    sendBody(std::make_shared<DataSource::Data>(ascii.begin(), ascii.end()), 200, "OK", "OK");
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

void Connection::doUNLOCK() { sendStatusOnly(200); }
