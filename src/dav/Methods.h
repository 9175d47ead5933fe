#pragma once

#include "datasource/DataSource.h"
#include "http/Request.h"
#include "http/ResponseWriter.h"

#include <string>

// The WebDAV methods, one function each: each reads what it needs of the request,
// works on the store and writes one answer through the writer.
namespace dav {

// Answers the request by its method token (matched as sent, case and all); a
// method without a function of its own is answered 501 "Unsupported method".
void Dispatch(Request& request, ResponseWriter& response, DataSource& store);

void doOPTIONS(Request& request, ResponseWriter& response, DataSource& store);
void doGET(Request& request, ResponseWriter& response, DataSource& store);
void doPUT(Request& request, ResponseWriter& response, DataSource& store);
void doDELETE(Request& request, ResponseWriter& response, DataSource& store);
void doMKCOL(Request& request, ResponseWriter& response, DataSource& store);
void doMOVE(Request& request, ResponseWriter& response, DataSource& store);
void doLOCK(Request& request, ResponseWriter& response, DataSource& store);
void doUNLOCK(Request& request, ResponseWriter& response, DataSource& store);
void doPROPFIND(Request& request, ResponseWriter& response, DataSource& store);
// Answered in the standard answers only; 501 otherwise.
void doHEAD(Request& request, ResponseWriter& response, DataSource& store);
void doCOPY(Request& request, ResponseWriter& response, DataSource& store);
void doPROPPATCH(Request& request, ResponseWriter& response, DataSource& store);

// The lock document LOCK answers with outside the standard answers.
std::string getLockResponse(const Request& request, const std::string& body);

} // namespace dav
