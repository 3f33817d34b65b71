// Which raster pages the driver prints: the fields of a page header that
// decide it, checked against what the printer advertises (8-bit gray at
// 300 or 600 dpi) and turned into the PCL writer's page. A page the driver
// does not expect aborts the job with the reason; printed as it came, it
// would be garbage on paper.
// Threads: a RasterJob serves one job, on one thread at a time.
#ifndef NETBACKEND_APP_RASTER_PAGE_H_
#define NETBACKEND_APP_RASTER_PAGE_H_

#include <string>
#include <vector>

#include "pcl_writer.h"

// The fields of cups_page_header2_t the check reads, as plain values (so
// that this unit needs neither CUPS nor PAPPL).
struct RasterHeader {
  unsigned width = 0;         // cupsWidth
  unsigned height = 0;        // cupsHeight
  unsigned bitsPerColor = 0;  // cupsBitsPerColor
  unsigned bitsPerPixel = 0;  // cupsBitsPerPixel
  unsigned bytesPerLine = 0;  // cupsBytesPerLine
  unsigned colorSpace = 0;    // cupsColorSpace
  unsigned numColors = 0;     // cupsNumColors
  unsigned resolution[2] = {0, 0};  // HWResolution
  double pageSize[2] = {0, 0};      // PageSize, in points
};

// The color spaces of an 8-bit gray page: sgray (what IPP clients send) and
// the device's own white.
const unsigned kColorSpaceW = 1;    // CUPS_CSPACE_W
const unsigned kColorSpaceSW = 18;  // CUPS_CSPACE_SW

// Fills `page` from `header` when the driver prints such a page (the
// writer's StartPage then checks resolution and size); else false with
// `error` saying what is wrong in words an administrator reads.
bool PageFromHeader(const RasterHeader& header, PclPage& page, std::string& error);

// Whether two headers describe lines alike: size, bits, color space,
// resolution.
bool SameLines(const RasterHeader& a, const RasterHeader& b);

// One raster job on its way to the PCL writer: each page checked before it
// starts, and handed to the printer only once every line of it came. A
// raster cut short (the client went away, a file ended early) must not
// come out as a page with its bottom missing; so a page's PCL is held
// (a few MiB at most) until the page is whole.
class RasterJob {
 public:
  explicit RasterJob(PclSink device);
  RasterJob(const RasterJob&) = delete;
  RasterJob& operator=(const RasterJob&) = delete;

  // False with `error` when the page cannot be printed. `header` is the one
  // the lines come with; `sent` the one the client's raster holds, which
  // must describe the same lines.
  bool StartPage(const RasterHeader& header, const RasterHeader& sent, std::string& error);
  // Line `y` of the page started last, bytesPerLine bytes long.
  bool WriteLine(unsigned y, const unsigned char* line);
  // False with `error` when lines are missing or the sink failed.
  bool EndPage(std::string& error);
  // Ends the job; false when the printer did not take it.
  bool EndJob();

 private:
  // Hands the held bytes to the device.
  bool Deliver();

  PclSink device_;
  std::vector<unsigned char> held_;  // the open page's PCL so far
  PclWriter writer_;
  RasterHeader header_;
  unsigned lines_ = 0;  // lines written on this page
  bool failed_ = false;
};

#endif  // NETBACKEND_APP_RASTER_PAGE_H_
