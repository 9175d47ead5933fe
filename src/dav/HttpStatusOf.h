#pragma once

#include "datasource/StoreStatus.h"

// The HTTP status a store's outcome is answered with: the one place that decides it.
int HttpStatusOf(StoreStatus status);
