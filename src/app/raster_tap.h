// The page header of the raster a job thread read last, as the client sent
// it. PAPPL 1.3.1 hands the driver a header of its own making when the
// client's raster is of a type the printer does not list (a 1-bit raster
// to an 8-bit gray printer), and the lines that follow do not fit it:
// printed, every row would be wrong. The driver compares the two.
#ifndef NETBACKEND_APP_RASTER_TAP_H_
#define NETBACKEND_APP_RASTER_TAP_H_

#include <cups/raster.h>

// The header the calling thread's last successful cupsRasterReadHeader2
// read; false when it read none or the last read failed.
bool LastRasterHeader(cups_page_header2_t& header);

#endif  // NETBACKEND_APP_RASTER_TAP_H_
