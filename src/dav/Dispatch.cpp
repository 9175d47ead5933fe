// Which method function answers a request.

#include "dav/Methods.h"

#include "log/LogClient.h"

#include <cstring>
#include <exception>

namespace {

const char* Text(const char* s) { return s ? s : "(null)"; }

using Method = void (*)(Request&, ResponseWriter&, DataSource&);

// The function of the method token, matched exactly as sent (so "get" has none);
// none for a method the daemon does not answer.
Method MethodFor(const char* token)
{
    if (!token)
        return nullptr;
    switch (token[0]) {
    case 'C':
        if (std::strcmp(token, "COPY") == 0)
            return dav::doCOPY;
        break;
    case 'D':
        if (std::strcmp(token, "DELETE") == 0)
            return dav::doDELETE;
        break;
    case 'G':
        if (std::strcmp(token, "GET") == 0)
            return dav::doGET;
        break;
    case 'H':
        if (std::strcmp(token, "HEAD") == 0)
            return dav::doHEAD;
        break;
    case 'L':
        if (std::strcmp(token, "LOCK") == 0)
            return dav::doLOCK;
        break;
    case 'M':
        if (std::strcmp(token, "MKCOL") == 0)
            return dav::doMKCOL;
        if (std::strcmp(token, "MOVE") == 0)
            return dav::doMOVE;
        break;
    case 'O':
        if (std::strcmp(token, "OPTIONS") == 0)
            return dav::doOPTIONS;
        break;
    case 'P':
        if (std::strcmp(token, "PUT") == 0)
            return dav::doPUT;
        if (std::strcmp(token, "PROPFIND") == 0)
            return dav::doPROPFIND;
        if (std::strcmp(token, "PROPPATCH") == 0)
            return dav::doPROPPATCH;
        break;
    case 'U':
        if (std::strcmp(token, "UNLOCK") == 0)
            return dav::doUNLOCK;
        break;
    }
    return nullptr;
}

} // namespace

void dav::Dispatch(Request& request, ResponseWriter& response, DataSource& store)
{
    if (gLogDebug)
        LogWithDate("about to %s %s", Text(request.command()), Text(request.path()));
    if (Method method = MethodFor(request.command())) {
        // A failure that is no report of the store (those the methods answer
        // themselves) is the daemon's own: 500, unless part of an answer is out.
        try {
            method(request, response, store);
        } catch (const std::exception&) {
            LogCaughtFailure("request failed");
            if (!response.answeredStatus())
                response.sendStatusOnly(500);
        }
    } else
        response.sendError(501, "Unsupported method");
}
