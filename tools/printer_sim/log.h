// The simulator's voice on standard error: a line per event for whoever
// debugs a test, and errors, which --quiet does not silence.
#ifndef PRINTER_SIM_LOG_H_
#define PRINTER_SIM_LOG_H_

#include <string>

// Turns the per-event lines off (or on again); errors are always written.
void SetQuiet(bool quiet);

// "printer_sim: <text>", unless quiet.
void Log(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// "printer_sim: error: <text>".
void Error(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// `text` made fit for a log line: control characters, backslashes and
// bytes above 0x7E become \xNN. What a peer sends goes through this, so
// that it can neither end its line nor forge another.
std::string Escape(const std::string& text);

#endif  // PRINTER_SIM_LOG_H_
