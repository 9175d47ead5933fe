#pragma once

// What the method tests share: a local directory store that counts what it is
// asked, served one request at a time in the test's thread, and the checks of
// a document answer's head.

#include "datasource/StoreTestHelpers.h"
#include "datasource/UnixTmpDirDataSource.h"
#include "dav/DavMode.h"
#include "dav/Methods.h"
#include "dav/PropFind.h"
#include "http/ServeOne.h"

#include <cstdlib>
#include <sys/stat.h>

namespace davtest {

using namespace httptest;
using namespace testsupport;
using storetest::SetTime;

// The standard answers from `store`, for one test (the daemon sets them from its options).
struct StandardAnswers {
    explicit StandardAnswers(DataSource& store) : store(store) { store.setStandardAnswers(true); }
    ~StandardAnswers() { store.setStandardAnswers(false); }
    StandardAnswers(const StandardAnswers&) = delete;
    StandardAnswers& operator=(const StandardAnswers&) = delete;
    DataSource& store;
};

// Counts the property values it works out, so that a value taken from a
// listing's record is told apart from one asked of the store.
class CountingStore : public UnixTmpDirDataSource {
public:
    using UnixTmpDirDataSource::UnixTmpDirDataSource;
    StoreStatus stat(const std::string& uri, ChildRecord& record) override
    {
        ++asked;
        return UnixTmpDirDataSource::stat(uri, record);
    }
    std::optional<Date> getLastModified(const std::string& uri) override
    {
        ++asked;
        return UnixTmpDirDataSource::getLastModified(uri);
    }
    int asked = 0;
};

struct LocalStore : ::testing::Test {
    TempDir root;
    std::shared_ptr<CountingStore> store = std::make_shared<CountingStore>(root.path());
    std::string request(const std::string& raw)
    {
        return ServeOne(raw, [&](Request& request, ResponseWriter& response) {
            if (!response.answeredStatus())
                dav::Dispatch(request, response, *store);
        });
    }
};

// The head of a document answer (PROPFIND, LOCK), and the document itself.
inline std::string XMLBody(const std::string& raw, const std::string& status)
{
    std::string rest = AfterHead(raw, status);
    size_t end = std::min(rest.find("\r\n\r\n") + 4, rest.size());
    EXPECT_EQ(rest.substr(0, end), "Content-type: text/xml; encoding=\"utf-8\"\r\nContent-length: " +
                                       std::to_string(rest.size() - end) + "\r\n\r\n");
    return rest.substr(end);
}

} // namespace davtest
