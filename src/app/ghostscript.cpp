#include "ghostscript.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>

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

std::vector<std::string> GhostscriptArguments(const RenderRequest& request) {
  std::vector<std::string> args = {
      request.program,
      "-dSAFER",
      "-dBATCH",
      "-dNOPAUSE",
      "-dQUIET",
      // PostScript's own output (print, ==) and Ghostscript's messages would
      // otherwise mix with the pages on standard output.
      "-sstdout=%stderr",
      "-sDEVICE=pbmraw",
      "-r" + std::to_string(request.resolution),
      "-dDEVICEWIDTHPOINTS=" + Points(request.sheetWidth),
      "-dDEVICEHEIGHTPOINTS=" + Points(request.sheetHeight),
      // The sheet in the printer is the job's, whatever size the document
      // asks for; each page is scaled to fit it (and turned when that fits
      // better, as a landscape page on a portrait sheet).
      "-dFIXEDMEDIA",
      "-dFitPage",
      kMaxBitmap,
  };
  std::string list;
  if (!request.pageRanges.empty() && PageList(request.pageRanges, list))
    args.push_back("-sPageList=" + list);
  args.push_back("-sOutputFile=-");
  args.push_back("-f");
  args.push_back(request.document);
  return args;
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
  for (char& c : reason)
    if (c < 0x20 || c > 0x7E) c = '?';
  while (!reason.empty() && reason.back() == ' ') reason.pop_back();
  return reason;
}

RenderResult RenderDocument(const RenderRequest& request, const RenderLimits& limits,
                            const std::function<bool(const RenderedPage&)>& onPage,
                            const std::function<bool()>& canceled) {
  RenderResult result;
  std::string list;
  if (!PageList(request.pageRanges, list))
    return Failed(result, "The page ranges do not go up from page 1");
  if (request.pdf && !HasPdfHeader(request.document))
    return Failed(result, "The document is not a PDF file");

  ChildProcess child;
  std::string error;
  const std::vector<std::string> env = {"PATH=/usr/bin:/bin", "LC_ALL=C"};
  if (!child.Start(GhostscriptArguments(request), env, limits.child, error))
    return Failed(result, error);
  result.processGroup = child.Pid();

  bool stopped = false, tooMany = false;
  PbmStream stream(kMaxPixels, [&](RenderedPage& page) {
    if (result.pages >= limits.maxPages) {
      tooMany = true;
      return false;
    }
    ++result.pages;
    if (request.upsideDown) TurnHalf(page);
    stopped = !onPage(page);
    return !stopped;
  });
  std::string errors;
  std::vector<unsigned char> buffer(1 << 20);
  const auto budget = std::chrono::seconds(limits.seconds);
  Clock::duration waited{};

  auto end = [&](RenderStatus status, const std::string& reason, bool overLimit = false) {
    child.Kill(kGraceMs);
    result.status = status;
    result.reason = reason;
    result.overLimit = overLimit;
    return result;
  };
  const std::string tooLong =
      "The document took more than " + std::to_string(limits.seconds) + " seconds to render";

  while (child.OutFd() >= 0 || child.ErrFd() >= 0) {
    if (canceled()) return end(RenderStatus::kCanceled, "");
    if (waited > budget) return end(RenderStatus::kFailed, tooLong, true);
    struct pollfd fds[2] = {{child.OutFd(), POLLIN, 0}, {child.ErrFd(), POLLIN, 0}};
    const Clock::time_point before = Clock::now();
    int ready = poll(fds, 2, kPollMs);
    waited += Clock::now() - before;
    if (ready < 0 && errno != EINTR) return end(RenderStatus::kFailed, strerror(errno));
    if (ready <= 0) continue;
    if (fds[1].revents != 0) {
      ssize_t n = read(child.ErrFd(), buffer.data(), buffer.size());
      if (n > 0 && errors.size() < kMaxErrorBytes)
        errors.append(reinterpret_cast<const char*>(buffer.data()),
                      std::min(static_cast<size_t>(n), kMaxErrorBytes - errors.size()));
      if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) child.CloseErr();
    }
    if (fds[0].revents != 0) {
      ssize_t n = read(child.OutFd(), buffer.data(), buffer.size());
      if (n > 0 && !stream.Feed(buffer.data(), static_cast<size_t>(n))) {
        if (stopped) return end(RenderStatus::kStopped, "");
        if (tooMany)
          return end(RenderStatus::kFailed,
                     "The document has more than " + std::to_string(limits.maxPages) + " pages",
                     true);
        return end(RenderStatus::kFailed, "Ghostscript's pages cannot be read: " + stream.Error());
      }
      if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) child.CloseOut();
    }
  }
  // Both pipes closed: the interpreter is ending, or pretends to.
  const struct timespec pause = {0, 10 * 1000 * 1000};
  while (!child.Exited()) {
    if (canceled()) return end(RenderStatus::kCanceled, "");
    if (waited > budget) return end(RenderStatus::kFailed, tooLong, true);
    const Clock::time_point before = Clock::now();
    nanosleep(&pause, nullptr);
    waited += Clock::now() - before;
  }
  const std::string said = GhostscriptReason(errors);
  if (child.TermSignal() == SIGXCPU) {
    result.overLimit = true;
    return Failed(result, "The document took more than " + std::to_string(limits.child.cpuSeconds) +
                              " seconds of processor time to render");
  }
  if (child.TermSignal() != 0)
    return Failed(result, "Ghostscript ended on signal " + std::to_string(child.TermSignal()) +
                              (said.empty() ? "" : ": " + said));
  if (child.ExitStatus() != 0)
    return Failed(
        result, said.empty() ? "Ghostscript ended with status " + std::to_string(child.ExitStatus())
                             : "The document cannot be rendered: " + said);
  if (!stream.Complete()) return Failed(result, "Ghostscript's output ends inside a page");
  // A document it cannot read at all still ends with status 0 and no page.
  if (result.pages == 0 && !said.empty())
    return Failed(result, "The document cannot be rendered: " + said);
  result.status = RenderStatus::kDone;
  return result;
}
