// The driver's raster job: which pages reach the PCL writer, and that the
// printer gets a page only once all of it came.
#include "raster_page.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

RasterHeader Gray(unsigned width, unsigned height, unsigned dpi) {
  RasterHeader h;
  h.width = width;
  h.height = height;
  h.bitsPerColor = h.bitsPerPixel = 8;
  h.bytesPerLine = width;
  h.colorSpace = kColorSpaceSW;
  h.numColors = 1;
  h.resolution[0] = h.resolution[1] = dpi;
  h.pageSize[0] = width * 72.0 / dpi;
  h.pageSize[1] = height * 72.0 / dpi;
  return h;
}

struct Printer {
  std::vector<unsigned char> bytes;
  bool fail = false;
  PclSink Sink() {
    return [this](const unsigned char* data, size_t size) {
      bytes.insert(bytes.end(), data, data + size);
      return !fail;
    };
  }
};

}  // namespace

TEST(RasterPage, RefusesPagesTheDriverDoesNotTake) {
  RasterHeader good = Gray(64, 8, 300);
  RasterHeader black = good, rgb = good, stretched = good, padded = good;
  black.bitsPerColor = black.bitsPerPixel = 1;
  black.bytesPerLine = 8;
  black.colorSpace = 3;
  rgb.colorSpace = 19;
  rgb.bitsPerPixel = 24;
  stretched.resolution[1] = 600;
  padded.bytesPerLine = 66;
  struct Row {
    RasterHeader header, sent;
    bool ok;
    const char* why;
  } rows[] = {
      {good, good, true, "8-bit gray as advertised"},
      {black, black, false, "1-bit black"},
      {rgb, rgb, false, "color"},
      {stretched, stretched, false, "two resolutions"},
      {padded, padded, false, "lines longer than the width"},
      {good, black, false, "the client sent another raster than the lines said"},
      {Gray(64, 8, 150), Gray(64, 8, 150), false, "a resolution the writer refuses"},
  };
  for (const Row& row : rows) {
    Printer printer;
    RasterJob job(printer.Sink());
    std::string error;
    EXPECT_EQ(job.StartPage(row.header, row.sent, error), row.ok) << row.why;
    EXPECT_EQ(error.empty(), row.ok) << row.why;
    if (!row.ok) {
      EXPECT_FALSE(job.EndJob()) << row.why;
      EXPECT_TRUE(printer.bytes.empty()) << row.why;
    }
  }
}

TEST(RasterPage, APageReachesThePrinterOnlyWhole) {
  RasterHeader h = Gray(64, 8, 300);
  std::vector<unsigned char> line(64, 0);
  struct Row {
    unsigned lines;
    bool sinkFails;
    bool printed;
    const char* why;
  } rows[] = {
      {8, false, true, "every line"},
      {5, false, false, "a raster cut short"},
      {0, false, false, "no line at all"},
      {8, true, false, "the printer stopped taking bytes"},
  };
  for (const Row& row : rows) {
    Printer printer;
    printer.fail = row.sinkFails;
    RasterJob job(printer.Sink());
    std::string error;
    ASSERT_TRUE(job.StartPage(h, h, error)) << error;
    for (unsigned y = 0; y < row.lines; ++y) ASSERT_TRUE(job.WriteLine(y, line.data()));
    EXPECT_TRUE(printer.bytes.empty()) << row.why << ": sent before the page ended";
    EXPECT_EQ(job.EndPage(error), row.printed) << row.why;
    EXPECT_EQ(job.EndJob(), row.printed) << row.why;
    EXPECT_EQ(printer.bytes.empty(), !row.printed && !row.sinkFails) << row.why;
    // After a failed page, the next one is refused: the job is over.
    EXPECT_EQ(job.StartPage(h, h, error), row.printed) << row.why;
  }
}
