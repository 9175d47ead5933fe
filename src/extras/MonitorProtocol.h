#pragma once

// The messages of the monitor process, shared by the framework's notifications and
// the monitor itself (which includes this header without linking the framework).
// On the bus the protocol is the interface "org.pavrix.FrameworkToMonitorProtocol"
// of the monitor's root object, one method per message. Objects travel as in the
// preference protocol, a "(bay)" pair that may be nil:
//   syncStart, syncComplete           oneway, no arguments
//   getValueFromDeviceListForKey(o)   -> o
//   ackObjectID(i, u)                 oneway (an object id and its data type)
//   pimChangedUIDs(u), pimUnchangedUIDs(u) -> o
//   pimDataReady(u)                   -> b
//   devicePasswordAndRapiLock(u)      -> (o, u): the reply and the new value of the
//                                        caller's unsigned 32-bit out parameter

inline constexpr const char* kMonitorServerName = "PavrixWMForFramework";
inline constexpr const char* kFrameworkToMonitorProtocol = "FrameworkToMonitorProtocol";

namespace MonitorMethod {
inline constexpr const char* syncStart = "syncStart";
inline constexpr const char* syncComplete = "syncComplete";
inline constexpr const char* getValueFromDeviceListForKey = "getValueFromDeviceListForKey";
inline constexpr const char* ackObjectID = "ackObjectID";
inline constexpr const char* pimChangedUIDs = "pimChangedUIDs";
inline constexpr const char* pimUnchangedUIDs = "pimUnchangedUIDs";
inline constexpr const char* pimDataReady = "pimDataReady";
inline constexpr const char* devicePasswordAndRapiLock = "devicePasswordAndRapiLock";
} // namespace MonitorMethod
