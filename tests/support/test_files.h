// Files and directories the tests make, read and remove: trace files,
// records of the stand-in socket backend, temporary trees.
#ifndef NETBACKEND_TESTS_SUPPORT_TEST_FILES_H_
#define NETBACKEND_TESTS_SUPPORT_TEST_FILES_H_

#include <errno.h>
#include <fcntl.h>
#include <ftw.h>
#include <pwd.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sstream>
#include <string>
#include <vector>

// The running user's home from the password database, where traces land.
inline std::string HomeDir() {
  struct passwd* pw = getpwuid(getuid());
  return pw != nullptr && pw->pw_dir != nullptr ? pw->pw_dir : "";
}

inline bool Exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

inline std::string ReadFile(const std::string& path) {
  std::string content;
  int fd = open(path.c_str(), O_RDONLY);
  if (fd < 0) return content;
  char buffer[65536];
  ssize_t n;
  while ((n = read(fd, buffer, sizeof(buffer))) > 0) content.append(buffer, static_cast<size_t>(n));
  close(fd);
  return content;
}

inline bool WriteFile(const std::string& path, const std::string& content, mode_t mode) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, mode);
  if (fd < 0) return false;
  bool ok = write(fd, content.data(), content.size()) == static_cast<ssize_t>(content.size());
  close(fd);
  return ok && chmod(path.c_str(), mode) == 0;
}

// Copies the file `from` to `to` with `mode` (a program under another
// name: a symbolic link would not change the name it runs under).
inline bool CopyFile(const std::string& from, const std::string& to, mode_t mode) {
  std::string bytes = ReadFile(from);
  return !bytes.empty() && WriteFile(to, bytes, mode);
}

inline std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

inline int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) {
  remove(path);
  return 0;
}

// Removes `path` and everything below it, links not followed.
inline void RemoveTree(const std::string& path) {
  if (!path.empty()) nftw(path.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
}

// Makes `path` and its missing parents.
inline bool MakeDirs(const std::string& path) {
  for (size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
    std::string part = path.substr(0, slash);
    if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) return false;
    if (slash == std::string::npos) return true;
  }
}

// Makes a directory under `base` whose path has exactly `length` characters.
inline std::string DirOfLength(const std::string& base, size_t length) {
  std::string path = base;
  while (path.size() < length) {
    size_t room = length - path.size() - 1;  // after the '/'
    // Components stay under NAME_MAX; never leave a single character over,
    // which could not hold "/" and a name.
    size_t component = room <= 200 ? room : (room == 201 ? 199 : 200);
    if (component == 0) return "";
    path += "/" + std::string(component, 'd');
  }
  return path.size() == length && MakeDirs(path) ? path : "";
}

// A fresh directory "/tmp/<name>.XXXXXX" (mode 0700), removed with
// everything in it at the end of its scope. path() is empty when it could
// not be made.
class TempDir {
 public:
  explicit TempDir(const std::string& name) {
    std::string pattern = "/tmp/" + name + ".XXXXXX";
    if (mkdtemp(&pattern[0]) != nullptr) path_ = pattern;
  }
  ~TempDir() { RemoveTree(path_); }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

#endif  // NETBACKEND_TESTS_SUPPORT_TEST_FILES_H_
