// Waits for descriptors to become readable or writable with one select().
// The stored timeout is a budget: each wait leaves in it the time it did not
// use, and Rewait spends only that rest. The discovery relies on this to
// bound all of its waiting together, not the gap between two replies.
#ifndef NETBACKEND_DESCRIPTOR_WATCH_H_
#define NETBACKEND_DESCRIPTOR_WATCH_H_

#include <sys/select.h>
#include <sys/time.h>

#include <vector>

class DescriptorWatch {
 public:
  DescriptorWatch() { Clear(); }
  DescriptorWatch(const DescriptorWatch&) = delete;
  DescriptorWatch& operator=(const DescriptorWatch&) = delete;

  // Empty lists and a zero timeout.
  void Clear();

  // Registration. Descriptors a select() set cannot hold (negative, or 1024
  // and above) are ignored. Duplicates are kept.
  void AddRead(int fd);
  void AddWrite(int fd);
  void AddReadWrite(int fd);
  // Removes the first occurrence of `fd` from each list.
  void Remove(int fd);

  // Stores the timeout, then Rewait().
  int Wait(int seconds, int microseconds);
  // Waits with what is left of the stored timeout. Returns the number of
  // ready descriptors, 0 on timeout or when nothing is registered (at once,
  // timeout unchanged), -1 on error.
  int Rewait();

  bool Expired() const { return timeout_.tv_sec == 0 && timeout_.tv_usec == 0; }
  // The readiness the last wait left; false for descriptors out of range.
  bool IsReadable(int fd) const;
  bool IsWritable(int fd) const;

  const timeval& Timeout() const { return timeout_; }

 private:
  fd_set readSet_;
  fd_set writeSet_;
  timeval timeout_;
  std::vector<int> readList_;
  std::vector<int> writeList_;
};

#endif  // NETBACKEND_DESCRIPTOR_WATCH_H_
