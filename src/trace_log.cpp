#include "trace_log.h"

#include <fcntl.h>
#include <pthread.h>
#include <pwd.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

extern "C" {
std::atomic<int> gLogFD(-1);
int gLogLevel = 0;
pthread_mutex_t gLogLock = PTHREAD_MUTEX_INITIALIZER;
}

namespace {

const int kPathSize = 1024;
const int kHeadSize = 64;
const int kTailSize = 512;
const int kBodySize = 2048;
const int kScratchSize = 64;
const int kRowSize = 121;

// Writes all of `n` bytes under the lock; a failing write is dropped.
void WriteLocked(const char* bytes, size_t n) {
  pthread_mutex_lock(&gLogLock);
  int fd = gLogFD.load();
  while (fd > 0 && n > 0) {
    ssize_t w = write(fd, bytes, n);
    if (w <= 0) break;
    bytes += w;
    n -= static_cast<size_t>(w);
  }
  pthread_mutex_unlock(&gLogLock);
}

// True when `path` names something the user may open for writing. A
// directory cannot be opened so, which is why it does not count as a marker.
bool MarkerPresent(const char* format, const char* tmpdir) {
  char path[kPathSize];
  int n = snprintf(path, sizeof(path), format, tmpdir);
  if (n < 0 || n >= static_cast<int>(sizeof(path))) return false;  // would not fit
  int fd = open(path, O_WRONLY | O_NONBLOCK);
  if (fd < 0) return false;
  close(fd);
  return fd > 0;
}

void log_open() {
  const char* tmpdir = getenv("TMPDIR");
  if (tmpdir != nullptr && tmpdir[0] != '\0') {
    if (MarkerPresent("/%s/.slog", tmpdir))
      gLogLevel = LOG_LEVEL_ALL;
    else if (MarkerPresent("/%s/.slog_varn", tmpdir))
      gLogLevel = LOG_LEVEL_I;
  }
  if (gLogLevel != LOG_LEVEL_ALL && gLogLevel != LOG_LEVEL_I) {
    gLogFD = 0;
    return;
  }

  char link[kPathSize];
  char exe[kPathSize];
  memset(exe, 0, sizeof(exe));
  snprintf(link, sizeof(link), "/proc/%i/exe", static_cast<int>(getpid()));
  if (readlink(link, exe, sizeof(exe) - 1) < 0) return;
  const char* slash = strrchr(exe, '/');
  if (slash == nullptr) return;
  struct passwd* pw = getpwuid(getuid());
  if (pw == nullptr || pw->pw_dir == nullptr) return;

  char path[kPathSize];
  int n = snprintf(path, sizeof(path), "%s/%s|%u.log", pw->pw_dir, slash + 1,
                   static_cast<unsigned>(getpid()));
  if (n < 0 || n >= static_cast<int>(sizeof(path))) {
    // A cut-short path would name some other file: the trace stays off.
    gLogFD = 0;
    return;
  }
  // Close-on-exec: the socket backend that replaces this process must not
  // inherit the trace file among its descriptors.
  int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  gLogFD = fd > 0 ? fd : 0;
}

int log_ensure_open() {
  int fd = gLogFD.load();
  if (fd >= 0) return fd;
  pthread_mutex_lock(&gLogLock);
  if (gLogFD.load() < 0) {
    log_open();
    atexit(log_exit);
  }
  fd = gLogFD.load();
  pthread_mutex_unlock(&gLogLock);
  return fd;
}

void log_write_header() {
  pthread_mutex_lock(&gLogLock);
  struct timeval now;
  gettimeofday(&now, nullptr);
  struct tm local;
  localtime_r(&now.tv_sec, &local);
  char date[40];
  if (strftime(date, sizeof(date), "|%m/%d %T.", &local) == 0) date[0] = '\0';
  char head[kHeadSize];
  int n = snprintf(head, sizeof(head), "%s%.3d %15lu| ", date,
                   static_cast<int>(now.tv_usec / 1000),
                   static_cast<unsigned long>(pthread_self()));
  if (n > 0) {
    size_t len = n < kHeadSize ? static_cast<size_t>(n) : kHeadSize - 1;
    int fd = gLogFD.load();
    if (fd > 0 && write(fd, head, len) < 0) {
      // Nothing to do: the trace never reports its own failures.
    }
  }
  pthread_mutex_unlock(&gLogLock);
}

void log_write_trailer(int line, const char* file, const char* function) {
  pthread_mutex_lock(&gLogLock);
  char tail[kTailSize];
  int n = snprintf(tail, sizeof(tail), " [%s-%d-%s]\n", file ? file : "(null)",
                   line, function ? function : "(null)");
  if (n > 0) {
    size_t len = static_cast<size_t>(n);
    if (n >= kTailSize) {
      // Keep the line a line: cut the names, never the closing "]\n".
      len = kTailSize - 1;
      tail[len - 2] = ']';
      tail[len - 1] = '\n';
    }
    int fd = gLogFD.load();
    if (fd > 0 && write(fd, tail, len) < 0) {
    }
  }
  pthread_mutex_unlock(&gLogLock);
}

// Collects the body and writes it out in chunks of kBodySize bytes.
class Body {
 public:
  Body() : used_(0) {}
  void Append(char c) {
    if (used_ == kBodySize) Flush();
    buffer_[used_++] = c;
  }
  void Append(const char* s, size_t n) {
    for (size_t i = 0; i < n; ++i) Append(s[i]);
  }
  void Flush() {
    if (used_ > 0) WriteLocked(buffer_, static_cast<size_t>(used_));
    used_ = 0;
  }

 private:
  char buffer_[kBodySize];
  int used_;
};

// Formats one numeric conversion into the scratch buffer. A value whose text
// would not fit (a huge %f) is cut at the scratch buffer's end.
template <typename T>
void AppendNumber(Body& body, const char* format, T value) {
  char scratch[kScratchSize];
  int n = snprintf(scratch, sizeof(scratch), format, value);
  if (n <= 0) return;
  if (n >= kScratchSize) n = kScratchSize - 1;
  body.Append(scratch, static_cast<size_t>(n));
}

}  // namespace

extern "C" void log_printf(int level, int line, const char* file,
                           const char* function, const char* format, ...) {
  if (log_ensure_open() <= 0) return;
  if (gLogLevel != LOG_LEVEL_ALL && !(level == 'I' && gLogLevel == LOG_LEVEL_I))
    return;

  log_write_header();
  Body body;
  va_list args;
  va_start(args, format);
  for (const char* p = format ? format : ""; *p != '\0'; ++p) {
    if (*p != '%') {
      body.Append(*p);
      continue;
    }
    ++p;
    if (*p == '\0') break;  // a trailing '%' ends the message
    switch (*p) {
      case 'd': AppendNumber(body, "%d", va_arg(args, int)); break;
      case 'u': AppendNumber(body, "%u", va_arg(args, unsigned)); break;
      case 'x': AppendNumber(body, "%x", va_arg(args, unsigned)); break;
      case 'X': AppendNumber(body, "%X", va_arg(args, unsigned)); break;
      case 'f': AppendNumber(body, "%f", va_arg(args, double)); break;
      case 's': {
        const char* s = va_arg(args, const char*);
        if (s == nullptr) s = "(null)";
        body.Append(s, strlen(s));
        break;
      }
      case 'c': body.Append(static_cast<char>(va_arg(args, int))); break;
      case '%': body.Append('%'); break;
      default: break;  // unknown conversion: dropped, no argument taken
    }
  }
  va_end(args);
  body.Flush();
  log_write_trailer(line, file, function);
}

extern "C" void log_hexdump(int line, const char* file, const char* function,
                            const unsigned char* bytes, int count) {
  if (gLogLevel != LOG_LEVEL_ALL) return;
  if (log_ensure_open() <= 0) return;
  log_write_header();
  char row[kRowSize];
  int used = 0;
  if (count > 120) row[used++] = '\n';
  for (int i = 0; i < count; ++i) {
    if (used > 116) {
      row[used++] = '\n';
      WriteLocked(row, static_cast<size_t>(used));
      used = 0;
    }
    static const char kHex[] = "0123456789ABCDEF";
    row[used++] = kHex[bytes[i] >> 4];
    row[used++] = kHex[bytes[i] & 0x0F];
    row[used++] = ' ';
  }
  if (used > 0) WriteLocked(row, static_cast<size_t>(used));
  log_write_trailer(line, file, function);
}

extern "C" void log_exit(void) {
  pthread_mutex_lock(&gLogLock);
  int fd = gLogFD.load();
  if (fd > 0) {
    close(fd);
    gLogFD = -1;
  }
  pthread_mutex_unlock(&gLogLock);
}
