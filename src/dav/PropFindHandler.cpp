// PROPFIND as a Connection operation: the evaluator in PropFind builds the
// document, this sends it.

#include "dav/DavMode.h"
#include "dav/PropFind.h"
#include "http/Connection.h"
#include "http/LossyASCII.h"
#include "log/LogClient.h"

void Connection::doPROPFIND()
{
    std::string body = bodyAsString();
    // Refused: a document larger than any property request is not held.
    if (bodyTooLarge()) {
        sendRefusal(413);
        return;
    }
    std::string depth = getDepth();
    std::string uri = requestURI();

    std::optional<std::string> document;
    std::optional<davxml::PropfindRequest> request;
    if (StandardDavAnswers()) {
        request = davxml::ReadPropfind(body);
        // Refused: a body that is no property request cannot say what to answer.
        if (!request) {
            sendStandardStatus(400);
            return;
        }
    }
    try {
        PropFind propFind(uri, std::nullopt, depth, *dataSource);
        propFind.readPropFind(body);
        if (request)
            propFind.readStandard(*request);
        if (gLogDebug) {
            LogWithDate("did readPropFind");
            LogWithDate("about to createResponse");
        }
        document = propFind.createResponse();
        if (gLogDebug)
            LogWithDate("did createResponse");
    } catch (...) {
        // A missing target (or anything else the store could not answer) loses
        // the whole document.
        if (gLogDebug)
            LogWithDate("createResponseFailed");
        notFound(uri);
        return;
    }
    if (!document) {
        if (gLogDebug)
            LogWithDate("doPROPFIND: no data");
        return;
    }
    // Hrefs are escaped already, so only values can lose characters here.
    document->push_back('\n');
    sendText(LossyASCII(std::move(*document)), 207, "Multi-Status", "Multiple responses");
}
