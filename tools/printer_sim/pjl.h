// The PJL side of a print connection, for --pjl: a printer whose IEEE 1284
// ID lists PJL answers on the connection that brings it the job. PjlScanner
// follows the incoming bytes as the printer's interpreter does (PJL lines
// after a UEL, PCL data after them until the next UEL), counts the pages
// the PCL data ejects and writes the answers; the simulator (simulator.cpp)
// feeds it what it reads and sends what it writes. PjlStatus is the
// printer's condition, which --pjl-status reads from a file.
#ifndef PRINTER_SIM_PJL_H_
#define PRINTER_SIM_PJL_H_

#include <cstddef>
#include <cstdint>
#include <string>

// The printer's condition as INFO STATUS and USTATUS DEVICE report it.
struct PjlStatus {
  std::string code = "10001";  // five digits
  std::string display = "READY";
  bool online = true;

  bool operator==(const PjlStatus& o) const {
    return code == o.code && display == o.display && online == o.online;
  }
  bool operator!=(const PjlStatus& o) const { return !(*this == o); }
};

// Whether a printer in condition `code` stops taking print data: cover
// open, jam, toner out, offline, not ready, and every paper-to-load or jam
// code of the 41xyy, 42xyy and 44xyy ranges. Every other code prints.
bool StopsPrinting(const std::string& code);

// The most a status file may hold.
const size_t kMaxStatusFileBytes = 4096;

// Reads the text of a status file: up to three lines CODE=<5 digits>,
// DISPLAY=<text> and ONLINE=TRUE|FALSE, in any order, each at most once;
// a line left out keeps its default. Returns false, with the reason in
// `why` and `out` untouched, for anything else, and for a text longer than
// kMaxStatusFileBytes.
bool ParseStatusFile(const std::string& text, PjlStatus* out, std::string* why);

// How a printer writes its answers. Readers meet printers that differ from
// the usual in these ways, and must take them as well.
struct PjlStyle {
  bool spacedEquals = false;       // "CODE = 10001" rather than "CODE=10001"
  bool crlfBeforeFormFeed = true;  // false: the last line ends with the form feed alone
};

// One print connection's interpreter. Every byte goes through Scan, in
// order, however the reads split them; it keeps no more than one PJL line
// (kMaxLine bytes) of them.
class PjlScanner {
 public:
  // The longest PJL line it takes; a longer one is dropped whole.
  static const size_t kMaxLine = 1024;

  // `peer` names the connection on the log.
  PjlScanner(PjlStyle style, std::string peer);

  // Follows `n` bytes of the stream, appending to `out` the answers they
  // call for; `status` is the printer's condition now. A page counts as
  // printed when its form feed is scanned: the simulator scans only what
  // the printer reads, and it reads only while it prints.
  void Scan(const uint8_t* data, size_t n, const PjlStatus& status, std::string* out);

  // The printer's condition changed to `status`: appends the unsolicited
  // report to `out` when the peer asked for them.
  void StatusChanged(const PjlStatus& status, std::string* out);

 private:
  enum class State {
    kData,       // PCL: counting form feeds, looking for escapes
    kEscape,     // after ESC
    kEscGroup,   // after ESC and a parameterized character
    kEscValue,   // in the value of a parameter
    kPayload,    // skipping the binary data a command announced
    kLineStart,  // after a UEL or a PJL line: "@PJL" starts another
    kPjlLine,    // collecting a PJL line up to its LF
    kDropLine,   // skipping the rest of an over-long line
  };

  bool Step(uint8_t b, const PjlStatus& status, std::string* out);
  void EndParameter(uint8_t letter);
  void ResetValue();
  void Command(const std::string& line, const PjlStatus& status, std::string* out);
  void PagePrinted(std::string* out);
  void Answer(const std::string& text, std::string* out);
  std::string Field(const char* key, const std::string& value) const;
  std::string StatusText(const char* head, const PjlStatus& status) const;

  PjlStyle style_;
  std::string peer_;
  State state_ = State::kData;  // a connection starts in the printer's language
  std::string line_;
  bool dataFollows_ = false;  // ENTER LANGUAGE: the bytes after this line are data
  // The PCL command being read: its parameterized and group characters and
  // the value of its current parameter (saturated, so any length is safe).
  uint8_t param_ = 0;
  uint8_t group_ = 0;
  uint64_t value_ = 0;
  bool negative_ = false;
  bool fraction_ = false;
  uint64_t payloadLeft_ = 0;
  State afterPayload_ = State::kData;
  // What the peer asked to hear unsolicited (USTATUS).
  bool device_ = false;
  bool job_ = false;
  bool page_ = false;
  uint64_t pages_ = 0;  // since the last JOB or EOJ
};

#endif  // PRINTER_SIM_PJL_H_
