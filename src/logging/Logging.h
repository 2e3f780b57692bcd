#pragma once

#include <cstdint>
#include <string>

namespace quarvel {

// The rolling log file "Logs/Quarvel.log" and the Debug Screen channel.
// Both entry points are printf-style and may be called from any thread.

// Sets up the root category with the rolling file appender. Called once at start-up,
// before the first LogMessage and before any other thread exists.
void InitLogging();

// Creates the folder "Logs" (and missing parents) in the current directory.
// Returns 1 when something of that name exists afterwards, else 0.
int EnsureLogFolder();

// Appends one INFO line to the log. The formatted text is cut at 2047 bytes.
void LogMessage(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Sends one line to the Debug Screen window when one is open. Returns 0 when no
// window listens (nothing is formatted), 1 otherwise, also when the send failed. After a
// look that found no window the next comes a few milliseconds later.
int DebugScreenPrint(const char* format, ...) __attribute__((format(printf, 1, 2)));

// False while a look for the Debug Screen window a moment ago found none: a caller spares
// making a text that no window would show.
bool DebugScreenShown();

// Flushes and releases the appenders at exit.
void ShutdownLogging();

// 1234567 as "1,234,567", for counts in messages.
std::string Thousands(uint64_t value);

// A time (seconds since 1970) in UTC: "2023-11-14T22:13:20Z", or for people "2023-11-14 22:13:20 UTC".
enum class UtcStyle { kIso, kWords };
std::string UtcText(int64_t seconds, UtcStyle style = UtcStyle::kIso);

// A span of time as a clock shows it: "0:06", "12:34", "1:02:03" from an hour on.
std::string ClockText(int64_t seconds);

}  // namespace quarvel
