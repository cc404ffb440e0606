// A process-wide printf-style log, "log.csv" beside the library, created by the first write
// and emptied by the first write after a close. Nothing in normal operation writes to it; every
// plug-in object closes it when destroyed.
#pragma once

/// Name of the log file beside the library.
constexpr const char* kLogFileName = "log.csv";

/// Writes the formatted text (vfprintf) to the log, opening it with mode "w" first when it is
/// closed. A null format closes the log.
void writeLog(const char* format, ...);
