#include "pjl_status.h"

#include <string.h>
#include <strings.h>

#include <cctype>

namespace {

const char kUel[] = "\x1b%-12345X";
const size_t kMaxName = 80;
// No field a printer sends is longer; a longer one is cut.
const size_t kMaxField = 255;

std::string Trimmed(const std::string& text) {
  size_t start = text.find_first_not_of(" \t\r");
  if (start == std::string::npos) return "";
  size_t end = text.find_last_not_of(" \t\r");
  return text.substr(start, end - start + 1);
}

bool StartsWith(const std::string& text, const char* prefix) {
  size_t n = strlen(prefix);
  return text.size() >= n && strncasecmp(text.c_str(), prefix, n) == 0;
}

// Digits only, and few enough of them to fit.
int Number(const std::string& text) {
  if (text.empty() || text.size() > 9) return -1;
  for (char c : text)
    if (!isdigit(static_cast<unsigned char>(c))) return -1;
  return std::stoi(text);
}

std::string Unquoted(const std::string& value) {
  std::string text = value;
  if (text.size() >= 2 && text.front() == '"' && text.back() == '"')
    text = text.substr(1, text.size() - 2);
  return text.substr(0, kMaxField);
}

// KEY=VALUE, with the blanks some printers put around '='.
bool KeyValue(const std::string& line, std::string& key, std::string& value) {
  size_t equals = line.find('=');
  if (equals == std::string::npos) return false;
  key = Trimmed(line.substr(0, equals));
  value = Trimmed(line.substr(equals + 1));
  return !key.empty();
}

// One answer, its lines without their ends; false for one not understood.
bool Parse(const std::vector<std::string>& lines, PjlMessage& message) {
  if (lines.empty() || !StartsWith(lines[0], "@PJL ")) return false;
  std::string head = Trimmed(lines[0].substr(5));
  if (StartsWith(head, "ECHO")) {
    message.kind = PjlKind::kEcho;
    message.text = Trimmed(head.substr(4)).substr(0, kMaxField);
    return true;
  }
  bool device = strcasecmp(head.c_str(), "USTATUS DEVICE") == 0 ||
                strcasecmp(head.c_str(), "INFO STATUS") == 0;
  bool job = strcasecmp(head.c_str(), "USTATUS JOB") == 0;
  bool page = strcasecmp(head.c_str(), "USTATUS PAGE") == 0;
  if (!device && !job && !page) return false;
  message.kind = device ? PjlKind::kDevice : PjlKind::kPage;
  bool known = device;
  for (size_t i = 1; i < lines.size(); ++i) {
    std::string key, value;
    if (page && Number(lines[i]) >= 0) {
      message.number = Number(lines[i]);
      known = true;
    } else if (job && strcasecmp(lines[i].c_str(), "START") == 0) {
      message.kind = PjlKind::kJobStart;
      known = true;
    } else if (job && strcasecmp(lines[i].c_str(), "END") == 0) {
      message.kind = PjlKind::kJobEnd;
      known = true;
    } else if (KeyValue(lines[i], key, value)) {
      if (strcasecmp(key.c_str(), "CODE") == 0) message.code = Number(value);
      if (strcasecmp(key.c_str(), "DISPLAY") == 0) message.display = Unquoted(value);
      if (strcasecmp(key.c_str(), "ONLINE") == 0)
        message.online = strcasecmp(value.c_str(), "FALSE") != 0;
      if (strcasecmp(key.c_str(), "NAME") == 0) message.text = Unquoted(value);
      if (strcasecmp(key.c_str(), "PAGES") == 0) message.number = Number(value);
    }
  }
  return known && !(device && message.code <= 0);
}

}  // namespace

unsigned PjlReasons(int code) {
  int group = code / 1000;
  if (group == 41) return kPjlMediaEmpty;
  if (code == 40022 || group == 42 || group == 44) return kPjlMediaJam;
  if (code == 40021) return kPjlCoverOpen;
  if (code == 10006 || code == 40038) return kPjlTonerLow;
  if (code == 10002 || code == 40079) return kPjlOffline;
  return 0;
}

bool PjlHolds(int code) {
  return (PjlReasons(code) & ~static_cast<unsigned>(kPjlTonerLow)) != 0 || code == 40038;
}

void PjlReader::Read(const char* data, size_t size, std::vector<PjlMessage>& out) {
  for (size_t i = 0; i < size; ++i) {
    char c = data[i];
    if (c != '\f') {
      if (skipping_) continue;
      if (pending_.size() >= kMaxAnswer) {
        skipping_ = true;
        pending_.clear();
        continue;
      }
      pending_ += c;
      continue;
    }
    if (!skipping_) {
      std::vector<std::string> lines;
      size_t start = 0;
      while (start <= pending_.size()) {
        size_t end = pending_.find('\n', start);
        if (end == std::string::npos) end = pending_.size();
        std::string line = Trimmed(pending_.substr(start, end - start));
        if (!line.empty()) lines.push_back(line);
        start = end + 1;
      }
      PjlMessage message;
      if (Parse(lines, message)) out.push_back(message);
    }
    pending_.clear();
    skipping_ = false;
  }
}

std::string PjlJobName(int jobId, const std::string& title) {
  std::string name = "netbackend job " + std::to_string(jobId);
  std::string clean;
  for (unsigned char c : title)
    if (c >= 0x20 && c < 0x7F && c != '"') clean += static_cast<char>(c);
  if (!clean.empty()) name += ": " + clean;
  return name.substr(0, kMaxName);
}

std::string PjlJobStart(const std::string& name, const std::string& token) {
  return std::string(kUel) + "@PJL JOB NAME=\"" + name + "\"\r\n" +
         "@PJL USTATUS DEVICE=ON\r\n@PJL USTATUS JOB=ON\r\n@PJL USTATUS PAGE=ON\r\n" +
         "@PJL INFO STATUS\r\n@PJL ECHO " + token + "\r\n";
}

std::string PjlJobEnd(const std::string& name) {
  return std::string(kUel) + "@PJL EOJ NAME=\"" + name + "\"\r\n" + kUel;
}
