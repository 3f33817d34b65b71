#include "ghostscript.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "safe_text.h"

// Why the pages come as raster and not as Ghostscript's own PCL (ljet4):
// measured on a 10-page text PDF at 600 dpi (bench/pdf_bench.sh), the whole
// filter, 1-bit PBM through the application's PCL writer to the printer,
// took 0.24 s for 12.6 MB of PCL; Ghostscript alone writing ljet4 took
// 0.29 s for 5.4 MB. The raster way is as fast, prints exactly what the
// writer's tested encoder prints for a raster client (the printers' other
// jobs; ljet4's margin offsets and delta-row compression would be a second
// encoder, which the tests' PCL decoder does not even read), counts pages
// as each one leaves, and cuts nothing short: a page reaches the printer
// only whole. 1-bit PBM rather than 8-bit gray: Ghostscript halftones
// itself, and 8-bit pages through the writer's dither took four times as
// long (0.74 s against 0.19 s for rendering and encoding alone).

const char kGhostscriptPath[] = "/usr/bin/gs";

namespace {

// Larger than any page the PCL writer takes: 17 inches at 600 dpi.
const unsigned kMaxPixels = 17 * 600;
// A page that size is 13 MiB at one bit a pixel; rendering it in memory
// keeps Ghostscript from writing band files into a temporary directory,
// which a killed interpreter would leave behind.
const char kMaxBitmap[] = "-dMaxBitmap=33554432";
// What standard error is kept of (the first error is near the top; a
// PostScript document can print there without end).
const size_t kMaxErrorBytes = 8192;
const size_t kMaxReason = 160;
const int kPollMs = 100;
// How long the interpreter has to end after SIGTERM.
const int kGraceMs = 500;
// A PDF's header may follow some bytes of junk; Ghostscript looks this far.
const size_t kPdfHeaderWindow = 1024;

typedef std::chrono::steady_clock Clock;

std::string Points(double points) {
  char text[32];
  snprintf(text, sizeof text, "%.2f", points);
  return text;
}

bool HasPdfHeader(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char head[kPdfHeaderWindow];
  ssize_t n;
  do {
    n = read(fd, head, sizeof head);
  } while (n < 0 && errno == EINTR);
  close(fd);
  return n > 0 && memmem(head, static_cast<size_t>(n), "%PDF-", 5) != nullptr;
}

RenderResult Failed(RenderResult result, const std::string& reason) {
  result.status = RenderStatus::kFailed;
  result.reason = reason;
  return result;
}

// Quarter turns counter-clockwise of the content on the sheet.
int Quarters(Orientation orientation) {
  switch (orientation) {
    case Orientation::kLandscape:
      return 1;
    case Orientation::kReversePortrait:
      return 2;
    case Orientation::kReverseLandscape:
      return 3;
    default:
      return 0;
  }
}

// The sheet a page is fitted to before it is turned as asked: the job's,
// turned for the landscape orientations.
void FittingSheet(const RenderRequest& request, double& width, double& height) {
  const bool across = Quarters(request.orientation) % 2 != 0;
  width = across ? request.sheetHeight : request.sheetWidth;
  height = across ? request.sheetWidth : request.sheetHeight;
}

unsigned Pixels(double points, unsigned resolution) {
  return static_cast<unsigned>(std::lround(points * resolution / 72.0));
}

std::vector<std::string> CommonArguments(const RenderRequest& request) {
  return {request.program, "-dSAFER", "-dBATCH", "-dNOPAUSE", "-dQUIET"};
}

// The document last, after "-f" (never read as an option), with PostScript
// to run before it.
void AddDocument(std::vector<std::string>& args, const RenderRequest& request,
                 const std::string& before) {
  if (!before.empty()) {
    args.push_back("-c");
    args.push_back(before);
  }
  args.push_back("-f");
  args.push_back(request.document);
}

// Prints the page device's size at each page it sends out (EndPage's
// reason 2 is the device going away, not a page).
const char kPrintPageSize[] =
    "<< /EndPage { exch pop 2 ne dup { currentpagedevice /PageSize get aload pop "
    "exch =only ( ) print = } if } bind >> setpagedevice";

// How one run of the interpreter ended.
struct RunOutcome {
  enum class End { kExited, kStopped, kCanceled, kTooLong, kFailed } end = End::kFailed;
  int exitStatus = -1;
  int termSignal = 0;
  std::string errors;   // the start of its standard error
  std::string failure;  // kFailed: why it could not be run
};

// Runs the interpreter with `args` to its end, handing its standard output
// to `onOutput` (false: no more is wanted, and the interpreter is ended).
// `waited` adds up the time spent waiting for it, across the runs of one
// document, against `limits.seconds`. On return its whole group has ended.
RunOutcome RunInterpreter(const std::vector<std::string>& args, const RenderLimits& limits,
                          Clock::duration& waited,
                          const std::function<bool(const unsigned char*, size_t)>& onOutput,
                          const std::function<bool()>& canceled, pid_t& group) {
  RunOutcome outcome;
  ChildProcess child;
  const std::vector<std::string> env = {"PATH=/usr/bin:/bin", "LC_ALL=C"};
  if (!child.Start(args, env, limits.child, outcome.failure)) return outcome;
  group = child.Pid();
  typedef RunOutcome::End End;
  auto end = [&](End how) {
    child.Kill(kGraceMs);
    outcome.end = how;
    return outcome;
  };
  const auto budget = std::chrono::seconds(limits.seconds);
  std::vector<unsigned char> buffer(1 << 20);
  while (child.OutFd() >= 0 || child.ErrFd() >= 0) {
    if (canceled()) return end(End::kCanceled);
    if (waited > budget) return end(End::kTooLong);
    struct pollfd fds[2] = {{child.OutFd(), POLLIN, 0}, {child.ErrFd(), POLLIN, 0}};
    const Clock::time_point before = Clock::now();
    int ready = poll(fds, 2, kPollMs);
    waited += Clock::now() - before;
    if (ready < 0 && errno != EINTR) {
      outcome.failure = strerror(errno);
      return end(End::kFailed);
    }
    if (ready <= 0) continue;
    if (fds[1].revents != 0) {
      ssize_t n = read(child.ErrFd(), buffer.data(), buffer.size());
      if (n > 0 && outcome.errors.size() < kMaxErrorBytes)
        outcome.errors.append(
            reinterpret_cast<const char*>(buffer.data()),
            std::min(static_cast<size_t>(n), kMaxErrorBytes - outcome.errors.size()));
      if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) child.CloseErr();
    }
    if (fds[0].revents != 0) {
      ssize_t n = read(child.OutFd(), buffer.data(), buffer.size());
      if (n > 0 && !onOutput(buffer.data(), static_cast<size_t>(n))) return end(End::kStopped);
      if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) child.CloseOut();
    }
  }
  // Both pipes closed: the interpreter is ending, or pretends to.
  const struct timespec pause = {0, 10 * 1000 * 1000};
  while (!child.Exited()) {
    if (canceled()) return end(End::kCanceled);
    if (waited > budget) return end(End::kTooLong);
    const Clock::time_point before = Clock::now();
    nanosleep(&pause, nullptr);
    waited += Clock::now() - before;
  }
  outcome.end = End::kExited;
  outcome.exitStatus = child.ExitStatus();
  outcome.termSignal = child.TermSignal();
  return outcome;
}

}  // namespace

bool PageList(const std::vector<std::pair<int, int>>& ranges, std::string& list) {
  list.clear();
  int last = 0;
  for (const auto& range : ranges) {
    if (range.first <= last || range.second < range.first) return false;
    if (!list.empty()) list += ',';
    list += std::to_string(range.first) + '-';
    if (range.second != INT_MAX) list += std::to_string(range.second);
    last = range.second;
    if (last == INT_MAX) break;
  }
  return true;
}

std::vector<std::string> GhostscriptArguments(const RenderRequest& request,
                                              const RenderPass& pass) {
  std::vector<std::string> args = CommonArguments(request);
  args.insert(args.end(), {
                              // PostScript's own output (print, ==) and
                              // Ghostscript's messages would otherwise mix
                              // with the pages on standard output.
                              "-sstdout=%stderr",
                              "-sDEVICE=pbmraw",
                              "-r" + std::to_string(request.resolution),
                              "-dDEVICEWIDTHPOINTS=" + Points(pass.width),
                              "-dDEVICEHEIGHTPOINTS=" + Points(pass.height),
                              // The sheet is the pass's, whatever size the
                              // document asks for; each page is scaled to
                              // fit it (and turned when that fits better).
                              "-dFIXEDMEDIA",
                              "-dFitPage",
                              kMaxBitmap,
                          });
  if (!pass.pageList.empty()) args.push_back("-sPageList=" + pass.pageList);
  args.push_back("-sOutputFile=-");
  // A PostScript document that never asks for a page size is drawn for the
  // job's sheet, and fitted to the pass's like any other.
  AddDocument(args, request,
              request.pdf ? ""
                          : "<< /PageSize [" + Points(request.sheetWidth) + " " +
                                Points(request.sheetHeight) + "] >> setpagedevice");
  return args;
}

std::vector<std::string> PageSizeArguments(const RenderRequest& request) {
  std::vector<std::string> args = CommonArguments(request);
  args.insert(args.end(), {"-sDEVICE=nullpage",
                           // The size of a PostScript page that asks for none.
                           "-dDEVICEWIDTHPOINTS=" + Points(request.sheetWidth),
                           "-dDEVICEHEIGHTPOINTS=" + Points(request.sheetHeight)});
  std::string list;
  if (PageList(request.pageRanges, list) && !list.empty()) args.push_back("-sPageList=" + list);
  AddDocument(args, request, kPrintPageSize);
  return args;
}

std::vector<std::pair<double, double>> ReadPageSizes(const std::string& output, size_t max) {
  std::vector<std::pair<double, double>> sizes;
  size_t start = 0;
  while (start < output.size() && sizes.size() < max) {
    size_t end = output.find('\n', start);
    if (end == std::string::npos) break;  // a line cut short
    const std::string line = output.substr(start, end - start);
    start = end + 1;
    char* rest = nullptr;
    const double width = strtod(line.c_str(), &rest);
    const double height = strtod(rest, &rest);
    while (*rest == ' ') ++rest;
    // No page is a mile long; what is not a size is the document's own.
    if (*rest == '\0' && width > 0 && height > 0 && width < 1e5 && height < 1e5)
      sizes.push_back({width, height});
  }
  return sizes;
}

std::vector<RenderPass> PlanPasses(const RenderRequest& request,
                                   const std::vector<std::pair<double, double>>& sizes) {
  double width, height;
  FittingSheet(request, width, height);
  std::vector<RenderPass> passes;
  std::vector<std::vector<std::pair<int, int>>> pages;
  if (sizes.empty()) {
    passes.push_back({width, height, ""});
    PageList(request.pageRanges, passes.back().pageList);
    return passes;
  }
  // Square counts as wide: Ghostscript's PostScript fitting turns a square
  // page on a tall sheet.
  const bool wide = width >= height;
  const double side = std::min(width, height);
  size_t next = 0;
  auto add = [&](int number) {
    const bool pageWide = sizes[next].first >= sizes[next].second;
    ++next;
    RenderPass pass = {width, height, ""};
    if (pageWide != wide)
      pass = pageWide ? RenderPass{side, side - 1, ""} : RenderPass{side - 1, side, ""};
    if (passes.empty() || passes.back().width != pass.width ||
        passes.back().height != pass.height) {
      passes.push_back(pass);
      pages.emplace_back();
    }
    auto& ranges = pages.back();
    if (!ranges.empty() && ranges.back().second == number - 1)
      ranges.back().second = number;
    else
      ranges.push_back({number, number});
  };
  if (request.pageRanges.empty()) {
    while (next < sizes.size()) add(static_cast<int>(next) + 1);
  } else {
    for (const auto& range : request.pageRanges)
      for (long long number = range.first; number <= range.second && next < sizes.size(); ++number)
        add(static_cast<int>(number));
  }
  for (size_t i = 0; i < passes.size(); ++i) PageList(pages[i], passes[i].pageList);
  return passes;
}

std::string GhostscriptReason(const std::string& errors) {
  std::string first, error;
  size_t start = 0;
  while (start < errors.size() && error.empty()) {
    size_t end = errors.find('\n', start);
    if (end == std::string::npos) end = errors.size();
    std::string line = errors.substr(start, end - start);
    start = end + 1;
    // "   **** Error: ..." and "Error: /undefined in ..." alike.
    size_t text = line.find_first_not_of(" \t*");
    if (text == std::string::npos) continue;
    line.erase(0, text);
    if (first.empty()) first = line;
    if (line.find("rror") != std::string::npos) error = line;
  }
  std::string reason = error.empty() ? first : error;
  if (reason.size() > kMaxReason) reason.resize(kMaxReason);
  reason = SafeAscii(reason, '?');
  while (!reason.empty() && reason.back() == ' ') reason.pop_back();
  return reason;
}

namespace {

typedef RunOutcome::End End;

RenderResult TooManyPages(RenderResult result, const RenderLimits& limits) {
  result.overLimit = true;
  return Failed(result, "The document has more than " + std::to_string(limits.maxPages) + " pages");
}

// A run that was canceled, ran out of time or could not be run.
RenderResult Stopped(RenderResult result, const RunOutcome& run, const RenderLimits& limits) {
  result.status = run.end == End::kCanceled ? RenderStatus::kCanceled : RenderStatus::kFailed;
  result.overLimit = run.end == End::kTooLong;
  if (run.end == End::kTooLong)
    result.reason =
        "The document took more than " + std::to_string(limits.seconds) + " seconds to render";
  if (run.end == End::kFailed) result.reason = run.failure;
  return result;
}

// The passes for a request with an orientation: a first run learns each
// page's shape, to choose the sheet it is fitted to. False, with `result`
// final, when the document ends there.
bool LearnPasses(const RenderRequest& request, const RenderLimits& limits,
                 const std::function<bool()>& canceled, Clock::duration& waited,
                 RenderResult& result, std::vector<RenderPass>& passes) {
  std::string sizes;
  bool over = false;
  RunOutcome run = RunInterpreter(
      PageSizeArguments(request), limits, waited,
      [&](const unsigned char* data, size_t size) {
        sizes.append(reinterpret_cast<const char*>(data), size);
        over = static_cast<size_t>(std::count(sizes.begin(), sizes.end(), '\n')) > limits.maxPages;
        return !over && sizes.size() < (limits.maxPages + 1) * 64u;
      },
      canceled, result.processGroup);
  if (over) {
    result = TooManyPages(result, limits);
    return false;
  }
  if (run.end == End::kCanceled || run.end == End::kTooLong) {
    result = Stopped(result, run, limits);
    return false;
  }
  // A document the sizes cannot be had from renders in one pass, which
  // says what is wrong with it.
  if (run.end != End::kExited || run.termSignal != 0 || run.exitStatus != 0) sizes.clear();
  passes = PlanPasses(request, ReadPageSizes(sizes, limits.maxPages));
  return true;
}

// Why a pass whose interpreter ran to its end did not render its pages;
// empty when it did.
std::string PassFailure(const RunOutcome& run, const RenderLimits& limits, bool complete,
                        RenderResult& result) {
  const std::string said = GhostscriptReason(run.errors);
  if (run.termSignal == SIGXCPU) {
    result.overLimit = true;
    return "The document took more than " + std::to_string(limits.child.cpuSeconds) +
           " seconds of processor time to render";
  }
  if (run.termSignal != 0)
    return "Ghostscript ended on signal " + std::to_string(run.termSignal) +
           (said.empty() ? "" : ": " + said);
  if (run.exitStatus != 0)
    return said.empty() ? "Ghostscript ended with status " + std::to_string(run.exitStatus)
                        : "The document cannot be rendered: " + said;
  if (!complete) return "Ghostscript's output ends inside a page";
  // A document it cannot read at all still ends with status 0 and no page.
  if (result.pages == 0 && !said.empty()) return "The document cannot be rendered: " + said;
  return std::string();
}

}  // namespace

RenderResult RenderDocument(const RenderRequest& request, const RenderLimits& limits,
                            const std::function<bool(const RenderedPage&)>& onPage,
                            const std::function<bool()>& canceled) {
  RenderResult result;
  std::string list;
  if (!PageList(request.pageRanges, list))
    return Failed(result, "The page ranges do not go up from page 1");
  if (request.pdf && !HasPdfHeader(request.document))
    return Failed(result, "The document is not a PDF file");

  Clock::duration waited{};
  std::vector<RenderPass> passes;
  if (request.orientation == Orientation::kAuto)
    passes.push_back({request.sheetWidth, request.sheetHeight, list});
  else if (!LearnPasses(request, limits, canceled, waited, result, passes))
    return result;

  double fitWidth, fitHeight;
  FittingSheet(request, fitWidth, fitHeight);
  const unsigned placedWidth = Pixels(fitWidth, request.resolution);
  const unsigned placedHeight = Pixels(fitHeight, request.resolution);
  const int quarters = Quarters(request.orientation);
  bool refused = false, overPages = false;
  for (const RenderPass& pass : passes) {
    PbmStream stream(kMaxPixels, [&](RenderedPage& page) {
      if (result.pages >= limits.maxPages) {
        overPages = true;
        return false;
      }
      ++result.pages;
      refused = request.orientation == Orientation::kAuto
                    ? !onPage(page)
                    : !onPage(Placed(page, placedWidth, placedHeight, quarters));
      return !refused;
    });
    RunOutcome run = RunInterpreter(
        GhostscriptArguments(request, pass), limits, waited,
        [&](const unsigned char* data, size_t size) { return stream.Feed(data, size); }, canceled,
        result.processGroup);
    if (run.end == End::kStopped) {
      if (refused) {
        result.status = RenderStatus::kStopped;
        return result;
      }
      if (overPages) return TooManyPages(result, limits);
      return Failed(result, "Ghostscript's pages cannot be read: " + stream.Error());
    }
    if (run.end != End::kExited) return Stopped(result, run, limits);
    const std::string failure = PassFailure(run, limits, stream.Complete(), result);
    if (!failure.empty()) return Failed(result, failure);
  }
  result.status = RenderStatus::kDone;
  return result;
}
