#include "dav/PropFind.h"

#include "datasource/HrefEscaping.h"
#include "dav/DavMode.h"
#include "dav/StandardSupport.h"
#include "log/LogClient.h"

#include <algorithm>

namespace {

constexpr int kPropNameRequest = 2;
constexpr int kPropRequest = 3;


// A record as the log shows it: each property it holds, by name in alphabetical order.
std::string Describe(const DataSource::ChildRecord& record)
{
    std::string text = "{";
    for (const char* key :
         {"accesstime", "attributes", "creationdate", "getcontentlength", "getlastmodified", "name", "resourcetype"})
        if (auto value = PropertyOfRecord(record, key))
            text += std::string(key) + " = \"" + *value + "\"; ";
    return text + "}";
}

// A dead property's element, its namespace declared on itself.
std::string OpenDeadElement(const std::string& clark)
{
    auto name = davxml::Name::fromClark(clark);
    if (name.space.empty())
        return "<" + name.local + " xmlns=\"\">";
    return "<P:" + name.local + " xmlns:P=\"" + XmlEscaped(name.space) + "\">";
}

std::string CloseDeadElement(const std::string& clark)
{
    auto name = davxml::Name::fromClark(clark);
    return name.space.empty() ? "</" + name.local + ">" : "</P:" + name.local + ">";
}

} // namespace

const std::vector<std::string>& PropFind::knownProperties()
{
    static const std::vector<std::string> names{"resourcetype", "getlastmodified", "getcontentlength", "quota",
                                                "quotaused"};
    return names;
}

PropFind::PropFind(const std::string& uri, const std::optional<std::string>& /*dc*/, const std::string& depth,
                   DataSource& dataSource)
    : depth(depth.substr(std::min(depth.find_first_not_of(' '), depth.size()))), baseURI(uri),
      dataSource(&dataSource), standard(StandardDavAnswers(dataSource))
{
}

void PropFind::readPropFind(const std::string& body)
{
    for (const auto& name : knownProperties())
        if (body.find(name) != std::string::npos)
            propList.push_back(name);
    requestType = kPropRequest;
    if (!standard)
        return;
    // An empty body asks for all properties, as allprop does: the live ones, not
    // quota and quotaused, which allprop leaves out (and which would cost device
    // calls for every member); propname asks for the names of them all.
    bool empty = body.find_first_not_of(" \t\r\n") == std::string::npos;
    if (empty || body.find("allprop") != std::string::npos)
        propList = {"resourcetype", "getlastmodified", "getcontentlength"};
    if (body.find("propname") != std::string::npos) {
        propList = knownProperties();
        requestType = kPropNameRequest;
    }
}

void PropFind::readStandard(const davxml::PropfindRequest& request)
{
    requestType = request.kind == davxml::PropfindRequest::PropName ? kPropNameRequest : kPropRequest;
    propList.clear();
    if (request.kind == davxml::PropfindRequest::PropName) {
        propList = knownProperties();
        everyDeadProperty = true;
        return;
    }
    if (request.kind == davxml::PropfindRequest::AllProp) {
        // The live properties allprop gives (not quota and quotaused), and every
        // dead one.
        propList = {"resourcetype", "getlastmodified", "getcontentlength"};
        everyDeadProperty = true;
        return;
    }
    for (const auto& name : request.names) {
        std::string key = name.space == "DAV:" ? name.local : name.clark();
        if (std::find(propList.begin(), propList.end(), key) == propList.end())
            propList.push_back(key);
    }
}

std::optional<std::string> PropFind::createResponse()
{
    if (gLogDebug)
        LogWithDate("createResponse start");
    if (requestType == kPropNameRequest) {
        // The names come out as a listing whose values are all empty.
        if (standard)
            return createProp();
        createPropName();
        return std::nullopt;
    }
    if (requestType == kPropRequest)
        return createProp();
    createAllProp();
    return std::nullopt;
}

void PropFind::createPropName()
{
    if (gLogDebug)
        LogWithDate("createPropName end");
}

void PropFind::createAllProp()
{
    if (gLogDebug)
        LogWithDate("createAllProp end");
}

std::string PropFind::createProp()
{
    if (gLogDebug)
        LogWithDate("createProp start");
    std::string text = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<D:multistatus xmlns:D=\"DAV:\">";
    if (depth != "0" && depth != "1") {
        // Depth infinity (the default) is answered with an empty listing.
        text += "</D:multistatus>\n";
        if (gLogDebug)
            LogWithDate("createProp end: %@", text.c_str());
        return text;
    }
    if (gLogDebug) {
        LogWithDate("depth 0 or 1");
        LogWithDate("about to getPropValues");
    }

    // In standard answers the space is one figure for the whole answer, read
    // once rather than twice for every member.
    struct SpaceSharing {
        DataSource* store;
        bool on;
        ~SpaceSharing()
        {
            if (on)
                store->shareSpaceWithinAnswer(false);
        }
    } sharing{dataSource, standard};
    if (standard)
        dataSource->shareSpaceWithinAnswer(true);

    // A member of the last listing takes what its record holds from there.
    const DataSource::ChildRecord* cached = dataSource->keptChild(baseURI);
    if (cached && gLogDebug)
        LogWithDate("Found data in cache: %@", Describe(*cached).c_str());
    FoundMap goodProps;
    MissingList badProps;
    getPropValues(baseURI, cached, goodProps, badProps);
    if (gLogDebug) {
        LogWithDate("did getPropValues");
        LogWithDate("about to mkPropResponse");
    }
    appendPropResponse(text, baseURI, goodProps, badProps);
    if (gLogDebug) {
        LogWithDate("baseURI: %@", baseURI.c_str());
        LogWithDate("did mkPropResponse");
    }

    if (depth == "1") {
        if (gLogDebug)
            LogWithDate("depth 1");
        // The records are kept as they are and the answer is built from there.
        const DataSource::ChildList& children = dataSource->listAndKeep(baseURI);
        // Each member's element is a few hundred bytes: one allocation, not a dozen.
        text.reserve(text.size() + 512 * (children.size() + 1));
        // When every name asked is a field of the records, each member is written
        // straight from its record, with no list of values in between.
        const bool fromRecords = answersFromRecords();
        const RecordLayout layout = fromRecords ? recordLayout() : RecordLayout{};
        platform::HTTPDateMemo dates;
        for (const auto& child : children) {
            if (fromRecords && AppendRecordResponse(text, child, layout, dates))
                continue;
            const std::string& name = child.name;
            if (gLogDebug)
                LogWithDate("do child %s", name.c_str());
            FoundMap childGood;
            MissingList childBad;
            if (gLogDebug)
                LogWithDate("about to getPropValues");
            getPropValues(name, &child, childGood, childBad);
            if (gLogDebug) {
                LogWithDate("did getPropValues");
                LogWithDate("about to mkPropResponse");
            }
            appendPropResponse(text, name, childGood, childBad);
            if (gLogDebug)
                LogWithDate("did mkPropResponse");
        }
        if (gLogDebug)
            LogWithDate("done with children");
    }

    text += "</D:multistatus>\n";
    if (gLogDebug)
        LogWithDate("createProp end: %@", text.c_str());
    return text;
}

void PropFind::getPropValues(const std::string& uri, const DataSource::ChildRecord* child, FoundMap& goodProps,
                             MissingList& badProps)
{
    if (gLogDebug)
        LogWithDate("getPropValues start");
    // Dead properties and locks, asked of the store only when a name needs them.
    std::optional<DataSource::DeadProperties> dead;
    auto deadOnes = [&]() -> const DataSource::DeadProperties& {
        if (!dead)
            dead = dataSource->deadProperties(uri);
        return *dead;
    };
    std::vector<std::string> names = propList;
    if (standard && everyDeadProperty)
        for (const auto& [key, value] : deadOnes())
            names.push_back(key);
    for (const auto& name : names) {
        if (requestType == kPropNameRequest) {
            goodProps.emplace_back(name, "");
            continue;
        }
        std::optional<std::string> value;
        std::optional<std::string> fromRecord = child ? PropertyOfRecord(*child, name) : std::nullopt;
        if (standard && !name.empty() && name.front() == '{') {
            for (const auto& [key, deadValue] : deadOnes())
                if (key == name)
                    value = AsciiCharacterReferences(deadValue);
        } else if (standard && name == "lockdiscovery") {
            value = ActiveLocks(dataSource->locks().covering(uri));
        } else if (standard && name == "supportedlock") {
            value = SupportedLocks();
        } else if (standard && name == "getetag") {
            value = EntityTag(*dataSource, uri);
        } else if (standard && name == "getcontenttype") {
            // A file's type from its name, as GET gives it; a folder has none.
            if (!dataSource->isCollection(uri))
                value = ContentTypeForName(uri);
        } else if (fromRecord) {
            value = std::move(fromRecord);
            if (gLogDebug)
                LogWithDate("about to getProperty from child: %s", name.c_str());
        } else {
            if (gLogDebug)
                LogWithDate("about to getProperty from datasource: %s", name.c_str());
            value = dataSource->getProperty(name, uri);
        }
        if (gLogDebug)
            LogWithDate("did getProperty: %s", name.c_str());
        if (value) {
            bool replaced = false;
            for (auto& [key, found] : goodProps)
                if (key == name) {
                    found = *value;
                    replaced = true;
                }
            if (!replaced)
                goodProps.emplace_back(name, *value);
        } else if (std::find(badProps.begin(), badProps.end(), name) == badProps.end()) {
            badProps.push_back(name);
        }
        if (gLogDebug)
            LogWithDate("added to props: %s", name.c_str());
    }
    if (gLogDebug)
        LogWithDate("getPropValues end");
}

bool PropFind::answersFromRecords() const
{
    // The debug log tells each member's steps, which only the general way takes.
    if (gLogDebug || requestType != kPropRequest || (standard && everyDeadProperty))
        return false;
    for (const auto& name : propList)
        if (name != "resourcetype" && name != "getlastmodified" && name != "getcontentlength" &&
            name != "creationdate" && name != "accesstime" && name != "attributes" && name != "name")
            return false;
    return true;
}

PropFind::RecordLayout PropFind::recordLayout() const
{
    // The same bytes appendPropResponse writes when every property is found.
    RecordLayout layout;
    layout.afterHref = "</D:href>\n";
    if (!propList.empty()) {
        layout.afterHref += standard ? "\t<D:propstat>\n\t\t<D:prop>\n" : "\t<D:propstat>\n";
        for (const auto& name : propList)
            layout.parts.push_back({(standard ? "\t\t\t<ns0:" : "\t\t<D:prop>\n\t\t\t<ns0:") + name + '>',
                                    "</ns0:" + name + (standard ? ">\n" : ">\n\t\t</D:prop>\n"),
                                    RecordPropertyOf(name)});
        layout.tail = standard ? "\t\t</D:prop>\n\t\t<D:status>HTTP/1.1 200 OK</D:status>\n\t</D:propstat>\n"
                               : "\t\t<D:status>HTTP/1.1 200 OK</D:status>\n\t</D:propstat>\n";
    }
    layout.tail += "</D:response>\n";
    return layout;
}

bool PropFind::AppendRecordResponse(std::string& text, const DataSource::ChildRecord& record,
                                    const RecordLayout& layout, platform::HTTPDateMemo& dates)
{
    const size_t start = text.size();
    text += "<D:response xmlns:ns0='DAV:'>\n\t<D:href>";
    AppendHrefText(text, record.name);
    text += layout.afterHref;
    for (const auto& part : layout.parts) {
        text += part.open;
        if (!AppendRecordProperty(text, record, part.property, dates)) {
            text.resize(start); // a field the record lacks: the general way asks the store
            return false;
        }
        text += part.close;
    }
    text += layout.tail;
    return true;
}

void PropFind::AppendHrefText(std::string& text, const std::string& uri)
{
    // Most URIs (every listed member's, escaped already) need nothing done: one
    // pass finds that out, and they are copied whole.
    auto plain = [](unsigned char c) { return c >= 0x20 && c < 0x80 && c != '&' && c != '<' && c != '>'; };
    if (std::all_of(uri.begin(), uri.end(), plain)) {
        text += uri;
        return;
    }
    for (unsigned char c : uri)
        if (c >= 0x80) {
            AppendHrefElementText(text, encodeURI(uri));
            return;
        }
    // An ASCII URI goes as it is, with only the element text's escapes.
    AppendHrefElementText(text, uri);
}

std::string PropFind::mkPropResponse(const std::string& uri, const FoundMap& goodProps, const MissingList& badProps)
{
    std::string text;
    appendPropResponse(text, uri, goodProps, badProps);
    return text;
}

void PropFind::appendPropResponse(std::string& text, const std::string& uri, const FoundMap& goodProps,
                                  const MissingList& badProps) const
{
    // Appended piece by piece: a listing writes one of these per member.
    auto add = [&text](std::initializer_list<std::string_view> pieces) {
        for (std::string_view piece : pieces)
            text.append(piece);
    };
    add({"<D:response xmlns:ns0='DAV:'>\n\t<D:href>", HrefElementText(encodeURI(uri)), "</D:href>\n"});
    // Each property in a prop element of its own; in the standard form all of a
    // propstat's properties share one, since strict clients read only the last.
    const std::string_view prop = "\t\t<D:prop>\n", endProp = "\t\t</D:prop>\n";
    const std::string_view shared = standard ? prop : "", sharedEnd = standard ? endProp : "";
    const std::string_view each = standard ? "" : prop, eachEnd = standard ? "" : endProp;
    if (!goodProps.empty()) {
        add({"\t<D:propstat>\n", shared});
        for (const auto& [name, value] : goodProps) {
            if (!name.empty() && name.front() == '{') {
                add({each, "\t\t\t", OpenDeadElement(name), value, CloseDeadElement(name), "\n", eachEnd});
                continue;
            }
            add({each, "\t\t\t<ns0:", name, ">", value, "</ns0:", name, ">\n", eachEnd});
        }
        add({sharedEnd, "\t\t<D:status>HTTP/1.1 200 OK</D:status>\n\t</D:propstat>\n"});
    }
    if (!badProps.empty()) {
        add({"\t<D:propstat>\n", shared});
        for (const auto& name : badProps) {
            if (!name.empty() && name.front() == '{') {
                add({each, "\t\t\t", OpenDeadElement(name), CloseDeadElement(name), "\n", eachEnd});
                continue;
            }
            add({each, "\t\t\t<ns0:", name, "/>\n", eachEnd});
        }
        add({sharedEnd, "\t\t<D:status>HTTP/1.1 404 Not Found</D:status>\n\t</D:propstat>\n"});
    }
    text.append("</D:response>\n");
}

std::string PropFind::encodeURI(const std::string& uri)
{
    bool ascii = true;
    for (unsigned char c : uri)
        if (c >= 0x80)
            ascii = false;
    std::string result;
    if (ascii) {
        result = uri;
    } else {
        // A backslash of a device name comes out as a folder separator.
        result = BackslashEscapesToSlashes(EscapeHrefBytes(uri));
    }
    if (gLogDebug)
        LogWithDate("encodeURI: %@ %@", uri.c_str(), result.c_str());
    return result;
}
