// A PROPFIND body and Depth as any client may send them, answered over a local
// store whose names hold XML's own characters, in the daemon's own answers and in
// the standard ones. Property: every document it builds is well-formed XML (read by
// libxml2), and each href in it names a member of the store.

#include "FuzzSupport.h"

#include "datasource/UnixTmpDirDataSource.h"
#include "dav/DavMode.h"
#include "dav/PropFind.h"

#include <libxml/parser.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace {

struct Store {
    std::string root = fuzzsupport::ScratchFolder();
    Store()
    {
        for (const char* name : {"a.txt", "Tom&Jerry.txt", "x<y>z", "quote\"d", "caf\xC3\xA9", "sub"}) {
            if (std::string(name) == "sub")
                std::filesystem::create_directory(root + "/sub");
            else
                std::ofstream(root + "/" + name) << "content";
        }
    }
};

bool WellFormed(const std::string& document)
{
    xmlDocPtr doc = xmlReadMemory(document.data(), static_cast<int>(document.size()), "answer.xml", nullptr,
                                  XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
    if (!doc)
        return false;
    xmlFreeDoc(doc);
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static Store store;
    auto parts = fuzzsupport::SplitInput(data, size, 3);
    const std::string& depth = parts[0];
    const std::string& body = parts[1];
    const bool standard = !parts[2].empty() && (parts[2][0] & 1);
    for (const char* uri : {"/vol/", "/vol/sub/", "/vol/a.txt"}) {
        // A store of its own for each answer: no listing kept from the last input.
        UnixTmpDirDataSource fresh(store.root);
        fresh.setStandardAnswers(standard);
        PropFind propFind(uri, std::nullopt, depth, fresh);
        propFind.readPropFind(body);
        std::optional<std::string> document;
        // A report of a missing resource is answered as not found; any other
        // failure is a finding.
        if (ReadOutcome([&] { document = propFind.createResponse(); }) != StoreStatus::Done)
            continue;
        if (document)
            FUZZ_CHECK(WellFormed(*document));
    }
    return 0;
}
