// The PJL interpreter of a print connection and the printer's condition;
// see pjl.h.
#include "pjl.h"

#include <algorithm>
#include <cctype>
#include <utility>

#include "log.h"

namespace {

const uint8_t kEsc = 0x1B;
const uint8_t kFormFeed = 0x0C;
// A PCL value beyond this is no count of bytes a sender means; saturating
// there keeps the arithmetic safe whatever the digits say.
const uint64_t kMaxValue = 0xFFFFFFFFu;

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

size_t SkipBlanks(const std::string& s, size_t i) {
  while (i < s.size() && IsBlank(s[i])) ++i;
  return i;
}

std::string Upper(std::string s) {
  for (char& c : s)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return s;
}

// The word at `*i` (after blanks): up to a blank, '=' or the end.
std::string Word(const std::string& s, size_t* i) {
  size_t b = SkipBlanks(s, *i), e = b;
  while (e < s.size() && !IsBlank(s[e]) && s[e] != '=') ++e;
  *i = e;
  return s.substr(b, e - b);
}

// A value: a quoted string without its quotes (to the end of the line
// when the closing one is missing), or a word.
std::string Value(const std::string& s, size_t* i) {
  size_t b = SkipBlanks(s, *i);
  if (b >= s.size() || s[b] != '"') {
    *i = b;
    return Word(s, i);
  }
  size_t e = s.find('"', b + 1);
  if (e == std::string::npos) e = s.size();
  *i = std::min(s.size(), e + 1);
  return s.substr(b + 1, e - b - 1);
}

// Reads "KEY [= VALUE]" pairs from `*i` on; true, with the value of the
// first KEY `key`, when there is one. Every round moves on by a byte at
// least, so a line of stray '=' ends too.
bool FindOption(const std::string& s, size_t i, const char* key, std::string* value) {
  while ((i = SkipBlanks(s, i)) < s.size()) {
    size_t before = i;
    std::string k = Upper(Word(s, &i));
    std::string v;
    i = SkipBlanks(s, i);
    if (i < s.size() && s[i] == '=') {
      ++i;
      v = Value(s, &i);
    }
    if (k == key) {
      *value = v;
      return true;
    }
    if (i == before) ++i;
  }
  return false;
}

bool AllDigits(const std::string& s) {
  return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace

bool StopsPrinting(const std::string& code) {
  if (code == "40021" || code == "40022" || code == "40038" || code == "40079" || code == "10002")
    return true;
  return code.size() == 5 && (code.compare(0, 2, "41") == 0 || code.compare(0, 2, "42") == 0 ||
                              code.compare(0, 2, "44") == 0);
}

bool ParseStatusFile(const std::string& text, PjlStatus* out, std::string* why) {
  if (text.size() > kMaxStatusFileBytes) {
    *why = "longer than " + std::to_string(kMaxStatusFileBytes) + " bytes";
    return false;
  }
  PjlStatus s;
  bool seen[3] = {false, false, false};
  size_t start = 0;
  int lineNo = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    start = end + 1;
    ++lineNo;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) continue;
    std::string where = "line " + std::to_string(lineNo);
    for (char c : line) {
      if (static_cast<unsigned char>(c) < 0x20) {
        *why = where + ": a control character";
        return false;
      }
    }
    size_t eq = line.find('=');
    std::string key = eq == std::string::npos ? line : line.substr(0, eq);
    std::string value = eq == std::string::npos ? "" : line.substr(eq + 1);
    int slot = key == "CODE" ? 0 : key == "DISPLAY" ? 1 : key == "ONLINE" ? 2 : -1;
    if (slot < 0 || eq == std::string::npos) {
      *why = where + ": not CODE=, DISPLAY= or ONLINE=";
      return false;
    }
    if (seen[slot]) {
      *why = where + ": " + key + " a second time";
      return false;
    }
    seen[slot] = true;
    if (slot == 0) {
      if (value.size() != 5 || !AllDigits(value)) {
        *why = where + ": CODE is not five digits";
        return false;
      }
      s.code = value;
    } else if (slot == 1) {
      s.display = value;
    } else if (value == "TRUE" || value == "FALSE") {
      s.online = value == "TRUE";
    } else {
      *why = where + ": ONLINE is neither TRUE nor FALSE";
      return false;
    }
  }
  *out = s;
  return true;
}

PjlScanner::PjlScanner(PjlStyle style, std::string peer) : style_(style), peer_(std::move(peer)) {}

void PjlScanner::Scan(const uint8_t* data, size_t n, const PjlStatus& status, std::string* out) {
  size_t i = 0;
  while (i < n) {
    if (state_ == State::kPayload) {
      size_t take = static_cast<size_t>(std::min<uint64_t>(payloadLeft_, n - i));
      payloadLeft_ -= take;
      i += take;
      if (payloadLeft_ == 0) state_ = afterPayload_;
      continue;
    }
    if (Step(data[i], status, out)) ++i;
  }
}

void PjlScanner::StatusChanged(const PjlStatus& status, std::string* out) {
  if (device_) Answer(StatusText("@PJL USTATUS DEVICE", status), out);
}

// Takes one byte in the current state; false when the byte ended that state
// without belonging to it and is to be taken again in the new one. Each
// such hand-over leads on towards kData, which takes every byte, so a byte
// is taken after three rounds at most.
bool PjlScanner::Step(uint8_t b, const PjlStatus& status, std::string* out) {
  switch (state_) {
    case State::kData:
      if (b == kEsc) state_ = State::kEscape;
      if (b == kFormFeed) PagePrinted(out);
      return true;
    case State::kEscape:
      if (b >= 0x21 && b <= 0x2F) {
        param_ = b;
        group_ = 0;
        ResetValue();
        state_ = State::kEscGroup;
        return true;
      }
      if (b == kEsc) return true;  // the first ESC was stray; this one starts the command
      state_ = State::kData;
      // A two-character command (ESC E) ends here; anything else is no
      // command and counts as data.
      return b >= 0x30 && b <= 0x7E;
    case State::kEscGroup:
      state_ = State::kEscValue;
      if (b >= 0x60 && b <= 0x7E) {
        group_ = b;
        return true;
      }
      return false;  // no group character (ESC %-12345X): the value starts here
    case State::kEscValue:
      if (b >= '0' && b <= '9') {
        if (!fraction_) value_ = std::min(kMaxValue, value_ * 10 + (b - '0'));
      } else if (b == '-' || b == '+') {
        negative_ = b == '-';
      } else if (b == '.') {
        fraction_ = true;
      } else if (b >= 0x40 && b <= 0x7E) {
        EndParameter(b);
      } else {
        state_ = State::kData;  // a broken command: the byte is data
        return false;
      }
      return true;
    case State::kPayload:
      return true;  // Scan skips payloads itself; no byte reaches here
    case State::kLineStart:
      if (std::toupper(b) == "@PJL"[line_.size()]) {
        line_.push_back(static_cast<char>(b));
        if (line_.size() == 4) state_ = State::kPjlLine;
        return true;
      }
      // Not PJL: the block is over and the printer's language takes the
      // byte. What was held ("@", "@P", "@PJ") holds no ESC or form feed.
      line_.clear();
      state_ = State::kData;
      return false;
    case State::kPjlLine:
      if (b == '\n') {
        if (!line_.empty() && line_.back() == '\r') line_.pop_back();
        std::string line;
        line.swap(line_);
        dataFollows_ = false;
        Command(line, status, out);
        state_ = dataFollows_ ? State::kData : State::kLineStart;
        return true;
      }
      if (b == kEsc) {
        // A line cut short, most likely by a UEL: the escape is read as
        // such so that the stream is followed again from there.
        Log("pjl from %s: unterminated line dropped: %s", peer_.c_str(), Escape(line_).c_str());
        line_.clear();
        state_ = State::kData;
        return false;
      }
      if (line_.size() >= kMaxLine) {
        Log("pjl from %s: line longer than %zu bytes dropped: %.40s...", peer_.c_str(), kMaxLine,
            Escape(line_).c_str());
        line_.clear();
        state_ = State::kDropLine;
        return true;
      }
      line_.push_back(static_cast<char>(b));
      return true;
    case State::kDropLine:
      if (b == '\n') state_ = State::kLineStart;
      if (b != kEsc) return true;
      state_ = State::kData;
      return false;
  }
  return true;
}

// A letter ends a parameter: an upper-case one the whole command, a
// lower-case one only this parameter of a combined command (ESC *b2m100W).
void PjlScanner::EndParameter(uint8_t letter) {
  const bool last = letter <= 0x5E;
  const uint8_t upper = last ? letter : static_cast<uint8_t>(letter - 0x20);
  if (last && param_ == '%' && group_ == 0 && upper == 'X' && negative_ && value_ == 12345 &&
      !fraction_) {
    state_ = State::kLineStart;  // UEL: PJL may follow
    line_.clear();
    return;
  }
  // Commands that W ends carry that many bytes of binary data (raster rows,
  // fonts, patterns, palettes), as do a raster plane (ESC *b#V) and
  // transparent data (ESC &p#X); a form feed in them is no page.
  const bool data = upper == 'W' || (param_ == '*' && group_ == 'b' && upper == 'V') ||
                    (param_ == '&' && group_ == 'p' && upper == 'X');
  const uint64_t bytes = data && !negative_ ? value_ : 0;
  const State next = last ? State::kData : State::kEscValue;
  ResetValue();
  if (bytes > 0) {
    payloadLeft_ = bytes;
    afterPayload_ = next;
    state_ = State::kPayload;
  } else {
    state_ = next;
  }
}

void PjlScanner::ResetValue() {
  value_ = 0;
  negative_ = false;
  fraction_ = false;
}

// One PJL line, without its line end. Commands are matched without regard
// to case, as printers do.
void PjlScanner::Command(const std::string& line, const PjlStatus& status, std::string* out) {
  Log("pjl from %s: %s", peer_.c_str(), Escape(line).c_str());
  size_t i = 4;  // past "@PJL"
  const std::string cmd = Upper(Word(line, &i));
  if (cmd.empty()) return;  // "@PJL" alone opens a block and asks nothing
  if (cmd == "ECHO") {
    std::string text = line.substr(SkipBlanks(line, i));
    Answer(text.empty() ? "@PJL ECHO" : "@PJL ECHO " + text, out);
    return;
  }
  if (cmd == "INFO") {
    if (Upper(Word(line, &i)) == "STATUS") {
      Answer(StatusText("@PJL INFO STATUS", status), out);
      return;
    }
  } else if (cmd == "USTATUSOFF") {
    device_ = job_ = page_ = false;
    return;
  } else if (cmd == "USTATUS") {
    const std::string what = Upper(Word(line, &i));
    i = SkipBlanks(line, i);
    if (i < line.size() && line[i] == '=') ++i;
    const std::string value = Upper(Word(line, &i));
    const bool on = value == "ON" || (what == "DEVICE" && value == "VERBOSE");
    if (on || value == "OFF") {
      if (what == "DEVICE") {
        device_ = on;
        return;
      }
      if (what == "JOB") {
        job_ = on;
        return;
      }
      if (what == "PAGE") {
        page_ = on;
        return;
      }
    }
  } else if (cmd == "JOB") {
    std::string name;
    FindOption(line, i, "NAME", &name);
    pages_ = 0;
    if (job_) Answer("@PJL USTATUS JOB\r\nSTART\r\n" + Field("NAME", "\"" + name + "\""), out);
    return;
  } else if (cmd == "EOJ") {
    // Pages print as they are read, so by the time EOJ is read every page
    // of the job has: the END is due now.
    std::string name;
    FindOption(line, i, "NAME", &name);
    if (job_)
      Answer("@PJL USTATUS JOB\r\nEND\r\n" + Field("NAME", "\"" + name + "\"") + "\r\n" +
                 Field("PAGES", std::to_string(pages_)),
             out);
    pages_ = 0;
    return;
  } else if (cmd == "ENTER") {
    std::string language;
    if (FindOption(line, i, "LANGUAGE", &language)) {
      dataFollows_ = true;
      return;
    }
  }
  Log("pjl from %s: ignored", peer_.c_str());
}

void PjlScanner::PagePrinted(std::string* out) {
  ++pages_;
  if (page_) Answer("@PJL USTATUS PAGE\r\n" + std::to_string(pages_), out);
}

// `text` is the answer's lines joined by CR LF; the line end and the form
// feed that closes every answer are added here, in the printer's style.
void PjlScanner::Answer(const std::string& text, std::string* out) {
  std::string a = text + (style_.crlfBeforeFormFeed ? "\r\n\f" : "\f");
  Log("pjl to %s: %s", peer_.c_str(), Escape(a).c_str());
  *out += a;
}

std::string PjlScanner::Field(const char* key, const std::string& value) const {
  return key + std::string(style_.spacedEquals ? " = " : "=") + value;
}

std::string PjlScanner::StatusText(const char* head, const PjlStatus& status) const {
  return std::string(head) + "\r\n" + Field("CODE", status.code) + "\r\n" +
         Field("DISPLAY", "\"" + status.display + "\"") + "\r\n" +
         Field("ONLINE", status.online ? "TRUE" : "FALSE");
}
