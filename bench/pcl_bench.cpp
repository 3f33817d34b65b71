// Times the printer application's PCL 5 raster writer on what it prints
// most: an A4 page at 600 dpi in 8-bit gray, as a client sends a page of
// text. The dithering alone and the whole encoding (dithering, packing,
// PackBits, the commands, the chunks to the sink) take turns on the same
// page. The aim: the whole encoding in at most twice the dithering's time,
// so that writing PCL costs little more than the dithering every gray page
// needs anyway. The figures: ms per page for each, their ratio, and the PCL
// bytes of the page.

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "app/pcl_writer.h"

namespace {

const unsigned kWidth = 4961;  // A4 at 600 dpi
const unsigned kHeight = 7016;

// A page that looks like text to the encoder: 1-inch margins, lines every
// 100 rows (12 points), glyphs 30 to 60 pixels wide of stems and bars 6 or 7
// pixels thick with a gray pixel at each side (a client's anti-aliasing),
// tall and short letters, spaces between words and a ragged right edge.
std::vector<unsigned char> TextPage() {
  std::vector<unsigned char> page(size_t{kWidth} * kHeight, 255);
  uint32_t seed = 1;
  auto random = [&seed](unsigned n) {
    seed = seed * 1664525u + 1013904223u;
    return (seed >> 8) % n;
  };
  auto box = [&page](unsigned left, unsigned top, unsigned width, unsigned height) {
    for (unsigned y = top; y < top + height; ++y) {
      unsigned char* row = &page[size_t{y} * kWidth];
      row[left - 1] = 160;
      for (unsigned x = left; x < left + width; ++x) row[x] = 0;
      row[left + width] = 160;
    }
  };
  const unsigned kMargin = 600, kPitch = 100, kTall = 70, kShort = 48, kStroke = 7;
  for (unsigned top = kMargin; top + kPitch <= kHeight - kMargin; top += kPitch) {
    const unsigned right = kWidth - kMargin - random(kWidth / 4);
    const unsigned bottom = top + kTall;
    for (unsigned x = kMargin; x + 70 < right;) {
      if (random(6) == 0) {  // a space
        x += 40;
        continue;
      }
      const unsigned width = 30 + random(30);
      const unsigned height = random(3) == 0 ? kTall : kShort;
      const unsigned glyphTop = bottom - height;
      box(x, glyphTop, kStroke, height);
      if (random(2) == 0) box(x + width - kStroke, glyphTop, kStroke, height);
      if (random(2) == 0) box(x, glyphTop, width, kStroke - 1);
      if (random(2) == 0) box(x, bottom - kStroke, width, kStroke - 1);
      if (random(3) == 0) box(x, glyphTop + height / 2, width, kStroke - 1);
      x += width + 12;
    }
  }
  return page;
}

void BM_A4TextPage(benchmark::State& state) {
  const std::vector<unsigned char> page = TextPage();
  const PclPage header{kWidth, kHeight, 600, 8, 595.28, 841.89};
  std::vector<unsigned char> bits((kWidth + 7) / 8);
  size_t pclBytes = 0;
  using Clock = std::chrono::steady_clock;
  Clock::duration dither{}, encode{};
  for (auto _ : state) {
    Clock::time_point start = Clock::now();
    for (unsigned y = 0; y < kHeight; ++y) {
      PclDitherLine(y, &page[size_t{y} * kWidth], kWidth, bits.data());
      benchmark::DoNotOptimize(bits.data());
      benchmark::ClobberMemory();
    }
    Clock::time_point middle = Clock::now();
    pclBytes = 0;
    PclWriter writer([&pclBytes](const unsigned char* data, size_t size) {
      benchmark::DoNotOptimize(data);
      pclBytes += size;
      return true;
    });
    std::string error;
    bool ok = writer.StartPage(header, error);
    for (unsigned y = 0; y < kHeight; ++y)
      ok = writer.WriteLine(y, &page[size_t{y} * kWidth], kWidth) && ok;
    ok = writer.EndPage() && writer.EndJob() && ok;
    encode += Clock::now() - middle;
    dither += middle - start;
    if (!ok) {
      state.SkipWithError("the writer refused the page");
      return;
    }
  }
  const double pages = static_cast<double>(state.iterations());
  const double ditherMs = std::chrono::duration<double, std::milli>(dither).count() / pages;
  const double encodeMs = std::chrono::duration<double, std::milli>(encode).count() / pages;
  state.counters["dither_ms"] = ditherMs;
  state.counters["encode_ms"] = encodeMs;
  state.counters["ratio"] = encodeMs / ditherMs;
  state.counters["pcl_kb"] = static_cast<double>(pclBytes) / 1024;
}
BENCHMARK(BM_A4TextPage)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
