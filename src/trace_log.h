// The trace log: off unless the user has put a marker file into TMPDIR; when
// on, each process appends timestamped lines to "<home>/<program>|<pid>.log".
// The units that trace (the front end, the discovery, the connector, the
// host's links, the job-time rule) write through log_printf; the globals
// and log_exit are exported from the executable under their plain C names.
// Threads: any thread may trace (gLogLock keeps lines whole); log_exit only when none does.
#ifndef NETBACKEND_TRACE_LOG_H_
#define NETBACKEND_TRACE_LOG_H_

#include <pthread.h>

#ifdef __cplusplus
#include <atomic>
#endif

enum {
  LOG_LEVEL_ALL = 0xF0F0,  // full trace marker "<TMPDIR>/.slog" present
  LOG_LEVEL_I = 0x1F1F,    // only 'I' lines: "<TMPDIR>/.slog_varn" present
};

// The level letters log_printf takes: a detailed line is written with the
// full trace only, an informational one (the few an administrator reads: a
// printer found, the backend executed, a printer not found) with either
// marker. Any other letter counts as detailed.
enum {
  LOG_DETAIL = 'F',
  LOG_INFO = 'I',
};

#ifdef __cplusplus
// -1: not opened yet; 0: off for the rest of the run; >0: the open log file.
// Read without the lock on the fast path, hence atomic.
extern "C" std::atomic<int> gLogFD;
extern "C" {
#endif

extern int gLogLevel;
extern pthread_mutex_t gLogLock;

// Writes one line: head, the formatted body, tail " [file-line-function]".
// The format knows %d %u %x %X %f %s %c and %%; any other conversion is
// dropped together with its '%' and consumes no argument.
void log_printf(int level, int line, const char* file, const char* function, const char* format,
                ...);

// Writes `count` bytes as rows of 39 upper-case hex pairs, full trace only.
void log_hexdump(int line, const char* file, const char* function, const unsigned char* bytes,
                 int count);

// Closes the log; a later log call opens it again. Registered with atexit.
void log_exit(void);

#ifdef __cplusplus
}

#include <string>

// `text` made fit for a trace line: control characters, backslashes and
// bytes above 0x7E become \xNN. Text from the network goes through this, so
// that it can neither end its line nor forge another.
std::string log_escape(const std::string& text);
#endif

#endif  // NETBACKEND_TRACE_LOG_H_
