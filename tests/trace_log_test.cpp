// The trace log as its reader sees it: which marker switches it on, where the
// file lands and with what mode, the bytes of each line (head, body, tail),
// how the body and a hex dump are split into write() calls, and that lines of
// several threads stay whole.
//
// The trace's globals are process-wide, so every test starts from "never
// opened" (log_exit, gLogFD -1, gLogLevel 0) with TMPDIR pointing at a fresh
// directory, and deletes this process's trace file (OwnTracePath) afterwards.
#include "trace_log.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <math.h>
#include <pthread.h>
#include <pwd.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <map>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "test_files.h"
#include "test_util.h"
#include "trace_file.h"

namespace {

const int kNobody = 65534;

void ResetTrace() {
  log_exit();
  gLogFD = -1;
  gLogLevel = 0;
}

// Points the trace at one end of a SOCK_SEQPACKET pair, as an opened log
// would be, so that every write() arrives as one record: the tests see
// exactly where the facility split its output.
class PieceCapture {
 public:
  explicit PieceCapture(int level) {
    if (socketpair(AF_UNIX, SOCK_SEQPACKET, 0, fds_) != 0) {
      fds_[0] = fds_[1] = -1;
      return;
    }
    int size = 4 << 20;
    setsockopt(fds_[0], SOL_SOCKET, SO_SNDBUF, &size, sizeof(size));
    setsockopt(fds_[1], SOL_SOCKET, SO_RCVBUF, &size, sizeof(size));
    gLogLevel = level;
    gLogFD = fds_[0];
  }
  ~PieceCapture() {
    gLogFD = -1;
    gLogLevel = 0;
    if (fds_[0] >= 0) close(fds_[0]);
    if (fds_[1] >= 0) close(fds_[1]);
  }
  PieceCapture(const PieceCapture&) = delete;
  PieceCapture& operator=(const PieceCapture&) = delete;

  bool ok() const { return fds_[0] > 0; }

  // Everything written since the last call, one string per write().
  std::vector<std::string> Pieces() {
    std::vector<std::string> pieces;
    std::vector<char> buffer(1 << 16);
    for (;;) {
      ssize_t n = recv(fds_[1], buffer.data(), buffer.size(), MSG_DONTWAIT);
      if (n < 0) break;
      pieces.emplace_back(buffer.data(), static_cast<size_t>(n));
    }
    return pieces;
  }

 private:
  int fds_[2];
};

// The clock the trace reads (gettimeofday). time() reads a coarser one that
// can lag it across a second's boundary.
time_t Now() {
  struct timeval now;
  gettimeofday(&now, nullptr);
  return now.tv_sec;
}

std::string Stamp(time_t when) {
  struct tm local;
  localtime_r(&when, &local);
  char text[32];
  strftime(text, sizeof(text), "%m/%d %T", &local);
  return text;
}

// A head reads "|MM/DD hh:mm:ss.mmm " and the calling thread's id
// right-aligned in 15 columns, then "| "; its time lies in [before, after].
::testing::AssertionResult IsHead(const std::string& head, pthread_t thread, time_t before,
                                  time_t after) {
  TraceLine line;
  if (!ParseTraceHead(head, &line))
    return ::testing::AssertionFailure() << "malformed head [" << head << "]";
  char id[64];
  snprintf(id, sizeof(id), "%15lu", static_cast<unsigned long>(thread));
  if (line.thread != id)
    return ::testing::AssertionFailure()
           << "thread id field [" << line.thread << "], want [" << id << "]";
  std::string stamp = line.stamp.substr(0, 14);  // to the second
  if (stamp < Stamp(before) || stamp > Stamp(after))
    return ::testing::AssertionFailure()
           << "time " << stamp << " outside " << Stamp(before) << ".." << Stamp(after);
  return ::testing::AssertionSuccess();
}

class TraceLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir_.path().empty());
    ResetTrace();
    unlink(OwnTracePath().c_str());
  }
  void TearDown() override {
    ResetTrace();
    unlink(OwnTracePath().c_str());
  }

  void Marker(const std::string& name) { ASSERT_TRUE(WriteFile(dir_ / name, "", 0644)) << name; }

  TempDir dir_{"trace_log_test"};
  ScopedEnv tmpdir_{"TMPDIR", dir_.path().c_str()};  // what the tests set, put back after
};

// ---------------------------------------------------------------- formatter

struct FormatRow {
  const char* why;
  std::function<void()> call;  // one log_printf at level 'I'
  std::string body;
};

// Text from the network can neither end its line nor forge another, and
// stays readable: only controls, the backslash and bytes above 0x7E change.
TEST(LogEscapeTest, ControlsBackslashAndHighBytesBecomeHexEscapes) {
  const struct {
    std::string text, escaped;
  } rows[] = {
      {"printer 1 ~!", "printer 1 ~!"},    {"a\nb\r\x1f", "a\\x0Ab\\x0D\\x1F"},
      {"back\\slash", "back\\x5Cslash"},   {"\x7f\x80\xff", "\\x7F\\x80\\xFF"},
      {std::string("a\0b", 3), "a\\x00b"}, {"", ""},
  };
  for (const auto& row : rows) EXPECT_EQ(row.escaped, log_escape(row.text)) << row.escaped;
}

#define AT 77, "src/fmt", "Format"

TEST_F(TraceLogTest, FormatterWritesEachConversionAsDocumented) {
  char huge[512];
  snprintf(huge, sizeof(huge), "%f", 1e300);
  const FormatRow rows[] = {
      {"plain text is copied", [] { log_printf('I', AT, "hello world"); }, "hello world"},
      {"%d negative", [] { log_printf('I', AT, "%d", -5); }, "-5"},
      {"%d smallest int", [] { log_printf('I', AT, "%d", -2147483647 - 1); }, "-2147483648"},
      {"%d zero", [] { log_printf('I', AT, "<%d>", 0); }, "<0>"},
      {"%u largest unsigned", [] { log_printf('I', AT, "%u", 4294967295u); }, "4294967295"},
      {"%x lower case", [] { log_printf('I', AT, "%x", 0xBEEFu); }, "beef"},
      {"%X upper case", [] { log_printf('I', AT, "%X", 0xbeefu); }, "BEEF"},
      {"%f six decimals", [] { log_printf('I', AT, "%f", 2.5); }, "2.500000"},
      {"%f negative", [] { log_printf('I', AT, "%f", -0.125); }, "-0.125000"},
      {"%f infinity", [] { log_printf('I', AT, "%f", HUGE_VAL); }, "inf"},
      {"%f wider than the scratch is cut to 63", [] { log_printf('I', AT, "%f|", 1e300); },
       std::string(huge, 63) + "|"},
      {"%s", [] { log_printf('I', AT, "[%s]", "abc def"); }, "[abc def]"},
      {"%s null pointer", [] { log_printf('I', AT, "%s", static_cast<const char*>(nullptr)); },
       "(null)"},
      {"%c", [] { log_printf('I', AT, "%c", 'A'); }, "A"},
      {"%c takes the low byte", [] { log_printf('I', AT, "%c", 0x141); }, "A"},
      {"%%", [] { log_printf('I', AT, "100%%"); }, "100%"},
      {"%5d: '5' is unknown, d copied, no argument taken",
       [] { log_printf('I', AT, "%5d|%d", 42); }, "d|42"},
      {"%ld: 'l' is unknown", [] { log_printf('I', AT, "%ld %s", "x"); }, "d x"},
      {"unknown %q dropped", [] { log_printf('I', AT, "a%qb"); }, "ab"},
      {"trailing '%' dropped", [] { log_printf('I', AT, "abc%"); }, "abc"},
      {"mixed", [] { log_printf('I', AT, "ip %s port %d %c%X%%", "10.0.0.1", 9100, '#', 255u); },
       "ip 10.0.0.1 port 9100 #FF%"},
      {"control and high bytes copied", [] { log_printf('I', AT, "a\tb\xc3\xa4\x7f"); },
       "a\tb\xc3\xa4\x7f"},
  };
  for (const FormatRow& row : rows) {
    SCOPED_TRACE(row.why);
    PieceCapture capture(LOG_LEVEL_ALL);
    ASSERT_TRUE(capture.ok());
    time_t before = Now();
    row.call();
    time_t after = Now();
    std::vector<std::string> pieces = capture.Pieces();
    ASSERT_EQ(3u, pieces.size());
    EXPECT_TRUE(IsHead(pieces[0], pthread_self(), before, after));
    EXPECT_EQ(row.body, pieces[1]);
    EXPECT_EQ(" [src/fmt-77-Format]\n", pieces[2]);
  }
}

#undef AT

TEST_F(TraceLogTest, EmptyBodyWritesOnlyHeadAndTail) {
  PieceCapture capture(LOG_LEVEL_ALL);
  ASSERT_TRUE(capture.ok());
  log_printf('I', 7, "src/x", "fn", "");
  log_printf('I', 8, "src/x", "fn", "%s%q%", "");
  std::vector<std::string> pieces = capture.Pieces();
  ASSERT_EQ(4u, pieces.size());
  EXPECT_EQ(" [src/x-7-fn]\n", pieces[1]);
  EXPECT_EQ(" [src/x-8-fn]\n", pieces[3]);
}

TEST_F(TraceLogTest, TailNamesFileLineAndFunctionAndIsCutAt511Bytes) {
  struct Row {
    std::string file;
    int line;
    std::string tail;
  };
  const std::string f502(502, 'f');
  const std::string f503(503, 'g');
  const std::string f2000(2000, 'h');
  const Row rows[] = {
      {"src/connector", 123, " [src/connector-123-fn]\n"},
      {"", -1, " [--1-fn]\n"},
      // 502 + " [" + "-7-fn]\n" is 511 bytes: fits whole.
      {f502, 7, " [" + f502 + "-7-fn]\n"},
      // One more byte: cut to 511, still closed by "]\n".
      {f503, 7, (" [" + f503 + "-7-fn").substr(0, 509) + "]\n"},
      {f2000, 7, (" [" + f2000).substr(0, 509) + "]\n"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.file.size());
    PieceCapture capture(LOG_LEVEL_ALL);
    ASSERT_TRUE(capture.ok());
    log_printf('I', row.line, row.file.c_str(), "fn", "m");
    std::vector<std::string> pieces = capture.Pieces();
    ASSERT_EQ(3u, pieces.size());
    EXPECT_EQ(row.tail, pieces[2]);
    EXPECT_LE(pieces[2].size(), 511u);
  }
}

// ------------------------------------------------------------ body chunking

TEST_F(TraceLogTest, BodyIsWrittenInChunksOf2048Bytes) {
  struct Row {
    const char* why;
    std::string format;
    std::string argument;  // passed for one %s in format
    std::string body;
    std::vector<size_t> chunks;
  };
  std::string text5000;
  for (int i = 0; i < 5000; ++i) text5000 += static_cast<char>('a' + i % 26);
  const std::string text4096 = text5000.substr(0, 4096);
  const std::string a2046(2046, 'a');
  const Row rows[] = {
      {"5000 bytes from %s", "%s", text5000, text5000, {2048, 2048, 904}},
      {"5000 bytes of format text", text5000, "", text5000, {2048, 2048, 904}},
      {"4096 bytes: two full chunks, no empty third", "%s", text4096, text4096, {2048, 2048}},
      {"2048 bytes: one chunk", "%s", text4096.substr(0, 2048), text4096.substr(0, 2048), {2048}},
      {"2049 bytes", "%s", text4096.substr(0, 2049), text4096.substr(0, 2049), {2048, 1}},
      {"a number straddling the boundary", a2046 + "%d%s", "", a2046 + "12345", {2048, 3}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.why);
    PieceCapture capture(LOG_LEVEL_ALL);
    ASSERT_TRUE(capture.ok());
    if (row.format.find("%d") != std::string::npos)
      log_printf('I', 1, "src/x", "fn", row.format.c_str(), 12345, "");
    else
      log_printf('I', 1, "src/x", "fn", row.format.c_str(), row.argument.c_str());
    std::vector<std::string> pieces = capture.Pieces();
    ASSERT_EQ(row.chunks.size() + 2, pieces.size());
    EXPECT_EQ(kTraceHeadSize, pieces.front().size());
    EXPECT_EQ(" [src/x-1-fn]\n", pieces.back());
    std::string body;
    for (size_t i = 0; i < row.chunks.size(); ++i) {
      EXPECT_EQ(row.chunks[i], pieces[i + 1].size()) << "chunk " << i;
      body += pieces[i + 1];
    }
    EXPECT_EQ(row.body, body);
  }
}

TEST_F(TraceLogTest, FiveThousandByteBodyLandsWholeInTheFile) {
  Marker(".slog");
  std::string text(5000, 'x');
  for (size_t i = 0; i < text.size(); i += 100) text[i] = static_cast<char>('0' + i / 100 % 10);
  log_printf('I', 42, "src/big", "Big", "%s", text.c_str());
  std::vector<TraceLine> lines = TraceLines(ReadFile(OwnTracePath()));
  ASSERT_EQ(1u, lines.size());
  EXPECT_EQ(text, lines[0].body);
  EXPECT_EQ(" [src/big-42-Big]", lines[0].tail);
}

// ----------------------------------------------------------------- hex dump

TEST_F(TraceLogTest, HexDumpBreaksRowsAfter39Bytes) {
  std::vector<unsigned char> bytes(200);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<unsigned char>(i * 37 + 0xA5);
  struct Row {
    int count;
    std::vector<std::string> rows;  // the pieces between head and tail
  };
  const Row rows[] = {
      {0, {}},
      {1, {TraceHex(bytes, 0, 1)}},
      {39, {TraceHex(bytes, 0, 39)}},
      {40, {TraceHex(bytes, 0, 39) + "\n", TraceHex(bytes, 39, 40)}},
      {120,
       {TraceHex(bytes, 0, 39) + "\n", TraceHex(bytes, 39, 78) + "\n",
        TraceHex(bytes, 78, 117) + "\n", TraceHex(bytes, 117, 120)}},
      // Over 120 bytes the dump starts on its own line.
      {121,
       {"\n" + TraceHex(bytes, 0, 39) + "\n", TraceHex(bytes, 39, 78) + "\n",
        TraceHex(bytes, 78, 117) + "\n", TraceHex(bytes, 117, 121)}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.count);
    PieceCapture capture(LOG_LEVEL_ALL);
    ASSERT_TRUE(capture.ok());
    time_t before = Now();
    log_hexdump(9, "src/hex", "Dump", bytes.data(), row.count);
    time_t after = Now();
    std::vector<std::string> pieces = capture.Pieces();
    ASSERT_EQ(row.rows.size() + 2, pieces.size());
    EXPECT_TRUE(IsHead(pieces.front(), pthread_self(), before, after));
    for (size_t i = 0; i < row.rows.size(); ++i) EXPECT_EQ(row.rows[i], pieces[i + 1]) << i;
    EXPECT_EQ(" [src/hex-9-Dump]\n", pieces.back());
  }
  {
    SCOPED_TRACE("one row holds 117 characters");
    PieceCapture capture(LOG_LEVEL_ALL);
    log_hexdump(9, "src/hex", "Dump", bytes.data(), 39);
    std::vector<std::string> pieces = capture.Pieces();
    ASSERT_EQ(3u, pieces.size());
    EXPECT_EQ(117u, pieces[1].size());
  }
  {
    SCOPED_TRACE("upper-case digits, one blank after each byte");
    const unsigned char some[] = {0x00, 0xAB, 0xff, 0x0f};
    PieceCapture capture(LOG_LEVEL_ALL);
    log_hexdump(1, "f", "g", some, 4);
    std::vector<std::string> pieces = capture.Pieces();
    ASSERT_EQ(3u, pieces.size());
    EXPECT_EQ("00 AB FF 0F ", pieces[1]);
  }
}

TEST_F(TraceLogTest, HexDumpNeedsTheFullTrace) {
  const unsigned char some[] = {1, 2, 3};
  {
    PieceCapture capture(LOG_LEVEL_I);
    ASSERT_TRUE(capture.ok());
    log_hexdump(1, "f", "g", some, 3);
    EXPECT_TRUE(capture.Pieces().empty());
  }
  // Before any log_printf the level is not known yet: nothing is opened.
  Marker(".slog");
  log_hexdump(1, "f", "g", some, 3);
  EXPECT_EQ(-1, gLogFD.load());
  EXPECT_FALSE(Exists(OwnTracePath()));
}

// ------------------------------------------------------ markers and the file

TEST_F(TraceLogTest, LogFileIsNamedAfterHomeProgramAndPidWithMode0600) {
  ASSERT_EQ("unit_tests", ExeBaseName());
  Marker(".slog");
  time_t before = Now();
  log_printf('I', 31, "src/name", "Name", "first %d", 1);
  time_t after = Now();
  const std::string path = OwnTracePath();
  struct stat st;
  ASSERT_EQ(0, lstat(path.c_str(), &st)) << path;
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(0600u, st.st_mode & 07777);
  EXPECT_GT(gLogFD.load(), 0);
  std::vector<TraceLine> lines = TraceLines(ReadFile(path));
  ASSERT_EQ(1u, lines.size());
  EXPECT_TRUE(IsHead(ReadFile(path).substr(0, kTraceHeadSize), pthread_self(), before, after));
  EXPECT_EQ("first 1", lines[0].body);
  EXPECT_EQ(" [src/name-31-Name]", lines[0].tail);
}

TEST_F(TraceLogTest, ExistingLogFileIsAppendedTo) {
  Marker(".slog");
  ASSERT_TRUE(WriteFile(OwnTracePath(), "earlier run\n", 0600));
  log_printf('I', 1, "src/a", "f", "later");
  std::string content = ReadFile(OwnTracePath());
  ASSERT_EQ(0u, content.find("earlier run\n"));
  std::vector<TraceLine> lines = TraceLines(content.substr(12));
  ASSERT_EQ(1u, lines.size());
  EXPECT_EQ("later", lines[0].body);
}

enum MarkerKind { kNone, kFile, kDirectory, kSymlink };

struct MarkerRow {
  const char* why;
  MarkerKind full;   // "<TMPDIR>/.slog"
  MarkerKind iOnly;  // "<TMPDIR>/.slog_varn"
  int tmpdir;        // 0 the test's directory, 1 empty, 2 unset
  int level;         // gLogLevel afterwards
  bool fileWritten;
  bool fLines;  // 'F' lines and hex dumps written
};

void MakeMarker(const std::string& path, MarkerKind kind) {
  if (kind == kFile) {
    ASSERT_TRUE(WriteFile(path, "", 0644));
  }
  if (kind == kDirectory) {
    ASSERT_EQ(0, mkdir(path.c_str(), 0755));
  }
  if (kind == kSymlink) {  // to a writable file beside it
    ASSERT_TRUE(WriteFile(path + ".target", "", 0666));
    ASSERT_EQ(0, symlink((path + ".target").c_str(), path.c_str()));
  }
}

TEST_F(TraceLogTest, MarkerFilesChooseTheLevel) {
  const MarkerRow rows[] = {
      {"both: full wins", kFile, kFile, 0, 0xF0F0, true, true},
      {"full only", kFile, kNone, 0, 0xF0F0, true, true},
      {"I-only only", kNone, kFile, 0, 0x1F1F, true, false},
      {"full is a directory: does not count", kDirectory, kFile, 0, 0x1F1F, true, false},
      {"full is a symbolic link: never followed", kSymlink, kFile, 0, 0x1F1F, true, false},
      {"I-only symbolic link alone", kNone, kSymlink, 0, 0, false, false},
      {"full directory alone", kDirectory, kNone, 0, 0, false, false},
      {"I-only directory alone", kNone, kDirectory, 0, 0, false, false},
      {"no marker", kNone, kNone, 0, 0, false, false},
      {"TMPDIR empty", kFile, kFile, 1, 0, false, false},
      {"TMPDIR unset", kFile, kFile, 2, 0, false, false},
  };
  const unsigned char dump[] = {0xDE, 0xAD};
  for (const MarkerRow& row : rows) {
    SCOPED_TRACE(row.why);
    TempDir dir("trace_log_test");
    MakeMarker(dir / ".slog", row.full);
    MakeMarker(dir / ".slog_varn", row.iOnly);
    if (row.tmpdir == 0) setenv("TMPDIR", dir.path().c_str(), 1);
    if (row.tmpdir == 1) setenv("TMPDIR", "", 1);
    if (row.tmpdir == 2) unsetenv("TMPDIR");
    ResetTrace();
    unlink(OwnTracePath().c_str());

    // The first call opens the log whatever its letter.
    log_printf('F', 1, "src/m", "f", "F line");
    EXPECT_EQ(row.level, gLogLevel);
    EXPECT_EQ(row.fileWritten, Exists(OwnTracePath()));
    if (row.fileWritten) {
      EXPECT_GT(gLogFD.load(), 0);
    } else {
      EXPECT_EQ(0, gLogFD.load());
    }
    if (row.fileWritten && !row.fLines) {
      EXPECT_EQ("", ReadFile(OwnTracePath()));
    }
    log_printf('I', 2, "src/m", "f", "I line");
    log_printf('X', 3, "src/m", "f", "X line");
    log_hexdump(4, "src/m", "f", dump, 2);

    std::vector<std::string> bodies;
    for (const TraceLine& line : TraceLines(ReadFile(OwnTracePath()))) bodies.push_back(line.body);
    std::vector<std::string> want;
    if (row.fLines)
      want = {"F line", "I line", "X line", "DE AD "};
    else if (row.fileWritten)
      want = {"I line"};
    EXPECT_EQ(want, bodies);

    ResetTrace();
    unlink(OwnTracePath().c_str());
  }
}

TEST_F(TraceLogTest, OffStaysOffForTheRun) {
  log_printf('I', 1, "src/a", "f", "nobody listens");
  EXPECT_EQ(0, gLogFD.load());
  Marker(".slog");
  log_printf('I', 2, "src/a", "f", "still nobody");
  EXPECT_EQ(0, gLogFD.load());
  EXPECT_FALSE(Exists(OwnTracePath()));
}

TEST_F(TraceLogTest, LogExitClosesAndTheNextCallAppendsToTheSameFile) {
  Marker(".slog");
  log_printf('I', 1, "src/a", "f", "before exit");
  int first = gLogFD.load();
  ASSERT_GT(first, 0);
  log_exit();
  EXPECT_EQ(-1, gLogFD.load());
  EXPECT_EQ(LOG_LEVEL_ALL, gLogLevel);
  EXPECT_EQ(-1, fcntl(first, F_GETFD)) << "descriptor left open";
  log_exit();  // harmless when closed
  log_printf('I', 2, "src/a", "f", "after exit");
  EXPECT_GT(gLogFD.load(), 0);
  std::vector<TraceLine> lines = TraceLines(ReadFile(OwnTracePath()));
  ASSERT_EQ(2u, lines.size());
  EXPECT_EQ("before exit", lines[0].body);
  EXPECT_EQ("after exit", lines[1].body);
}

TEST_F(TraceLogTest, MarkerPathThatDoesNotFitDoesNotCount) {
  // "/" + TMPDIR + "/.slog" has TMPDIR + 7 characters and must fit 1023;
  // "/.slog_varn" makes it TMPDIR + 12. A cut-short path must not be tried:
  // a file named like its cut end (".slo", ".slog_var") is laid as a trap.
  struct Row {
    size_t length;
    const char* marker;
    const char* trap;
    int level;
  };
  const Row rows[] = {
      {1016, ".slog", nullptr, 0xF0F0},
      {1017, ".slog", ".slo", 0},
      {1011, ".slog_varn", nullptr, 0x1F1F},
      {1012, ".slog_varn", ".slog_var", 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.length);
    TempDir base("trace_log_test");
    std::string tmpdir = DirOfLength(base.path(), row.length);
    ASSERT_EQ(row.length, tmpdir.size());
    ASSERT_TRUE(WriteFile(tmpdir + "/" + row.marker, "", 0644));
    if (row.trap != nullptr) {
      ASSERT_TRUE(WriteFile(tmpdir + "/" + row.trap, "", 0644));
    }
    setenv("TMPDIR", tmpdir.c_str(), 1);
    ResetTrace();
    log_printf('I', 1, "src/a", "f", "x");
    EXPECT_EQ(row.level, gLogLevel);
    EXPECT_EQ(row.level != 0, Exists(OwnTracePath()));
    ResetTrace();
    unlink(OwnTracePath().c_str());
  }
}

// Runs `body` in a forked child, as `uid` when it is not -1, with a time
// limit; returns its exit code, or 1000 + signal.
int RunInChild(const std::function<int()>& body, int uid, pid_t* childPid) {
  pid_t pid = fork();
  if (pid == 0) {
    alarm(10);
    if (uid != -1) {
      if (setgroups(0, nullptr) != 0 || setgid(uid) != 0 || setuid(uid) != 0) _exit(200);
    }
    _exit(body());
  }
  if (childPid != nullptr) *childPid = pid;
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid) return -1;
  if (WIFSIGNALED(status)) return 1000 + WTERMSIG(status);
  return WEXITSTATUS(status);
}

// What the child reports: 1 full level, 2 I-only level, +4 when the log opened.
int OpenAndReport() {
  ResetTrace();
  log_printf('I', 1, "src/a", "f", "x");
  int code = (gLogLevel == 0xF0F0 ? 1 : gLogLevel == 0x1F1F ? 2 : 0) + (gLogFD.load() > 0 ? 4 : 0);
  ResetTrace();
  unlink(OwnTracePath().c_str());
  return code;
}

TEST_F(TraceLogTest, MarkerTheUserCannotWriteDoesNotCount) {
  // Root may write any file, so these rows run as an unprivileged user; its
  // home (if any) may not take a log file, so only the level is reported.
  ASSERT_NE(nullptr, getpwuid(kNobody)) << "no user " << kNobody;
  struct Row {
    const char* why;
    mode_t full;   // 0: absent
    mode_t iOnly;  // 0: absent
    int level;     // 1 full, 2 I-only, 0 off
    uid_t owner;   // of the full marker
  };
  // In a shared temporary directory anyone may create the marker: only the
  // user's own and root's count.
  const uid_t kOtherUser = 1;
  const Row rows[] = {
      {"writable full marker of root's (control)", 0666, 0, 1, 0},
      {"write-only full marker counts: its content is never read", 0222, 0, 1, 0},
      {"read-only full marker does not count", 0444, 0, 0, 0},
      {"read-only full marker, writable I-only marker", 0444, 0666, 2, 0},
      {"read-only I-only marker does not count", 0, 0444, 0, 0},
      {"the user's own marker", 0600, 0, 1, kNobody},
      {"another user's writable marker does not count", 0666, 0, 0, kOtherUser},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.why);
    TempDir dir("trace_log_test");
    ASSERT_EQ(0, chmod(dir.path().c_str(), 0755));
    if (row.full != 0) {
      ASSERT_TRUE(WriteFile(dir / ".slog", "", row.full));
      ASSERT_EQ(0, chown((dir / ".slog").c_str(), row.owner, row.owner));
    }
    if (row.iOnly != 0) {
      ASSERT_TRUE(WriteFile(dir / ".slog_varn", "", row.iOnly));
    }
    setenv("TMPDIR", dir.path().c_str(), 1);
    int code = RunInChild(OpenAndReport, kNobody, nullptr);
    ASSERT_NE(200, code) << "could not drop to uid " << kNobody;
    ASSERT_TRUE(code >= 0 && code < 8) << "child ended with " << code;
    EXPECT_EQ(row.level, code & 3) << "child reported " << code;
  }
}

// The log file is opened where the password database says, in a directory
// someone else may write: a planted link or file must not receive the trace.
TEST_F(TraceLogTest, LogFileMustBeTheUsersOwnRegularFile) {
  ASSERT_NE(nullptr, getpwuid(kNobody)) << "no user " << kNobody;
  struct Row {
    const char* why;
    std::function<void(const std::string& path, const std::string& other)> plant;
    bool reader = true;  // a FIFO at the path has one
  };
  const Row rows[] = {
      {"a symbolic link to another file",
       [](const std::string& path, const std::string& other) {
         ASSERT_EQ(0, symlink(other.c_str(), path.c_str()));
       }},
      {"a second name of another file",
       [](const std::string& path, const std::string& other) {
         ASSERT_EQ(0, link(other.c_str(), path.c_str()));
       }},
      {"a file of another user",
       [](const std::string& path, const std::string&) {
         ASSERT_TRUE(WriteFile(path, "", 0666));
         ASSERT_EQ(0, chown(path.c_str(), kNobody, kNobody));
       }},
      {"a FIFO with a reader",
       [](const std::string& path, const std::string&) {
         ASSERT_EQ(0, mkfifo(path.c_str(), 0600));
       }},
      {"a FIFO without a reader: the open must not wait for one",
       [](const std::string& path, const std::string&) {
         ASSERT_EQ(0, mkfifo(path.c_str(), 0600));
       },
       false},
  };
  Marker(".slog");
  for (const Row& row : rows) {
    SCOPED_TRACE(row.why);
    const std::string other = dir_ / "other";
    ASSERT_TRUE(WriteFile(other, "", 0600));
    row.plant(OwnTracePath(), other);
    // A reader, so that opening the FIFO for writing would succeed.
    int reader = row.reader ? open(OwnTracePath().c_str(), O_RDONLY | O_NONBLOCK) : -1;
    ResetTrace();
    alarm(5);  // a blocking open ends the test instead of hanging it
    log_printf('I', 1, "src/a", "f", "secret");
    alarm(0);
    EXPECT_EQ(0, gLogFD.load());
    EXPECT_EQ("", ReadFile(other));
    if (reader >= 0) close(reader);
    ResetTrace();
    unlink(OwnTracePath().c_str());
    unlink(other.c_str());
  }
}

// Without a password-database entry the trace cannot be opened; the failure
// is remembered, not retried by every later call.
TEST_F(TraceLogTest, FailedOpenIsRememberedForTheProcess) {
  const int kNoSuchUser = 54321;
  ASSERT_EQ(nullptr, getpwuid(kNoSuchUser));
  ASSERT_EQ(0, chmod(dir_.path().c_str(), 0755));
  ASSERT_TRUE(WriteFile(dir_ / ".slog", "", 0666));
  int code = RunInChild(
      [] {
        ResetTrace();
        log_printf('I', 1, "src/a", "f", "x");
        return gLogFD.load() == 0 && gLogLevel == LOG_LEVEL_ALL ? 0 : 1;
      },
      kNoSuchUser, nullptr);
  EXPECT_EQ(0, code);
}

// A flood of datagrams under the full trace must not fill the disk: the file
// stops at 64 MiB, with one last whole line that says why.
// The limit is exact: a head that ends just where the room for the closing
// line begins is still written; the body after it no longer is.
TEST_F(TraceLogTest, APieceThatJustFitsUnderTheLimitIsWritten) {
  const off_t kLimit = 64 << 20, kRoom = 256;
  Marker(".slog");
  log_printf('I', 1, "src/a", "f", "x");  // a line, to learn the head's length
  log_exit();
  const off_t head = static_cast<off_t>(ReadFile(OwnTracePath()).find("| ") + 2);
  ASSERT_TRUE(WriteFile(OwnTracePath(), "", 0600));
  ASSERT_EQ(0, truncate(OwnTracePath().c_str(), kLimit - kRoom - head));
  log_printf('I', 1, "src/a", "f", "x");
  log_exit();
  std::string tail(static_cast<size_t>(kRoom + head), '\0');
  int fd = open(OwnTracePath().c_str(), O_RDONLY);
  tail.resize(static_cast<size_t>(pread(fd, &tail[0], tail.size(), kLimit - kRoom - head)));
  close(fd);
  EXPECT_EQ('|', tail[0]) << tail;
  EXPECT_NE(std::string::npos, tail.find("| \n|")) << tail;  // the head, then the closing line

  // One byte more and not even the head fits: the closing line comes first,
  // on a line of its own without a blank line before it.
  ASSERT_TRUE(WriteFile(OwnTracePath(), "", 0600));
  ASSERT_EQ(0, truncate(OwnTracePath().c_str(), kLimit - kRoom - head + 1));
  log_printf('I', 1, "src/a", "f", "x");
  log_exit();
  fd = open(OwnTracePath().c_str(), O_RDONLY);
  char first = 0;
  EXPECT_EQ(1, pread(fd, &first, 1, kLimit - kRoom - head + 1));
  close(fd);
  EXPECT_EQ('|', first);
}

TEST_F(TraceLogTest, FileStopsAt64MiBWithALineSayingSo) {
  const off_t kLimit = 64 << 20;
  Marker(".slog");
  ASSERT_TRUE(WriteFile(OwnTracePath(), "", 0600));
  ASSERT_EQ(0, truncate(OwnTracePath().c_str(), kLimit - 1000));  // a sparse file
  const std::string body(300, 'b');
  for (int i = 0; i < 10; ++i) log_printf('I', 1, "src/a", "f", "%s", body.c_str());
  log_exit();
  struct stat st;
  ASSERT_EQ(0, stat(OwnTracePath().c_str(), &st));
  EXPECT_LE(st.st_size, kLimit);
  EXPECT_GT(st.st_size, kLimit - 1000 + 300);
  std::string tail(static_cast<size_t>(st.st_size - (kLimit - 1000)), '\0');
  int fd = open(OwnTracePath().c_str(), O_RDONLY);
  ASSERT_EQ(static_cast<ssize_t>(tail.size()), pread(fd, &tail[0], tail.size(), kLimit - 1000));
  close(fd);
  std::vector<TraceLine> lines = TraceLines(tail);
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(body, lines[0].body);
  EXPECT_EQ("trace stopped: the file reached its limit of 64 MiB", lines.back().body);
  EXPECT_EQ(0u, lines.back().tail.find(" [src/trace_log-")) << lines.back().tail;
  // Later lines, in this process or after a reopen, add nothing.
  log_printf('I', 1, "src/a", "f", "more");
  struct stat again;
  ASSERT_EQ(0, stat(OwnTracePath().c_str(), &again));
  EXPECT_EQ(st.st_size, again.st_size);
}

TEST_F(TraceLogTest, FifoMarkerWithoutReaderDoesNotCountAndDoesNotBlock) {
  ASSERT_EQ(0, mkfifo((dir_ / ".slog").c_str(), 0666));
  pid_t child = 0;
  int code = RunInChild(OpenAndReport, -1, &child);
  unlink(OwnTracePath(child).c_str());
  EXPECT_EQ(0, code) << "1014 means the open blocked until the alarm";
}

// --------------------------------------------------------------- threads

TEST_F(TraceLogTest, ConcurrentLinesStayWholeAndInOrderPerThread) {
  const int kThreads = 4;
  const int kLines = 200;
  Marker(".slog");
  std::atomic<bool> go(false);
  std::vector<pthread_t> ids(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &go, &ids] {
      ids[t] = pthread_self();
      while (!go.load()) {
      }
      for (int n = 0; n < kLines; ++n)
        log_printf('I', t, "src/worker", "Work", "T%d #%d %s;", t, n, "payload");
    });
  }
  time_t before = Now();
  go = true;  // every thread's first call races to open the log
  for (std::thread& thread : threads) thread.join();
  time_t after = Now();

  // Exactly one descriptor of this process names the log file.
  int opened = 0;
  DIR* fds = opendir("/proc/self/fd");
  ASSERT_NE(nullptr, fds);
  for (struct dirent* entry; (entry = readdir(fds)) != nullptr;) {
    char target[4096] = {0};
    std::string link = std::string("/proc/self/fd/") + entry->d_name;
    if (readlink(link.c_str(), target, sizeof(target) - 1) > 0 && OwnTracePath() == target)
      ++opened;
  }
  closedir(fds);
  EXPECT_EQ(1, opened);

  // Pieces of different threads may interleave; each piece is whole. Walk the
  // file piece by piece and check that every thread wrote head, body, tail
  // for its lines 0..199 in order.
  const std::string content = ReadFile(OwnTracePath());
  const std::regex kBody(R"(^T(\d) #(\d+) payload;)");
  const std::regex kTail(R"(^ \[src/worker-(\d)-Work\]\n)");
  std::map<unsigned long, int> threadOf;
  for (int t = 0; t < kThreads; ++t) threadOf[static_cast<unsigned long>(ids[t])] = t;
  std::vector<int> expectNext(kThreads, 0);  // 0 head, 1 body, 2 tail
  std::vector<int> lineOf(kThreads, 0);
  size_t pos = 0;
  int pieces = 0;
  while (pos < content.size()) {
    std::string rest = content.substr(pos, 64);
    std::smatch match;
    int thread = -1;
    int kind = -1;
    size_t length = 0;
    if (rest[0] == '|') {
      kind = 0;
      length = kTraceHeadSize;
      std::string head = content.substr(pos, length);
      unsigned long id = strtoul(head.substr(20, 15).c_str(), nullptr, 10);
      ASSERT_EQ(1u, threadOf.count(id)) << "unknown thread in head at " << pos;
      thread = threadOf[id];
      EXPECT_TRUE(IsHead(head, ids[thread], before, after)) << "at " << pos;
    } else if (std::regex_search(rest, match, kBody)) {
      kind = 1;
      length = match[0].length();
      thread = std::stoi(match[1].str());
      EXPECT_EQ(lineOf[thread], std::stoi(match[2].str())) << "at " << pos;
    } else if (std::regex_search(rest, match, kTail)) {
      kind = 2;
      length = match[0].length();
      thread = std::stoi(match[1].str());
    }
    ASSERT_NE(-1, kind) << "unrecognised bytes at " << pos << ": " << rest;
    ASSERT_TRUE(thread >= 0 && thread < kThreads);
    ASSERT_EQ(expectNext[thread], kind) << "thread " << thread << " out of order at " << pos;
    expectNext[thread] = (kind + 1) % 3;
    if (kind == 2) ++lineOf[thread];
    pos += length;
    ++pieces;
  }
  EXPECT_EQ(kThreads * kLines * 3, pieces);
  for (int t = 0; t < kThreads; ++t) {
    EXPECT_EQ(kLines, lineOf[t]) << "thread " << t;
    EXPECT_EQ(0, expectNext[t]) << "thread " << t;
  }
}

}  // namespace
