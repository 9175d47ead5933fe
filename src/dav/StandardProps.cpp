// PROPPATCH in the standard answers: dead properties kept by the store beside
// the resource, and the Windows time properties applied to the file itself.

#include "dav/DavMode.h"
#include "dav/DavXml.h"
#include "dav/MethodSteps.h"
#include "dav/Methods.h"
#include "dav/PropFind.h"
#include "dav/StandardSupport.h"

#include <chrono>
#include <cstdint>
#include <ctime>
#include <utility>
#include <vector>

namespace {

constexpr const char* kWindowsSpace = "urn:schemas-microsoft-com:";
// The dead properties one resource keeps, names and values together.
constexpr size_t kMaximumDeadBytes = 1 << 20;

// An HTTP date (RFC 1123, the form clients send these properties in); none otherwise.
std::optional<DataSource::Date> ParseHTTPDate(const std::string& text)
{
    struct tm fields {};
    const char* end = strptime(text.c_str(), "%a, %d %b %Y %H:%M:%S GMT", &fields);
    if (!end)
        return std::nullopt;
    // Refused: a date outside what the clock holds (before 1678, after 2262)
    // would wrap over into another century and be written to the file as that.
    using Clock = std::chrono::system_clock;
    constexpr int64_t kFirst = std::chrono::duration_cast<std::chrono::seconds>(Clock::duration::min()).count() + 1;
    constexpr int64_t kLast = std::chrono::duration_cast<std::chrono::seconds>(Clock::duration::max()).count() - 1;
    int64_t seconds = timegm(&fields);
    if (seconds < kFirst || seconds > kLast)
        return std::nullopt;
    return Clock::from_time_t(static_cast<time_t>(seconds));
}

// A property element of that name, empty, declaring its own namespace.
std::string EmptyElement(const davxml::Name& name)
{
    if (name.space.empty())
        return "<" + name.local + " xmlns=\"\"/>";
    return "<P:" + name.local + " xmlns:P=\"" + XmlEscaped(name.space) + "\"/>";
}

} // namespace

void dav::doPROPPATCH(Request& request, ResponseWriter& response, DataSource& store)
{
    if (!StandardDavAnswers(store)) {
        response.sendError(501, "Unsupported method");
        return;
    }
    auto uri = changeTarget(request, response);
    if (!uri)
        return;
    std::string body = request.bodyAsString();
    // Refused: a document larger than any property update is not held.
    if (request.bodyTooLarge()) {
        response.sendRefusal(413);
        return;
    }
    auto updates = davxml::ReadPropertyUpdate(body);
    if (!updates) {
        sendStandardStatus(request, response, 400);
        return;
    }
    bool found = false;
    ReadOutcome([&] { found = store.exists(*uri); });
    if (!found) {
        sendStandardStatus(request, response, 404);
        return;
    }
    if (auto refusal = lockRefusal(request, store, *uri, false)) {
        sendStandardStatus(request, response, *refusal);
        return;
    }

    // Every update is checked before any is made: one that cannot be made
    // leaves all of them unmade.
    std::optional<DataSource::Date> created, modified;
    std::vector<std::pair<davxml::Name, int>> statuses;
    bool failed = false;
    for (const auto& update : *updates) {
        int status = 200;
        const auto& name = update.name;
        if (name.space == kWindowsSpace || (name.space == "DAV:" && name.local == "getlastmodified")) {
            bool creation = name.local == "Win32CreationTime";
            bool modification = name.local == "Win32LastModifiedTime" || name.local == "getlastmodified";
            if ((creation || modification) && !update.remove) {
                auto date = ParseHTTPDate(update.value);
                if (!date)
                    status = 409;
                else
                    (creation ? created : modified) = date;
            } else if (name.space == "DAV:") {
                status = 403;
            }
            // Other Windows properties (access time, attributes) are taken and
            // not kept: the device keeps its own.
        } else if (name.space == "DAV:") {
            // Live properties are the store's to say.
            status = 403;
        }
        failed = failed || status != 200;
        statuses.emplace_back(name, status);
    }
    if (!failed && (created || modified)) {
        if (!store.setTimes(*uri, created, modified)) {
            failed = true;
            for (auto& [name, status] : statuses)
                if (name.local == "Win32CreationTime" || name.local == "Win32LastModifiedTime" ||
                    name.local == "getlastmodified")
                    status = 409;
        }
    }
    if (!failed) {
        auto dead = store.deadProperties(*uri);
        bool changed = false;
        for (const auto& update : *updates) {
            if (update.name.space == "DAV:" || update.name.space == kWindowsSpace)
                continue;
            std::string key = update.name.clark();
            std::erase_if(dead, [&](const auto& property) { return property.first == key; });
            if (!update.remove)
                dead.emplace_back(key, update.value);
            changed = true;
        }
        size_t bytes = 0;
        for (const auto& [key, value] : dead)
            bytes += key.size() + value.size();
        // Refused: more than a request document's worth kept for one resource.
        if (changed && bytes > kMaximumDeadBytes) {
            failed = true;
            for (auto& entry : statuses)
                entry.second = 507;
        } else if (changed && !store.storeDeadProperties(*uri, dead)) {
            failed = true;
            for (auto& entry : statuses)
                entry.second = 507;
        }
    } else {
        for (auto& entry : statuses)
            if (entry.second == 200)
                entry.second = 424;
    }

    std::string text = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<D:multistatus xmlns:D=\"DAV:\">\n<D:response><D:href>" +
                       XmlEscaped(*uri) + "</D:href>\n";
    for (const auto& [name, status] : statuses)
        text += "<D:propstat><D:prop>" + EmptyElement(name) + "</D:prop><D:status>HTTP/1.1 " +
                std::to_string(status) + " " + StandardReason(status) + "</D:status></D:propstat>\n";
    text += "</D:response>\n</D:multistatus>\n";
    response.sendText(AsciiCharacterReferences(text), 207, StandardReason(207), "",
                      "application/xml; charset=\"utf-8\"");
}
