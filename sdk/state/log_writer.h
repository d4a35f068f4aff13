// The log file: one line per decoder failure, prefixed with the local time.
//
// On Linux the log is "$XDG_STATE_HOME/kvnet/kv_log.txt", or
// "$HOME/.local/state/kvnet/kv_log.txt" when XDG_STATE_HOME is unset: a per-user folder, so
// no other user can plant the file. Without either variable the line is dropped.
#pragma once

#include <cstdarg>
#include <string>

namespace kv {

// The log file's path ("" when there is none).
std::string LogFilePath();

// Appends "HH-MM-SS  " and the formatted text, flushes and closes the file.
void WriteLogLine(const char* format, ...) __attribute__((format(printf, 1, 2)));

// KVNET_Log: prints into the log file only while a line is being written; else 0.
int LogPrintV(const char* format, va_list args);

// Closes the log file if it is open (KVNET_Cleanup).
void CloseLog();

}  // namespace kv
