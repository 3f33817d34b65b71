// libFuzzer target for the PJL reader: what a printer sends on a job's
// connection. Every field stays within its bound, and the answers read do
// not depend on how the bytes were split into reads.
#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "fuzz_check.h"
#include "pjl_status.h"

namespace {

bool Same(const PjlMessage& a, const PjlMessage& b) {
  return a.kind == b.kind && a.text == b.text && a.number == b.number && a.code == b.code &&
         a.display == b.display && a.online == b.online;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  // The first byte chooses the size of the reads of the rest.
  size_t step = 1 + data[0] % 64;
  const char* bytes = reinterpret_cast<const char*>(data + 1);
  size_t left = size - 1;
  PjlReader whole, split;
  std::vector<PjlMessage> once, pieces;
  whole.Read(bytes, left, once);
  for (size_t at = 0; at < left; at += step)
    split.Read(bytes + at, left - at < step ? left - at : step, pieces);
  FUZZ_CHECK(once.size() == pieces.size());
  for (size_t i = 0; i < once.size(); ++i) {
    FUZZ_CHECK(Same(once[i], pieces[i]));
    FUZZ_CHECK(once[i].display.size() <= 255 && once[i].text.size() <= 255);
    FUZZ_CHECK(once[i].kind != PjlKind::kDevice || once[i].code > 0);
  }
  return 0;
}
