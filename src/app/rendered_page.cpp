#include "rendered_page.h"

#include <algorithm>
#include <array>
#include <cstdint>
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

namespace {

RenderedPage Blank(unsigned width, unsigned height) {
  RenderedPage page;
  page.width = width;
  page.height = height;
  page.bytesPerRow = (width + 7) / 8;
  page.bits.assign(page.bytesPerRow * height, 0);
  return page;
}

unsigned char* MutableRow(RenderedPage& page, unsigned y) {
  return page.bits.data() + y * page.bytesPerRow;
}

// ORs the `width` bits of `from` into the row `to`, `toWidth` bits long,
// from its bit `at` on; what falls outside it is cut off.
void CopyBits(const unsigned char* from, unsigned width, unsigned char* to, unsigned toWidth,
              long at) {
  const long toBytes = (toWidth + 7) / 8;
  const long base = at >= 0 ? at / 8 : -((-at + 7) / 8);
  const unsigned shift = static_cast<unsigned>(at - base * 8);
  const long fromBytes = (width + 7) / 8;
  for (long b = 0; b < fromBytes; ++b) {
    if (from[b] == 0) continue;
    const long i = base + b;
    if (i >= toBytes) break;
    if (i >= 0) to[i] |= static_cast<unsigned char>(from[b] >> shift);
    if (shift != 0 && i + 1 >= 0 && i + 1 < toBytes)
      to[i + 1] |= static_cast<unsigned char>(from[b] << (8 - shift));
  }
  if (toWidth % 8 != 0) to[toBytes - 1] &= static_cast<unsigned char>(0xFF00 >> (toWidth % 8));
}

// Last row first, each read from the right.
void TurnHalf(RenderedPage& page) {
  static const auto kReversed = [] {
    std::array<unsigned char, 256> table;
    for (unsigned b = 0; b < 256; ++b) {
      unsigned r = 0;
      for (unsigned i = 0; i < 8; ++i) r |= ((b >> i) & 1) << (7 - i);
      table[b] = static_cast<unsigned char>(r);
    }
    return table;
  }();
  const size_t bytes = page.bytesPerRow;
  for (unsigned top = 0, bottom = page.height; top + 1 < bottom; ++top, --bottom)
    std::swap_ranges(MutableRow(page, top), MutableRow(page, top) + bytes,
                     MutableRow(page, bottom - 1));
  // A row read from the right, its bytes in reverse order and each byte's
  // bits reversed, starts with the pad bits, which are skipped.
  const unsigned pad = static_cast<unsigned>(bytes * 8 - page.width);
  std::vector<unsigned char> reversed(bytes);
  for (unsigned y = 0; y < page.height; ++y) {
    unsigned char* row = MutableRow(page, y);
    for (size_t i = 0; i < bytes; ++i) {
      const unsigned high = kReversed[row[bytes - 1 - i]];
      const unsigned low = i + 1 < bytes ? kReversed[row[bytes - 2 - i]] : 0;
      reversed[i] = static_cast<unsigned char>(pad == 0 ? high : high << pad | low >> (8 - pad));
    }
    std::copy(reversed.begin(), reversed.end(), row);
  }
}

// The 8 x 8 bits of `x`, a byte a row, transposed: row i's bit j to row j's
// bit i.
uint64_t Transposed(uint64_t x) {
  uint64_t t = (x ^ (x >> 7)) & 0x00AA00AA00AA00AAull;
  x ^= t ^ (t << 7);
  t = (x ^ (x >> 14)) & 0x0000CCCC0000CCCCull;
  x ^= t ^ (t << 14);
  t = (x ^ (x >> 28)) & 0x00000000F0F0F0F0ull;
  return x ^ t ^ (t << 28);
}

// A quarter turn counter-clockwise, by blocks of 8 x 8 pixels: column x of
// `page`, read down, is row width - 1 - x of the result.
RenderedPage TurnedQuarter(const RenderedPage& page) {
  RenderedPage turned = Blank(page.height, page.width);
  for (unsigned y = 0; y < page.height; y += 8) {
    for (size_t b = 0; b < page.bytesPerRow; ++b) {
      uint64_t block = 0;
      for (unsigned k = 0; k < 8; ++k)
        block = block << 8 | (y + k < page.height ? page.Row(y + k)[b] : 0);
      if (block == 0) continue;
      block = Transposed(block);
      for (unsigned j = 0; j < 8 && b * 8 + j < page.width; ++j)
        MutableRow(turned, static_cast<unsigned>(page.width - 1 - (b * 8 + j)))[y / 8] =
            static_cast<unsigned char>(block >> (56 - 8 * j));
    }
  }
  return turned;
}

}  // namespace

RenderedPage Placed(const RenderedPage& page, unsigned width, unsigned height, int quarters) {
  if (quarters == 0 && page.width == width && page.height == height) return page;
  RenderedPage sheet = Blank(width, height);
  // Where the page's top left lands on the sheet; negative when the page
  // overhangs it. Signed throughout: on a 32-bit host a long minus an
  // unsigned is unsigned.
  const long left = (static_cast<long>(width) - static_cast<long>(page.width)) / 2;
  const long top = (static_cast<long>(height) - static_cast<long>(page.height)) / 2;
  for (unsigned y = 0; y < page.height; ++y) {
    const long to = top + static_cast<long>(y);
    if (to >= 0 && to < static_cast<long>(height))
      CopyBits(page.Row(y), page.width, MutableRow(sheet, static_cast<unsigned>(to)), width, left);
  }
  // A quarter counter-clockwise takes the sheet's top edge to its left;
  // three are a quarter and a half.
  if (quarters % 2 != 0) sheet = TurnedQuarter(sheet);
  if (quarters >= 2) TurnHalf(sheet);
  return sheet;
}
