// The simulator's voice on standard error: a line per event for whoever
// debugs a test, and errors, which --quiet does not silence.
#ifndef PRINTER_SIM_LOG_H_
#define PRINTER_SIM_LOG_H_

// Turns the per-event lines off (or on again); errors are always written.
void SetQuiet(bool quiet);

// "printer_sim: <text>", unless quiet.
void Log(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// "printer_sim: error: <text>".
void Error(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

#endif  // PRINTER_SIM_LOG_H_
