#include "device/WinceDataSource.h"

std::shared_ptr<DataSource> WinceDataSource::defaultDataSource()
{
    // Until the device layer serves the device, the shared store is an empty one.
    static const std::shared_ptr<DataSource> gDataSource = std::make_shared<DataSource>();
    return gDataSource;
}
