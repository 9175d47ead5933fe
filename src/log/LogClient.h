#pragma once

// The log client: dated diagnostic lines sent to the product's log server (a named
// local service following LogProtocol), or to the console log when the server
// cannot take them. Safe to call from several threads; never raises.

#include "platform/PlistObject.h"

#include <chrono>
#include <optional>
#include <string>

extern volatile unsigned char gLogOn;    // general switch, on at start
extern volatile unsigned char gLogDebug; // debug switch, off at start (PAVRIX_LOG_DEBUG=1 turns it on)
extern volatile unsigned char gLogTrace; // trace switch, off at start

// Counts the call; the first one takes copies of both names (each when given).
void LogInit(const char* serverName, const char* applicationName);
// Undoes one LogInit; the last one frees all state.
void LogCleanup();
void SetApplicationNameForLog(const char* name);

// printf-style formats; "%@" takes a NUL-terminated text (a description of an
// object, already made by the caller) and inserts it as it stands.
void LogWithDate(const char* format, ...);
void LogPrintf(const char* format, ...);
void LogRawString(const std::string& line);
// With the debug switch on, logs "<doing>: <reason>" for the exception being
// handled ("<doing>" alone when it carries no reason). Only inside a catch block.
void LogCaughtFailure(const char* doing);

bool LogIsOn();
void LogTurnOn(bool on);
bool LogGetDebugState();
void LogSetDebugState(bool on);
bool LogGetTraceState();
void LogSetTraceState(bool on);

// A line waits for another thread's exchange with the server at most until the
// wall-clock second it was logged in ends, and with a limit set, at most that long
// (none, the default: no limit of its own).
void LogSetLockWaitLimit(std::optional<std::chrono::milliseconds> limit);

bool LogServerRunning();
bool LogServerReallyRunning();
// The server's current log, a text value holding every line it keeps in arrival
// order, or none when the server cannot be asked.
std::optional<platform::PlistObject> LogGetCurrentLog();
void LogClear();
