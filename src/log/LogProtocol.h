#pragma once

// The messages of the log server, shared by the client and the server. On the bus
// the protocol is the interface "org.pavrix.LogProtocol" of the server's root
// object, one method per message:
//   log(s)     oneway  appends one complete line, kept exactly as sent
//   getLog()   -> s    every kept line in arrival order, concatenated as sent (a
//                      time-stamped line carries its own line feed, so the text
//                      reads as the log file would)
//   clear()    oneway  forgets every line
//   saveTo(s)  oneway  writes the same text as getLog to the file at that path
//   ping(s)    -> s    answers with its argument, to show the server is alive

inline constexpr const char* kLogServerName = "PavrixWMLogServer";
inline constexpr const char* kLogProtocol = "LogProtocol";

namespace LogMethod {
inline constexpr const char* log = "log";
inline constexpr const char* getLog = "getLog";
inline constexpr const char* clear = "clear";
inline constexpr const char* saveTo = "saveTo";
inline constexpr const char* ping = "ping";
} // namespace LogMethod
