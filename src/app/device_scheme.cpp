#include "device_scheme.h"

#include <chrono>
#include <memory>
#include <string>

#include "device_uri.h"
#include "printer_cache.h"
#include "printer_listing.h"
#include "printer_stream.h"

namespace {

// How long a device open waits for a connection attempt: a printer at its
// last known address answers well within this; longer would hold the
// printer's lock (and every request for the printer) while PAPPL waits.
const std::chrono::milliseconds kOpenWait(500);
// A probe URI of PAPPL's own scheme, which makes PAPPL set up its schemes.
const char kBuiltInProbe[] = "socket://127.0.0.1";

const pappl_devtype_t kListingType = PAPPL_DEVTYPE_CUSTOM_NETWORK | PAPPL_DEVTYPE_USB;

AddressBook* gBook = nullptr;
PrinterConnections* gConnections = nullptr;

bool List(pappl_device_cb_t cb, void* data, pappl_deverror_cb_t, void*) {
  bool stopped = false;
  try {
    ListPrinters(
        [&](const ListedPrinter& printer) {
          stopped = cb(printer.info.c_str(), printer.uri.c_str(), printer.deviceId.c_str(), data);
          return !stopped;
        },
        gBook);
  } catch (...) {
  }
  return stopped;
}

bool Open(pappl_device_t* device, const char* uri, const char*) {
  try {
    std::string message;
    std::unique_ptr<Connector> connection = gConnections->Open(uri, kOpenWait, message);
    if (!connection) {
      papplDeviceError(device, "%s", message.c_str());
      return false;
    }
    papplDeviceSetData(device, new PrinterStream(std::move(connection)));
    return true;
  } catch (...) {
    papplDeviceError(device, "Out of memory");
    return false;
  }
}

PrinterStream* StreamOf(pappl_device_t* device) {
  return static_cast<PrinterStream*>(papplDeviceGetData(device));
}

void Close(pappl_device_t* device) {
  PrinterStream* stream = StreamOf(device);
  papplDeviceSetData(device, nullptr);
  if (stream != nullptr) stream->Finish();
  delete stream;
}

// The printers say nothing useful on the print port; a read is never
// needed to print.
ssize_t Read(pappl_device_t*, void*, size_t) { return 0; }

ssize_t Write(pappl_device_t* device, const void* buffer, size_t bytes) {
  PrinterStream* stream = StreamOf(device);
  if (stream == nullptr || !stream->Write(buffer, bytes)) {
    papplDeviceError(device, "The printer stopped taking the job");
    return -1;
  }
  return static_cast<ssize_t>(bytes);
}

pappl_preason_t Status(pappl_device_t*) { return PAPPL_PREASON_NONE; }

void TellJob(pappl_job_t* job, void* message) {
  papplJobSetMessage(job, "%s", static_cast<const std::string*>(message)->c_str());
}

void ShowState(pappl_printer_t* printer, void* data) {
  PrinterConnections* connections = static_cast<PrinterConnections*>(data);
  const char* uri = papplPrinterGetDeviceURI(printer);
  std::string scheme, mac;
  if (uri == nullptr || !ParseDeviceUri(uri, scheme, mac)) return;
  Reachability state = connections->State(uri);
  // PAPPL 1.3.1 has no way to set a printer's state message: the jobs that
  // wait for it say why, where clients and the web page show them.
  if (state.waiting && !state.message.empty())
    papplPrinterIterateActiveJobs(printer, TellJob, &state.message, 1, 0);
  bool shown = (papplPrinterGetReasons(printer) & PAPPL_PREASON_OFFLINE) != 0;
  if (state.waiting == shown) return;
  if (state.waiting) {
    papplPrinterSetReasons(printer, PAPPL_PREASON_OFFLINE, PAPPL_PREASON_NONE);
    papplLogPrinter(printer, PAPPL_LOGLEVEL_WARN, "%s", state.message.c_str());
  } else {
    papplPrinterSetReasons(printer, PAPPL_PREASON_NONE, PAPPL_PREASON_OFFLINE);
  }
}

}  // namespace

void AddDeviceSchemes(AddressBook* book, PrinterConnections* connections, bool keepBuiltIns) {
  gBook = book;
  gConnections = connections;
  // PAPPL makes its own schemes only while there is none yet.
  if (keepBuiltIns) papplDeviceIsSupported(kBuiltInProbe);
  // One listing finds the printers of every scheme: only one scheme lists.
  // PAPPL 1.3.1's "autoadd" lists USB devices alone; the listing scheme
  // says it is of both kinds, so that "autoadd" adds our printers too.
  papplDeviceAddScheme(kAnyBrandScheme, kListingType, List, Open, Close, Read, Write, Status,
                       nullptr);
  for (const char* scheme : kBrandSchemes)
    papplDeviceAddScheme(scheme, PAPPL_DEVTYPE_CUSTOM_NETWORK, nullptr, Open, Close, Read, Write,
                         Status, nullptr);
}

bool UpdatePrinterStates(pappl_system_t* system, void* connections) {
  try {
    papplSystemIteratePrinters(system, ShowState, connections);
  } catch (...) {
  }
  return true;
}
