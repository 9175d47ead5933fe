// The device store's mapping between request URIs and device paths.

#include "device/DeviceFileStore.h"

#include "datasource/HrefEscaping.h"
#include "log/LogClient.h"
#include "platform/TextEncoding.h"

#include <algorithm>
#include <cstdio>

namespace {

using platform::TextEncoding;

// Bytes that are not text in any encoding we know, read as ASCII. A byte past
// ASCII becomes U+FFFD rather than "?", which a device find would take as a
// wildcard.
std::string AsciiReading(const std::string& bytes)
{
    std::string text;
    for (char c : bytes) {
        if (static_cast<unsigned char>(c) < 0x80)
            text += c;
        else
            text += "\xEF\xBF\xBD";
    }
    return text;
}

std::string DescribeBytes(const std::string& bytes)
{
    std::string text = "<";
    char hex[3];
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (i > 0 && i % 4 == 0)
            text += ' ';
        std::snprintf(hex, sizeof hex, "%02x", static_cast<unsigned char>(bytes[i]));
        text += hex;
    }
    return text + ">";
}

// The path after the volume segment as device path bytes. Decoding comes after
// the separators are made: "%2F" stays inside a name, "%5C" separates like a
// backslash.
std::string DecodeDevicePath(std::string_view rest)
{
    std::string path(rest);
    std::replace(path.begin(), path.end(), '/', '\\');
    while (path.size() >= 2 && path.back() == '\\')
        path.pop_back();
    // Most paths hold no escape, and decoding would only copy them.
    return path.find('%') == std::string::npos ? path : PercentDecode(path);
}

// How decoded path bytes read as text: as UTF-8 when they are, through the
// encoding chosen for them and back.
struct PathText {
    std::optional<std::string> utf8;
    TextEncoding encoding;
    std::optional<std::string> roundTrip;

    bool readable() const { return (roundTrip && !roundTrip->empty()) || utf8; }
    const std::string& text() const { return roundTrip && !roundTrip->empty() ? *roundTrip : *utf8; }
};

// Names the device can store in the older single-byte encoding take it; others
// take the system's.
PathText ChooseEncoding(const std::string& bytes)
{
    PathText reading;
    if (platform::IsValidUTF8(bytes))
        reading.utf8 = bytes;
    reading.encoding =
        reading.utf8 && platform::CanConvertText(*reading.utf8, TextEncoding::UTF8, TextEncoding::MacOSRoman)
            ? TextEncoding::MacOSRoman
            : platform::kSystemTextEncoding;
    if (reading.utf8)
        if (auto encoded = platform::ConvertText(*reading.utf8, TextEncoding::UTF8, reading.encoding))
            reading.roundTrip = platform::ConvertText(*encoded, reading.encoding, TextEncoding::UTF8);
    return reading;
}

void LogMapping(const std::string& rest, const std::string& bytes, const PathText& reading)
{
    const char* encodingName = platform::TextEncodingDisplayName(reading.encoding);
    LogWithDate("uriToLocal: %@", rest.c_str());
    LogWithDate("uriToLocal - encoding: %@", encodingName);
    if (reading.readable()) {
        LogWithDate("uriToLocal(%@)=%@", reading.roundTrip ? reading.roundTrip->c_str() : "(null)",
                    reading.utf8 ? reading.utf8->c_str() : "(null)");
        LogWithDate("Encoding: %@", encodingName);
    } else {
        LogWithDate("uriToLocal(%@)=%@", DescribeBytes(bytes).c_str(), AsciiReading(bytes).c_str());
    }
}

} // namespace

std::optional<std::string> DeviceFileStore::uriToLocal(const std::string& uri)
{
    size_t slash = uri.size() > 1 ? uri.find('/', 1) : std::string::npos;
    if (slash == std::string::npos)
        return std::nullopt;
    // Every volume segment names the same device tree; the first one seen by a
    // request that worked names the children of every listing (requestEnded).
    if (!prefix && !tentativePrefix)
        tentativePrefix = uri.substr(0, slash);

    // Each mapping is logged when debugging, so none is skipped then.
    if (!gLogDebug && lastMappedPath && uri == lastMappedUri)
        return lastMappedPath;
    const std::string_view rest = std::string_view(uri).substr(slash);
    std::string bytes = DecodeDevicePath(rest);
    // ASCII reads as itself in every encoding: the readings below would give the
    // same bytes back, through four copies.
    if (!gLogDebug && std::all_of(bytes.begin(), bytes.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; })) {
        lastMappedPath = std::move(bytes);
    } else {
        const PathText reading = ChooseEncoding(bytes);
        if (gLogDebug)
            LogMapping(std::string(rest), bytes, reading);
        lastMappedPath = reading.readable() ? reading.text() : AsciiReading(bytes);
    }
    lastMappedUri = uri;
    return lastMappedPath;
}

std::string DeviceFileStore::localToUri(const std::string& devicePath)
{
    // Escaping turns every backslash into %5C, which then becomes "/".
    std::string escaped = BackslashEscapesToSlashes(EscapeHrefBytes(devicePath));
    if (gLogDebug)
        LogWithDate("localToUri: %@ %@", devicePath.c_str(), escaped.c_str());

    std::string base = prefix.value_or(tentativePrefix.value_or(std::string()));
    while (!base.empty() && base.back() == '/')
        base.pop_back();
    std::string tail = escaped;
    if (!tail.empty() && tail.front() == '/')
        tail.erase(0, 1);
    return base + "/" + tail;
}

std::optional<std::string> DeviceFileStore::uriToLocalForRead(const std::string& uri)
{
    // The bare volume ("/Device") names the root for reads, as "/Device/" does:
    // some clients ask for the folder they mount without its trailing slash.
    // Changes aimed at it stay refused without a device call.
    bool bareVolume = uri.size() > 1 && uri[0] == '/' && uri.find('/', 1) == std::string::npos;
    return uriToLocal(bareVolume ? uri + "/" : uri);
}

std::string DeviceFileStore::devicePathForRead(const std::string& uri)
{
    auto path = uriToLocalForRead(uri);
    if (!path)
        RaiseDAVNotFound();
    return std::move(*path);
}

bool DeviceFileStore::isRoot(const std::string& uri) { return devicePathForRead(uri) == "\\"; }

void DeviceFileStore::requestEnded(bool worked)
{
    if (worked && !prefix)
        prefix = tentativePrefix;
    tentativePrefix.reset();
}
