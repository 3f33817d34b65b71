// Tests of the PCL 5 raster writer: pages encoded, decoded as a printer
// decodes them (pcl_decoder.h) and compared row by row with their input
// thresholded; the commands each page opens with; the rows skipped and the
// compression modes set; the pages refused; the gray levels of the dither;
// a sink that fails.

#include "app/pcl_writer.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "pcl_decoder.h"
#include "test_util.h"

namespace {

// Collects what the writer hands to its sink, chunk by chunk.
struct Capture {
  Bytes bytes;
  std::vector<size_t> chunks;
  PclSink Sink() {
    return [this](const unsigned char* data, size_t size) {
      bytes.insert(bytes.end(), data, data + size);
      chunks.push_back(size);
      return true;
    };
  }
};

PclPage Page(unsigned dpi, unsigned bits, double widthPoints, double heightPoints) {
  auto pixels = [dpi](double points) { return static_cast<unsigned>(points * dpi / 72 + 0.5); };
  return {pixels(widthPoints), pixels(heightPoints), dpi, bits, widthPoints, heightPoints};
}

// `row` (1 bit a pixel, 1 = black) as the printer prints it: nothing past the width.
Bytes Printed(Bytes row, unsigned width) {
  if (width % 8 != 0) row.back() &= static_cast<unsigned char>(0xFF00 >> (width % 8));
  return row;
}

// The line a client sends for `row`: 8-bit gray of 0 and 255 only, or the
// row itself with the bits past the width set, which the writer must ignore.
Bytes Line(const Bytes& row, const PclPage& page) {
  if (page.bitsPerPixel == 1) {
    Bytes line = row;
    if (page.width % 8 != 0) line.back() |= static_cast<unsigned char>(0xFF >> (page.width % 8));
    return line;
  }
  Bytes line(page.width);
  for (unsigned x = 0; x < page.width; ++x) line[x] = (row[x / 8] >> (7 - x % 8)) & 1 ? 0 : 255;
  return line;
}

// A row of `n` packed bytes of kind `kind`, made of runs of one byte and
// literals (bytes unlike their neighbours), cut or filled with white to `n`.
Bytes PatternRow(unsigned kind, size_t n) {
  Bytes row;
  auto run = [&](size_t count, unsigned char byte) { row.insert(row.end(), count, byte); };
  auto literal = [&](size_t count) {
    for (size_t i = 0; i < count; ++i) row.push_back(static_cast<unsigned char>(1 + i * 37 % 255));
  };
  const std::function<void()> kinds[] = {
      [] {},                  // blank
      [&] { run(n, 0xFF); },  // all black
      [&] {                   // runs of 1, 2, 128, 129 and 130 bytes
        literal(1), run(2, 0xAA), literal(3), run(128, 0xFF), literal(1), run(129, 0x0F);
        literal(2), run(130, 0xF0);
      },
      [&] { literal(300), run(n, 0x55); },                // a run to the row's end
      [&] { literal(128), run(3, 0x77), literal(129); },  // literals of 128 and 129
      [&] {                                               // pairs between single bytes
        for (int i = 1; i < 100; ++i) run(2, static_cast<unsigned char>(i)), literal(1);
      },
      [&] {  // sparse, as text is
        for (int i = 0; i < 60; ++i) run(9, 0), literal(i % 3 + 1);
      },
      [&] { run(n - 1, 0), run(1, 0xFF); },  // the last byte only, past the width too
  };
  kinds[kind % 8]();
  row.resize(n, 0);
  return row;
}

// The rows of a test page: blank ones at the top and the bottom, and the
// kinds above two by two, the blank kind among them.
Bytes PageRow(const PclPage& page, unsigned y) {
  const unsigned kind = y < 3 || y + 4 >= page.height ? 0 : y / 2;
  return PatternRow(kind, (page.width + 7) / 8);
}

// Prints one page of PageRow as a whole job; the first line comes once a
// byte short, and is refused.
Bytes PrintJob(const PclPage& page, Capture* capture) {
  PclWriter writer(capture->Sink());
  std::string error;
  EXPECT_TRUE(writer.StartPage(page, error)) << error;
  for (unsigned y = 0; y < page.height; ++y) {
    const Bytes line = Line(PageRow(page, y), page);
    if (y == 0) {
      EXPECT_FALSE(writer.WriteLine(y, line.data(), line.size() - 1)) << "short";
    }
    EXPECT_TRUE(writer.WriteLine(y, line.data(), line.size())) << "line " << y;
  }
  EXPECT_TRUE(writer.EndPage());
  EXPECT_TRUE(writer.EndJob());
  return capture->bytes;
}

TEST(PclWriterTest, PagesDecodeToTheirInput) {
  const struct Case {
    PclPage page;
    int sizeCode;
    const char* why;
  } cases[] = {
      {Page(600, 8, 595.28, 841.89), 26, "A4 at 600 dpi, 8-bit, 4961 pixels"},
      {Page(300, 8, 612, 792), 2, "Letter at 300 dpi, 8-bit, 2550 pixels (not whole bytes)"},
      {Page(600, 1, 612, 792), 2, "Letter at 600 dpi, 1-bit, 5100 pixels"},
      {Page(300, 1, 595, 842), 26, "A4 at 300 dpi, 1-bit, 2479 pixels"},
      {Page(600, 8, 13 * 72 / 600.0, 40 * 72 / 600.0), 2,
       "13 x 40 pixels: Letter is nearer than A4"},
      {Page(300, 8, 288, 432), 2, "4 x 6 in: no code, Letter is nearer"},
      {Page(600, 1, 600, 850), 26, "no code, A4 is nearer"},
      {Page(300, 1, 792, 1224), 6, "Ledger at 300 dpi: 17 inches long, the most"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    Capture capture;
    const Bytes pcl = PrintJob(c.page, &capture);
    ASSERT_GE(pcl.size(), 2u);
    EXPECT_EQ(pcl[0], 0x1B);
    EXPECT_EQ(pcl[1], 'E');
    const PclDecoded decoded = DecodePcl(pcl);
    ASSERT_EQ(decoded.error, "");
    EXPECT_EQ(decoded.resets, 2);
    ASSERT_EQ(decoded.pages.size(), 1u);
    const PclDecodedPage& page = decoded.pages[0];
    EXPECT_EQ(page.sizeCode, c.sizeCode);
    EXPECT_EQ(page.orientation, 0);
    EXPECT_EQ(page.resolution, static_cast<int>(c.page.resolution));
    EXPECT_EQ(page.width, c.page.width);
    EXPECT_EQ(page.height, c.page.height);
    EXPECT_EQ(page.x, 0);
    EXPECT_EQ(page.y, 0);
    EXPECT_EQ(page.rasterStart, 1);
    EXPECT_TRUE(page.rasterEnded);
    for (unsigned y = 0; y < c.page.height; ++y)
      ASSERT_EQ(page.Row(y), Printed(PageRow(c.page, y), c.page.width)) << "row " << y;
    EXPECT_LE(page.rows.size(), c.page.height - 4) << "the blank rows at the bottom are not sent";
    // In chunks of at most 64 KiB, not a call a row.
    for (size_t chunk : capture.chunks) EXPECT_LE(chunk, 65536u);
    EXPECT_LE(capture.chunks.size(), pcl.size() / 32768 + 3);
  }
}

TEST(PclWriterTest, BlankRowsAreSkippedAndModesSetOnlyWhenTheyChange) {
  // 1021 pixels: 128 bytes, the last 3 bits past the width.
  const PclPage page = Page(600, 1, 1021 * 72 / 600.0, 16 * 72 / 600.0);
  const Bytes literal = PatternRow(4, 128);  // 128 bytes; 129 in PackBits: mode 0
  const Bytes runs = PatternRow(2, 128);     // mode 2
  Bytes blank(128, 0);
  blank.back() = 0x07;  // black only past the width: blank
  Capture capture;
  PclWriter writer(capture.Sink());
  std::string error;
  // Two pages: the second sets its modes again, the job's reset comes once.
  for (int copy = 0; copy < 2; ++copy) {
    ASSERT_TRUE(writer.StartPage(page, error)) << error;
    // Lines 0 to 2 never come, 4 to 8 come blank: two skips.
    EXPECT_TRUE(writer.WriteLine(3, literal.data(), literal.size()));
    for (unsigned y = 4; y < 9; ++y) EXPECT_TRUE(writer.WriteLine(y, blank.data(), blank.size()));
    EXPECT_TRUE(writer.WriteLine(9, runs.data(), runs.size()));
    EXPECT_TRUE(writer.WriteLine(10, runs.data(), runs.size()));
    EXPECT_TRUE(writer.WriteLine(11, literal.data(), literal.size()));
    EXPECT_FALSE(writer.WriteLine(11, runs.data(), runs.size())) << "a line already passed";
    EXPECT_TRUE(writer.WriteLine(16, runs.data(), runs.size())) << "past the height: ignored";
    EXPECT_TRUE(writer.EndPage());  // lines 12 to 15 never come
  }
  EXPECT_TRUE(writer.EndJob());

  const PclDecoded decoded = DecodePcl(capture.bytes);
  ASSERT_EQ(decoded.error, "");
  EXPECT_EQ(decoded.resets, 2);
  ASSERT_EQ(decoded.pages.size(), 2u);
  for (const PclDecodedPage& printed : decoded.pages) {
    EXPECT_EQ(printed.skipCommands, 2);
    EXPECT_EQ(printed.modeCommands, 3) << "0 for the literal, 2 for the runs, 0 again";
    for (unsigned y = 0; y < 16; ++y) {
      const Bytes& row = y == 3 || y == 11 ? literal : y == 9 || y == 10 ? runs : Bytes(128, 0);
      EXPECT_EQ(printed.Row(y), Printed(row, page.width)) << "row " << y;
    }
  }
}

TEST(PclWriterTest, RefusesPagesItCannotPrint) {
  const PclPage a4 = Page(600, 8, 595, 842);
  const struct Case {
    PclPage page;
    const char* error;
  } cases[] = {
      {{2480, 3508, 150, 8, 595, 842},
       "Unsupported resolution of 150 dpi: the printer takes 300 or 600 dpi"},
      {{4961, 7016, 600, 16, 595, 842},
       "Unsupported raster of 16 bits per pixel: the printer takes 8-bit gray or 1-bit black"},
      {{0, 7016, 600, 8, 595, 842}, "Empty page of 0 x 7016 pixels"},
      {{4961, 0, 600, 1, 595, 842}, "Empty page of 4961 x 0 pixels"},
      {{100000, 7016, 600, 8, 595, 842},
       "Page of 100000 x 7016 pixels at 600 dpi is larger than 17 inches"},
      {{5101, 3508, 300, 8, 595, 842},
       "Page of 5101 x 3508 pixels at 300 dpi is larger than 17 inches"},
      {{4961, 10201, 600, 1, 595, 842},
       "Page of 4961 x 10201 pixels at 600 dpi is larger than 17 inches"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.error);
    Capture capture;
    PclWriter writer(capture.Sink());
    std::string error;
    EXPECT_FALSE(writer.StartPage(c.page, error));
    EXPECT_EQ(error, c.error);
    const Bytes line(c.page.width + 1, 0);
    EXPECT_FALSE(writer.WriteLine(0, line.data(), line.size())) << "no page is open";
    EXPECT_FALSE(writer.EndPage());
    EXPECT_TRUE(capture.bytes.empty()) << "nothing of a refused page goes out";
    EXPECT_TRUE(writer.StartPage(a4, error)) << "the writer takes the next page";
  }
}

TEST(PclWriterTest, PageSizeCodes) {
  const struct Case {
    double width, height;
    int code;
  } cases[] = {
      {612, 792, 2},        {612, 1008, 3},       {595.28, 841.89, 26},  {595, 842, 26},
      {419.53, 595.28, 25}, {522, 756, 1},        {841.89, 1190.55, 27}, {792, 1224, 6},
      {515.91, 728.5, 45},  {498.9, 708.66, 100}, {297, 684, 81},        {311.81, 623.62, 90},
      {614.5, 789.5, 2},    {616, 792, -1},       {792, 612, -1},        {0, 0, -1},
  };
  for (const Case& c : cases)
    EXPECT_EQ(PclPageSizeCode(c.width, c.height), c.code) << c.width << " x " << c.height;
}

TEST(PclWriterTest, DitherKeepsGrayLevels) {
  // A gray g is black in about 256 * (255 - g) / 255 cells of a 16 x 16
  // tile, in all of them for 0 and none for 255; the thresholds average the
  // middle of the scale, so that over the 256 grays a tile is black
  // 128 * 256 times.
  int total = 0;
  int previous = 256;
  for (int gray = 0; gray < 256; ++gray) {
    const Bytes line(32, static_cast<unsigned char>(gray));  // two tiles
    int black = 0;
    for (unsigned y = 0; y < 16; ++y) {
      Bytes bits(4);
      PclDitherLine(y, line.data(), 32, bits.data());
      for (unsigned x = 0; x < 16; ++x) black += (bits[x / 8] >> (7 - x % 8)) & 1;
      // Cut in its last byte, a line dithers as the whole line does.
      Bytes cut(4, 0xEE);
      PclDitherLine(y, line.data(), 27, cut.data());
      EXPECT_EQ(cut, Printed(bits, 27)) << "gray " << gray << ", row " << y;
    }
    EXPECT_NEAR(black, 256 * (255 - gray) / 255.0, 1) << gray;
    EXPECT_LE(black, previous) << gray;
    if (gray == 0 || gray == 255) {
      EXPECT_EQ(black, gray == 0 ? 256 : 0);
    }
    previous = black;
    total += black;
  }
  EXPECT_EQ(total, 128 * 256);
}

TEST(PclWriterTest, FailingSinkStopsTheWriter) {
  int calls = 0;
  PclWriter writer([&](const unsigned char*, size_t) {
    ++calls;
    return false;
  });
  const PclPage page = Page(600, 1, 595, 842);
  std::string error;
  ASSERT_TRUE(writer.StartPage(page, error)) << error;
  Bytes literal((page.width + 7) / 8);  // 620 bytes a row, as they are
  for (size_t i = 0; i < literal.size(); ++i)
    literal[i] = static_cast<unsigned char>(1 + i * 37 % 255);
  unsigned y = 0;
  while (y < page.height && writer.WriteLine(y, literal.data(), literal.size())) ++y;
  EXPECT_LT(y, 200u) << "the first 64 KiB fail";
  EXPECT_EQ(calls, 1);
  EXPECT_FALSE(writer.WriteLine(y + 1, literal.data(), literal.size()));
  EXPECT_FALSE(writer.EndPage());
  EXPECT_FALSE(writer.EndJob());
  EXPECT_FALSE(writer.StartPage(page, error));
  EXPECT_EQ(error, "The connection to the printer failed");
  EXPECT_EQ(calls, 1) << "nothing more was handed over";
}

// The decoder reads what a peer sent in the end-to-end tests: it stops at
// the first thing it cannot read, and reads nothing outside its input.
TEST(PclDecoderTest, StopsAtWhatItCannotRead) {
  const std::string raster = std::string("\x1b") + "E\x1b*r8S\x1b*r2T\x1b*r1A";
  const struct Case {
    std::string bytes;
    const char* error;
  } cases[] = {
      {raster + "\x1b*b2M\x1b*b3W\x02\xAA", "row data past the end of the input"},
      {raster + "\x1b*b2M\x1b*b2W\x05\xAA", "a literal past the row's data"},
      {raster + "\x1b*b2M\x1b*b1W\xFE", "a run without its byte"},
      {raster + "\x1b*b1W\x01\x1b*b1W\x01\x1b*b1W\x01", "row past the raster height"},
      {raster + "\x1b*b3Y", "rows skipped past the raster"},
      {raster + "\x1b*b3M", "compression mode 3"},
      {raster + "\x1b*b1234567890W", "a number of more than 9 digits"},
      {raster + "\x1b*rC\x1b*b1W\x01", "row outside a raster"},
      {raster + "text", "unexpected byte 116"},
      {raster, "the input ends inside a raster"},
      {"\x1b*r", "the input ends inside an escape"},
      {"\x1b%-12345X", "unknown escape 37"},
      {"\x1b*r99999S", "raster size 99999"},
  };
  for (const Case& c : cases) {
    const Bytes bytes(c.bytes.begin(), c.bytes.end());
    const std::string error = DecodePcl(bytes).error;
    EXPECT_NE(error.find(c.error), std::string::npos) << c.error << ": " << error;
  }
  // Every prefix and every byte changed of a real page, each in a buffer of
  // its own size so that the sanitizer build sees a read past its end.
  const PclPage page = Page(600, 1, 61 * 72 / 600.0, 24 * 72 / 600.0);
  Capture capture;
  const Bytes job = PrintJob(page, &capture);
  for (size_t size = 0; size < job.size(); ++size)
    EXPECT_LE(DecodePcl(Bytes(job.begin(), job.begin() + size)).pages.size(), 1u);
  for (size_t i = 0; i < job.size(); ++i) {
    for (unsigned char byte : {0x00, 0x1B, 0x30, 0x39, 0x80, 0xFF}) {
      Bytes changed = job;
      changed[i] = byte;
      EXPECT_LE(DecodePcl(changed).pages.size(), 2u);
    }
  }
}

}  // namespace
