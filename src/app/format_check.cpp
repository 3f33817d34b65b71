#include "format_check.h"

#include <dlfcn.h>
#include <strings.h>

#include "document_filter.h"

namespace {

const char* const kAlwaysListed[] = {
    "application/octet-stream", "image/pwg-raster", "image/urf", "image/jpeg", "image/png",
    kPdfFormat, kPostScriptFormat,
};

typedef void (*ProcessIpp)(pappl_client_t* client);

// PAPPL's own handler named `name`, found past this program's.
ProcessIpp Next(const char* name) {
  return reinterpret_cast<ProcessIpp>(dlsym(RTLD_NEXT, name));
}

// Runs PAPPL's handler unless the check answered the request.
void Dispatch(pappl_client_t* client, ProcessIpp next) {
  if (RefuseUnlistedFormat(client)) return;
  if (next != nullptr)
    next(client);
  else
    papplClientRespondIPP(client, IPP_STATUS_ERROR_INTERNAL, "The request cannot be handled");
}

}  // namespace

bool IsListedFormat(const char* format, const char* driverFormat) {
  for (const char* listed : kAlwaysListed)
    if (strcasecmp(format, listed) == 0) return true;
  return driverFormat != nullptr && strcasecmp(format, driverFormat) == 0;
}

bool RefuseUnlistedFormat(pappl_client_t* client) {
  ipp_op_t operation = papplClientGetOperation(client);
  if (operation != IPP_OP_PRINT_JOB && operation != IPP_OP_SEND_DOCUMENT &&
      operation != IPP_OP_VALIDATE_JOB)
    return false;
  pappl_printer_t* printer = papplClientGetPrinter(client);
  ipp_attribute_t* format =
      ippFindAttribute(papplClientGetRequest(client), "document-format", IPP_TAG_ZERO);
  if (printer == nullptr || format == nullptr || ippGetValueTag(format) != IPP_TAG_MIMETYPE ||
      ippGetCount(format) != 1)
    return false;
  const char* value = ippGetString(format, 0, nullptr);
  pappl_pr_driver_data_t data;
  papplPrinterGetDriverData(printer, &data);
  if (value == nullptr || IsListedFormat(value, data.format)) return false;
  papplClientRespondIPP(client, IPP_STATUS_ERROR_DOCUMENT_FORMAT_NOT_SUPPORTED,
                        "Document format \"%s\" is not supported by this printer", value);
  // Listing the value as unsupported also sets the general status of an
  // unsupported value; the client must see the precise one.
  papplClientRespondIPPUnsupported(client, format);
  ippSetStatusCode(papplClientGetResponse(client), IPP_STATUS_ERROR_DOCUMENT_FORMAT_NOT_SUPPORTED);
  return true;
}

// PAPPL hands each IPP request for a printer, or for one of its jobs, to
// these two functions of its own, through its procedure linkage table; the
// program's definitions come first in the dynamic linker's search, check
// the format, and hand the request on to PAPPL's. The link exports exactly
// these two names (src/app/CMakeLists.txt).
extern "C" void _papplPrinterProcessIPP(pappl_client_t* client) {
  static const ProcessIpp next = Next("_papplPrinterProcessIPP");
  Dispatch(client, next);
}

extern "C" void _papplJobProcessIPP(pappl_client_t* client) {
  static const ProcessIpp next = Next("_papplJobProcessIPP");
  Dispatch(client, next);
}
