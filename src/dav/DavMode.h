#pragma once

// Whether the daemon gives standard WebDAV answers where its own differ
// (PAVRIX_STANDARD_DAV=1): the Linux desktop's clients parse answers strictly and
// need class 1 in the DAV header, every property of a propstat in one prop
// element, all properties for an empty or allprop body, and a well-formed lock
// document. One switch for the whole process: the daemon reads it once at start
// and fixes it. Until it is fixed (a test serving requests in its own process),
// each use reads the environment, so a request sees the switch as set before it.
bool StandardDavAnswers();
// The switch as the environment gives it now.
bool StandardDavAnswersFromEnvironment();
// Fixes the switch for the rest of the process.
void FixStandardDavAnswers(bool standard);
