#include "state_paths.h"

#include <ctype.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

namespace {

// How PAPPL writes a job's state among its options; values are quoted and
// their quotes escaped, so only the option itself reads so.
const char kJobLine[] = "Job ";
const char kProcessing[] = " state=\"5\"";
const char kPending[] = " state=\"3\"";

std::string Folder(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

bool SyncPath(const std::string& path, int flags) {
  int fd = open(path.c_str(), flags | O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = fsync(fd) == 0;
  close(fd);
  return ok;
}

bool WriteAll(int fd, const std::string& content) {
  const char* data = content.data();
  size_t left = content.size();
  while (left > 0) {
    ssize_t n = write(fd, data, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      // A short write to a full disk leaves errno as it was.
      if (n == 0) errno = ENOSPC;
      return false;
    }
    data += n;
    left -= static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

std::string StateFile(const std::string& name) {
  const char* snap = getenv("SNAP_COMMON");
  if (snap != nullptr && *snap != '\0') return std::string(snap) + "/" + name + ".state";
  if (getuid() == 0) return "/var/lib/" + name + ".state";
  const char* tmp = getenv("TMPDIR");
  std::string dir = tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
  return dir + "/" + name + std::to_string(getuid()) + ".state";
}

bool WriteFileDurably(const std::string& path, const std::string& content, std::string& error) {
  const std::string next = path + ".new";
  int fd = open(next.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) {
    error = next + ": " + strerror(errno);
    return false;
  }
  bool ok = WriteAll(fd, content) && fsync(fd) == 0;
  int saved = errno;
  ok = close(fd) == 0 && ok;
  if (ok && rename(next.c_str(), path.c_str()) != 0) {
    ok = false;
    saved = errno;
  }
  if (!ok) {
    error = path + ": " + strerror(saved);
    unlink(next.c_str());
    return false;
  }
  if (!SyncPath(Folder(path), O_RDONLY | O_DIRECTORY)) {
    error = Folder(path) + ": " + strerror(errno);
    return false;
  }
  return true;
}

bool SyncFileAndFolder(const std::string& path) {
  return SyncPath(path, O_RDONLY) && SyncPath(Folder(path), O_RDONLY | O_DIRECTORY);
}

std::string RequeueProcessingJobs(const std::string& state) {
  std::string out;
  out.reserve(state.size());
  size_t start = 0;
  while (start < state.size()) {
    size_t end = state.find('\n', start);
    end = end == std::string::npos ? state.size() : end + 1;
    std::string line = state.substr(start, end - start);
    if (line.compare(0, sizeof(kJobLine) - 1, kJobLine) == 0) {
      size_t at = line.find(kProcessing);
      if (at != std::string::npos) line.replace(at, sizeof(kProcessing) - 1, kPending);
    }
    out += line;
    start = end;
  }
  return out;
}

namespace {

const char kEnd[] = "end";

std::string Escape(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '%' || c == '\n' || c == '\r' || c == '\0') {
      char code[4];
      snprintf(code, sizeof code, "%%%02X", static_cast<unsigned char>(c));
      out += code;
    } else {
      out += c;
    }
  }
  return out;
}

bool Unescape(const std::string& text, std::string& out) {
  out.clear();
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out += text[i];
      continue;
    }
    if (i + 2 >= text.size() || !isxdigit(static_cast<unsigned char>(text[i + 1])) ||
        !isxdigit(static_cast<unsigned char>(text[i + 2])))
      return false;
    out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
    i += 2;
  }
  return true;
}

bool Number(const std::string& text, int& value) {
  if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos)
    return false;
  value = std::stoi(text);
  return value > 0;
}

}  // namespace

std::string FormatJobRecord(const JobRecord& record) {
  std::string text = "printer=" + std::to_string(record.printerId) + "\n" +
                     "job=" + std::to_string(record.jobId) + "\n" + "user=" + Escape(record.user) +
                     "\n" + "format=" + Escape(record.format) + "\n" +
                     "name=" + Escape(record.name) + "\n" + "file=" + Escape(record.file) + "\n";
  for (const auto& option : record.options)
    text += "option=" + Escape(option.first) + "=" + Escape(option.second) + "\n";
  // A record cut short by a crash lacks its last line, and is not trusted.
  return text + kEnd + "\n";
}

bool ParseJobRecord(const std::string& text, JobRecord& record) {
  record = JobRecord();
  bool ended = false;
  size_t start = 0;
  while (start < text.size() && !ended) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) return false;
    std::string line = text.substr(start, end - start);
    start = end + 1;
    if (line == kEnd) {
      ended = true;
      continue;
    }
    size_t equals = line.find('=');
    if (equals == std::string::npos) return false;
    std::string key = line.substr(0, equals), value = line.substr(equals + 1), plain;
    if (key == "printer") {
      if (!Number(value, record.printerId)) return false;
    } else if (key == "job") {
      if (!Number(value, record.jobId)) return false;
    } else if (key == "option") {
      size_t split = value.find('=');
      std::string name, setting;
      if (split == std::string::npos || !Unescape(value.substr(0, split), name) ||
          !Unescape(value.substr(split + 1), setting))
        return false;
      record.options.emplace_back(name, setting);
    } else if (!Unescape(value, plain)) {
      return false;
    } else if (key == "user") {
      record.user = plain;
    } else if (key == "format") {
      record.format = plain;
    } else if (key == "name") {
      record.name = plain;
    } else if (key == "file") {
      record.file = plain;
    }
  }
  return ended && record.printerId > 0 && record.jobId > 0 && !record.file.empty() &&
         !record.format.empty();
}
