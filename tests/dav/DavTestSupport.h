#pragma once

// What the method tests share: a store that answers from a script and records
// every call made on it, and checks of the answer's fixed head.

#include "dav/PropFind.h"
#include "http/InProcessServer.h"
#include "platform/NamedException.h"

#include <gtest/gtest.h>

#include <map>
#include <mutex>
#include <regex>
#include <string>
#include <vector>

namespace davtest {

inline const std::string kDate = "(Mon|Tue|Wed|Thu|Fri|Sat|Sun), [0-9]{2} "
                                 "(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) [0-9]{4} "
                                 "[0-9]{2}:[0-9]{2}:[0-9]{2} GMT";

// Checks the status line and the three fixed headers, and gives what follows.
inline std::string AfterHead(const std::string& raw, const std::string& status)
{
    std::regex head("HTTP/1\\.1 " + status + "\r\nServer: Pavrix/0\\.9/2\\.2\r\nConnection: Close\r\nDate: " + kDate +
                    "\r\n");
    std::smatch m;
    if (!std::regex_search(raw, m, head, std::regex_constants::match_continuous)) {
        ADD_FAILURE() << "expected " << status << ", got: " << raw.substr(0, 400);
        return "<no such head>";
    }
    return raw.substr(static_cast<size_t>(m.length()));
}

// The head of a document answer (PROPFIND, LOCK), and the document itself.
inline std::string XMLBody(const std::string& raw, const std::string& status)
{
    std::string rest = AfterHead(raw, status);
    std::regex head("Content-type: text/xml; encoding=\"utf-8\"\r\nContent-length: ([0-9]+)\r\n\r\n");
    std::smatch m;
    if (!std::regex_search(rest, m, head, std::regex_constants::match_continuous)) {
        ADD_FAILURE() << "no document head: " << rest.substr(0, 300);
        return "<no document>";
    }
    std::string body = rest.substr(static_cast<size_t>(m.length()));
    EXPECT_EQ(std::to_string(body.size()), m[1].str());
    return body;
}

inline std::string Page(const char* title, const char* heading, const std::string& uri, const char* what)
{
    std::string page = "<!DOCTYPE HTML PUBLIC \"-//IETF//DTD HTML 2.0//EN\">\r\n<HTML><HEAD>\r\n<TITLE>" +
                       std::string(title) + "</TITLE>\r\n</HEAD><BODY>\r\n<H1>" + heading +
                       "</H1>\r\nThe requested URL " + uri + what + "<P>\r\n</BODY></HTML>";
    return "Content-type: text/html; charset=iso-8859-1\r\nContent-length: " + std::to_string(page.size()) +
           "\r\n\r\n" + page;
}
inline std::string NotFoundPage(const std::string& uri)
{
    return Page("404 Not Found", "Not Found", uri, " was not found on this server.");
}
inline std::string BusyPage(const std::string& uri) { return Page("403 Forbidden", "Forbidden", uri, " was busy."); }

// A store that answers from a script and records each call ("getChildren /v/d",
// "resourcetype /v/d/a", "delete /v/a", ...). A scripted value "!busy" or
// "!missing" raises the named exception instead, "!crash" an unnamed one.
class ScriptedStore : public DataSource {
public:
    std::map<std::string, std::map<std::string, std::string>> properties; // uri -> name -> value
    std::map<std::string, ChildList> listings;                            // uri -> children
    std::map<std::string, std::string> files;                             // uri -> content or !...
    int changeStatus = 204;
    bool putResult = true;
    std::string putBody;
    std::optional<std::string> moveDestination;

    std::vector<std::string> takeCalls()
    {
        std::lock_guard lock(mutex_);
        auto calls = std::move(calls_);
        calls_.clear();
        return calls;
    }

    ChildList getChildren(const std::string& uri) override
    {
        record("getChildren " + uri);
        auto it = listings.find(uri);
        if (it == listings.end())
            RaiseDAVNotFound();
        return it->second;
    }
    DataPtr getData(const std::string& uri) override
    {
        record("getData " + uri);
        auto it = files.find(uri);
        if (it == files.end())
            return nullptr;
        raiseIfScripted(it->second);
        return std::make_shared<Data>(it->second.begin(), it->second.end());
    }
    bool putDataFromFile(const std::string& uri, platform::SocketStream& clientFile, int32_t length) override
    {
        record("putDataFromFile " + uri + " " + std::to_string(length));
        putBody.assign(static_cast<size_t>(std::max(length, 0)), '\0');
        putBody.resize(clientFile.read(putBody.data(), putBody.size()));
        return putResult;
    }
    int delete_(const std::string& uri) override { return change("delete " + uri); }
    int mkCollection(const std::string& uri) override { return change("mkCollection " + uri); }
    int move(const std::string& uri, const std::optional<std::string>& to) override
    {
        moveDestination = to;
        return change("move " + uri);
    }

    std::optional<std::string> DAV_resourcetype(const std::string& uri) { return answer("resourcetype", uri); }
    std::optional<std::string> DAV_getlastmodified(const std::string& uri) { return answer("getlastmodified", uri); }
    std::optional<std::string> DAV_getcontentlength(const std::string& uri) { return answer("getcontentlength", uri); }
    std::optional<std::string> DAV_getcontenttype(const std::string& uri) { return answer("getcontenttype", uri); }
    std::optional<std::string> DAV_quota(const std::string& uri) { return answer("quota", uri); }
    std::optional<std::string> DAV_quotaused(const std::string& uri) { return answer("quotaused", uri); }

    const PropertyHandlerTable& propertyHandlers() const override
    {
        static const PropertyHandlerTable table(
            DataSource::classPropertyHandlers(),
            {PropertyHandlerTable::entry<ScriptedStore>("DAV_resourcetype:", &ScriptedStore::DAV_resourcetype),
             PropertyHandlerTable::entry<ScriptedStore>("DAV_getlastmodified:", &ScriptedStore::DAV_getlastmodified),
             PropertyHandlerTable::entry<ScriptedStore>("DAV_getcontentlength:", &ScriptedStore::DAV_getcontentlength),
             PropertyHandlerTable::entry<ScriptedStore>("DAV_getcontenttype:", &ScriptedStore::DAV_getcontenttype),
             PropertyHandlerTable::entry<ScriptedStore>("DAV_quota:", &ScriptedStore::DAV_quota),
             PropertyHandlerTable::entry<ScriptedStore>("DAV_quotaused:", &ScriptedStore::DAV_quotaused)});
        return table;
    }

private:
    static void raiseIfScripted(const std::string& value)
    {
        if (value == "!busy")
            RaiseDAVBusy();
        if (value == "!missing")
            RaiseDAVNotFound();
        if (value == "!crash")
            throw std::runtime_error("unexpected");
    }
    void record(const std::string& call)
    {
        std::lock_guard lock(mutex_);
        calls_.push_back(call);
    }
    int change(const std::string& call)
    {
        record(call);
        if (changeStatus < 0)
            throw std::runtime_error("store failed");
        return changeStatus;
    }
    std::optional<std::string> answer(const std::string& name, const std::string& uri)
    {
        record(name + " " + uri);
        auto it = properties.find(uri);
        if (it == properties.end())
            return std::nullopt;
        auto value = it->second.find(name);
        if (value == it->second.end())
            return std::nullopt;
        raiseIfScripted(value->second);
        return value->second;
    }

    std::mutex mutex_;
    std::vector<std::string> calls_;
};

} // namespace davtest
