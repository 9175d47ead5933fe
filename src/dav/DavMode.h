#pragma once

// Whether the daemon gives standard WebDAV answers where its own differ
// (PAVRIX_STANDARD_DAV=1): the Linux desktop's clients parse answers strictly and
// need class 1 in the DAV header, every property of a propstat in one prop
// element, all properties for an empty or allprop body, and a well-formed lock
// document. One switch for the whole process, off until set: the daemon sets it
// from its options at start, before any connection is served.
bool StandardDavAnswers();
void SetStandardDavAnswers(bool standard);
