#include "dav/DavXml.h"

#include <libxml/parser.h>
#include <libxml/tree.h>

#include <memory>

namespace davxml {

namespace {

constexpr const char* kDav = "DAV:";

struct DocumentFree {
    void operator()(xmlDoc* document) const { xmlFreeDoc(document); }
};
using Document = std::unique_ptr<xmlDoc, DocumentFree>;

bool Blank(const std::string& body) { return body.find_first_not_of(" \t\r\n") == std::string::npos; }

// The parsed document, or none: not well-formed, a document type declared, or no root.
Document Parse(const std::string& body)
{
    // Entities stay references (no XML_PARSE_NOENT), nothing is fetched from the
    // network and no external subset is loaded.
    int options = XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING | XML_PARSE_NOCDATA;
    xmlParserCtxt* context = xmlNewParserCtxt();
    if (!context)
        return nullptr;
    Document document(
        xmlCtxtReadMemory(context, body.data(), static_cast<int>(body.size()), "request.xml", nullptr, options));
    // A namespace error (a prefix bound to the empty name) is as malformed as any.
    bool wellFormed = context->wellFormed && context->nsWellFormed;
    xmlFreeParserCtxt(context);
    if (!document || !wellFormed || document->intSubset || document->extSubset ||
        !xmlDocGetRootElement(document.get()))
        return nullptr;
    return document;
}

bool Is(const xmlNode* node, const char* local)
{
    return node && node->type == XML_ELEMENT_NODE && node->ns && node->ns->href &&
           xmlStrcmp(node->ns->href, BAD_CAST kDav) == 0 && xmlStrcmp(node->name, BAD_CAST local) == 0;
}

std::vector<xmlNode*> Elements(const xmlNode* parent)
{
    std::vector<xmlNode*> elements;
    for (xmlNode* child = parent ? parent->children : nullptr; child; child = child->next)
        if (child->type == XML_ELEMENT_NODE)
            elements.push_back(child);
    return elements;
}

Name NameOf(const xmlNode* node)
{
    Name name;
    if (node->ns && node->ns->href)
        name.space = reinterpret_cast<const char*>(node->ns->href);
    name.local = reinterpret_cast<const char*>(node->name);
    return name;
}

// The content of an element as XML text, every namespace its elements use
// declared within it, so that it reads the same wherever it is written.
std::string ContentOf(xmlDoc* document, xmlNode* node)
{
    std::string text;
    for (xmlNode* child = node->children; child; child = child->next) {
        xmlNode* copy = xmlDocCopyNode(child, document, 1);
        if (!copy)
            continue;
        // An element is detached, so that the declarations it needs are made on itself.
        xmlNode* holder = nullptr;
        if (copy->type == XML_ELEMENT_NODE) {
            holder = xmlNewDocNode(document, nullptr, BAD_CAST "holder", nullptr);
            xmlAddChild(holder, copy);
            xmlReconciliateNs(document, copy);
        }
        xmlBuffer* buffer = xmlBufferCreate();
        xmlNodeDump(buffer, document, copy, 0, 0);
        text.append(reinterpret_cast<const char*>(xmlBufferContent(buffer)),
                    static_cast<size_t>(xmlBufferLength(buffer)));
        xmlBufferFree(buffer);
        if (holder) {
            xmlUnlinkNode(holder);
            xmlFreeNode(holder); // and the copy it holds
        } else {
            xmlFreeNode(copy);
        }
    }
    return text;
}

} // namespace

Name Name::fromClark(const std::string& clark)
{
    Name name;
    size_t close = clark.find('}');
    if (!clark.empty() && clark.front() == '{' && close != std::string::npos) {
        name.space = clark.substr(1, close - 1);
        name.local = clark.substr(close + 1);
    } else {
        name.local = clark;
    }
    return name;
}

std::optional<PropfindRequest> ReadPropfind(const std::string& body)
{
    PropfindRequest request;
    if (Blank(body))
        return request;
    Document document = Parse(body);
    xmlNode* root = document ? xmlDocGetRootElement(document.get()) : nullptr;
    if (!Is(root, "propfind"))
        return std::nullopt;
    bool chosen = false;
    for (xmlNode* element : Elements(root)) {
        if (Is(element, "allprop")) {
            request.kind = PropfindRequest::AllProp;
            chosen = true;
        } else if (Is(element, "propname")) {
            request.kind = PropfindRequest::PropName;
            chosen = true;
        } else if (Is(element, "prop")) {
            request.kind = PropfindRequest::Prop;
            chosen = true;
            for (xmlNode* property : Elements(element))
                request.names.push_back(NameOf(property));
        }
    }
    if (!chosen)
        return std::nullopt;
    return request;
}

std::optional<std::vector<PropertyUpdate>> ReadPropertyUpdate(const std::string& body)
{
    Document document = Parse(body);
    xmlNode* root = document ? xmlDocGetRootElement(document.get()) : nullptr;
    if (!Is(root, "propertyupdate"))
        return std::nullopt;
    std::vector<PropertyUpdate> updates;
    for (xmlNode* action : Elements(root)) {
        bool remove = Is(action, "remove");
        if (!remove && !Is(action, "set"))
            continue;
        for (xmlNode* prop : Elements(action)) {
            if (!Is(prop, "prop"))
                continue;
            for (xmlNode* property : Elements(prop)) {
                PropertyUpdate update;
                update.remove = remove;
                update.name = NameOf(property);
                if (!remove)
                    update.value = ContentOf(document.get(), property);
                updates.push_back(std::move(update));
            }
        }
    }
    if (updates.empty())
        return std::nullopt;
    return updates;
}

std::optional<LockRequest> ReadLockInfo(const std::string& body, bool& refresh)
{
    refresh = Blank(body);
    if (refresh)
        return std::nullopt;
    Document document = Parse(body);
    xmlNode* root = document ? xmlDocGetRootElement(document.get()) : nullptr;
    if (!Is(root, "lockinfo"))
        return std::nullopt;
    LockRequest request;
    bool scope = false, type = false;
    for (xmlNode* element : Elements(root)) {
        if (Is(element, "lockscope")) {
            for (xmlNode* kind : Elements(element)) {
                if (Is(kind, "shared")) {
                    request.shared = true;
                    scope = true;
                } else if (Is(kind, "exclusive")) {
                    scope = true;
                }
            }
        } else if (Is(element, "locktype")) {
            for (xmlNode* kind : Elements(element))
                type = type || Is(kind, "write");
        } else if (Is(element, "owner")) {
            request.owner = ContentOf(document.get(), element);
        }
    }
    if (!scope || !type)
        return std::nullopt;
    return request;
}

} // namespace davxml
