// Waits for descriptors to become readable or writable with one select().
// The stored timeout is a budget: each wait leaves in it the time it did not
// use, and Rewait spends only that rest. The discovery relies on this to
// bound all of its waiting together, not the gap between two replies.
// Threads: a DescriptorWatch serves one thread at a time; nothing locks.
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

  // Registration; true when `fd` can be waited on. A negative one is
  // ignored. One that a select() set cannot hold (FD_SETSIZE, 1024, and
  // above: a long-running process gets there) is registered all the same,
  // and every wait fails while it stays (-1, errno EBADF): passed over, it
  // would never be reported ready. Duplicates are kept.
  bool AddRead(int fd);
  bool AddWrite(int fd);
  bool AddReadWrite(int fd);
  // Removes the first occurrence of `fd` from each list.
  void Remove(int fd);

  // Stores the timeout, then Rewait().
  int Wait(int seconds, int microseconds);
  // Waits with what is left of the stored timeout. Returns the number of
  // ready descriptors, 0 on timeout or when nothing is registered (at once,
  // timeout unchanged), -1 on error (errno set) and, at once, while a
  // descriptor of FD_SETSIZE or above is registered.
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
