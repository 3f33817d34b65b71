// Tests of the document renderer: the argument vector Ghostscript gets for
// page ranges, sheets and resolutions; the passes an orientation takes, by
// the pages' shapes; the reasons read from its errors; and real runs of
// Debian's gs on small documents made here, each page turned as asked,
// hostile ones included: each ends within its bound and leaves no process
// of its group behind.

#include "app/ghostscript.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <string>
#include <vector>

#include "test_files.h"
#include "test_util.h"

namespace {

typedef std::vector<std::pair<int, int>> Ranges;

std::string Points(double points) { return std::to_string(static_cast<int>(points)); }

bool Has(const std::vector<std::string>& args, const std::string& arg) {
  return std::find(args.begin(), args.end(), arg) != args.end();
}

TEST(GhostscriptArgumentsTest, SheetResolutionPages) {
  struct Row {
    unsigned resolution;
    double width, height;
    Ranges ranges;
    std::string size, pageList;  // the sheet as given; "" for no page list
  } rows[] = {
      {300, 595, 842, {}, "WIDTHPOINTS=595.00 -dDEVICEHEIGHTPOINTS=842.00", ""},
      {600, 612, 792, {{2, 2}}, "WIDTHPOINTS=612.00 -dDEVICEHEIGHTPOINTS=792.00", "2-2"},
      {300,
       612,
       792,
       {{1, 3}, {5, INT_MAX}},
       "WIDTHPOINTS=612.00 -dDEVICEHEIGHTPOINTS=792.00",
       "1-3,5-"},
  };
  for (const Row& row : rows) {
    RenderRequest request;
    request.document = "/spool/d00001-001.pdf";
    request.resolution = row.resolution;
    std::string pages;
    ASSERT_TRUE(PageList(row.ranges, pages));
    std::vector<std::string> args = GhostscriptArguments(request, {row.width, row.height, pages});
    std::string all;
    for (const std::string& arg : args) all += arg + " ";
    SCOPED_TRACE(all);
    EXPECT_EQ(args[0], kGhostscriptPath);
    // The document is named last, after "-f": never read as an option.
    EXPECT_EQ(all.substr(all.size() - request.document.size() - 4), "-f " + request.document + " ");
    for (const char* always : {"-dSAFER", "-dBATCH", "-dNOPAUSE", "-dQUIET", "-sDEVICE=pbmraw",
                               "-sstdout=%stderr", "-sOutputFile=-", "-dFIXEDMEDIA", "-dFitPage"})
      EXPECT_TRUE(Has(args, always)) << always;
    EXPECT_TRUE(Has(args, "-r" + std::to_string(row.resolution)));
    EXPECT_NE(all.find(" -dDEVICE" + row.size + " "), std::string::npos);
    const size_t at = all.find("-sPageList=");
    const std::string list =
        at == std::string::npos ? "" : all.substr(at + 11, all.find(' ', at) - at - 11);
    EXPECT_EQ(list, row.pageList);
  }
}

TEST(GhostscriptArgumentsTest, PageListsGoUp) {
  struct Row {
    Ranges ranges;
    bool ok;
    std::string list;
  } rows[] = {
      {{}, true, ""},
      {{{2, 2}}, true, "2-2"},
      {{{1, 3}, {5, 7}}, true, "1-3,5-7"},
      {{{0, 1}}, false, ""},          // no page 0
      {{{3, 2}}, false, ""},          // backwards
      {{{1, 3}, {3, 4}}, false, ""},  // page 3 twice
      {{{5, 6}, {1, 2}}, false, ""},  // out of order
  };
  for (const Row& row : rows) {
    std::string list = "stale";
    EXPECT_EQ(PageList(row.ranges, list), row.ok) << row.list;
    if (row.ok) {
      EXPECT_EQ(list, row.list);
    }
  }
}

TEST(PageSizesTest, ReadLineByLine) {
  typedef std::vector<std::pair<double, double>> Sizes;
  EXPECT_EQ(ReadPageSizes("595 842\n842.0 595.5 \n", 10), (Sizes{{595, 842}, {842, 595.5}}));
  // The document's own lines, nonsense and a line cut short are no sizes.
  EXPECT_EQ(ReadPageSizes("hello\n612 792 x\n0 5\n1e9 5\n612\n\n595 842", 10), Sizes{});
  EXPECT_EQ(ReadPageSizes("1 2\n3 4\n5 6\n", 2), (Sizes{{1, 2}, {3, 4}}));
}

TEST(PlanPassesTest, PagesOfTheOtherShapeFitUnturned) {
  const std::pair<double, double> tall = {595, 842}, wide = {842, 595}, square = {100, 100};
  struct Row {
    Orientation orientation;
    Ranges ranges;
    std::vector<std::pair<double, double>> sizes;
    std::vector<std::string> passes;  // "WIDTHxHEIGHT PAGES"
  } rows[] = {
      // Portrait: a landscape page goes to a wide sheet as wide as A4.
      {Orientation::kPortrait,
       {},
       {tall, tall, wide, tall},
       {"595x842 1-2", "595x594 3-3", "595x842 4-4"}},
      // Landscape fits to A4 turned; page numbers follow the ranges.
      {Orientation::kLandscape,
       {{2, 3}, {5, INT_MAX}},
       {tall, wide, wide},
       {"594x595 2-2", "842x595 3-3,5-5"}},
      {Orientation::kReverseLandscape, {}, {square}, {"842x595 1-1"}},
      {Orientation::kReversePortrait, {}, {square}, {"595x594 1-1"}},
      // No sizes: every page on the sheet, in one pass.
      {Orientation::kReversePortrait, {{2, 2}}, {}, {"595x842 2-2"}},
  };
  for (const Row& row : rows) {
    RenderRequest request;
    request.orientation = row.orientation;
    request.pageRanges = row.ranges;
    std::vector<std::string> passes;
    for (const RenderPass& pass : PlanPasses(request, row.sizes))
      passes.push_back(Points(pass.width) + "x" + Points(pass.height) + " " + pass.pageList);
    EXPECT_EQ(passes, row.passes) << static_cast<int>(row.orientation);
  }
}

TEST(GhostscriptReasonTest, FirstErrorLine) {
  struct Row {
    std::string errors, reason;
  } rows[] = {
      {"Catalog dictionary not located in file, unable to proceed\n"
       "   **** Error: Couldn't initialise file.\n               Output may be incorrect.\n",
       "Error: Couldn't initialise file."},
      {"Error: /undefined in p\nOperand stack:\n", "Error: /undefined in p"},
      {"\n\n  plain words\nmore\n", "plain words"},
      {"Error: \x1b[31mred\t" + std::string(300, 'x'),
       "Error: ?[31mred?" + std::string(160 - 16, 'x')},
      {"", ""},
  };
  for (const Row& row : rows) EXPECT_EQ(GhostscriptReason(row.errors), row.reason);
}

// A PostScript document of `pages` pages of 1 x 1 inch, each with a black
// square over its top left quarter; `body` runs after them.
std::string Squares(int pages, const std::string& body = "") {
  return "%!PS\n<< /PageSize [72 72] >> setpagedevice\n1 1 " + std::to_string(pages) +
         " { pop 0 36 36 36 rectfill showpage } for\n" + body + "\n";
}

bool GroupGone(pid_t group) { return kill(-group, 0) != 0 && errno == ESRCH; }

struct RenderRun {
  RenderResult result;
  std::vector<RenderedPage> pages;
  double seconds = 0;
};

// A request for a PDF or PostScript document at 300 dpi on a sheet of
// 1 x 1 inch.
RenderRequest Request(bool pdf, Ranges ranges = {}) {
  RenderRequest request;
  request.pdf = pdf;
  request.resolution = 300;
  request.sheetWidth = request.sheetHeight = 72;
  request.pageRanges = ranges;
  return request;
}

RenderRun Render(const std::string& document, RenderRequest request, RenderLimits limits,
                 double cancelAfter = -1, int acceptPages = INT_MAX) {
  TempDir dir("ghostscript_test");
  const std::string path = dir / (request.pdf ? "document.pdf" : "document.ps");
  EXPECT_TRUE(WriteFile(path, document, 0600));
  request.document = path;
  RenderRun run;
  const auto start = std::chrono::steady_clock::now();
  auto elapsed = [&] {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  };
  run.result = RenderDocument(
      request, limits,
      [&](const RenderedPage& page) {
        run.pages.push_back(page);
        return static_cast<int>(run.pages.size()) < acceptPages;
      },
      [&] { return cancelAfter >= 0 && elapsed() > cancelAfter; });
  run.seconds = elapsed();
  if (run.result.processGroup > 0) {
    EXPECT_TRUE(GroupGone(run.result.processGroup));
  }
  return run;
}

TEST(RenderDocumentTest, PagesAtTheSheetAndResolution) {
  RenderRun all = Render(Squares(3), Request(false), RenderLimits());
  EXPECT_EQ(all.result.status, RenderStatus::kDone) << all.result.reason;
  ASSERT_EQ(all.pages.size(), 3u);
  EXPECT_EQ(all.result.pages, 3u);
  for (const RenderedPage& page : all.pages) {
    ASSERT_EQ(page.width, 300u);
    ASSERT_EQ(page.height, 300u);
    EXPECT_EQ(page.Row(10)[1], 0xFF);    // inside the square, top left
    EXPECT_EQ(page.Row(290)[36], 0x00);  // bottom right: white (black upside down)
  }
  RenderRun second = Render(Squares(3), Request(false, {{2, 2}}), RenderLimits());
  EXPECT_EQ(second.result.status, RenderStatus::kDone);
  EXPECT_EQ(second.pages.size(), 1u);

  RenderRun stopped = Render(Squares(3), Request(false), RenderLimits(), -1, 1);
  EXPECT_EQ(stopped.result.status, RenderStatus::kStopped);
  EXPECT_EQ(stopped.pages.size(), 1u);
}

// Where a page's black lies on the sheet, in pixels, and which corner of it
// is white.
struct Ink {
  int x0, y0, x1, y1;
  std::string corner;  // TL, TR, BL, BR
};

Ink InkOf(const RenderedPage& page) {
  auto black = [&](int x, int y) { return (page.Row(y)[x / 8] >> (7 - x % 8)) & 1; };
  Ink ink = {static_cast<int>(page.width), static_cast<int>(page.height), 0, 0, "none"};
  for (int y = 0; y < static_cast<int>(page.height); ++y)
    for (int x = 0; x < static_cast<int>(page.width); ++x)
      if (black(x, y)) {
        ink.x0 = std::min(ink.x0, x), ink.x1 = std::max(ink.x1, x + 1);
        ink.y0 = std::min(ink.y0, y), ink.y1 = std::max(ink.y1, y + 1);
      }
  if (ink.x1 == 0) return ink;
  ink.corner = !black(ink.x0 + 2, ink.y0 + 2)   ? "TL"
               : !black(ink.x1 - 3, ink.y0 + 2) ? "TR"
               : !black(ink.x0 + 2, ink.y1 - 3) ? "BL"
               : !black(ink.x1 - 3, ink.y1 - 3) ? "BR"
                                                : "none";
  return ink;
}

void ExpectInk(const RenderedPage& page, const Ink& want) {
  const Ink ink = InkOf(page);
  // Where a fitted page's edge falls, to a pixel or two, is Ghostscript's.
  EXPECT_NEAR(ink.x0, want.x0, 2);
  EXPECT_NEAR(ink.y0, want.y0, 2);
  EXPECT_NEAR(ink.x1, want.x1, 2);
  EXPECT_NEAR(ink.y1, want.y1, 2);
  EXPECT_EQ(ink.corner, want.corner);
}

TEST(RenderDocumentTest, EachPageTurnedAsTheJobAsks) {
  // A tall page and a wide one, black with a white notch at their top left,
  // on a sheet of 1 x 2 inches at 72 dpi.
  auto page = [](int w, int h) {
    return "<< /PageSize [" + std::to_string(w) + " " + std::to_string(h) +
           "] >> setpagedevice 0 0 " + std::to_string(w) + " " + std::to_string(h) +
           " rectfill 1 setgray 0 " + std::to_string(h - 16) + " 16 16 rectfill showpage\n";
  };
  const std::string ps = "%!PS\n" + page(72, 144) + page(144, 72);
  TempDir dir("ghostscript_test");
  WriteFile(dir / "in.ps", ps, 0600);
  ASSERT_EQ(system(("/usr/bin/gs -q -dSAFER -dBATCH -dNOPAUSE -sDEVICE=pdfwrite -sOutputFile=" +
                    (dir / "in.pdf") + " " + (dir / "in.ps"))
                       .c_str()),
            0);
  const std::string pdf = ReadFile(dir / "in.pdf");
  struct Row {
    Orientation orientation;
    bool pdf;
    Ink tall, wide;
  } rows[] = {
      // Each page as fits best: the wide one turned counter-clockwise.
      {Orientation::kAuto, true, {0, 0, 72, 144, "TL"}, {0, 0, 72, 144, "BL"}},
      {Orientation::kPortrait, true, {0, 0, 72, 144, "TL"}, {0, 54, 72, 90, "TL"}},
      {Orientation::kPortrait, false, {0, 0, 72, 144, "TL"}, {0, 54, 72, 90, "TL"}},
      {Orientation::kLandscape, true, {0, 54, 72, 90, "BL"}, {0, 0, 72, 144, "BL"}},
      {Orientation::kLandscape, false, {0, 54, 72, 90, "BL"}, {0, 0, 72, 144, "BL"}},
      {Orientation::kReverseLandscape, true, {0, 54, 72, 90, "TR"}, {0, 0, 72, 144, "TR"}},
      {Orientation::kReversePortrait, true, {0, 0, 72, 144, "BR"}, {0, 54, 72, 90, "BR"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::to_string(static_cast<int>(row.orientation)) + (row.pdf ? " PDF" : " PS"));
    RenderRequest request = Request(row.pdf);
    request.resolution = 72;
    request.sheetHeight = 144;
    request.orientation = row.orientation;
    RenderRun run = Render(row.pdf ? pdf : ps, request, RenderLimits());
    EXPECT_EQ(run.result.status, RenderStatus::kDone) << run.result.reason;
    ASSERT_EQ(run.pages.size(), 2u);
    for (const RenderedPage& page : run.pages) {
      EXPECT_EQ(page.width, 72u);
      EXPECT_EQ(page.height, 144u);
    }
    ExpectInk(run.pages[0], row.tall);
    ExpectInk(run.pages[1], row.wide);
  }
  // The run that learns the pages' shapes is bound like the others.
  RenderLimits wall;
  wall.seconds = 1;
  RenderRequest endless = Request(false);
  endless.orientation = Orientation::kLandscape;
  RenderRun run = Render(Squares(1, "{} loop"), endless, wall);
  EXPECT_EQ(run.result.status, RenderStatus::kFailed);
  EXPECT_TRUE(run.result.overLimit);
  EXPECT_LT(run.seconds, 5);
  // A document without pages has no shape to learn, and none too many.
  run = Render("%!PS\n", endless, RenderLimits());
  EXPECT_FALSE(run.result.overLimit) << run.result.reason;
  EXPECT_EQ(run.pages.size(), 0u);
}

TEST(RenderDocumentTest, HostileAndBrokenDocumentsEndTheirJob) {
  RenderLimits wall, cpu, pages;
  wall.seconds = 1;
  cpu.seconds = 30;
  cpu.child.cpuSeconds = 1;
  pages.maxPages = 5;
  struct Row {
    std::string document;
    bool pdf;
    RenderLimits limits;
    double cancelAfter;
    RenderStatus status;
    std::string reason;  // part of it
    bool overLimit;
    const char* why;
  } rows[] = {
      {Squares(1, "{} loop"), false, wall, -1, RenderStatus::kFailed,
       "more than 1 seconds to render", true, "an endless loop, the wall clock"},
      {Squares(1, "{} loop"), false, cpu, -1, RenderStatus::kFailed, "processor time", true,
       "an endless loop, the processor time"},
      {Squares(1, "{showpage} loop"), false, pages, -1, RenderStatus::kFailed, "more than 5 pages",
       true, "pages without end"},
      {Squares(6), false, pages, -1, RenderStatus::kFailed, "more than 5 pages", true,
       "one page too many"},
      {Squares(1, "{} loop"), false, RenderLimits(), 0.3, RenderStatus::kCanceled, "", false,
       "canceled while it loops"},
      {"%PDF-1.4\ngarbage\n%%EOF\n", true, RenderLimits(), -1, RenderStatus::kFailed,
       "cannot be rendered: Error: Couldn't initialise file", false, "a malformed PDF"},
      {"%!PS\nthis is not defined\n", false, RenderLimits(), -1, RenderStatus::kFailed,
       "Error: /undefined in this", false, "bad PostScript"},
      {Squares(1), true, RenderLimits(), -1, RenderStatus::kFailed, "not a PDF file", false,
       "PostScript sent as PDF"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.why);
    RenderRun run = Render(row.document, Request(row.pdf), row.limits, row.cancelAfter);
    EXPECT_EQ(run.result.status, row.status);
    EXPECT_NE(run.result.reason.find(row.reason), std::string::npos) << run.result.reason;
    EXPECT_EQ(run.result.overLimit, row.overLimit);
    // The bound plus the half second an interpreter gets to end.
    EXPECT_LT(run.seconds, 5);
  }
}

}  // namespace
