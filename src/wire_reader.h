// The DNS wire format as printers write it: a reader that never reads
// outside a received message, and the walk of a name with its compression
// pointers. The reply parser (kvt) reads every message through these.
// Threads: a WireReader serves one thread; its message outlives it, unchanged.
#ifndef NETBACKEND_WIRE_READER_H_
#define NETBACKEND_WIRE_READER_H_

#include <cstddef>
#include <cstdint>
#include <string_view>

// Reads a received message [begin, end) and nothing outside it: every read
// goes through one check against what is left, so a count, a length or a
// pointer that leads past the end fails the read instead of reading there.
class WireReader {
 public:
  WireReader(const unsigned char* begin, const unsigned char* end)
      : begin_(begin), pos_(begin), end_(end) {}

  size_t Left() const { return static_cast<size_t>(end_ - pos_); }
  const unsigned char* Position() const { return pos_; }
  const unsigned char* Begin() const { return begin_; }
  const unsigned char* End() const { return end_; }

  // Moves to `offset` from the start; false (and no move) past the end.
  bool Seek(size_t offset) {
    if (offset > static_cast<size_t>(end_ - begin_)) return false;
    pos_ = begin_ + offset;
    return true;
  }
  bool Skip(size_t n) {
    if (Left() < n) return false;
    pos_ += n;
    return true;
  }
  // The byte `ahead` bytes on, not moving.
  bool Peek8(size_t ahead, unsigned char* value) const {
    if (Left() <= ahead) return false;
    *value = pos_[ahead];
    return true;
  }
  // The big-endian 16-bit field `ahead` bytes on, not moving.
  bool Peek16(size_t ahead, uint16_t* value) const {
    if (Left() < ahead + 2) return false;
    *value = static_cast<uint16_t>((pos_[ahead] << 8) | pos_[ahead + 1]);
    return true;
  }

 private:
  const unsigned char* begin_;
  const unsigned char* pos_;
  const unsigned char* end_;
};

// A label's or a character-string's text: its `length` bytes, ended early
// by the first zero byte among them.
std::string_view LabelText(const unsigned char* label, size_t length);

// Reads the name at `pos` of the message [begin, end) and sets `first` and
// `second` to the texts of its first two labels (each cut at its first zero
// byte), in the order they are met, whether written in place or reached
// through a pointer; a name of fewer labels leaves the rest untouched.
// Returns the bytes the name takes up at its place: the labels written
// there, plus 1 for the closing zero byte or 2 for a pointer that ends it.
// Returns 0 when it would read outside the message or hold more than a
// name can (255 octets). Once a pointer has fixed the count and both labels
// are read, the rest of the name is not read: at most two pointers are
// ever followed, so no loop of pointers can keep the walk going.
uint16_t ReadName(const unsigned char* begin, const unsigned char* end, const unsigned char* pos,
                  std::string_view* first, std::string_view* second);

#endif  // NETBACKEND_WIRE_READER_H_
