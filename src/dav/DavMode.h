#pragma once

#include "datasource/DataSource.h"

// Whether the daemon gives standard WebDAV answers where its own differ
// (PAVRIX_STANDARD_DAV=1): the Linux desktop's clients parse answers strictly and
// need class 1 in the DAV header, every property of a propstat in one prop
// element, all properties for an empty or allprop body, and a well-formed lock
// document. The store a connection works on carries the choice, which the daemon
// takes from its options when it makes the store.
inline bool StandardDavAnswers(const DataSource& store) { return store.standardAnswers(); }
