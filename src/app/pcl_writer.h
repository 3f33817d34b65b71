// The printer application's PCL 5 raster writer: turns the lines of a raster
// page (8-bit gray, dithered here, or 1-bit black) into the PCL 5 commands a
// laser printer on port 9100 prints, and hands the bytes to a sink. It knows
// nothing of PAPPL: the driver's raster callbacks call it, one call each.
// Threads: a PclWriter serves one job, on one thread at a time.
#ifndef NETBACKEND_APP_PCL_WRITER_H_
#define NETBACKEND_APP_PCL_WRITER_H_

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

// Where the writer's bytes go: called with each chunk (at most 64 KiB);
// returns false to stop (the device failed).
typedef std::function<bool(const unsigned char* data, size_t size)> PclSink;

struct PclPage {                     // from the raster's page header, not the job's media
  unsigned width;                    // pixels per line
  unsigned height;                   // lines
  unsigned resolution;               // dpi: 300 or 600 (both directions equal)
  unsigned bitsPerPixel;             // 8 (sgray_8) or 1 (black_1: 1 = black)
  double widthPoints, heightPoints;  // page size in 1/72 inch (PWG raster's PageSize)
};

class PclWriter {
 public:
  explicit PclWriter(PclSink sink);
  PclWriter(const PclWriter&) = delete;
  PclWriter& operator=(const PclWriter&) = delete;

  // Checks the page (resolution 300 or 600 dpi, 8 or 1 bits a pixel, width
  // and height from 1 pixel to 17 inches, no page already open) and writes
  // its opening, preceded by the job's ESC E on the first page. False, with
  // nothing written and `error` set to a reason a person can read, when the
  // page cannot be printed: the job must then be aborted.
  bool StartPage(const PclPage& page, std::string& error);

  // One line of `page.width` pixels, `bytes` long (8-bit: 0 = black,
  // 255 = white; 1-bit: 1 = black, most significant bit first, the bits
  // past the width ignored). Lines come in increasing `y`; a line skipped
  // is blank, a line at or beyond the page's height is ignored (true). False
  // when no page is open, the sink failed, the line is short or `y` goes
  // back (a line already passed cannot be printed any more).
  bool WriteLine(unsigned y, const unsigned char* line, size_t bytes);

  // Ends the raster and ejects the page (form feed); lines never written are
  // blank. Hands what is buffered to the sink.
  bool EndPage();

  // Ends the job (ESC E), ending an open page first, and hands what is
  // buffered to the sink. The writer can then start another job.
  bool EndJob();

 private:
  bool SendRow(size_t length);
  bool Room(size_t size);
  bool Flush();
  void Put(unsigned char byte) { out_[used_++] = byte; }
  // ESC, `group` (two characters, e.g. "*b"), `value` in decimal, `command`.
  void Command(const char* group, unsigned value, char command);

  PclSink sink_;
  std::vector<unsigned char> out_;  // what has not yet gone to the sink
  size_t used_ = 0;
  bool failed_ = false;  // the sink said stop: nothing more goes out
  bool jobStarted_ = false;
  bool pageOpen_ = false;
  PclPage page_{};
  size_t rowBytes_ = 0;                // bytes of a packed row: (width + 7) / 8
  std::vector<unsigned char> row_;     // the current line, 1 bit a pixel
  std::vector<unsigned char> packed_;  // its PackBits encoding
  unsigned nextY_ = 0;                 // the first line not yet written
  unsigned blankRows_ = 0;             // blank lines not yet skipped with ESC *b#Y
  int mode_ = -1;                      // compression mode last sent on this page
};

// PCL page-size code (ESC &l#A) for a portrait page of `widthPoints` x
// `heightPoints`, matched within 3 points: Executive 1, Letter 2, Legal 3,
// Ledger/Tabloid 6, A5 25, A4 26, A3 27, JIS B5 45, JIS B4 46, Hagaki 71,
// Monarch 80, Com-10 81, DL 90, C5 91, ISO B5 100; -1 when none matches.
int PclPageSizeCode(double widthPoints, double heightPoints);

// Dithers line `y` of `width` 8-bit gray pixels (0 = black) with a 16 x 16
// ordered (Bayer) matrix into `(width + 7) / 8` bytes at `bits`, 1 = black,
// most significant bit first, the bits past the width 0. 0 always gives
// black and 255 always white. The writer's own dithering, public so that the
// benchmark can time it alone.
void PclDitherLine(unsigned y, const unsigned char* gray, unsigned width, unsigned char* bits);

#endif  // NETBACKEND_APP_PCL_WRITER_H_
