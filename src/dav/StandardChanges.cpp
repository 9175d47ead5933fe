// DELETE, MKCOL, MOVE and COPY in the standard answers: RFC 4918's rules for
// folders, Overwrite and Depth, built from the store's one-resource operations.

#include "dav/DavMode.h"
#include "dav/HttpStatusOf.h"
#include "dav/MethodSteps.h"
#include "dav/Methods.h"
#include "dav/PropFind.h"
#include "dav/StandardSupport.h"
#include "http/RFC2822.h"
#include "log/LogClient.h"

#include <unistd.h>

#include <functional>
#include <utility>
#include <vector>

namespace {

using Failures = std::vector<std::pair<std::string, int>>;

// A resource the store reports missing or busy is not there for a change.
bool Exists(DataSource& store, const std::string& uri)
{
    bool found = false;
    ReadOutcome([&] { found = store.exists(uri); });
    return found;
}

bool IsFolder(DataSource& store, const std::string& uri)
{
    bool folder = false;
    store.readIsCollection(uri, folder);
    return folder;
}

// The members of a folder by URI; none when it cannot be listed.
std::vector<std::string> Members(DataSource& store, const std::string& uri)
{
    DataSource::ChildList children;
    store.readChildren(uri, children);
    std::vector<std::string> members;
    for (const auto& record : children)
        if (!record.name.empty())
            members.push_back(record.name);
    return members;
}

// Removes the resource and, for a folder, everything in it, members first. A
// member that cannot go is recorded with its status, and the folders holding it
// stay (with everything else gone).
void RemoveTree(DataSource& store, const std::string& uri, Failures& failures)
{
    size_t before = failures.size();
    if (IsFolder(store, uri))
        for (const auto& member : Members(store, uri))
            RemoveTree(store, member, failures);
    if (failures.size() != before)
        return;
    int status = StatusOfChange([&] { return HttpStatusOf(store.delete_(uri)); });
    if (status != 204 && status != 200) {
        failures.emplace_back(uri, status == 422 ? 423 : status);
        return;
    }
    store.companionsFollow(uri, std::nullopt, false);
    store.locks().forget(uri);
}

// Copies the resource to `to` (which does not exist): a folder is made anew and,
// with `deep`, filled member by member. The first failure stops the copy.
int CopyTree(DataSource& store, const std::string& uri, const std::string& to, bool deep)
{
    if (!IsFolder(store, uri))
        return StatusOfChange([&] { return HttpStatusOf(store.copyFile(uri, to)); });
    int made = StatusOfChange([&] { return HttpStatusOf(store.mkCollection(to)); });
    if (made != 201)
        return made == 405 ? 409 : made;
    if (deep) {
        std::string folder = WithoutTrailingSlash(to) + "/";
        for (const auto& member : Members(store, uri)) {
            int copied = CopyTree(store, member, folder + LastSegment(member), true);
            if (copied != 201)
                return copied;
        }
    }
    return 201;
}

// Whether the URI names the volume itself ("/Device", "/Device/").
bool IsVolume(const std::string& uri) { return WithoutTrailingSlash(uri).find('/', 1) == std::string::npos; }

// The multistatus answer naming each member that could not be changed.
std::string FailureDocument(const Failures& failures)
{
    std::string text = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<D:multistatus xmlns:D=\"DAV:\">\n";
    for (const auto& [uri, status] : failures)
        text += "<D:response><D:href>" + XmlEscaped(uri) + "</D:href><D:status>HTTP/1.1 " + std::to_string(status) +
                " " + StandardReason(status) + "</D:status></D:response>\n";
    return text + "</D:multistatus>\n";
}

} // namespace

void dav::sendStandardStatus(const Request& request, ResponseWriter& response, int code)
{
    if (code >= 400 && gLogDebug)
        LogWithDate("%s %s refused: %d %s", request.command() ? request.command() : "",
                    request.path() ? request.path() : "", code, StandardReason(code));
    response.sendResponse(code, StandardReason(code));
    response.sendHeader("Content-Length", "0");
    response.endHeaders();
}

std::optional<bool> dav::standardDepth(const Request& request)
{
    std::string depth = HeaderToken(request.headers().objectForKey("Depth"));
    if (!depth.empty() && depth != "0" && depth != "infinity")
        return std::nullopt;
    return depth != "0";
}

void dav::standardDELETE(Request& request, ResponseWriter& response, DataSource& store)
{
    auto uri = changeTarget(request, response);
    if (!uri)
        return;
    // Refused: the volume itself, whose removal would empty the whole handheld.
    if (IsVolume(*uri)) {
        sendStandardStatus(request, response, 403);
        return;
    }
    if (!Exists(store, *uri)) {
        sendStandardStatus(request, response, 404);
        return;
    }
    if (auto refusal = lockRefusal(request, store, *uri, true)) {
        sendStandardStatus(request, response, *refusal);
        return;
    }
    Failures failures;
    RemoveTree(store, *uri, failures);
    if (failures.empty()) {
        sendStandardStatus(request, response, 204);
        return;
    }
    std::string document = FailureDocument(failures);
    response.sendText(document, 207, StandardReason(207), "", "application/xml; charset=\"utf-8\"");
}

void dav::standardMKCOL(Request& request, ResponseWriter& response, DataSource& store)
{
    auto uri = changeTarget(request, response);
    if (!uri)
        return;
    // Refused: a body would say what to make inside, which no folder here takes.
    std::string body = request.bodyAsString();
    if (!body.empty() || request.bodyTooLarge()) {
        sendStandardStatus(request, response, 415);
        return;
    }
    if (Exists(store, *uri)) {
        sendStandardStatus(request, response, 405);
        return;
    }
    if (!IsFolder(store, ParentURI(*uri))) {
        sendStandardStatus(request, response, 409);
        return;
    }
    if (auto refusal = lockRefusal(request, store, *uri, false)) {
        sendStandardStatus(request, response, *refusal);
        return;
    }
    int made = StatusOfChange([&] { return HttpStatusOf(store.mkCollection(*uri)); });
    sendStandardStatus(request, response, made == 201 ? 201 : made == 405 ? 405 : 403);
}

void dav::standardMoveOrCopy(Request& request, ResponseWriter& response, DataSource& store, bool copy)
{
    auto uri = changeTarget(request, response);
    if (!uri)
        return;
    auto to = destinationURI(request);
    if (!to) {
        sendStandardStatus(request, response, 400);
        return;
    }
    auto deep = standardDepth(request);
    if (!deep) {
        sendStandardStatus(request, response, 400);
        return;
    }
    bool overwrite = HeaderToken(request.headers().objectForKey("Overwrite")) != "f";
    if (!Exists(store, *uri)) {
        sendStandardStatus(request, response, 404);
        return;
    }
    // Refused: onto itself, or into itself, nothing could be left where it was;
    // and the volume is neither moved nor replaced.
    if (SameOrBelow(*to, *uri) || IsVolume(*uri) || IsVolume(*to)) {
        sendStandardStatus(request, response, 403);
        return;
    }
    if (!IsFolder(store, ParentURI(*to))) {
        sendStandardStatus(request, response, 409);
        return;
    }
    auto refusal = copy ? std::nullopt : lockRefusal(request, store, *uri, true);
    if (!refusal)
        refusal = lockRefusal(request, store, *to, true);
    if (refusal) {
        sendStandardStatus(request, response, *refusal);
        return;
    }
    bool replacing = Exists(store, *to);
    // Refused as well: a file in the place of a folder that holds something
    // would take all of it with it.
    if (replacing && (!overwrite || (IsFolder(store, *to) && !IsFolder(store, *uri) && !Members(store, *to).empty()))) {
        sendStandardStatus(request, response, 412);
        return;
    }

    // What stands at the destination is moved aside first and only removed once
    // the new resource is in its place; should that fail, it is put back.
    std::string target = WithoutTrailingSlash(*to);
    std::string aside;
    if (replacing) {
        aside = target + ".~aside-" + std::to_string(::getpid()) + "-" + std::to_string(store.nextScratchNumber());
        if (StatusOfChange([&] { return HttpStatusOf(store.move(target, aside)); }) != 201) {
            sendStandardStatus(request, response, 423);
            return;
        }
        store.companionsFollow(target, aside, false);
    }

    int status = copy ? CopyTree(store, *uri, target, *deep)
                      : StatusOfChange([&] { return HttpStatusOf(store.move(*uri, target)); });
    if (status == 201) {
        store.companionsFollow(*uri, target, copy);
        if (!copy)
            store.locks().forget(*uri);
        if (replacing) {
            Failures failures;
            RemoveTree(store, aside, failures);
        }
        sendStandardStatus(request, response, replacing ? 204 : 201);
        return;
    }
    // Whatever part of a copy was made goes; the old destination comes back.
    if (copy && Exists(store, target)) {
        Failures failures;
        RemoveTree(store, target, failures);
    }
    if (replacing && StatusOfChange([&] { return HttpStatusOf(store.move(aside, target)); }) == 201)
        store.companionsFollow(aside, target, false);
    sendStandardStatus(request, response, status == 412 || status == 500 ? 409 : status);
}

void dav::doCOPY(Request& request, ResponseWriter& response, DataSource& store)
{
    if (!StandardDavAnswers(store)) {
        response.sendError(501, "Unsupported method");
        return;
    }
    standardMoveOrCopy(request, response, store, true);
}

std::optional<int> dav::standardPutRefusal(const Request& request, DataSource& store, const std::string& uri)
{
    if (!IsFolder(store, ParentURI(uri)))
        return 409;
    // Refused: a folder cannot be replaced by a file's bytes.
    if (IsFolder(store, uri))
        return 405;
    return lockRefusal(request, store, uri, false);
}
