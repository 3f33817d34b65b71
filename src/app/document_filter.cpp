#include "document_filter.h"

#include <fcntl.h>
#include <strings.h>
#include <unistd.h>

#include <climits>
#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "device_scheme.h"
#include "document_job.h"
#include "driver.h"
#include "ghostscript.h"
#include "request_rules.h"

const char kPdfFormat[] = "application/pdf";
const char kPostScriptFormat[] = "application/postscript";

namespace {

// The resolutions the drivers offer; another one renders at the first.
const int kResolutions[] = {300, 600};
// A sheet PAPPL did not size is A4, the drivers' default.
const double kA4Points[2] = {595, 842};
// More copies than anyone means are a mistake, or a way to keep a printer
// busy for a week.
const int kMaxCopies = 999;

struct OptionsDeleter {
  void operator()(pappl_pr_options_t* options) const { papplJobDeletePrintOptions(options); }
};
typedef std::unique_ptr<pappl_pr_options_t, OptionsDeleter> Options;

// A descriptor closed with its scope.
struct FileCloser {
  int fd = -1;
  ~FileCloser() {
    if (fd >= 0) close(fd);
  }
};

// Whole points, as a PWG raster client sizes its pages: a PDF prints on
// exactly the page a raster client would send for the same sheet.
double Points(int hundredthsMm) { return std::round(hundredthsMm * 72.0 / 2540.0); }

// What the job's document is: its format, or for one sent as
// application/octet-stream what its first bytes say (empty: the printer's
// own language).
std::string DocumentFormat(pappl_job_t* job) {
  const char* format = papplJobGetFormat(job);
  if (format == nullptr) return "";
  if (strcasecmp(format, kOctetStream) != 0) return format;
  const char* name = papplJobGetFilename(job);
  unsigned char head[4096];
  ssize_t n = -1;
  int fd = name != nullptr ? open(name, O_RDONLY | O_CLOEXEC) : -1;
  if (fd >= 0) {
    n = read(fd, head, sizeof head);
    close(fd);
  }
  return n > 0 ? SniffedFormat(head, static_cast<size_t>(n)) : "";
}

RenderRequest RequestFor(pappl_job_t* job, const pappl_pr_options_t& options,
                         const std::string& format) {
  RenderRequest request;
  const char* document = papplJobGetFilename(job);
  request.document = document != nullptr ? document : "";
  request.pdf = strcasecmp(format.c_str(), kPdfFormat) == 0;
  request.resolution = kResolutions[0];
  for (int dpi : kResolutions)
    if (options.printer_resolution[0] == dpi && options.printer_resolution[1] == dpi)
      request.resolution = static_cast<unsigned>(dpi);
  if (options.media.size_width > 0 && options.media.size_length > 0) {
    request.sheetWidth = Points(options.media.size_width);
    request.sheetHeight = Points(options.media.size_length);
  } else {
    request.sheetWidth = kA4Points[0];
    request.sheetHeight = kA4Points[1];
  }
  // The options hold the printer's default (portrait) when the job says
  // nothing; then each page prints as it fits the sheet best.
  ipp_attribute_t* orientation = papplJobGetAttribute(job, "orientation-requested");
  switch (orientation != nullptr && ippGetValueTag(orientation) == IPP_TAG_ENUM
              ? ippGetInteger(orientation, 0)
              : 0) {
    case IPP_ORIENT_PORTRAIT:
      request.orientation = Orientation::kPortrait;
      break;
    case IPP_ORIENT_LANDSCAPE:
      request.orientation = Orientation::kLandscape;
      break;
    case IPP_ORIENT_REVERSE_LANDSCAPE:
      request.orientation = Orientation::kReverseLandscape;
      break;
    case IPP_ORIENT_REVERSE_PORTRAIT:
      request.orientation = Orientation::kReversePortrait;
      break;
    default:
      break;
  }
  // Read here rather than from the options, which hold one range only.
  ipp_attribute_t* ranges = papplJobGetAttribute(job, "page-ranges");
  if (ranges != nullptr && ippGetValueTag(ranges) != IPP_TAG_RANGE) ranges = nullptr;
  for (int i = 0; ranges != nullptr && i < ippGetCount(ranges); ++i) {
    int upper = 0;
    int lower = ippGetRange(ranges, i, &upper);
    request.pageRanges.push_back({lower, upper});
  }
  return request;
}

void Fail(pappl_job_t* job, pappl_jreason_t reason, const std::string& message) {
  papplJobSetReasons(job, reason, PAPPL_JREASON_NONE);
  papplJobSetMessage(job, "%s", message.c_str());
  papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "%s", message.c_str());
}

// More copies are sent again from a file in the spool directory, taken
// off the directory at once: nothing is left behind, however the job ends.
// -1 when there is no room.
int OpenCopiesFile(pappl_job_t* job) {
  // PAPPL opens its files for writing only; the copies read it back.
  char name[1024];
  FileCloser created;
  created.fd = papplJobOpenFile(job, name, sizeof name, nullptr, "pcl", "w");
  if (created.fd < 0) return -1;
  int fd = open(name, O_RDWR | O_CLOEXEC);
  unlink(name);
  return fd;
}

// The job's pages rendered and sent, then its copies. False when it failed
// (the job says why).
bool RenderAndSend(pappl_job_t* job, pappl_device_t* device, const pappl_pr_options_t& options,
                   const std::string& format) {
  const RenderRequest request = RequestFor(job, options, format);
  const int copies = options.copies < 1            ? 1
                     : options.copies > kMaxCopies ? kMaxCopies
                                                   : options.copies;
  FileCloser spool;
  if (copies > 1 && (spool.fd = OpenCopiesFile(job)) < 0) {
    Fail(job, PAPPL_JREASON_ABORTED_BY_SYSTEM, "No room to keep the job for its copies");
    return false;
  }
  DocumentJob printing(
      [device](const unsigned char* data, size_t size) {
        return papplDeviceWrite(device, data, size) == static_cast<ssize_t>(size);
      },
      [job] { papplJobSetImpressionsCompleted(job, 1); }, request.resolution, spool.fd);
  auto canceled = [job] { return papplJobIsCanceled(job); };

  std::string pageError;
  RenderResult result = RenderDocument(
      request, RenderLimits(),
      [&](const RenderedPage& page) { return printing.AddPage(page, pageError); }, canceled);
  papplLogJob(job, PAPPL_LOGLEVEL_INFO, "Rendered %u page(s) of a %s document at %u dpi",
              result.pages, request.pdf ? "PDF" : "PostScript", request.resolution);
  switch (result.status) {
    case RenderStatus::kCanceled:
      printing.Finish();
      return true;
    case RenderStatus::kStopped:
      Fail(job, PAPPL_JREASON_ABORTED_BY_SYSTEM, pageError);
      return false;
    case RenderStatus::kFailed:
      printing.Finish();
      Fail(job,
           result.overLimit ? PAPPL_JREASON_DOCUMENT_UNPRINTABLE_ERROR
                            : PAPPL_JREASON_DOCUMENT_FORMAT_ERROR,
           result.reason);
      return false;
    case RenderStatus::kDone:
      break;
  }
  if (!printing.Finish()) {
    Fail(job, PAPPL_JREASON_ABORTED_BY_SYSTEM, "The job could not be sent to the printer");
    return false;
  }
  for (int copy = 1; copy < copies && !canceled(); ++copy) {
    if (!printing.Repeat(canceled)) {
      Fail(job, PAPPL_JREASON_ABORTED_BY_SYSTEM, "A copy could not be sent to the printer");
      return false;
    }
  }
  return true;
}

bool PrintDocument(pappl_job_t* job, pappl_device_t* device) {
  Options options(papplJobCreatePrintOptions(job, INT_MAX, false));
  if (!options) {
    Fail(job, PAPPL_JREASON_ABORTED_BY_SYSTEM, "The job's options cannot be read");
    return false;
  }
  // A PostScript printer reads PostScript itself. PAPPL prefers a filter to
  // raster over sending the document as it is, so the filter does that.
  pappl_pr_driver_data_t driver;
  papplPrinterGetDriverData(papplJobGetPrinter(job), &driver);
  // A document sent without saying what it is prints as its first bytes
  // say, or in the printer's own language: PAPPL would abort it.
  std::string format = DocumentFormat(job);
  bool own = format.empty() ||
             (driver.format != nullptr && strcasecmp(driver.format, format.c_str()) == 0);
  if (own && driver.format != nullptr && driver.printfile_cb != nullptr)
    return SendDocumentAsIs(job, options.get(), device);
  if (format.empty()) {
    Fail(job, PAPPL_JREASON_DOCUMENT_FORMAT_ERROR,
         "The document's format is not known, and this printer takes raster only");
    return false;
  }
  if (!AwaitPrinter(job, device)) return false;
  bool sent = RenderAndSend(job, device, *options, format);
  return FinishJob(job, device, sent) && sent;
}

// pappl_mime_filter_cb_t: nothing thrown (std::bad_alloc) may cross into
// PAPPL's C.
bool FilterDocument(pappl_job_t* job, pappl_device_t* device, void*) {
  try {
    return PrintDocument(job, device);
  } catch (...) {
    papplJobSetMessage(job, "Out of memory");
    return false;
  }
}

}  // namespace

// To raster, not to the driver's format: PAPPL 1.3.1 runs a filter to the
// driver's format only on printers of that format (measured: PCL printers
// only), and one to raster on every printer, whatever its language, the
// raster-only ones included; the filter prints PCL 5 raster on all of them.
void RegisterDocumentFilters(pappl_system_t* system) {
  for (const char* format : {kPdfFormat, kPostScriptFormat, kOctetStream})
    papplSystemAddMIMEFilter(system, format, "image/pwg-raster", FilterDocument, nullptr);
}
