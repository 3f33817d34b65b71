// The printer application's renderer for PDF and PostScript documents:
// runs Debian's Ghostscript (never linked) as a limited child in its own
// process group, reads the pages it renders at the job's resolution and
// sheet, turned as the job asks (a first run, rendering nothing, learns
// each page's shape), and hands them over one whole page at a time. No
// PAPPL here: the document filter (document_filter.h) calls it with the
// job's options.
#ifndef NETBACKEND_APP_GHOSTSCRIPT_H_
#define NETBACKEND_APP_GHOSTSCRIPT_H_

#include <sys/types.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "child_process.h"
#include "rendered_page.h"

// Where Debian installs the interpreter.
extern const char kGhostscriptPath[];

// How the content of each page stands on the sheet. kAuto turns a page that
// fits the sheet better a quarter counter-clockwise (a landscape page on a
// portrait sheet prints as IPP's landscape); the others are IPP's
// orientations, asked for by the job: every page is turned as asked, and
// scaled to fit the sheet so turned, whatever its own shape.
enum class Orientation { kAuto, kPortrait, kLandscape, kReverseLandscape, kReversePortrait };

struct RenderRequest {
  std::string program = kGhostscriptPath;
  std::string document;       // path of the spooled document
  bool pdf = true;            // PDF, else PostScript
  unsigned resolution = 300;  // dots per inch, both ways
  // The sheet, portrait, in points (1/72 inch).
  double sheetWidth = 595, sheetHeight = 842;
  Orientation orientation = Orientation::kAuto;
  // Pages to print, first and last of each range, counted from 1; empty
  // for all.
  std::vector<std::pair<int, int>> pageRanges;
};

// One run of the interpreter: the sheet it renders on, in points, and the
// "-sPageList=" value of the pages it renders ("" for all).
struct RenderPass {
  double width = 0, height = 0;
  std::string pageList;
};

// Bounds on one document, so that a hostile one (endless loops, a million
// pages, a page that eats all memory) ends its own job and nothing else.
struct RenderLimits {
  unsigned maxPages = 2000;
  // Time spent waiting for the interpreter; the time the printer takes to
  // read the pages handed to it does not count.
  unsigned seconds = 600;
  ChildLimits child = {1ull << 30, 600, 1ull << 30};
};

// The argument vector for one pass of `request`: Ghostscript, safe mode,
// batch, 1-bit PBM pages on standard output (its own messages on standard
// error), the pass's sheet fixed and every page scaled to fit it, the page
// list, and the document as a file.
std::vector<std::string> GhostscriptArguments(const RenderRequest& request, const RenderPass& pass);

// The argument vector that prints the size of each page `request` prints,
// as Ghostscript sets it (the page's box, turned by its /Rotate), one
// "WIDTH HEIGHT" line a page, rendering nothing.
std::vector<std::string> PageSizeArguments(const RenderRequest& request);

// The sizes in `output` (of PageSizeArguments' run), in points, at most
// `max`: lines that are not two positive numbers are passed over (the
// document may print lines of its own).
std::vector<std::pair<double, double>> ReadPageSizes(const std::string& output, size_t max);

// The passes for a request whose orientation is not kAuto, given the sizes
// of the pages it prints: consecutive pages whose shape is the sheet's
// (turned a quarter for the landscape orientations) render on that sheet;
// the others on a sheet a point short of square, in the page's shape, whose
// long side is that sheet's short side: each fits unturned, and
// Ghostscript turns only a page whose shape is not its sheet's. No sizes:
// one pass of every page on the sheet.
std::vector<RenderPass> PlanPasses(const RenderRequest& request,
                                   const std::vector<std::pair<double, double>>& sizes);

// Sets `list` to the "-sPageList=" value for `ranges` ("1-3,5", "4-" for a
// range that ends at INT_MAX). False for ranges that do not go up: each
// first page at least 1, not past its last, and past the last page of the
// range before (IPP's page-ranges rule; the interpreter would print them
// in its own order).
bool PageList(const std::vector<std::pair<int, int>>& ranges, std::string& list);

// A reason an administrator can read from Ghostscript's standard error:
// its first error line, else its first line, printable ASCII only, at most
// 160 characters; empty when there is none.
std::string GhostscriptReason(const std::string& errors);

enum class RenderStatus {
  kDone,      // every page handed over
  kCanceled,  // `canceled` said so; the interpreter was ended
  kStopped,   // the page callback returned false
  kFailed,    // the document could not be rendered: see reason
};

struct RenderResult {
  RenderStatus status = RenderStatus::kFailed;
  unsigned pages = 0;       // pages handed to the callback
  std::string reason;       // why it failed, in words for the job's message
  bool overLimit = false;   // it failed on one of the limits
  pid_t processGroup = -1;  // the last interpreter's group, ended on return
};

// Renders `request`. Each whole page goes to `onPage`, on the sheet and
// turned as asked; `canceled` is asked at least ten times a second while
// the interpreter works. On return the interpreter and its whole group have
// ended.
RenderResult RenderDocument(const RenderRequest& request, const RenderLimits& limits,
                            const std::function<bool(const RenderedPage&)>& onPage,
                            const std::function<bool()>& canceled);

#endif  // NETBACKEND_APP_GHOSTSCRIPT_H_
