// The trace as its readers meet it: the file a process writes it to, and the
// parts of one of its lines. The file is "<home of the real user, from the
// password database>/<program file name>|<pid>.log"; a line reads
//   |MM/DD hh:mm:ss.mmm <thread id in 15 columns>| <body> [<source>-<line>-<function>]
// The C++ tests read traces only through here; the shell suites through
// e2e_trace_lines in e2e/lib/e2e.sh.
#ifndef NETBACKEND_TESTS_SUPPORT_TRACE_FILE_H_
#define NETBACKEND_TESTS_SUPPORT_TRACE_FILE_H_

#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <regex>
#include <string>
#include <vector>

#include "test_files.h"

// The file name of the program this process runs, its links resolved.
inline std::string ExeBaseName() {
  char exe[4096] = {0};
  if (readlink("/proc/self/exe", exe, sizeof(exe) - 1) < 0) return "";
  const char* slash = strrchr(exe, '/');
  return slash != nullptr ? slash + 1 : exe;
}

// Where process `pid`, running the program file `program`, writes its trace.
inline std::string TracePath(const std::string& program, pid_t pid) {
  return HomeDir() + "/" + program + "|" + std::to_string(pid) + ".log";
}
// The same for a process of this test program: this one or a forked child.
inline std::string OwnTracePath(pid_t pid = getpid()) { return TracePath(ExeBaseName(), pid); }

// The bytes of a head, from "|" to the blank after the second "|".
const size_t kTraceHeadSize = 37;

struct TraceLine {
  std::string stamp;   // "MM/DD hh:mm:ss.mmm"
  std::string thread;  // the writer's thread id, right-aligned in 15 columns
  std::string body;    // the whole text of a line that is no trace line
  std::string tail;    // " [<source>-<line>-<function>]"
  std::string source;
  int sourceLine = 0;
  std::string function;
};

// Reads a head; false when `head` is none.
inline bool ParseTraceHead(const std::string& head, TraceLine* line) {
  static const std::regex kHead(R"(\|(\d\d/\d\d \d\d:\d\d:\d\d\.\d{3}) ( *\d+)\| )");
  std::smatch match;
  if (head.size() != kTraceHeadSize || !std::regex_match(head, match, kHead)) return false;
  line->stamp = match[1];
  line->thread = match[2];
  return true;
}

// Reads one line of a trace file, without its newline; false when it is
// not a whole trace line. The tail is the last " [" and what follows it.
inline bool ParseTraceLine(const std::string& text, TraceLine* line) {
  static const std::regex kTail(R"( \[(.*?)-(\d+)-(\w+)\])");
  const size_t tail = text.rfind(" [");
  if (tail == std::string::npos || tail < kTraceHeadSize ||
      !ParseTraceHead(text.substr(0, kTraceHeadSize), line))
    return false;
  std::smatch match;
  const std::string tailText = text.substr(tail);
  if (!std::regex_match(tailText, match, kTail)) return false;
  line->body = text.substr(kTraceHeadSize, tail - kTraceHeadSize);
  line->tail = tailText;
  line->source = match[1];
  line->sourceLine = std::stoi(match[2]);
  line->function = match[3];
  return true;
}

// Every line of a trace file. A line that is no trace line (a row of a hex
// dump, or damage) comes with its whole text as the body and nothing else.
inline std::vector<TraceLine> TraceLines(const std::string& content) {
  std::vector<TraceLine> lines;
  for (const std::string& text : Lines(content)) {
    TraceLine line;
    if (!ParseTraceLine(text, &line)) line = TraceLine{"", "", text, "", "", 0, ""};
    lines.push_back(line);
  }
  return lines;
}

// The bodies of the lines that `source`'s `function` wrote, in order.
inline std::vector<std::string> TraceBodies(const std::string& content, const std::string& source,
                                            const std::string& function) {
  std::vector<std::string> bodies;
  for (const TraceLine& line : TraceLines(content))
    if (line.source == source && line.function == function) bodies.push_back(line.body);
  return bodies;
}

// Bytes [from, to) as a row of a hex dump shows them: two upper-case digits
// and a blank each.
inline std::string TraceHex(const std::vector<unsigned char>& bytes, size_t from, size_t to) {
  std::string text;
  char pair[4];
  for (size_t i = from; i < to; ++i) {
    snprintf(pair, sizeof(pair), "%.2X ", bytes[i]);
    text += pair;
  }
  return text;
}

#endif  // NETBACKEND_TESTS_SUPPORT_TRACE_FILE_H_
