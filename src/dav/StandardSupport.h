#pragma once

#include "datasource/LockTable.h"

#include <functional>
#include <optional>
#include <string>
#include <vector>

// Small rules shared by the method handlers, most of them by the standard answers'.

class DataSource;

// The status a store change answers; a store that throws instead has failed in a
// way it did not report, which the client learns as an internal error (500).
int StatusOfChange(const std::function<int()>& change);

// The standard reason text of a status the standard answers give.
const char* StandardReason(int code);
// The URI without its trailing "/" (the bare root keeps one).
std::string WithoutTrailingSlash(const std::string& uri);
// The folder holding the resource, ending in "/": "/Device/a/b" -> "/Device/a/".
std::string ParentURI(const std::string& uri);
// The last segment of the URI, without a trailing "/".
std::string LastSegment(const std::string& uri);
// Whether `inner` names `outer` or something below it, as the device matches names.
bool SameOrBelow(const std::string& inner, const std::string& outer);
// The text escaped for XML character data and attribute values.
std::string XmlEscaped(const std::string& text);
// UTF-8 text with every character past ASCII as a numeric character reference,
// so that a document keeps it through an ASCII-only channel.
std::string AsciiCharacterReferences(const std::string& text);
// A path with every byte but the unreserved ones and "/" percent-escaped.
std::string UriEscaped(const std::string& path);
// The content type a file's name extension says; octet-stream when it says none.
const char* ContentTypeForName(const std::string& uri);

// The activelock elements of the locks, for a lockdiscovery property or answer.
std::string ActiveLocks(const std::vector<LockTable::Lock>& locks);
// The supportedlock property's content: exclusive and shared write locks.
std::string SupportedLocks();

// A file's entity tag: its modification time and size, quoted; none for a folder
// or a resource the store cannot answer for.
std::optional<std::string> EntityTag(DataSource& store, const std::string& uri);
