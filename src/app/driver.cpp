#include "driver.h"

#include <fcntl.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "device_id.h"
#include "device_scheme.h"
#include "pappl_hooks.h"
#include "raster_page.h"

namespace {

// The sheets the printers' PCL knows by name (the writer's page-size
// codes), the most common first.
const char* const kMedia[] = {
    "iso_a4_210x297mm", "na_letter_8.5x11in", "na_legal_8.5x14in",      "na_executive_7.25x10.5in",
    "iso_a5_148x210mm", "iso_b5_176x250mm",   "jis_b5_182x257mm",       "na_number-10_4.125x9.5in",
    "iso_dl_110x220mm", "iso_c5_162x229mm",   "na_monarch_3.875x7.5in",
};
const char kDefaultMedia[] = "iso_a4_210x297mm";
const char kSource[] = "main";
// PAPPL 1.3.1 needs at least one media type: a printer without one
// crashes on its first job.
const char kMediaType[] = "stationery";
// The area a laser printer cannot reach at each edge: 1/6 inch.
const int kMarginHundredthsMm = 423;
const int kResolutionsDpi[] = {300, 600};
const int kPagesPerMinute = 20;
// Raw documents are copied to the printer in pieces of this size.
const size_t kCopyBytes = 64 * 1024;

pappl_pr_driver_t gDrivers[kDriverCount];

// Runs `body`, turning anything thrown (std::bad_alloc) into `failed`:
// nothing thrown may cross into PAPPL's C.
template <typename Body>
bool Guarded(Body body) {
  try {
    return body();
  } catch (...) {
    return false;
  }
}

RasterHeader HeaderOf(const cups_page_header2_t& h) {
  RasterHeader header;
  header.width = h.cupsWidth;
  header.height = h.cupsHeight;
  header.bitsPerColor = h.cupsBitsPerColor;
  header.bitsPerPixel = h.cupsBitsPerPixel;
  header.bytesPerLine = h.cupsBytesPerLine;
  header.colorSpace = static_cast<unsigned>(h.cupsColorSpace);
  header.numColors = h.cupsNumColors;
  header.resolution[0] = h.HWResolution[0];
  header.resolution[1] = h.HWResolution[1];
  header.pageSize[0] = h.PageSize[0];
  header.pageSize[1] = h.PageSize[1];
  return header;
}

RasterJob* JobOf(pappl_job_t* job) { return static_cast<RasterJob*>(papplJobGetData(job)); }

bool StartJob(pappl_job_t* job, pappl_pr_options_t*, pappl_device_t* device) {
  return Guarded([&] {
    if (!AwaitPrinter(job, device)) return false;
    RasterJob* raster = new RasterJob([device](const unsigned char* data, size_t size) {
      return papplDeviceWrite(device, data, size) == static_cast<ssize_t>(size);
    });
    papplJobSetData(job, raster);
    return true;
  });
}

bool StartPage(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t*, unsigned) {
  return Guarded([&] {
    std::string error;
    RasterJob* raster = JobOf(job);
    RasterHeader header = HeaderOf(options->header), sent = header;
    cups_page_header2_t read;
    if (LastRasterHeader(read)) sent = HeaderOf(read);
    if (raster != nullptr && raster->StartPage(header, sent, error)) return true;
    papplJobSetMessage(job, "%s", error.c_str());
    papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "%s", error.c_str());
    return false;
  });
}

bool WriteLine(pappl_job_t* job, pappl_pr_options_t*, pappl_device_t*, unsigned y,
               const unsigned char* line) {
  return Guarded([&] { return JobOf(job) != nullptr && JobOf(job)->WriteLine(y, line); });
}

bool EndPage(pappl_job_t* job, pappl_pr_options_t*, pappl_device_t*, unsigned) {
  return Guarded([&] {
    std::string error;
    RasterJob* raster = JobOf(job);
    if (raster != nullptr && raster->EndPage(error)) return true;
    papplJobSetMessage(job, "%s", error.c_str());
    papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "%s", error.c_str());
    return false;
  });
}

bool EndJob(pappl_job_t* job, pappl_pr_options_t*, pappl_device_t* device) {
  RasterJob* raster = JobOf(job);
  papplJobSetData(job, nullptr);
  bool ok = raster != nullptr && Guarded([&] { return raster->EndJob(); });
  delete raster;
  // The connection ends with the job even when the job failed; a job that
  // PAPPL found broken is not sent whole.
  ok = ok && papplJobGetState(job) != IPP_JSTATE_ABORTED;
  return Guarded([&] { return FinishJob(job, device, ok); }) && ok;
}

// The document in the printer's own language, as it came, once a copy.
bool CopyFile(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device) {
  const char* name = papplJobGetFilename(job);
  int copies = options->copies > 0 ? options->copies : 1;
  std::vector<unsigned char> buffer(kCopyBytes);
  for (int copy = 0; copy < copies; ++copy) {
    int fd = open(name, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "Cannot open the document: %s", strerror(errno));
      return false;
    }
    bool ok = true;
    for (;;) {
      ssize_t n = read(fd, buffer.data(), buffer.size());
      if (n == 0) break;
      if (n < 0) {
        ok = errno == EINTR;
        if (ok) continue;
        break;
      }
      ok = papplDeviceWrite(device, buffer.data(), static_cast<size_t>(n)) == n;
      if (!ok) break;
    }
    close(fd);
    if (!ok) {
      papplJobSetMessage(job, "The document could not be sent to the printer");
      return false;
    }
  }
  return true;
}

bool PrintFile(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device) {
  if (!SendDocumentAsIs(job, options, device)) return false;
  // Once this returns, PAPPL counts the file as one impression; a count
  // the printer gave in PJL stands as it said.
  if (papplJobGetImpressionsCompleted(job) > 0) papplJobSetImpressionsCompleted(job, -1);
  return true;
}

void SetMedia(pappl_media_col_t& media, const char* name) {
  pwg_media_t* size = pwgMediaForPWG(name);
  snprintf(media.size_name, sizeof(media.size_name), "%s", name);
  if (size != nullptr) {
    media.size_width = size->width;
    media.size_length = size->length;
  }
  media.bottom_margin = media.top_margin = kMarginHundredthsMm;
  media.left_margin = media.right_margin = kMarginHundredthsMm;
  snprintf(media.source, sizeof(media.source), "%s", kSource);
  snprintf(media.type, sizeof(media.type), "%s", kMediaType);
}

}  // namespace

bool SendDocumentAsIs(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device) {
  return Guarded([&] {
    if (!AwaitPrinter(job, device)) return false;
    bool sent = CopyFile(job, options, device);
    return FinishJob(job, device, sent) && sent;
  });
}

pappl_pr_driver_t* AppDrivers() {
  for (int i = 0; i < kDriverCount; ++i) {
    gDrivers[i].name = kDrivers[i].name;
    gDrivers[i].description = kDrivers[i].description;
    gDrivers[i].device_id = nullptr;
    gDrivers[i].extension = nullptr;
  }
  return gDrivers;
}

bool AppDriverCallback(pappl_system_t*, const char* driver_name, const char*, const char* device_id,
                       pappl_pr_driver_data_t* data, ipp_t**, void*) {
  const DriverInfo* driver = driver_name != nullptr ? DriverByName(driver_name) : nullptr;
  if (driver == nullptr) return false;
  return Guarded([&] {
    std::string model = device_id != nullptr ? MakeAndModel(device_id) : std::string();
    if (model.empty()) model = driver->description;
    snprintf(data->make_and_model, sizeof(data->make_and_model), "%s", model.c_str());

    data->printfile_cb = driver->format != nullptr ? PrintFile : nullptr;
    data->format = driver->format;
    data->rstartjob_cb = StartJob;
    data->rstartpage_cb = StartPage;
    data->rwriteline_cb = WriteLine;
    data->rendpage_cb = EndPage;
    data->rendjob_cb = EndJob;

    data->kind = PAPPL_KIND_DOCUMENT;
    data->ppm = kPagesPerMinute;
    // The conformance tests refuse "none" as the default orientation.
    data->orient_default = IPP_ORIENT_PORTRAIT;
    data->color_supported = PAPPL_COLOR_MODE_AUTO | PAPPL_COLOR_MODE_MONOCHROME;
    data->color_default = PAPPL_COLOR_MODE_MONOCHROME;
    data->content_default = PAPPL_CONTENT_AUTO;
    data->quality_default = IPP_QUALITY_NORMAL;
    data->scaling_default = PAPPL_SCALING_AUTO;
    // 8-bit gray only, dithered by the writer. PAPPL's own conversion to
    // another raster type (force_raster_type) writes out of bounds and
    // crashes on 1.3.1: it stays off.
    data->raster_types = PAPPL_PWG_RASTER_TYPE_SGRAY_8;
    data->force_raster_type = PAPPL_PWG_RASTER_TYPE_NONE;
    data->duplex = PAPPL_DUPLEX_NONE;
    data->sides_supported = PAPPL_SIDES_ONE_SIDED;
    data->sides_default = PAPPL_SIDES_ONE_SIDED;

    data->num_resolution = 2;
    for (int i = 0; i < 2; ++i) data->x_resolution[i] = data->y_resolution[i] = kResolutionsDpi[i];
    data->x_default = data->y_default = kResolutionsDpi[0];

    data->left_right = data->bottom_top = kMarginHundredthsMm;
    data->num_media = static_cast<int>(sizeof(kMedia) / sizeof(kMedia[0]));
    for (int i = 0; i < data->num_media; ++i) data->media[i] = kMedia[i];
    data->num_source = 1;
    data->source[0] = kSource;
    data->num_type = 1;
    data->type[0] = kMediaType;
    SetMedia(data->media_default, kDefaultMedia);
    data->media_ready[0] = data->media_default;
    return true;
  });
}

const char* AppAutoAddCallback(const char*, const char*, const char* device_id, void*) {
  return DriverForLanguage(LanguageFromDeviceId(device_id != nullptr ? device_id : "")).name;
}
