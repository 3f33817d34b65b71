// The printer application's drivers, one per page language (device_id.h):
// what each printer advertises to driverless clients (8-bit gray raster at
// 300 and 600 dpi, the common sheet sizes, its own language passed through
// as it is) and the PAPPL callbacks that print, each handing over to the
// raster job (raster_page.h) or copying the document to the device.
#ifndef NETBACKEND_APP_DRIVER_H_
#define NETBACKEND_APP_DRIVER_H_

#include <pappl/pappl.h>

// The drivers for papplMainloop, in the order of kDrivers.
pappl_pr_driver_t* AppDrivers();

// pappl_pr_driver_cb_t: fills `data` for the driver named `driver_name`.
bool AppDriverCallback(pappl_system_t* system, const char* driver_name, const char* device_uri,
                       const char* device_id, pappl_pr_driver_data_t* data, ipp_t** attrs,
                       void* context);

// pappl_pr_autoadd_cb_t: the driver for a printer with this 1284 ID.
const char* AppAutoAddCallback(const char* device_info, const char* device_uri,
                               const char* device_id, void* context);

// The job's document copied to the printer as it is, for a filter that
// found it in the printer's own language. PAPPL's callback for such a
// document (printfile_cb) is this, with PAPPL's own count of it allowed for.
bool SendDocumentAsIs(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device);

#endif  // NETBACKEND_APP_DRIVER_H_
