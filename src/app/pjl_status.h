// What a printer that speaks PJL says on a job's own connection, and what
// the job says to it: the job's PJL frame (its name, the status it asks
// for, an echo to learn whether the printer answers at all), and a reader
// of the printer's answers (each ends with a form feed) that turns them
// into its condition, its panel's text, the pages printed and the job's
// end. The printer's bytes are untrusted: every line and field is bounded,
// and what cannot be read is passed over. No PAPPL here.
// Threads: a reader belongs to one job's thread.
#ifndef NETBACKEND_APP_PJL_STATUS_H_
#define NETBACKEND_APP_PJL_STATUS_H_

#include <cstddef>
#include <string>
#include <vector>

// What the printer's status code stands for, as IPP's printer-state-reasons
// say it (the keywords a client reads).
enum PjlReason : unsigned {
  kPjlMediaEmpty = 1u << 0,  // paper to load: media-empty and media-needed
  kPjlMediaJam = 1u << 1,
  kPjlCoverOpen = 1u << 2,
  kPjlTonerLow = 1u << 3,
  kPjlOffline = 1u << 4,  // the printer itself says so, not the network
};

// The reasons of a status code: 41xyy paper, 40022, 42xyy and 44xyy jams,
// 40021 a cover or door open, 10006 and 40038 toner low, 10002 and 40079
// offline; none for ready (10001), printing (10023) and the rest.
unsigned PjlReasons(int code);

// Whether the printer does not print on while it has this code, and so
// may keep a job for as long as someone takes to mend it.
bool PjlHolds(int code);

enum class PjlKind { kEcho, kDevice, kJobStart, kJobEnd, kPage };

// One answer of the printer.
struct PjlMessage {
  PjlKind kind = PjlKind::kDevice;
  std::string text;  // kEcho: what came back; kJob*: the job's name
  int number = -1;   // kPage: pages so far; kJobEnd: PAGES, -1 when absent
  // kDevice (USTATUS DEVICE, INFO STATUS): the condition.
  int code = 0;
  std::string display;  // the panel's text, as the printer sent it
  bool online = true;
};

class PjlReader {
 public:
  // An answer longer than this is not one a printer sends: it is passed
  // over up to its form feed.
  static const size_t kMaxAnswer = 4096;

  // Reads `size` bytes and appends each answer they complete.
  void Read(const char* data, size_t size, std::vector<PjlMessage>& out);

 private:
  std::string pending_;
  bool skipping_ = false;  // inside an answer too long to keep
};

// The job's name in PJL: at most 80 characters, the job's id first so that
// answers can be matched, no quote or control character.
std::string PjlJobName(int jobId, const std::string& title);

// What goes before the document: the universal exit, the job, the status
// the job wants told, the printer's condition now, and an echo of `token`.
std::string PjlJobStart(const std::string& name, const std::string& token);

// What goes after the document: back to PJL, the end of the job, and the
// universal exit, after which nothing is sent.
std::string PjlJobEnd(const std::string& name);

#endif  // NETBACKEND_APP_PJL_STATUS_H_
