// pcl_compare: whether the PCL that reached a printer prints the raster a
// client sent. The app suites run it on the client's document (PWG raster or
// Apple raster, 8-bit gray or 1-bit black) and on the bytes the simulated
// printer stored:
//
//   pcl_compare RASTER PCL
//   pcl_compare --pages PCL    prints the number of pages the PCL prints
//   pcl_compare --ink PCL      prints, a line a page, where its black lies:
//                              "LEFT TOP RIGHT BOTTOM" in pixels, the last
//                              two past it; "blank" for a white page
//
// Both are decoded here, every read checked against the end of its file:
// the raster by the reader below, the PCL by pcl_decoder.h. The page counts
// must agree, and for each page its size in pixels, its resolution, its
// page-size code (A4 and Letter), a raster placed at the top left, and every
// row: a black pixel (0) must print and a white one (255) must not. Gray
// pixels are dithered by the printer, so they are judged by cells of 16 x 16
// pixels, all gray: each must print as many dots as its mean darkness asks
// for, within kCellDots. One line per page on standard output; exit status
// 0 when everything matches, 1 when something differs (the first difference
// of each page on standard error), 2 when a file cannot be read as it should.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "pcl_decoder.h"
#include "test_files.h"
#include "test_util.h"

namespace {

// How many dots a cell may print more or fewer than its darkness asks for:
// an ordered dither over a cell of one gray is off by one dot at most; a
// printer that thresholds instead is off by dozens.
const double kCellDots = 3;
const unsigned kCell = 16;

// The fields of a page header that the comparison needs.
struct RasterPage {
  unsigned width = 0, height = 0, bitsPerPixel = 0, bytesPerLine = 0;
  unsigned resolution[2] = {0, 0};
  unsigned pageSize[2] = {0, 0};  // points; PWG raster only
};

// Reads PWG raster ("RaS2", big-endian 1796-byte headers) and Apple raster
// ("UNIRAST", 32-byte headers): page headers, then the rows of each page,
// decompressed and as 8-bit gray (1-bit black is widened: 1 is 0, black).
// Both compress the same way: a line starts with a repeat count (the line
// is used count + 1 times), then runs of pixels (bytes, for 1-bit black): a
// control byte c < 128 is one pixel used c + 1 times, c > 128 is 257 - c
// pixels as they are, and 128 makes the rest of the line white.
class RasterReader {
 public:
  explicit RasterReader(const std::string& data)
      : pos_(reinterpret_cast<const unsigned char*>(data.data())), end_(pos_ + data.size()) {}

  bool Open(std::string& error) {
    const size_t size = static_cast<size_t>(end_ - pos_);
    if (size >= 4 && memcmp(pos_, "RaS2", 4) == 0) {
      pos_ += 4;
      apple_ = false;
      return true;
    }
    // The sync word, then the page count (0 when the writer did not know it:
    // the pages go on to the end of the file either way).
    if (size >= 12 && memcmp(pos_, "UNIRAST", 8) == 0) {
      pos_ += 12;
      apple_ = true;
      return true;
    }
    error = "neither PWG raster nor Apple raster";
    return false;
  }

  // The next page's header; false at the end of the file (error empty) or
  // for a header that cannot be read.
  bool NextPage(RasterPage& page, std::string& error) {
    if (repeat_ > 0) {
      error = "a line repeated past the end of its page";
      return false;
    }
    if (pos_ == end_) return false;
    const unsigned char* h = pos_;
    if (!Take(apple_ ? 32 : 1796)) {
      error = "the file ends inside a page header";
      return false;
    }
    page = RasterPage();
    bool known;
    if (apple_) {
      page.bitsPerPixel = h[0];
      // sGray (0) and device gray (4) are the 8-bit gray spaces.
      known = page.bitsPerPixel == 8 && (h[1] == 0 || h[1] == 4);
      page.width = Word(h + 12);
      page.height = Word(h + 16);
      page.resolution[0] = page.resolution[1] = Word(h + 20);
      page.bytesPerLine = page.width * (page.bitsPerPixel / 8);
    } else {
      page.resolution[0] = Word(h + 276);
      page.resolution[1] = Word(h + 280);
      page.pageSize[0] = Word(h + 352);
      page.pageSize[1] = Word(h + 356);
      page.width = Word(h + 372);
      page.height = Word(h + 376);
      page.bitsPerPixel = Word(h + 388);
      page.bytesPerLine = Word(h + 392);
      const unsigned space = Word(h + 400), colors = Word(h + 420);
      // sgray (18) and device gray (1) of 8 bits, or black (3) of 1 bit.
      known = colors == 1 && Word(h + 384) == page.bitsPerPixel &&
              ((page.bitsPerPixel == 8 && (space == 18 || space == 1)) ||
               (page.bitsPerPixel == 1 && space == 3));
    }
    if (!known) {
      error = "a page that is neither 8-bit gray nor 1-bit black";
      return false;
    }
    if (page.width == 0 || page.height == 0 || page.width > pcl_decoder_internal::kMaxPixels ||
        page.height > pcl_decoder_internal::kMaxPixels ||
        page.bytesPerLine != (page.width * page.bitsPerPixel + 7) / 8) {
      error = "a page of " + std::to_string(page.width) + " x " + std::to_string(page.height) +
              " pixels, " + std::to_string(page.bytesPerLine) + " bytes a line";
      return false;
    }
    page_ = page;
    line_.assign(page.bytesPerLine, 0);
    gray_.assign(page.width, 0xFF);
    repeat_ = 0;
    return true;
  }

  // The next row of the current page: `width` 8-bit gray pixels.
  const Bytes* NextRow(std::string& error) {
    if (repeat_ > 0) {
      --repeat_;
      return &gray_;
    }
    if (!Take(1)) return Fail("the file ends before a line", error);
    repeat_ = pos_[-1];
    // White: 255 in gray, 0 in black.
    const unsigned char white = page_.bitsPerPixel == 8 ? 0xFF : 0;
    size_t at = 0;
    while (at < line_.size()) {
      if (!Take(1)) return Fail("the file ends inside a line", error);
      const unsigned control = pos_[-1];
      if (control == 128) {
        std::fill(line_.begin() + at, line_.end(), white);
        break;
      }
      const size_t count = control < 128 ? control + 1 : 257 - control;
      if (count > line_.size() - at) return Fail("a run past the end of its line", error);
      if (control < 128) {
        if (!Take(1)) return Fail("the file ends inside a run", error);
        std::fill(line_.begin() + at, line_.begin() + at + count, pos_[-1]);
      } else {
        if (!Take(count)) return Fail("the file ends inside a run", error);
        std::copy(pos_ - count, pos_, line_.begin() + at);
      }
      at += count;
    }
    if (page_.bitsPerPixel == 8) {
      gray_ = line_;
    } else {
      for (unsigned x = 0; x < page_.width; ++x)
        gray_[x] = (line_[x / 8] >> (7 - x % 8)) & 1 ? 0 : 0xFF;
    }
    return &gray_;
  }

 private:
  // Moves past `n` bytes when that many remain.
  bool Take(size_t n) {
    if (n > static_cast<size_t>(end_ - pos_)) return false;
    pos_ += n;
    return true;
  }
  static unsigned Word(const unsigned char* p) {
    return unsigned{p[0]} << 24 | unsigned{p[1]} << 16 | unsigned{p[2]} << 8 | p[3];
  }
  const Bytes* Fail(const char* what, std::string& error) {
    error = what;
    return nullptr;
  }

  const unsigned char* pos_;
  const unsigned char* end_;
  bool apple_ = false;
  RasterPage page_;
  Bytes line_;  // as stored
  Bytes gray_;  // as 8-bit gray
  unsigned repeat_ = 0;  // times the last line is still to be used
};

// The PCL page-size code a page of this size must carry; -1 for a size
// this tool does not know (the code is then not checked).
int SizeCode(const RasterPage& page) {
  double w = page.pageSize[0], h = page.pageSize[1];
  if (w == 0 || h == 0) {
    w = page.width * 72.0 / page.resolution[0];
    h = page.height * 72.0 / page.resolution[1];
  }
  if (std::fabs(w - 595) < 3 && std::fabs(h - 842) < 3) return 26;
  if (std::fabs(w - 612) < 3 && std::fabs(h - 792) < 3) return 2;
  return -1;
}

bool Black(const Bytes& bits, unsigned x) { return (bits[x / 8] >> (7 - x % 8)) & 1; }

// Compares one page: 0 when it printed as sent, 1 with `why` at the first
// difference, 2 with `why` when the raster cannot be read.
int ComparePage(RasterReader& raster, const RasterPage& page, const PclDecodedPage& printed,
                std::string& why, unsigned& grayCells) {
  const int code = SizeCode(page);
  if (printed.width != page.width || printed.height != page.height)
    why = "printed " + std::to_string(printed.width) + " x " + std::to_string(printed.height) +
          " pixels for a page of " + std::to_string(page.width) + " x " +
          std::to_string(page.height);
  else if (printed.resolution != static_cast<int>(page.resolution[0]) ||
           page.resolution[0] != page.resolution[1])
    why = "printed at " + std::to_string(printed.resolution) + " dpi for a page of " +
          std::to_string(page.resolution[0]) + "x" + std::to_string(page.resolution[1]) + " dpi";
  else if (printed.rasterStart < 0 || printed.x != 0 || printed.y != 0)
    why = "no raster at the page's top left";
  else if (code >= 0 && printed.sizeCode != code)
    why = "page-size code " + std::to_string(printed.sizeCode) + ", not " + std::to_string(code);
  if (!why.empty()) return 1;

  // Per cell column of the current band: gray pixels and their darkness,
  // and the dots printed for them.
  const unsigned columns = (page.width + kCell - 1) / kCell;
  std::vector<unsigned> grays(columns), dots(columns);
  std::vector<double> darkness(columns);
  for (unsigned y = 0; y < page.height; ++y) {
    const Bytes* row = raster.NextRow(why);
    if (row == nullptr) return 2;
    const Bytes bits = printed.Row(y);
    for (unsigned x = 0; x < page.width; ++x) {
      const unsigned char v = (*row)[x];
      if ((v == 0 && !Black(bits, x)) || (v == 255 && Black(bits, x))) {
        why = "row " + std::to_string(y) + ", pixel " + std::to_string(x) + ": " +
              (v == 0 ? "black printed white" : "white printed black");
        return 1;
      }
      if (v != 0 && v != 255) {
        ++grays[x / kCell];
        darkness[x / kCell] += (255 - v) / 255.0;
        dots[x / kCell] += Black(bits, x);
      }
    }
    if (y % kCell != kCell - 1) continue;
    for (unsigned c = 0; c < columns; ++c) {
      if (grays[c] == kCell * kCell) {
        ++grayCells;
        const double want = darkness[c] * 256 / 255;
        if (std::fabs(dots[c] - want) > kCellDots) {
          why = "the gray cell at pixel " + std::to_string(c * kCell) + ", row " +
                std::to_string(y + 1 - kCell) + " printed " + std::to_string(dots[c]) +
                " dots for a darkness of " + std::to_string(want);
          return 1;
        }
      }
      grays[c] = dots[c] = 0;
      darkness[c] = 0;
    }
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: pcl_compare RASTER PCL | --pages PCL | --ink PCL\n");
    return 2;
  }
  const bool ink = strcmp(argv[1], "--ink") == 0;
  const bool count = ink || strcmp(argv[1], "--pages") == 0;
  for (int i = count ? 2 : 1; i < 3; ++i) {
    if (access(argv[i], R_OK) != 0) {
      fprintf(stderr, "pcl_compare: cannot read %s\n", argv[i]);
      return 2;
    }
  }
  const std::string rasterFile = ReadFile(argv[1]), pclFile = ReadFile(argv[2]);
  const PclDecoded pcl = DecodePcl(reinterpret_cast<const unsigned char*>(pclFile.data()),
                                   pclFile.size());
  if (!pcl.error.empty()) {
    fprintf(stderr, "pcl_compare: %s is not PCL a printer reads: %s\n", argv[2],
            pcl.error.c_str());
    return 1;
  }
  if (ink) {
    for (const PclDecodedPage& page : pcl.pages) {
      unsigned left = page.width, top = page.height, right = 0, bottom = 0;
      for (unsigned y = 0; y < page.height; ++y) {
        const Bytes row = page.Row(y);
        for (unsigned x = 0; x < page.width; ++x)
          if ((row[x / 8] >> (7 - x % 8)) & 1) {
            left = std::min(left, x), right = std::max(right, x + 1);
            top = std::min(top, y), bottom = y + 1;
          }
      }
      if (right == 0)
        printf("blank\n");
      else
        printf("%u %u %u %u\n", left, top, right, bottom);
    }
    return 0;
  }
  if (count) {
    printf("%zu\n", pcl.pages.size());
    return 0;
  }
  RasterReader raster(rasterFile);
  std::string error;
  if (!raster.Open(error)) {
    fprintf(stderr, "pcl_compare: %s: %s\n", argv[1], error.c_str());
    return 2;
  }
  size_t pages = 0;
  RasterPage page;
  while (raster.NextPage(page, error)) {
    if (pages == pcl.pages.size()) {
      fprintf(stderr, "pcl_compare: page %zu of the raster was not printed\n", pages + 1);
      return 1;
    }
    std::string why;
    unsigned cells = 0;
    const PclDecodedPage& printed = pcl.pages[pages++];
    if (int status = ComparePage(raster, page, printed, why, cells)) {
      fprintf(stderr, "pcl_compare: page %zu: %s\n", pages, why.c_str());
      return status;
    }
    printf("page %zu: %u x %u pixels at %u dpi, page-size code %d, %u rows as sent, %u gray "
           "cells dithered\n",
           pages, page.width, page.height, page.resolution[0], printed.sizeCode, page.height,
           cells);
  }
  if (!error.empty()) {
    fprintf(stderr, "pcl_compare: %s: page %zu: %s\n", argv[1], pages + 1, error.c_str());
    return 2;
  }
  if (pages == 0) {
    fprintf(stderr, "pcl_compare: %s has no page\n", argv[1]);
    return 2;
  }
  if (pages != pcl.pages.size()) {
    fprintf(stderr, "pcl_compare: %zu pages printed for a raster of %zu\n", pcl.pages.size(),
            pages);
    return 1;
  }
  return 0;
}
