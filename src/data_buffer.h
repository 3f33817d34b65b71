// A fixed-capacity byte buffer with a count of valid bytes: carries the query
// out and each received datagram in. It never grows by itself.
// Threads: a DataBuffer serves one thread at a time.
#ifndef NETBACKEND_DATA_BUFFER_H_
#define NETBACKEND_DATA_BUFFER_H_

#include <cassert>

class DataBuffer {
 public:
  explicit DataBuffer(int capacity);
  ~DataBuffer();
  DataBuffer(const DataBuffer&) = delete;
  DataBuffer& operator=(const DataBuffer&) = delete;

  // Replaces the storage with `capacity` fresh bytes; content and length are
  // not kept (length becomes 0).
  void Reallocate(int capacity);

  // Copies `n` bytes to the start. Requires: 0 <= n <= Capacity().
  void Assign(const unsigned char* source, int n);

  // Drops the first `n` valid bytes; returns the new length.
  // Requires: 0 <= n <= Length().
  int Consume(int n);

  // Requires: 0 <= n <= Capacity().
  void SetLength(int n) {
    assert(0 <= n && n <= capacity_);
    length_ = n;
  }

  int Length() const { return length_; }
  int Capacity() const { return capacity_; }
  unsigned char* Data() { return data_; }
  const unsigned char* Data() const { return data_; }

 private:
  int length_;
  int capacity_;
  unsigned char* data_;
};

#endif  // NETBACKEND_DATA_BUFFER_H_
