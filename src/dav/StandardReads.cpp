// HEAD and the folder index of GET in the standard answers, and the content type
// a file's name gives it.

#include "datasource/HrefEscaping.h"
#include "dav/DavMode.h"
#include "dav/MethodSteps.h"
#include "dav/Methods.h"
#include "dav/StandardSupport.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <utility>
#include <vector>

namespace {

struct Member {
    std::string uri;
    std::string name;
    bool folder;
};

} // namespace

const char* ContentTypeForName(const std::string& uri)
{
    static const std::pair<const char*, const char*> kTypes[] = {
        {"txt", "text/plain"},         {"htm", "text/html"},         {"html", "text/html"},
        {"css", "text/css"},           {"csv", "text/csv"},          {"xml", "application/xml"},
        {"js", "text/javascript"},     {"json", "application/json"}, {"pdf", "application/pdf"},
        {"zip", "application/zip"},    {"cab", "application/vnd.ms-cab-compressed"},
        {"jpg", "image/jpeg"},         {"jpeg", "image/jpeg"},       {"png", "image/png"},
        {"gif", "image/gif"},          {"bmp", "image/bmp"},         {"svg", "image/svg+xml"},
        {"mp3", "audio/mpeg"},         {"wav", "audio/wav"},         {"wma", "audio/x-ms-wma"},
        {"mp4", "video/mp4"},          {"wmv", "video/x-ms-wmv"},    {"avi", "video/x-msvideo"},
        {"doc", "application/msword"}, {"xls", "application/vnd.ms-excel"},
        {"ppt", "application/vnd.ms-powerpoint"},
    };
    std::string name = LastSegment(uri);
    size_t dot = name.rfind('.');
    if (dot == std::string::npos || dot + 1 == name.size())
        return "application/octet-stream";
    std::string extension = name.substr(dot + 1);
    for (auto& c : extension)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    for (const auto& [known, type] : kTypes)
        if (extension == known)
            return type;
    return "application/octet-stream";
}

void dav::doHEAD(Request& request, ResponseWriter& response, DataSource& store)
{
    if (!StandardDavAnswers(store)) {
        response.sendError(501, "Unsupported method");
        return;
    }
    // GET's answer, head for head, without a byte of its body.
    response.setHeadOnly();
    std::string uri = request.requestURI();
    ChildRecord record;
    bool file = store.stat(uri, record) == StoreStatus::Done && record.has(ChildRecord::Kind) && !record.collection;
    std::optional<std::string> modified = PropertyOfRecord(record, "getlastmodified");
    // A file's head comes from what the store knows of it, so that asking whether
    // it is there never reads its bytes over the link; anything else (a folder, a
    // missing name, a file whose size the store cannot say) is GET's own answer.
    if (!file || !record.has(ChildRecord::Size) || !modified) {
        doGET(request, response, store);
        return;
    }
    HeaderMap extra{{"Last-Modified", *modified}};
    if (auto tag = EntityTag(store, uri))
        extra["ETag"] = *tag;
    response.sendBodyHead(200, "OK", ContentTypeForName(uri), &extra, record.size);
}

bool dav::sendFolderIndex(ResponseWriter& response, DataSource& store, const std::string& uri)
{
    // Anything the store cannot list as a folder is left to GET's own answer.
    bool collection = false;
    DataSource::ChildList children;
    if (store.readIsCollection(uri, collection) != StoreStatus::Done || !collection ||
        store.readChildren(uri, children) != StoreStatus::Done)
        return false;
    std::vector<Member> members;
    for (const auto& record : children) {
        if (record.name.empty())
            continue;
        bool folder = record.has(ChildRecord::Kind) && record.collection;
        members.push_back({record.name, PercentDecode(LastSegment(record.name)), folder});
    }
    // A folder named without its trailing "/" is sent on to the name with it, so
    // that relative links (and clients that tell folders by the redirect) resolve
    // inside it.
    if (uri.empty() || uri.back() != '/') {
        response.sendResponse(301, "Moved Permanently");
        response.sendHeader("Location", (uri + "/").c_str());
        response.sendHeader("Content-Length", "0");
        response.endHeaders();
        return true;
    }
    std::sort(members.begin(), members.end(), [](const Member& a, const Member& b) {
        if (a.folder != b.folder)
            return a.folder;
        return a.name < b.name;
    });
    std::string title = XmlEscaped(PercentDecode(uri));
    std::string page = "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>Index of " + title +
                       "</title></head>\n<body><h1>Index of " + title + "</h1>\n<ul>\n";
    for (const auto& member : members) {
        // The href keeps the member's escapes (a "?" or "#" in a name stays one);
        // the text shows the name itself.
        std::string href = UriEscaped(PercentDecode(member.uri));
        std::string slash = member.folder ? "/" : "";
        page += "<li><a href=\"" + XmlEscaped(WithoutTrailingSlash(href) + slash) + "\">" + XmlEscaped(member.name) +
                slash + "</a></li>\n";
    }
    page += "</ul>\n</body></html>\n";
    response.sendText(page, 200, "OK", "OK", "text/html; charset=utf-8");
    return true;
}
