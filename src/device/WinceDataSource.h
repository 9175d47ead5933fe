#pragma once

#include "datasource/DataSource.h"

#include <memory>

// The store over the attached device's file system.
class WinceDataSource : public DataSource {
public:
    // The process-wide shared store, made on first use and kept until exit.
    static std::shared_ptr<DataSource> defaultDataSource();
};
