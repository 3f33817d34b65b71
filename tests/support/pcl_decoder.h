// What a PCL 5 printer makes of a raster job, for the tests: the bytes the
// printer application sends (ESC E, ESC &l#A, ESC &l#O, ESC *t#R,
// ESC *r#S/#T, ESC &a#H/#V, ESC *r#A, ESC *b#M with modes 0 and 2,
// ESC *b#W and its data, ESC *b#Y, ESC *rB/C, form feed, alone or combined
// as in ESC *b2m12W) decoded into pages of 1-bit rows. It is written from the
// command syntax, not from the writer, so that the writer is checked against
// an independent reading. The end-to-end tests decode what came over the
// network: every read is checked against the end of the input, every write
// against the raster's size, and the first thing not understood ends the
// decoding with an error.
#ifndef NETBACKEND_TESTS_SUPPORT_PCL_DECODER_H_
#define NETBACKEND_TESTS_SUPPORT_PCL_DECODER_H_

#include <algorithm>
#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "test_util.h"

struct PclDecodedPage {
  int sizeCode = -1;         // ESC &l#A; -1 when none came
  int orientation = 0;       // ESC &l#O
  int resolution = 75;       // ESC *t#R
  unsigned width = 0;        // ESC *r#S, pixels
  unsigned height = 0;       // ESC *r#T, pixels
  double x = 0, y = 0;       // the cursor, in decipoints, where the raster started
  int rasterStart = -1;      // ESC *r#A's value; -1 when no raster started
  bool rasterEnded = false;  // ESC *rB or ESC *rC
  int modeCommands = 0;      // ESC *b#M
  int skipCommands = 0;      // ESC *b#Y
  std::vector<Bytes> rows;   // rows drawn; empty for a row never drawn

  // Row `y` as printed: (width + 7) / 8 bytes, 1 = black, the bits past the
  // width 0; a row never drawn is white.
  Bytes Row(unsigned y) const {
    if (y < rows.size() && !rows[y].empty()) return rows[y];
    return Bytes((width + 7) / 8, 0);
  }
};

struct PclDecoded {
  int resets = 0;                     // ESC E
  std::vector<PclDecodedPage> pages;  // ejected by a form feed or a reset
  std::string error;                  // empty when every byte was understood
};

namespace pcl_decoder_internal {

// Larger than any raster the writer accepts (17 inches at 600 dpi).
const unsigned kMaxPixels = 17 * 600;
// A peer could draw full pages for ever; the tests never need this much.
const size_t kMaxRasterBytes = size_t{256} << 20;

class Decoder {
 public:
  Decoder(const unsigned char* begin, const unsigned char* end)
      : begin_(begin), pos_(begin), end_(end) {}

  PclDecoded Run() {
    while (pos_ < end_ && result_.error.empty()) {
      const unsigned char c = *pos_++;
      if (c == 0x1B)
        Escape();
      else if (c == 0x0C)
        Eject();
      else
        Fail("unexpected byte " + std::to_string(c));
    }
    if (result_.error.empty() && raster_) Fail("the input ends inside a raster");
    return std::move(result_);
  }

 private:
  void Fail(const std::string& what) {
    if (result_.error.empty())
      result_.error = "at byte " + std::to_string(pos_ - begin_) + ": " + what;
  }

  void Escape() {
    if (pos_ == end_) return Fail("the input ends inside an escape");
    const unsigned char kind = *pos_++;
    if (kind == 'E') return Reset();
    if (pos_ == end_) return Fail("the input ends inside an escape");
    if (kind < 0x21 || kind > 0x2F || *pos_ < 0x60 || *pos_ > 0x7E)
      return Fail("unknown escape " + std::to_string(kind));
    const unsigned char group = *pos_++;
    // Value and parameter pairs; a lower-case parameter character combines
    // the next pair into the same command, an upper-case one ends it.
    for (;;) {
      double value = 0;
      bool relative = false;
      if (!Value(&value, &relative)) return;
      if (pos_ == end_) return Fail("the input ends inside an escape");
      const unsigned char parameter = *pos_++;
      const bool last = parameter >= 0x40 && parameter <= 0x5E;
      if (!last && (parameter < 0x60 || parameter > 0x7E))
        return Fail("bad parameter character " + std::to_string(parameter));
      Command(std::string{static_cast<char>(kind), static_cast<char>(group),
                          static_cast<char>(last ? parameter : parameter - 0x20)},
              value, relative);
      if (last || !result_.error.empty()) return;
    }
  }

  // [+|-]digits[.digits]; nothing is 0. A sign makes a cursor move relative.
  bool Value(double* value, bool* relative) {
    double sign = 1;
    if (pos_ < end_ && (*pos_ == '+' || *pos_ == '-')) {
      *relative = true;
      sign = *pos_++ == '-' ? -1 : 1;
    }
    double scale = 0;  // 0 before the decimal point
    int digits = 0;
    while (pos_ < end_ && ((*pos_ >= '0' && *pos_ <= '9') || (*pos_ == '.' && scale == 0))) {
      const unsigned char c = *pos_++;
      if (c == '.') {
        scale = 1;
      } else if (++digits > 9) {  // PCL's values stay below 32768; 9 digits fit an int
        Fail("a number of more than 9 digits");
        return false;
      } else if (scale == 0) {
        *value = *value * 10 + (c - '0');
      } else {
        scale /= 10;
        *value += scale * (c - '0');
      }
    }
    *value *= sign;
    return true;
  }

  void Command(const std::string& name, double value, bool relative) {
    const int n = static_cast<int>(value);
    if (name == "&lA") {
      page_.sizeCode = n;
    } else if (name == "&lO") {
      page_.orientation = n;
    } else if (name == "*tR") {
      if (n != 75 && n != 100 && n != 150 && n != 200 && n != 300 && n != 600)
        return Fail("resolution " + std::to_string(n));
      page_.resolution = n;
    } else if (name == "*rS" || name == "*rT") {
      if (raster_) return Fail("raster size set inside a raster");
      if (value < 0 || value > kMaxPixels) return Fail("raster size " + std::to_string(n));
      (name == "*rS" ? page_.width : page_.height) = static_cast<unsigned>(n);
    } else if (name == "&aH" || name == "&aV") {
      double& at = name == "&aH" ? page_.x : page_.y;
      at = relative ? at + value : value;
    } else if (name == "*rA") {
      if (page_.rasterStart >= 0) return Fail("a second raster on one page");
      if (page_.width == 0 || page_.height == 0) return Fail("a raster without a size");
      page_.rasterStart = n;
      raster_ = true;
      rowY_ = 0;
    } else if (name == "*rB" || name == "*rC") {
      if (!raster_) return Fail("raster end outside a raster");
      raster_ = false;
      page_.rasterEnded = true;
      if (name == "*rC") mode_ = 0;
    } else if (name == "*bM") {
      if (n != 0 && n != 2) return Fail("compression mode " + std::to_string(n));
      mode_ = n;
      ++page_.modeCommands;
    } else if (name == "*bY") {
      if (!raster_) return Fail("row skip outside a raster");
      if (value < 0 || value > page_.height - rowY_) return Fail("rows skipped past the raster");
      rowY_ += static_cast<unsigned>(n);
      ++page_.skipCommands;
    } else if (name == "*bW") {
      if (value < 0 || value > static_cast<double>(end_ - pos_))
        return Fail("row data past the end of the input");
      const unsigned char* data = pos_;
      pos_ += n;
      Row(data, static_cast<size_t>(n));
    } else {
      Fail("unknown command " + name);
    }
  }

  void Row(const unsigned char* data, size_t size) {
    if (!raster_) return Fail("row outside a raster");
    if (rowY_ >= page_.height) return Fail("row past the raster height");
    const size_t rowBytes = (page_.width + 7) / 8;
    if (decodedBytes_ + rowBytes > kMaxRasterBytes) return Fail("too much raster");
    decodedBytes_ += rowBytes;
    Bytes row(rowBytes, 0);
    if (mode_ == 0) {
      std::copy(data, data + std::min(size, rowBytes), row.begin());
    } else {
      // PackBits: a control byte c, then c + 1 bytes as they are (c < 128)
      // or one byte 257 - c times (c > 128); 128 does nothing. Bytes past
      // the row's width are dropped, as a printer clips them.
      size_t at = 0;
      for (size_t i = 0; i < size;) {
        const unsigned char control = data[i++];
        if (control < 128) {
          const size_t count = control + 1u;
          if (count > size - i) return Fail("a literal past the row's data");
          for (size_t k = 0; k < count; ++k, ++at)
            if (at < rowBytes) row[at] = data[i + k];
          i += count;
        } else if (control > 128) {
          if (i == size) return Fail("a run without its byte");
          const size_t count = 257u - control;
          for (size_t k = 0; k < count; ++k, ++at)
            if (at < rowBytes) row[at] = data[i];
          ++i;
        }
      }
    }
    if (page_.width % 8 != 0) row.back() &= static_cast<unsigned char>(0xFF00 >> (page_.width % 8));
    if (page_.rows.size() <= rowY_) page_.rows.resize(rowY_ + 1);
    page_.rows[rowY_++] = std::move(row);
  }

  // The page goes out; what was set for it stays set for the next.
  void Eject() {
    raster_ = false;
    result_.pages.push_back(std::move(page_));
    page_.rows.clear();
    page_.rasterStart = -1;
    page_.rasterEnded = false;
    page_.modeCommands = 0;
    page_.skipCommands = 0;
  }

  // A reset prints a page that has marks, then forgets every setting.
  void Reset() {
    if (page_.rasterStart >= 0) Eject();
    ++result_.resets;
    page_ = PclDecodedPage();
    mode_ = 0;
  }

  const unsigned char* begin_;
  const unsigned char* pos_;
  const unsigned char* end_;
  PclDecoded result_;
  PclDecodedPage page_;
  bool raster_ = false;
  unsigned rowY_ = 0;
  int mode_ = 0;
  size_t decodedBytes_ = 0;
};

}  // namespace pcl_decoder_internal

inline PclDecoded DecodePcl(const unsigned char* data, size_t size) {
  return pcl_decoder_internal::Decoder(data, data + size).Run();
}
inline PclDecoded DecodePcl(const Bytes& bytes) { return DecodePcl(bytes.data(), bytes.size()); }

#endif  // NETBACKEND_TESTS_SUPPORT_PCL_DECODER_H_
