#include "raster_tap.h"

#include <dlfcn.h>

namespace {

thread_local cups_page_header2_t tLastHeader;
thread_local bool tHaveHeader = false;

typedef unsigned (*ReadHeader)(cups_raster_t* raster, cups_page_header2_t* header);

}  // namespace

bool LastRasterHeader(cups_page_header2_t& header) {
  if (!tHaveHeader) return false;
  header = tLastHeader;
  return true;
}

// PAPPL reads each page header of a job's raster through libcups's
// cupsRasterReadHeader2, by its procedure linkage table; the program's
// definition comes first in the dynamic linker's search, keeps a copy for
// the thread and hands the call on to libcups. The link exports the name
// (src/app/CMakeLists.txt).
extern "C" unsigned cupsRasterReadHeader2(cups_raster_t* raster, cups_page_header2_t* header) {
  static const ReadHeader next =
      reinterpret_cast<ReadHeader>(dlsym(RTLD_NEXT, "cupsRasterReadHeader2"));
  unsigned read = next != nullptr ? next(raster, header) : 0;
  tHaveHeader = read != 0;
  if (tHaveHeader) tLastHeader = *header;
  return read;
}
