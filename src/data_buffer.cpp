#include "data_buffer.h"

#include <assert.h>
#include <string.h>

DataBuffer::DataBuffer(int capacity)
    : length_(0), capacity_(capacity), data_(new unsigned char[capacity]) {}

DataBuffer::~DataBuffer() {
  delete[] data_;
  data_ = nullptr;
  capacity_ = 0;
}

void DataBuffer::Reallocate(int capacity) {
  delete[] data_;
  data_ = nullptr;
  capacity_ = 0;
  length_ = 0;
  data_ = new unsigned char[capacity];
  capacity_ = capacity;
}

void DataBuffer::Assign(const unsigned char* source, int n) {
  assert(0 <= n && n <= capacity_);
  if (n > 0) memcpy(data_, source, static_cast<size_t>(n));
  length_ = n;
}

int DataBuffer::Consume(int n) {
  assert(0 <= n && n <= length_);
  if (n > 0) {
    memmove(data_, data_ + n, static_cast<size_t>(length_ - n));
    length_ -= n;
  }
  return length_;
}
