#include "descriptor_watch.h"

#include <errno.h>

#include <algorithm>

namespace {

// select() sets hold descriptors 0 to FD_SETSIZE - 1 only; FD_SET on any
// other would write outside the set.
bool Representable(int fd) { return fd >= 0 && fd < FD_SETSIZE; }

void EraseFirst(std::vector<int>& list, int fd) {
  std::vector<int>::iterator it = std::find(list.begin(), list.end(), fd);
  if (it != list.end()) list.erase(it);
}

// Fills `set` from the descriptors of `list` it can hold; returns the
// highest descriptor of the list, -1 for none.
int Fill(fd_set* set, const std::vector<int>& list) {
  FD_ZERO(set);
  int highest = -1;
  for (size_t i = 0; i < list.size(); ++i) {
    if (Representable(list[i])) FD_SET(list[i], set);
    highest = std::max(highest, list[i]);
  }
  return highest;
}

}  // namespace

void DescriptorWatch::Clear() {
  readList_.clear();
  writeList_.clear();
  timeout_.tv_sec = 0;
  timeout_.tv_usec = 0;
  FD_ZERO(&readSet_);
  FD_ZERO(&writeSet_);
}

bool DescriptorWatch::AddRead(int fd) {
  if (fd >= 0) readList_.push_back(fd);
  return Representable(fd);
}

bool DescriptorWatch::AddWrite(int fd) {
  if (fd >= 0) writeList_.push_back(fd);
  return Representable(fd);
}

bool DescriptorWatch::AddReadWrite(int fd) {
  AddRead(fd);
  return AddWrite(fd);
}

void DescriptorWatch::Remove(int fd) {
  EraseFirst(readList_, fd);
  EraseFirst(writeList_, fd);
}

int DescriptorWatch::Wait(int seconds, int microseconds) {
  timeout_.tv_sec = seconds;
  timeout_.tv_usec = microseconds;
  return Rewait();
}

int DescriptorWatch::Rewait() {
  int highestRead = Fill(&readSet_, readList_);
  int highestWrite = Fill(&writeSet_, writeList_);
  if (highestRead < 0 && highestWrite < 0) return 0;
  if (highestRead >= FD_SETSIZE || highestWrite >= FD_SETSIZE) {
    FD_ZERO(&readSet_);
    FD_ZERO(&writeSet_);
    errno = EBADF;
    return -1;
  }
  // Linux's select() leaves the time not slept in `timeout_`, which is what
  // turns the stored timeout into a budget shared by successive waits.
  int result;
  if (highestRead < 0) {
    result = select(highestWrite + 1, nullptr, &writeSet_, nullptr, &timeout_);
  } else if (highestWrite < 0) {
    result = select(highestRead + 1, &readSet_, nullptr, nullptr, &timeout_);
  } else {
    result =
        select(std::max(highestRead, highestWrite) + 1, &readSet_, &writeSet_, nullptr, &timeout_);
  }
  return result < 0 ? -1 : result;
}

bool DescriptorWatch::IsReadable(int fd) const {
  return Representable(fd) && FD_ISSET(fd, &readSet_);
}

bool DescriptorWatch::IsWritable(int fd) const {
  return Representable(fd) && FD_ISSET(fd, &writeSet_);
}
