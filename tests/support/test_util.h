// Small things every kind of test uses: a descriptor closed with its scope,
// an environment variable set for a scope, bytes that are not all alike,
// and the clock that tests measure waits with.
#ifndef NETBACKEND_TESTS_SUPPORT_TEST_UTIL_H_
#define NETBACKEND_TESTS_SUPPORT_TEST_UTIL_H_

#include <stdlib.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

using Bytes = std::vector<unsigned char>;

// A descriptor, closed with its scope or when another takes its place.
class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() { Reset(-1); }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  void Reset(int fd) {
    if (fd_ >= 0) close(fd_);
    fd_ = fd;
  }
  int get() const { return fd_; }

 private:
  int fd_;
};

// Sets the environment variable `name` to `value` (unsets it for nullptr)
// and, at the end of the scope, puts back what it was.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    const char* old = getenv(name);
    hadOld_ = old != nullptr;
    if (hadOld_) old_ = old;
    Set(value);
  }
  ~ScopedEnv() { Set(hadOld_ ? old_.c_str() : nullptr); }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  void Set(const char* value) {
    if (value != nullptr)
      setenv(name_.c_str(), value, 1);
    else
      unsetenv(name_.c_str());
  }
  std::string name_;
  bool hadOld_;
  std::string old_;
};

// `size` bytes seed, seed + 7, seed + 14, ... (mod 256): two patterns of
// different seeds or sizes differ, so a byte out of place shows.
inline Bytes Pattern(int size, int seed) {
  Bytes bytes(static_cast<size_t>(size));
  for (int i = 0; i < size; ++i)
    bytes[static_cast<size_t>(i)] = static_cast<unsigned char>(seed + i * 7);
  return bytes;
}

using Clock = std::chrono::steady_clock;

inline double MillisecondsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

inline long Microseconds(const timeval& t) { return t.tv_sec * 1000000L + t.tv_usec; }

#endif  // NETBACKEND_TESTS_SUPPORT_TEST_UTIL_H_
