#include "app/pcl_writer.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <utility>

namespace {

const unsigned char kEsc = 0x1B;
const unsigned char kFormFeed = 0x0C;
const size_t kChunkSize = 64 * 1024;
const char kConnectionFailed[] = "The connection to the printer failed";
// The largest paper with a size code, Ledger/Tabloid, is 17 inches long; a
// raster beyond that in either direction is a broken header, not a page.
const unsigned kMaxInches = 17;
const double kSizeTolerance = 3;  // points: PWG raster rounds sizes to whole points
// PackBits writes a control byte before at most 128 data bytes.
const size_t kPackBitsBlock = 128;
// Room for the commands around one row: ESC *b#Y, ESC *b#M, ESC *b#W.
const size_t kRowCommands = 3 * 16;

constexpr double Inches(double inches) { return inches * 72; }
constexpr double Millimetres(double mm) { return mm * 72 / 25.4; }

struct PaperSize {
  int code;
  double width, height;  // points, portrait
};
const PaperSize kPaperSizes[] = {
    {1, Inches(7.25), Inches(10.5)},            // Executive
    {2, Inches(8.5), Inches(11)},               // Letter
    {3, Inches(8.5), Inches(14)},               // Legal
    {6, Inches(11), Inches(17)},                // Ledger, Tabloid
    {25, Millimetres(148), Millimetres(210)},   // A5
    {26, Millimetres(210), Millimetres(297)},   // A4
    {27, Millimetres(297), Millimetres(420)},   // A3
    {45, Millimetres(182), Millimetres(257)},   // JIS B5
    {46, Millimetres(257), Millimetres(364)},   // JIS B4
    {71, Millimetres(100), Millimetres(148)},   // Hagaki postcard
    {80, Inches(3.875), Inches(7.5)},           // Monarch envelope
    {81, Inches(4.125), Inches(9.5)},           // Com-10 envelope
    {90, Millimetres(110), Millimetres(220)},   // DL envelope
    {91, Millimetres(162), Millimetres(229)},   // C5 envelope
    {100, Millimetres(176), Millimetres(250)},  // ISO B5
};
const int kLetterCode = 2;
const int kA4Code = 26;

// The size code a page is printed with. A size no code names comes from a
// client that ignored the printer's media list; it goes on Letter or A4,
// whichever is nearer, rather than on the smallest listed size that would
// hold it: every office printer has one of the two loaded, while a size
// picked for fitting (an envelope for a 4 x 6 in photo) may be in no tray and
// stop the printer at a paper prompt. The raster starts at the top left, so
// a page smaller than the paper loses nothing.
int PrintedSizeCode(double width, double height) {
  const int code = PclPageSizeCode(width, height);
  if (code >= 0) return code;
  const double toLetter = std::fabs(width - Inches(8.5)) + std::fabs(height - Inches(11));
  const double toA4 = std::fabs(width - Millimetres(210)) + std::fabs(height - Millimetres(297));
  return toLetter <= toA4 ? kLetterCode : kA4Code;
}

// Black where a pixel is darker than its cell's threshold. The thresholds
// spread the 256 cells of a 16 x 16 Bayer matrix over 1..255, so that 0 is
// darker than every threshold (always black) and 255 is darker than none
// (always white): a page of pure black and white prints exactly as sent.
struct Thresholds {
  unsigned char cell[16][16];
  constexpr Thresholds() : cell{} {
    for (unsigned y = 0; y < 16; ++y) {
      for (unsigned x = 0; x < 16; ++x) {
        // The matrix of order 2n is the one of order n times 4 plus the 2 x 2
        // matrix {0 2 / 3 1}, chosen by the next bit of x and y.
        unsigned rank = 0;
        for (unsigned bit = 0; bit < 4; ++bit) {
          const unsigned xb = (x >> bit) & 1, yb = (y >> bit) & 1;
          rank = rank * 4 + (((xb ^ yb) << 1) | yb);
        }
        cell[y][x] = static_cast<unsigned char>(1 + (rank * 254 + 127) / 255);
      }
    }
  }
};
constexpr Thresholds kThresholds;

// Encodes `n` bytes with PackBits into `out`: a control byte c then c + 1
// bytes as they are, or 257 - c copies of one byte. Stops once the output
// is longer than `limit` (the caller then sends the row as it is) and
// returns a length beyond `limit`. Requires: `out` holds limit + 129 bytes.
size_t PackBits(const unsigned char* in, size_t n, unsigned char* out, size_t limit) {
  size_t used = 0;
  size_t i = 0;
  while (i < n && used <= limit) {
    const size_t most = std::min(n - i, kPackBitsBlock);
    size_t run = 1;
    while (run < most && in[i + run] == in[i]) ++run;
    if (run >= 2) {
      out[used++] = static_cast<unsigned char>(257 - run);
      out[used++] = in[i];
      i += run;
      continue;
    }
    // A literal ends only where three equal bytes begin: two equal bytes
    // take two bytes inside it, and as a run of their own the same two plus
    // a control byte for the literal after them.
    const size_t start = i++;
    while (i < n && i - start < kPackBitsBlock &&
           !(i + 2 < n && in[i] == in[i + 1] && in[i] == in[i + 2]))
      ++i;
    out[used++] = static_cast<unsigned char>(i - start - 1);
    memcpy(out + used, in + start, i - start);
    used += i - start;
  }
  return used;
}

// The length of `row` without its trailing zero bytes: the printer fills the
// rest of a raster row with white.
size_t TrimmedLength(const unsigned char* row, size_t n) {
  while (n >= 8) {
    uint64_t word;
    memcpy(&word, row + n - 8, 8);
    if (word != 0) break;
    n -= 8;
  }
  while (n > 0 && row[n - 1] == 0) --n;
  return n;
}

// Why `page` cannot be printed, in words a person can read; empty when it
// can.
std::string PageError(const PclPage& page) {
  if (page.resolution != 300 && page.resolution != 600)
    return "Unsupported resolution of " + std::to_string(page.resolution) +
           " dpi: the printer takes 300 or 600 dpi";
  if (page.bitsPerPixel != 8 && page.bitsPerPixel != 1)
    return "Unsupported raster of " + std::to_string(page.bitsPerPixel) +
           " bits per pixel: the printer takes 8-bit gray or 1-bit black";
  if (page.width == 0 || page.height == 0)
    return "Empty page of " + std::to_string(page.width) + " x " + std::to_string(page.height) +
           " pixels";
  const unsigned most = kMaxInches * page.resolution;
  if (page.width > most || page.height > most)
    return "Page of " + std::to_string(page.width) + " x " + std::to_string(page.height) +
           " pixels at " + std::to_string(page.resolution) + " dpi is larger than " +
           std::to_string(kMaxInches) + " inches";
  return std::string();
}

}  // namespace

int PclPageSizeCode(double widthPoints, double heightPoints) {
  for (const PaperSize& size : kPaperSizes) {
    if (std::fabs(widthPoints - size.width) <= kSizeTolerance &&
        std::fabs(heightPoints - size.height) <= kSizeTolerance)
      return size.code;
  }
  return -1;
}

void PclDitherLine(unsigned y, const unsigned char* gray, unsigned width, unsigned char* bits) {
  const unsigned char* thresholds = kThresholds.cell[y % 16];
  const unsigned whole = width / 8;
  for (unsigned i = 0; i < whole; ++i) {
    const unsigned char* p = gray + 8 * i;
    const unsigned char* t = thresholds + 8 * (i % 2);
    bits[i] = static_cast<unsigned char>(
        (p[0] < t[0]) << 7 | (p[1] < t[1]) << 6 | (p[2] < t[2]) << 5 | (p[3] < t[3]) << 4 |
        (p[4] < t[4]) << 3 | (p[5] < t[5]) << 2 | (p[6] < t[6]) << 1 | (p[7] < t[7]));
  }
  if (width % 8 != 0) {
    unsigned byte = 0;
    for (unsigned x = 8 * whole; x < width; ++x)
      byte |= static_cast<unsigned>(gray[x] < thresholds[x % 16]) << (7 - x % 8);
    bits[whole] = static_cast<unsigned char>(byte);
  }
}

PclWriter::PclWriter(PclSink sink) : sink_(std::move(sink)), out_(kChunkSize) {}

bool PclWriter::StartPage(const PclPage& page, std::string& error) {
  if (failed_) {
    error = kConnectionFailed;
    return false;
  }
  if (pageOpen_) {
    error = "A page was started before the previous one ended";
    return false;
  }
  const std::string unprintable = PageError(page);
  if (!unprintable.empty()) {
    error = unprintable;
    return false;
  }
  page_ = page;
  // A header without a page size (0, or worse) still has its pixels.
  if (!(page_.widthPoints > 0) || !(page_.heightPoints > 0)) {
    page_.widthPoints = page.width * 72.0 / page.resolution;
    page_.heightPoints = page.height * 72.0 / page.resolution;
  }
  rowBytes_ = (page.width + 7) / 8;
  row_.assign(rowBytes_, 0);
  packed_.assign(rowBytes_ + kPackBitsBlock + 1, 0);
  nextY_ = 0;
  blankRows_ = 0;
  mode_ = -1;

  if (!Room(128)) {
    error = kConnectionFailed;
    return false;
  }
  if (!jobStarted_) {
    Put(kEsc);
    Put('E');
    jobStarted_ = true;
  }
  Command("&l", static_cast<unsigned>(PrintedSizeCode(page_.widthPoints, page_.heightPoints)), 'A');
  Command("&l", 0, 'O');  // portrait
  Command("*t", page.resolution, 'R');
  Command("*r", page.width, 'S');
  Command("*r", page.height, 'T');
  Command("&a", 0, 'H');
  Command("&a", 0, 'V');
  Command("*r", 1, 'A');  // raster at the cursor, the page's top left
  pageOpen_ = true;
  return true;
}

bool PclWriter::WriteLine(unsigned y, const unsigned char* line, size_t bytes) {
  if (failed_ || !pageOpen_) return false;
  if (y >= page_.height) return true;
  if (y < nextY_) return false;
  if (page_.bitsPerPixel == 8) {
    if (bytes < page_.width) return false;
    PclDitherLine(y, line, page_.width, row_.data());
  } else {
    if (bytes < rowBytes_) return false;
    memcpy(row_.data(), line, rowBytes_);
    const unsigned lastBits = (page_.width - 1) % 8 + 1;
    row_[rowBytes_ - 1] &= static_cast<unsigned char>(0xFF00 >> lastBits);
  }
  blankRows_ += y - nextY_;
  nextY_ = y + 1;
  const size_t length = TrimmedLength(row_.data(), rowBytes_);
  if (length == 0) {
    ++blankRows_;
    return true;
  }
  return SendRow(length);
}

bool PclWriter::SendRow(size_t length) {
  const size_t packed = PackBits(row_.data(), length, packed_.data(), length);
  // On a tie the mode already set wins: it saves an ESC *b#M.
  const int mode = packed < length || (packed == length && mode_ == 2) ? 2 : 0;
  const size_t size = mode == 2 ? packed : length;
  if (!Room(kRowCommands + size)) return false;
  if (blankRows_ > 0) {
    Command("*b", blankRows_, 'Y');
    blankRows_ = 0;
  }
  if (mode != mode_) {
    Command("*b", static_cast<unsigned>(mode), 'M');
    mode_ = mode;
  }
  Command("*b", static_cast<unsigned>(size), 'W');
  memcpy(out_.data() + used_, mode == 2 ? packed_.data() : row_.data(), size);
  used_ += size;
  return true;
}

bool PclWriter::EndPage() {
  if (failed_ || !pageOpen_) return false;
  pageOpen_ = false;
  if (!Room(8)) return false;
  // The blank lines at the bottom need no skip: the page ends white.
  Put(kEsc);
  Put('*');
  Put('r');
  Put('C');
  Put(kFormFeed);
  return Flush();
}

bool PclWriter::EndJob() {
  if (pageOpen_ && !EndPage()) return false;
  if (failed_ || !Room(2)) return false;
  Put(kEsc);
  Put('E');
  jobStarted_ = false;
  return Flush();
}

bool PclWriter::Room(size_t size) {
  if (used_ + size > out_.size() && !Flush()) return false;
  return !failed_;
}

bool PclWriter::Flush() {
  if (failed_) return false;
  if (used_ == 0) return true;
  failed_ = !sink_(out_.data(), used_);
  used_ = 0;
  return !failed_;
}

void PclWriter::Command(const char* group, unsigned value, char command) {
  Put(kEsc);
  Put(static_cast<unsigned char>(group[0]));
  Put(static_cast<unsigned char>(group[1]));
  char digits[10];
  int count = 0;
  do {
    digits[count++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  while (count > 0) Put(static_cast<unsigned char>(digits[--count]));
  Put(static_cast<unsigned char>(command));
}
