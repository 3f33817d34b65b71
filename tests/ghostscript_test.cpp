// Tests of the document renderer: the argument vector Ghostscript gets for
// page ranges, sheets and resolutions; the reasons read from
// its errors; and real runs of Debian's gs on small documents made here,
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
    request.sheetWidth = row.width;
    request.sheetHeight = row.height;
    request.pageRanges = row.ranges;
    std::vector<std::string> args = GhostscriptArguments(request);
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

RenderRun Render(const std::string& document, bool pdf, RenderLimits limits, Ranges ranges = {},
                 double cancelAfter = -1, int acceptPages = INT_MAX, bool upsideDown = false) {
  TempDir dir("ghostscript_test");
  const std::string path = dir / (pdf ? "document.pdf" : "document.ps");
  EXPECT_TRUE(WriteFile(path, document, 0600));
  RenderRequest request;
  request.document = path;
  request.pdf = pdf;
  request.resolution = 300;
  request.sheetWidth = request.sheetHeight = 72;
  request.pageRanges = ranges;
  request.upsideDown = upsideDown;
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
  RenderRun all = Render(Squares(3), false, RenderLimits());
  EXPECT_EQ(all.result.status, RenderStatus::kDone) << all.result.reason;
  ASSERT_EQ(all.pages.size(), 3u);
  EXPECT_EQ(all.result.pages, 3u);
  for (const RenderedPage& page : all.pages) {
    ASSERT_EQ(page.width, 300u);
    ASSERT_EQ(page.height, 300u);
    EXPECT_EQ(page.Row(10)[1], 0xFF);    // inside the square, top left
    EXPECT_EQ(page.Row(290)[36], 0x00);  // bottom right: white (black upside down)
  }
  RenderRun second = Render(Squares(3), false, RenderLimits(), {{2, 2}});
  EXPECT_EQ(second.result.status, RenderStatus::kDone);
  EXPECT_EQ(second.pages.size(), 1u);

  RenderRun turned = Render(Squares(1), false, RenderLimits(), {}, -1, INT_MAX, true);
  ASSERT_EQ(turned.pages.size(), 1u);
  EXPECT_EQ(turned.pages[0].Row(10)[1], 0x00);
  EXPECT_EQ(turned.pages[0].Row(290)[36], 0xFF);

  RenderRun stopped = Render(Squares(3), false, RenderLimits(), {}, -1, 1);
  EXPECT_EQ(stopped.result.status, RenderStatus::kStopped);
  EXPECT_EQ(stopped.pages.size(), 1u);
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
    RenderRun run = Render(row.document, row.pdf, row.limits, {}, row.cancelAfter);
    EXPECT_EQ(run.result.status, row.status);
    EXPECT_NE(run.result.reason.find(row.reason), std::string::npos) << run.result.reason;
    EXPECT_EQ(run.result.overLimit, row.overLimit);
    // The bound plus the half second an interpreter gets to end.
    EXPECT_LT(run.seconds, 5);
  }
}

}  // namespace
