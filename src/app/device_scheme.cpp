#include "device_scheme.h"

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "device_uri.h"
#include "printer_link.h"
#include "printer_listing.h"
#include "printer_stream.h"
#include "server_state.h"

namespace {

// A probe URI of PAPPL's own scheme, which makes PAPPL set up its schemes.
const char kBuiltInProbe[] = "socket://127.0.0.1";

const pappl_devtype_t kListingType = PAPPL_DEVTYPE_CUSTOM_NETWORK | PAPPL_DEVTYPE_USB;

AddressBook* gBook = nullptr;
PrinterLinks* gLinks = nullptr;

// One open device of ours: the printer it names, and the connection of
// the job that prints on it now.
struct Session {
  std::string uri;
  std::unique_ptr<PrinterStream> stream;
};

// The sessions by device, so that the drivers, which serve PAPPL's own
// devices too, can tell ours.
std::mutex gSessionsMutex;
std::map<pappl_device_t*, Session*> gSessions;
// The sessions that hold a connection.
std::atomic<int> gSending{0};

Session* SessionOf(pappl_device_t* device) {
  std::lock_guard<std::mutex> lock(gSessionsMutex);
  auto found = gSessions.find(device);
  return found != gSessions.end() ? found->second : nullptr;
}

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
  std::string scheme, mac;
  if (uri == nullptr || !ParseDeviceUri(uri, scheme, mac)) {
    papplDeviceError(device, "The device URI names no printer of this application");
    return false;
  }
  try {
    std::unique_ptr<Session> session(new Session);
    session->uri = uri;
    std::lock_guard<std::mutex> lock(gSessionsMutex);
    gSessions[device] = session.get();
    papplDeviceSetData(device, session.release());
    return true;
  } catch (...) {
    papplDeviceError(device, "Out of memory");
    return false;
  }
}

// Under the printer's lock: whatever a job left open is closed at once.
void Close(pappl_device_t* device) {
  Session* session = static_cast<Session*>(papplDeviceGetData(device));
  papplDeviceSetData(device, nullptr);
  {
    std::lock_guard<std::mutex> lock(gSessionsMutex);
    gSessions.erase(device);
  }
  if (session != nullptr && session->stream) --gSending;
  delete session;
}

// The printers say nothing useful on the print port; a read is never
// needed to print.
ssize_t Read(pappl_device_t*, void*, size_t) { return 0; }

// Bytes go only through a connection the job's own search made; there is
// none once the job ended, or before it began.
ssize_t Write(pappl_device_t* device, const void* buffer, size_t bytes) {
  Session* session = static_cast<Session*>(papplDeviceGetData(device));
  if (session == nullptr || !session->stream || !session->stream->Write(buffer, bytes)) {
    papplDeviceError(device, "The printer stopped taking the job");
    return -1;
  }
  return static_cast<ssize_t>(bytes);
}

pappl_preason_t Status(pappl_device_t*) { return PAPPL_PREASON_NONE; }

void ShowState(pappl_printer_t* printer, void* data) {
  const PrinterLinks* links = static_cast<const PrinterLinks*>(data);
  const char* uri = papplPrinterGetDeviceURI(printer);
  std::string scheme, mac;
  if (uri == nullptr || !ParseDeviceUri(uri, scheme, mac)) return;
  Reachability state = links->State(uri);
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

void AddDeviceSchemes(AddressBook* book, PrinterLinks* links, bool keepBuiltIns) {
  gBook = book;
  gLinks = links;
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

bool AwaitPrinter(pappl_job_t* job, pappl_device_t* device) {
  Session* session = SessionOf(device);
  if (session == nullptr || session->stream) return true;
  try {
    std::unique_ptr<Connector> connection = gLinks->Connect(
        session->uri, [job] { return papplJobIsCanceled(job); },
        [job](const std::string& why) {
          papplJobSetMessage(job, "%s", why.c_str());
          papplLogJob(job, PAPPL_LOGLEVEL_WARN, "%s", why.c_str());
        });
    if (!connection) return false;
    std::string address = connection->PeerAddress();
    papplLogJob(job, PAPPL_LOGLEVEL_INFO, "Printing on %s at %s", session->uri.c_str(),
                address.c_str());
    papplJobSetMessage(job, "Connected to the printer at %s", address.c_str());
    session->stream.reset(new PrinterStream(std::move(connection)));
    ++gSending;
    return true;
  } catch (...) {
    papplJobSetMessage(job, "Out of memory");
    return false;
  }
}

bool FinishJob(pappl_job_t* job, pappl_device_t* device, bool sent) {
  papplDeviceFlush(device);
  Session* session = SessionOf(device);
  if (session == nullptr) return true;
  std::unique_ptr<PrinterStream> stream = std::move(session->stream);
  if (stream) --gSending;
  bool whole = stream && stream->Finish();
  // A job that failed before keeps the message that says why.
  if (!sent || papplJobIsCanceled(job)) return whole;
  if (whole) {
    ForgetRecordedJob(job);
    papplJobSetMessage(job, "The printer took the whole job");
  } else {
    papplJobSetReasons(job, PAPPL_JREASON_ABORTED_BY_SYSTEM, PAPPL_JREASON_NONE);
    papplJobSetMessage(job, "The printer did not take the whole job");
    papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "The printer did not take the whole job");
  }
  return whole;
}

int JobsSending() { return gSending.load(); }

bool UpdatePrinterStates(pappl_system_t* system, void* links) {
  try {
    papplSystemIteratePrinters(system, ShowState, links);
  } catch (...) {
  }
  return true;
}
