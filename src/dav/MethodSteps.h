#pragma once

// The steps the method functions share: where a change goes, whether it may go
// ahead, and the standard answers' pieces of several methods.

#include "datasource/DataSource.h"
#include "http/Request.h"
#include "http/ResponseWriter.h"

#include <optional>
#include <string>

namespace dav {

using HeaderMap = ResponseWriter::HeaderMap;

// The URI a change request (PUT, DELETE, MKCOL, MOVE) works on, or none when it
// must not run: its head did not arrive whole, or its path is not text. The
// refusal has been sent then.
std::optional<std::string> changeTarget(const Request& request, ResponseWriter& response);
// The body of a PUT as a stream for the store, or none (the refusal sent) when
// its framing says it cannot be stored whole.
platform::BodyStream* uploadBody(Request& request, ResponseWriter& response);
// Whether a path may name something a change makes or touches: its bytes, escapes
// decoded, are UTF-8 text without control characters.
bool changeTargetIsText(const std::string& uri);
// The decoded path of the Destination header, or none.
std::optional<std::string> destinationURI(const Request& request);

// --- the standard answers ---
// Whether MOVE, COPY or LOCK reach below the resource: not for a Depth of "0",
// for "infinity" or none; none for any other Depth, which is refused.
std::optional<bool> standardDepth(const Request& request);
// A status line with a standard reason and no body.
void sendStandardStatus(const Request& request, ResponseWriter& response, int code);
// MOVE or COPY with their Overwrite and Depth rules.
void standardMoveOrCopy(Request& request, ResponseWriter& response, DataSource& store, bool copy);
void standardDELETE(Request& request, ResponseWriter& response, DataSource& store);
void standardMKCOL(Request& request, ResponseWriter& response, DataSource& store);
// A folder's members as an HTML page; false when the URI is no folder.
bool sendFolderIndex(ResponseWriter& response, DataSource& store, const std::string& uri);
// The status refusing a change of `uri` (and, for `deep`, of anything below it)
// that a lock holds and the request's If header does not name; none when the
// change may go ahead.
std::optional<int> lockRefusal(const Request& request, DataSource& store, const std::string& uri, bool deep);
// Why a PUT must not run: its folder is missing (409) or a lock holds it.
std::optional<int> standardPutRefusal(const Request& request, DataSource& store, const std::string& uri);
void standardLOCK(Request& request, ResponseWriter& response, DataSource& store, const std::string& body);
void standardUNLOCK(Request& request, ResponseWriter& response, DataSource& store);

} // namespace dav
