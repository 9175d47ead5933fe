#pragma once

#include "datasource/DataSource.h"
#include "dav/DavXml.h"

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// Answers one PROPFIND: picks the requested property names out of the body (as
// plain text, not as XML), asks the store for their values and writes the
// multistatus document.
class PropFind {
public:
    // Found properties in the order they were asked for, each name at most once.
    using FoundMap = std::vector<std::pair<std::string, std::string>>;
    using MissingList = std::vector<std::string>;

    // The names looked for in a request body, in the order they are answered.
    static const std::vector<std::string>& knownProperties();

    // `dc` is never used. Leading blanks of the depth
    // are dropped. The store is not owned.
    PropFind(const std::string& uri, const std::optional<std::string>& dc, const std::string& depth,
             DataSource& dataSource);

    void readPropFind(const std::string& body);
    // The standard answers' reading of a parsed body: names outside DAV: are dead
    // properties ("{namespace}name"); allprop adds every dead property a resource has.
    void readStandard(const davxml::PropfindRequest& request);
    // The document, or none for the forms that are not answered.
    std::optional<std::string> createResponse();
    std::string createProp();
    void createPropName();
    void createAllProp();
    void getPropValues(const std::string& uri, const DataSource::ChildRecord* child, FoundMap& goodProps,
                       MissingList& badProps);
    std::string mkPropResponse(const std::string& uri, const FoundMap& goodProps, const MissingList& badProps);
    // The same, appended to `text`.
    void appendPropResponse(std::string& text, const std::string& uri, const FoundMap& goodProps,
                            const MissingList& badProps) const;
    // The href text: ASCII URIs unchanged, others escaped byte by byte.
    static std::string encodeURI(const std::string& uri);
    // HrefElementText(encodeURI(uri)) appended to `text`.
    static void AppendHrefText(std::string& text, const std::string& uri);

    const std::vector<std::string>& getPropList() const { return propList; }
    int getRequestType() const { return requestType; }
    const std::string& getDepth() const { return depth; }

private:
    // Whether every name asked is a field a listing's record may hold.
    bool answersFromRecords() const;
    // The fixed text of a member's response around its href and each value, made
    // once for all the members of one answer.
    struct RecordLayout {
        struct Part {
            std::string open, close; // around the value
            RecordProperty property;
        };
        std::string afterHref;
        std::vector<Part> parts;
        std::string tail;
    };
    RecordLayout recordLayout() const;
    // A member's response written from its record alone, as appendPropResponse
    // writes it; false, with nothing appended, when the record lacks a field asked.
    static bool AppendRecordResponse(std::string& text, const DataSource::ChildRecord& record,
                                     const RecordLayout& layout, platform::HTTPDateMemo& dates);

    std::string depth;
    std::string baseURI;
    DataSource* dataSource;
    int requestType = 0;
    std::vector<std::string> propList;
    bool standard; // the standard answers (see DavMode.h), fixed for one request
    // allprop or propname in the standard answers: every dead property the
    // resource has is answered (or named) too.
    bool everyDeadProperty = false;
};
