#include "wire_reader.h"

#include <string.h>

namespace {

// The longest name there is, in octets on the wire.
const unsigned kMaxNameOctets = 255;

// The lead bytes that mark a compression pointer inside a record's name.
// These three and no others, not every byte with the two top bits set: it
// is how the printers' replies are read in the field, where 0xC2, 0xC3 and
// 0xC5 and above start a label of that length. Do not "fix" it into the
// usual test on the top two bits.
bool IsPointerLead(unsigned char b) { return b == 0xC0 || b == 0xC1 || b == 0xC4; }

}  // namespace

std::string_view LabelText(const unsigned char* label, size_t length) {
  const void* zero = memchr(label, 0, length);
  size_t n = zero ? static_cast<size_t>(static_cast<const unsigned char*>(zero) - label) : length;
  return std::string_view(reinterpret_cast<const char*>(label), n);
}

uint16_t ReadName(const unsigned char* begin, const unsigned char* end, const unsigned char* pos,
                  std::string_view* first, std::string_view* second) {
  WireReader wire(begin, end);
  if (!wire.Seek(static_cast<size_t>(pos - begin))) return 0;
  unsigned char b;
  if (!wire.Peek8(0, &b)) return 0;
  if (b == 0) return 1;
  unsigned count = 0;
  bool pointerMet = false;
  int labels = 0;
  unsigned octets = 0;
  for (;;) {
    if (!wire.Peek8(0, &b)) return 0;
    if (IsPointerLead(b)) {
      unsigned char low;
      if (!wire.Peek8(1, &low)) return 0;
      if (!pointerMet) {
        count += 2;
        pointerMet = true;
      }
      // Behind a pointer the count is fixed; with both labels kept, nothing
      // further can change what the name yields. Every pointer followed
      // yields a label, so at most two are followed and a pointer leading
      // back into its own name cannot keep the walk going.
      if (labels >= 2) return static_cast<uint16_t>(count);
      // The byte at the target is taken as a label length whatever it is.
      if (!wire.Seek(((static_cast<unsigned>(b) << 8) | low) & 0x3FFF)) return 0;
      if (!wire.Peek8(0, &b)) return 0;
    } else if (!pointerMet) {
      count += b + 1u;
    }
    // The label, and the byte after it that says how the name goes on.
    if (wire.Left() < b + 2u) return 0;
    octets += b + 1u;
    if (octets + 1 > kMaxNameOctets) return 0;
    if (labels < 2) *(labels == 0 ? first : second) = LabelText(wire.Position() + 1, b);
    ++labels;
    wire.Skip(b + 1u);
    if (pointerMet && labels >= 2) return static_cast<uint16_t>(count);
    wire.Peek8(0, &b);
    if (b == 0) {
      if (!pointerMet) count += 1;
      return static_cast<uint16_t>(count);
    }
  }
}
