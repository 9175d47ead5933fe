// PROPFIND: the evaluator in PropFind builds the
// document, this sends it.

#include "dav/DavMode.h"
#include "dav/MethodSteps.h"
#include "dav/Methods.h"
#include "dav/PropFind.h"
#include "http/LossyASCII.h"
#include "log/LogClient.h"

void dav::doPROPFIND(Request& request, ResponseWriter& response, DataSource& store)
{
    std::string body = request.bodyAsString();
    // Refused: a document larger than any property request is not held.
    if (request.bodyTooLarge()) {
        response.sendRefusal(413);
        return;
    }
    std::string depth = request.getDepth();
    std::string uri = request.requestURI();

    std::optional<std::string> document;
    std::optional<davxml::PropfindRequest> asked;
    if (StandardDavAnswers(store)) {
        asked = davxml::ReadPropfind(body);
        // Refused: a body that is no property request cannot say what to answer.
        if (!asked) {
            sendStandardStatus(request, response, 400);
            return;
        }
    }
    StoreStatus read = ReadOutcome([&] {
        PropFind propFind(uri, std::nullopt, depth, store);
        propFind.readPropFind(body);
        if (asked)
            propFind.readStandard(*asked);
        if (gLogDebug) {
            LogWithDate("did readPropFind");
            LogWithDate("about to createResponse");
        }
        document = propFind.createResponse();
        if (gLogDebug)
            LogWithDate("did createResponse");
    });
    if (read != StoreStatus::Done) {
        // A missing target, or a property the store reports missing, loses the
        // whole document.
        if (gLogDebug)
            LogWithDate("createResponseFailed");
        response.notFound(uri);
        return;
    }
    if (!document) {
        if (gLogDebug)
            LogWithDate("doPROPFIND: no data");
        return;
    }
    // Hrefs are escaped already, so only values can lose characters here.
    document->push_back('\n');
    response.sendText(LossyASCII(std::move(*document)), 207, "Multi-Status", "Multiple responses");
}
