#include "rendered_page.h"

#include <algorithm>
#include <cstring>

namespace {

// Ghostscript's header is "P4", a comment of some 45 bytes and the size;
// a header much longer than that is not Ghostscript's.
const size_t kMaxHeaderBytes = 256;
// More digits than any size below maxPixels needs.
const size_t kMaxDigits = 6;

bool Blank(unsigned char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

}  // namespace

PbmStream::PbmStream(unsigned maxPixels, PageCallback onPage)
    : maxPixels_(maxPixels), onPage_(std::move(onPage)) {}

bool PbmStream::Fail(const std::string& what) {
  if (state_ != State::kFailed) error_ = what;
  state_ = State::kFailed;
  return false;
}

// The header's tokens are "P4", the width and the height, apart by blanks
// or comments ("#" to the end of the line); exactly one blank follows the
// height, and the rows start after it.
size_t PbmStream::Header(const unsigned char* data, size_t size) {
  for (size_t i = 0; i < size; ++i) {
    const unsigned char c = data[i];
    if (++headerUsed_ > kMaxHeaderBytes) {
      Fail("a page header longer than " + std::to_string(kMaxHeaderBytes) + " bytes");
      return i;
    }
    if (inComment_) {
      inComment_ = c != '\n' && c != '\r';
      continue;
    }
    const bool inToken = !token_.empty();
    if (Blank(c) || (c == '#' && !inToken)) {
      inComment_ = c == '#';
      if (!inToken) continue;
      if (tokens_ == 0 && token_ != "P4") {
        Fail("not a PBM image");
        return i;
      }
      if (tokens_ > 0) {
        unsigned long value = 0;
        for (char digit : token_) value = value * 10 + static_cast<unsigned long>(digit - '0');
        if (value == 0 || value > maxPixels_) {
          Fail("a page " + token_ + " pixels " + (tokens_ == 1 ? "wide" : "tall"));
          return i;
        }
        (tokens_ == 1 ? page_.width : page_.height) = static_cast<unsigned>(value);
      }
      token_.clear();
      if (++tokens_ == 3) {
        page_.bytesPerRow = (page_.width + 7) / 8;
        page_.bits.assign(page_.bytesPerRow * page_.height, 0);
        filled_ = 0;
        state_ = State::kRows;
        return i + 1;
      }
      continue;
    }
    const bool digit = c >= '0' && c <= '9';
    if ((tokens_ == 0 && (token_.size() >= 2 || !(c == 'P' || c == '4'))) ||
        (tokens_ > 0 && (!digit || token_.size() >= kMaxDigits))) {
      Fail(tokens_ == 0 ? "not a PBM image" : "a bad page size in a page header");
      return i;
    }
    token_.push_back(static_cast<char>(c));
  }
  return size;
}

bool PbmStream::Feed(const unsigned char* data, size_t size) {
  while (size > 0) {
    if (state_ == State::kFailed) return false;
    if (state_ == State::kHeader) {
      size_t used = Header(data, size);
      data += used;
      size -= used;
      continue;
    }
    size_t take = std::min(size, page_.bits.size() - filled_);
    memcpy(page_.bits.data() + filled_, data, take);
    filled_ += take;
    data += take;
    size -= take;
    if (filled_ < page_.bits.size()) break;
    // The pad bits of each row are the writer's choice; the page's users
    // count on 0.
    if (page_.width % 8 != 0) {
      const unsigned char mask = static_cast<unsigned char>(0xFF00 >> (page_.width % 8));
      for (unsigned y = 0; y < page_.height; ++y)
        page_.bits[y * page_.bytesPerRow + page_.bytesPerRow - 1] &= mask;
    }
    state_ = State::kHeader;
    headerUsed_ = 0;
    tokens_ = 0;
    if (!onPage_(page_)) return Fail("the pages' reader stopped");
  }
  return state_ != State::kFailed;
}

void TurnHalf(RenderedPage& page) {
  std::vector<unsigned char> reversed(page.bytesPerRow);
  for (unsigned y = 0; y < page.height; ++y) {
    unsigned char* row = page.bits.data() + y * page.bytesPerRow;
    std::fill(reversed.begin(), reversed.end(), 0);
    for (unsigned x = 0; x < page.width; ++x) {
      const unsigned to = page.width - 1 - x;
      if ((row[x / 8] >> (7 - x % 8)) & 1)
        reversed[to / 8] |= static_cast<unsigned char>(0x80 >> (to % 8));
    }
    std::copy(reversed.begin(), reversed.end(), row);
  }
  for (unsigned top = 0, bottom = page.height; top + 1 < bottom; ++top, --bottom)
    std::swap_ranges(page.bits.begin() + top * page.bytesPerRow,
                     page.bits.begin() + (top + 1) * page.bytesPerRow,
                     page.bits.begin() + (bottom - 1) * page.bytesPerRow);
}
