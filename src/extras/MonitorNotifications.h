#pragma once

// Notifications to the product's monitor process (registered as
// "PavrixWMForFramework", protocol FrameworkToMonitorProtocol) that a sync begins
// and ends. Each call looks the monitor up afresh and sends a oneway message; it
// neither waits for the monitor nor reports anything: no monitor, a lost
// connection or a failed send all leave the caller unaffected.

#include "extras/MonitorProtocol.h"

void syncStart();
void syncComplete();
