#pragma once

#include <optional>
#include <string>
#include <vector>

// The request documents of PROPFIND, PROPPATCH and LOCK, read with a real XML
// parser: no entity is substituted, no external resource is loaded and a
// document with a document type declaration is refused, so that a body can
// neither reach a file nor grow without bound. Each reader answers none for a
// body that is not a well-formed document of its kind.
namespace davxml {

// A property's name: its namespace and local name.
struct Name {
    std::string space;
    std::string local;
    // "{namespace}local", the form dead properties are kept under.
    std::string clark() const { return "{" + space + "}" + local; }
    static Name fromClark(const std::string& clark);
};

struct PropfindRequest {
    enum Kind { AllProp, PropName, Prop } kind = AllProp;
    std::vector<Name> names; // for Prop; allprop's include names as well
};
std::optional<PropfindRequest> ReadPropfind(const std::string& body);

struct PropertyUpdate {
    bool remove = false;
    Name name;
    std::string value; // the property element's content as XML text (set only)
};
std::optional<std::vector<PropertyUpdate>> ReadPropertyUpdate(const std::string& body);

struct LockRequest {
    bool shared = false;
    std::string owner; // the owner element's content as XML text
};
// An empty body is a refresh: none of a request, but not malformed (`refresh` set).
std::optional<LockRequest> ReadLockInfo(const std::string& body, bool& refresh);

} // namespace davxml
