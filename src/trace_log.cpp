#include "trace_log.h"

#include <fcntl.h>
#include <pthread.h>
#include <pwd.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include "program_name.h"
#include "safe_text.h"

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

// A flood of datagrams under the full trace would otherwise fill the disk:
// the file stops growing at this size, with one last line that says so.
// The room kept back holds that line.
const off_t kFileLimit = 64 << 20;
const off_t kClosingRoom = 256;
const char kClosingMessage[] = "trace stopped: the file reached its limit of 64 MiB";

// The state of the open file, guarded by gLogLock: the bytes it holds, and
// whether the last byte written ended a line.
off_t gLogBytes = 0;
bool gLogMidLine = false;
// Set once the file is full; read without the lock to skip formatting.
std::atomic<bool> gLogFull(false);

int FormatHead(char (&head)[kHeadSize]);

// Writes the closing line, on a line of its own. Requires: gLogLock held.
void WriteClosingLine(int fd) {
  char line[kClosingRoom];
  char head[kHeadSize];
  int headLength = FormatHead(head);
  int n = snprintf(line, sizeof(line), "%s%s%s [src/trace_log-%d-log_printf]\n",
                   gLogMidLine ? "\n" : "", head, kClosingMessage, __LINE__);
  if (n > 0 && headLength > 0 && write(fd, line, static_cast<size_t>(n)) > 0) {
    gLogBytes += n;
  }
  gLogFull = true;
}

// Writes all of `n` bytes to the open log; a failing write is dropped.
// Requires: gLogLock held.
void WriteOut(const char* bytes, size_t n) {
  int fd = gLogFD.load();
  if (fd <= 0 || n == 0 || gLogFull) return;
  if (gLogBytes + static_cast<off_t>(n) > kFileLimit - kClosingRoom) {
    WriteClosingLine(fd);
    return;
  }
  while (n > 0) {
    ssize_t w = write(fd, bytes, n);
    if (w <= 0) break;
    gLogBytes += w;
    gLogMidLine = bytes[w - 1] != '\n';
    bytes += w;
    n -= static_cast<size_t>(w);
  }
}

void WriteLocked(const char* bytes, size_t n) {
  pthread_mutex_lock(&gLogLock);
  WriteOut(bytes, n);
  pthread_mutex_unlock(&gLogLock);
}

// True when `path` names a regular file of the user's or root's that the
// user may open for writing. A directory cannot be opened so; a symbolic link is not followed
// (a planted link must not make the trace open some other file), and a
// FIFO or device does not count even when it opens.
bool MarkerPresent(const char* format, const char* tmpdir) {
  char path[kPathSize];
  int n = snprintf(path, sizeof(path), format, tmpdir);
  if (n < 0 || n >= static_cast<int>(sizeof(path))) return false;  // would not fit
  int fd = open(path, O_WRONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st;
  // In a shared temporary directory any user may create the marker; only
  // the user's own or root's turns the trace on.
  bool regular =
      fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && (st.st_uid == getuid() || st.st_uid == 0);
  close(fd);
  return fd > 0 && regular;
}

// Opens the log file for appending: never through a symbolic link, and only
// a regular file of the running user's own with no other name; close-on-exec,
// so that the socket backend replacing this process does not inherit it.
// Returns the descriptor, or -1.
int OpenLogFile(const char* path) {
  // Without O_NONBLOCK a FIFO planted at the path would hold the run until
  // someone reads it.
  int fd = open(
      path, O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK | O_CLOEXEC, 0600);
  if (fd < 0) return -1;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != getuid() || st.st_nlink != 1) {
    close(fd);
    return -1;
  }
  gLogBytes = st.st_size;
  gLogMidLine = false;
  // A file past the point where the closing line goes has had it already.
  gLogFull = gLogBytes > kFileLimit - kClosingRoom;
  return fd;
}

// The log file of this process, opened: its descriptor, or 0 when it
// cannot be had. A failure is final for the process: retrying the whole
// open on every call would slow a busy run to a crawl for nothing.
int OpenTraceFile() {
  std::string name;
  ReadProgramName(name);
  if (name.empty()) return 0;
  struct passwd* pw = getpwuid(getuid());
  if (pw == nullptr || pw->pw_dir == nullptr) return 0;

  char path[kPathSize];
  int n = snprintf(path, sizeof(path), "%s/%s|%u.log", pw->pw_dir, name.c_str(),
                   static_cast<unsigned>(getpid()));
  // A cut-short path would name some other file: the trace stays off.
  if (n < 0 || n >= static_cast<int>(sizeof(path))) return 0;
  int fd = OpenLogFile(path);
  return fd > 0 ? fd : 0;
}

// Decides the level and opens the file. gLogFD is stored once, at the end:
// other threads read it without the lock.
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
  gLogFD = OpenTraceFile();
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

// Forms the head of a line; returns its length (0 when it failed).
int FormatHead(char (&head)[kHeadSize]) {
  struct timeval now;
  gettimeofday(&now, nullptr);
  struct tm local;
  localtime_r(&now.tv_sec, &local);
  char date[40];
  if (strftime(date, sizeof(date), "|%m/%d %T.", &local) == 0) date[0] = '\0';
  int n = snprintf(head, sizeof(head), "%s%.3d %15lu| ", date, static_cast<int>(now.tv_usec / 1000),
                   static_cast<unsigned long>(pthread_self()));
  if (n <= 0) {
    head[0] = '\0';
    return 0;
  }
  return n < kHeadSize ? n : kHeadSize - 1;
}

void log_write_header() {
  pthread_mutex_lock(&gLogLock);
  char head[kHeadSize];
  int n = FormatHead(head);
  WriteOut(head, static_cast<size_t>(n));
  pthread_mutex_unlock(&gLogLock);
}

void log_write_trailer(int line, const char* file, const char* function) {
  pthread_mutex_lock(&gLogLock);
  char tail[kTailSize];
  int n = snprintf(tail, sizeof(tail), " [%s-%d-%s]\n", file ? file : "(null)", line,
                   function ? function : "(null)");
  if (n > 0) {
    size_t len = static_cast<size_t>(n);
    if (n >= kTailSize) {
      // Keep the line a line: cut the names, never the closing "]\n".
      len = kTailSize - 1;
      tail[len - 2] = ']';
      tail[len - 1] = '\n';
    }
    WriteOut(tail, len);
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

extern "C" void log_printf(int level, int line, const char* file, const char* function,
                           const char* format, ...) {
  if (log_ensure_open() <= 0 || gLogFull) return;
  if (gLogLevel != LOG_LEVEL_ALL && !(level == LOG_INFO && gLogLevel == LOG_LEVEL_I)) return;

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
      case 'd':
        AppendNumber(body, "%d", va_arg(args, int));
        break;
      case 'u':
        AppendNumber(body, "%u", va_arg(args, unsigned));
        break;
      case 'x':
        AppendNumber(body, "%x", va_arg(args, unsigned));
        break;
      case 'X':
        AppendNumber(body, "%X", va_arg(args, unsigned));
        break;
      case 'f':
        AppendNumber(body, "%f", va_arg(args, double));
        break;
      case 's': {
        const char* s = va_arg(args, const char*);
        if (s == nullptr) s = "(null)";
        body.Append(s, strlen(s));
        break;
      }
      case 'c':
        body.Append(static_cast<char>(va_arg(args, int)));
        break;
      case '%':
        body.Append('%');
        break;
      default:
        break;  // unknown conversion: dropped, no argument taken
    }
  }
  va_end(args);
  body.Flush();
  log_write_trailer(line, file, function);
}

extern "C" void log_hexdump(int line, const char* file, const char* function,
                            const unsigned char* bytes, int count) {
  if (gLogLevel != LOG_LEVEL_ALL) return;
  if (log_ensure_open() <= 0 || gLogFull) return;
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
  gLogBytes = 0;
  gLogMidLine = false;
  gLogFull = false;
  pthread_mutex_unlock(&gLogLock);
}

std::string log_escape(const std::string& text) { return HexEscaped(text); }
