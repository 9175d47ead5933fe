// LOCK and UNLOCK in the standard answers, and the test every change makes: a
// resource a lock holds changes only for a request that names the lock's token
// in its If header, and an If header whose conditions all fail stops the request.

#include "dav/DavMode.h"
#include "dav/DavXml.h"
#include "dav/MethodSteps.h"
#include "dav/Methods.h"
#include "dav/StandardSupport.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>

namespace {

struct Condition {
    bool negated = false;
    bool token = false; // a state token; else an entity tag
    std::string value;
};

struct ConditionList {
    std::optional<std::string> resource; // the tagged resource's path, if tagged
    std::vector<Condition> conditions;
};

// The path of a tag: an absolute URI's part from its third "/", or the tag itself.
std::string TagPath(const std::string& tag)
{
    if (!tag.empty() && tag.front() == '/')
        return tag;
    int slashes = 0;
    for (size_t i = 0; i < tag.size(); ++i)
        if (tag[i] == '/' && ++slashes == 3)
            return tag.substr(i);
    return tag;
}

// The lists of an If header; none when it does not parse.
std::optional<std::vector<ConditionList>> ParseIf(const std::string& header)
{
    std::vector<ConditionList> lists;
    std::optional<std::string> resource;
    size_t at = 0;
    auto skip = [&] {
        while (at < header.size() && std::isspace(static_cast<unsigned char>(header[at])))
            ++at;
    };
    for (skip(); at < header.size(); skip()) {
        if (header[at] == '<') {
            size_t end = header.find('>', at);
            if (end == std::string::npos)
                return std::nullopt;
            resource = TagPath(header.substr(at + 1, end - at - 1));
            at = end + 1;
        } else if (header[at] == '(') {
            ++at;
            ConditionList list;
            list.resource = resource;
            bool negated = false;
            for (skip(); at < header.size() && header[at] != ')'; skip()) {
                if (header.compare(at, 3, "Not") == 0) {
                    negated = true;
                    at += 3;
                    continue;
                }
                char open = header[at];
                char close = open == '<' ? '>' : open == '[' ? ']' : 0;
                size_t end = close ? header.find(close, at + 1) : std::string::npos;
                if (end == std::string::npos)
                    return std::nullopt;
                list.conditions.push_back({negated, open == '<', header.substr(at + 1, end - at - 1)});
                negated = false;
                at = end + 1;
            }
            if (at >= header.size() || list.conditions.empty())
                return std::nullopt;
            ++at;
            lists.push_back(std::move(list));
        } else {
            return std::nullopt;
        }
    }
    if (lists.empty())
        return std::nullopt;
    return lists;
}

std::chrono::seconds RequestedTimeout(const std::optional<std::string>& header)
{
    if (!header)
        return LockTable::kMaximumTimeout;
    size_t second = header->find("Second-");
    if (second == std::string::npos)
        return LockTable::kMaximumTimeout;
    return std::chrono::seconds(std::strtoll(header->c_str() + second + 7, nullptr, 10));
}

std::string LockAnswer(const LockTable::Lock& lock)
{
    return "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<D:prop xmlns:D=\"DAV:\"><D:lockdiscovery>" +
           ActiveLocks({lock}) + "</D:lockdiscovery></D:prop>\n";
}

} // namespace

std::optional<std::string> EntityTag(DataSource& store, const std::string& uri)
{
    ChildRecord record;
    if (store.stat(uri, record) != StoreStatus::Done || !record.has(ChildRecord::Kind) || record.collection ||
        !record.has(ChildRecord::Modified) || !record.has(ChildRecord::Size))
        return std::nullopt;
    auto ticks = std::chrono::duration_cast<std::chrono::nanoseconds>(record.modified.time_since_epoch()).count();
    char text[64];
    std::snprintf(text, sizeof text, "\"%llx-%llu\"", static_cast<unsigned long long>(ticks),
                  static_cast<unsigned long long>(record.size));
    return std::string(text);
}

std::string ActiveLocks(const std::vector<LockTable::Lock>& locks)
{
    std::string text;
    for (const auto& lock : locks) {
        text += "<D:activelock><D:locktype><D:write/></D:locktype><D:lockscope>";
        text += lock.shared ? "<D:shared/>" : "<D:exclusive/>";
        text += "</D:lockscope><D:depth>";
        text += lock.deep ? "infinity" : "0";
        text += "</D:depth>";
        if (!lock.owner.empty())
            text += "<D:owner>" + AsciiCharacterReferences(lock.owner) + "</D:owner>";
        text += "<D:timeout>Second-" + std::to_string(lock.timeout.count()) + "</D:timeout>";
        text += "<D:locktoken><D:href>" + lock.token + "</D:href></D:locktoken>";
        text += "<D:lockroot><D:href>" + XmlEscaped(lock.root) + "</D:href></D:lockroot></D:activelock>";
    }
    return text;
}

std::string SupportedLocks()
{
    return "<D:lockentry><D:lockscope><D:exclusive/></D:lockscope><D:locktype><D:write/></D:locktype></D:lockentry>"
           "<D:lockentry><D:lockscope><D:shared/></D:lockscope><D:locktype><D:write/></D:locktype></D:lockentry>";
}

std::optional<int> dav::lockRefusal(const Request& request, DataSource& store, const std::string& uri, bool deep)
{
    auto header = request.headers().objectForKey("If");
    std::optional<std::vector<ConditionList>> lists;
    if (header) {
        lists = ParseIf(*header);
        if (!lists)
            return 400;
    }
    LockTable& table = store.locks();
    // A header whose conditions all fail stops the request before any lock is
    // asked about.
    if (lists) {
        bool holdsAny = false;
        // The header holds when one of its lists does, and a list holds when each of
        // its conditions does on its resource (the one it is tagged with, else the
        // request's): a token names a lock in force there, an entity tag is the
        // resource's own.
        for (const auto& list : *lists) {
            std::string resource = list.resource ? *list.resource : uri;
            auto held = table.covering(resource);
            std::optional<std::optional<std::string>> tag; // asked of the store once, when needed
            bool holds = true;
            for (const auto& condition : list.conditions) {
                bool met = false;
                if (condition.token) {
                    met = std::any_of(held.begin(), held.end(),
                                      [&](const LockTable::Lock& lock) { return lock.token == condition.value; });
                } else {
                    if (!tag)
                        tag = EntityTag(store, resource);
                    std::string wanted = condition.value;
                    if (wanted.rfind("W/", 0) == 0)
                        wanted = wanted.substr(2);
                    met = *tag && **tag == wanted;
                }
                if (met == condition.negated) {
                    holds = false;
                    break;
                }
            }
            if (holds) {
                holdsAny = true;
                break;
            }
        }
        if (!holdsAny)
            return 412;
    }

    // Every lock on the resource (and below it, for a deep change) needs its token
    // named; of shared locks, one is enough.
    std::vector<std::string> named;
    if (lists)
        for (const auto& list : *lists)
            for (const auto& condition : list.conditions)
                if (condition.token && !condition.negated)
                    named.push_back(condition.value);
    auto isNamed = [&](const LockTable::Lock& lock) {
        return std::find(named.begin(), named.end(), lock.token) != named.end();
    };
    bool sharedHeld = false, sharedNamed = false;
    for (const auto& lock : table.covering(uri, deep)) {
        if (lock.shared) {
            sharedHeld = true;
            sharedNamed = sharedNamed || isNamed(lock);
        } else if (!isNamed(lock)) {
            return 423;
        }
    }
    if (sharedHeld && !sharedNamed)
        return 423;

    return std::nullopt;
}

void dav::standardLOCK(Request& request, ResponseWriter& response, DataSource& store, const std::string& body)
{
    std::string uri = request.requestURI();
    bool refresh = false;
    auto lockInfo = davxml::ReadLockInfo(body, refresh);
    if (!lockInfo && !refresh) {
        sendStandardStatus(request, response, 400);
        return;
    }
    LockTable& table = store.locks();
    auto timeout = RequestedTimeout(request.headers().objectForKey("Timeout"));
    if (refresh) {
        // The lock to refresh is the one the If header names.
        auto header = request.headers().objectForKey("If");
        auto lists = header ? ParseIf(*header) : std::nullopt;
        if (lists)
            for (const auto& list : *lists)
                for (const auto& condition : list.conditions)
                    if (condition.token && !condition.negated)
                        if (auto lock = table.refresh(uri, condition.value, timeout)) {
                            std::string text = LockAnswer(*lock);
                            response.sendText(text, 200, "OK", "OK", "application/xml; charset=\"utf-8\"");
                            return;
                        }
        sendStandardStatus(request, response, 412);
        return;
    }
    auto deep = standardDepth(request);
    if (!deep) {
        sendStandardStatus(request, response, 400);
        return;
    }
    // Refused: a head that did not arrive whole, or a name that is not text.
    if (request.headRefusal() || !changeTargetIsText(uri)) {
        sendStandardStatus(request, response, 400);
        return;
    }
    // The lock is taken first, so that a lock refused makes no file.
    auto lock = table.acquire(uri, *deep, lockInfo->shared, lockInfo->owner, timeout);
    if (!lock) {
        sendStandardStatus(request, response, 423);
        return;
    }
    bool created = false;
    int failure = 0;
    try {
        if (!store.exists(uri)) {
            // A lock on an unmapped name makes an empty file there. A store may
            // answer an empty write as nothing written; what counts is whether
            // the file is there now.
            auto empty = std::make_shared<DataSource::Data>();
            if (!store.isCollection(ParentURI(uri)) ||
                (!store.putData(empty, uri) && !store.exists(uri)))
                failure = 409;
            created = failure == 0;
        }
    } catch (...) {
        failure = 500;
    }
    if (failure) {
        table.release(uri, lock->token);
        sendStandardStatus(request, response, failure);
        return;
    }
    HeaderMap extra{{"Lock-Token", "<" + lock->token + ">"}};
    std::string text = LockAnswer(*lock);
    int status = created ? 201 : 200;
    response.sendText(text, status, StandardReason(status), "", "application/xml; charset=\"utf-8\"", &extra);
}

void dav::standardUNLOCK(Request& request, ResponseWriter& response, DataSource& store)
{
    std::string uri = request.requestURI();
    auto header = request.headers().objectForKey("Lock-Token");
    std::string token = header ? *header : "";
    size_t open = token.find('<'), close = token.rfind('>');
    if (open == std::string::npos || close == std::string::npos || close < open) {
        sendStandardStatus(request, response, 400);
        return;
    }
    token = token.substr(open + 1, close - open - 1);
    sendStandardStatus(request, response, store.locks().release(uri, token) ? 204 : 409);
}
