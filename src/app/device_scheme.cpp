#include "device_scheme.h"

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "device_id.h"
#include "device_uri.h"
#include "pjl_status.h"
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

typedef std::chrono::steady_clock Clock;

// A printer that answers PJL is given this long to say it is there.
const int kEchoMilliseconds = 2000;
// The end of a job waits this long for the printer's word that it printed
// it, after the printer's last answer, unless the printer says it holds
// the job (out of paper, a jam): then for as long as that takes.
const std::chrono::minutes kEndSilence(5);

// A printer's condition as its last answer showed it, kept between jobs:
// the port stays free while the printer is idle, and what it said last
// stays shown.
struct Condition {
  int code = 0;
  std::string display;
  Clock::time_point at;
};
std::mutex gConditionsMutex;
std::map<std::string, Condition> gConditions;

// One open device of ours: the printer it names, and the connection of
// the job that prints on it now, with what the printer said in PJL.
struct Session {
  std::string uri;
  std::unique_ptr<PrinterStream> stream;
  bool pjl = false;  // the printer answered the job's echo
  std::string name, token;
  PjlReader reader;
  bool echoed = false, ended = false;
  int code = 0;
  int pages = -1;
  Clock::time_point lastAnswer;
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

// The reasons PAPPL shows for the printer's own condition.
pappl_preason_t ReasonsOf(int code) {
  unsigned reasons = PjlReasons(code);
  pappl_preason_t shown = PAPPL_PREASON_NONE;
  if (reasons & kPjlMediaEmpty) shown |= PAPPL_PREASON_MEDIA_EMPTY | PAPPL_PREASON_MEDIA_NEEDED;
  if (reasons & kPjlMediaJam) shown |= PAPPL_PREASON_MEDIA_JAM;
  if (reasons & kPjlCoverOpen) shown |= PAPPL_PREASON_COVER_OPEN;
  if (reasons & kPjlTonerLow) shown |= PAPPL_PREASON_TONER_LOW;
  if (reasons & kPjlOffline) shown |= PAPPL_PREASON_OFFLINE;
  return shown;
}

const pappl_preason_t kShownReasons = PAPPL_PREASON_MEDIA_EMPTY | PAPPL_PREASON_MEDIA_NEEDED |
                                      PAPPL_PREASON_MEDIA_JAM | PAPPL_PREASON_COVER_OPEN |
                                      PAPPL_PREASON_TONER_LOW | PAPPL_PREASON_OFFLINE;

// "offline" is shown while a job waits for the printer on the network, or
// while the printer itself says so; the other reasons are the printer's.
void ShowState(pappl_printer_t* printer, void* data) {
  const PrinterLinks* links = static_cast<const PrinterLinks*>(data);
  const char* uri = papplPrinterGetDeviceURI(printer);
  std::string scheme, mac;
  if (uri == nullptr || !ParseDeviceUri(uri, scheme, mac)) return;
  Reachability state = links->State(uri);
  pappl_preason_t wanted = state.waiting ? PAPPL_PREASON_OFFLINE : PAPPL_PREASON_NONE;
  {
    std::lock_guard<std::mutex> lock(gConditionsMutex);
    auto found = gConditions.find(uri);
    if (found != gConditions.end()) wanted |= ReasonsOf(found->second.code);
  }
  pappl_preason_t shown = papplPrinterGetReasons(printer) & kShownReasons;
  if (wanted == shown) return;
  if ((wanted & ~shown & PAPPL_PREASON_OFFLINE) && state.waiting)
    papplLogPrinter(printer, PAPPL_LOGLEVEL_WARN, "%s", state.message.c_str());
  papplPrinterSetReasons(printer, wanted & ~shown, shown & ~wanted);
}

// One answer of the printer, in the job's thread.
void OnAnswer(Session& session, pappl_job_t* job, const PjlMessage& answer) {
  session.lastAnswer = Clock::now();
  switch (answer.kind) {
    case PjlKind::kEcho:
      session.echoed = session.echoed || answer.text == session.token;
      break;
    case PjlKind::kDevice: {
      std::string display = PrintableText(answer.display, 255);
      bool changed = answer.code != session.code;
      session.code = answer.code;
      {
        std::lock_guard<std::mutex> lock(gConditionsMutex);
        gConditions[session.uri] = Condition{answer.code, display, Clock::now()};
      }
      if (!display.empty()) papplJobSetMessage(job, "%s", display.c_str());
      if (changed)
        papplLogJob(job, PjlHolds(answer.code) ? PAPPL_LOGLEVEL_WARN : PAPPL_LOGLEVEL_INFO,
                    "The printer says %d \"%s\"", answer.code, display.c_str());
      break;
    }
    case PjlKind::kPage:
    case PjlKind::kJobEnd: {
      if (answer.kind == PjlKind::kJobEnd) {
        if (answer.text != session.name) break;
        session.ended = true;
      }
      int done = papplJobGetImpressionsCompleted(job);
      if (answer.number > done) papplJobSetImpressionsCompleted(job, answer.number - done);
      break;
    }
    case PjlKind::kJobStart:
      break;
  }
}

// A printer that says in its 1284 ID that it speaks PJL gets the job in
// a PJL frame, and is asked whether it answers at all: a silent one costs
// no more than the echo's bound.
// `deviceId` is what the printer said it is in this job's search.
void StartPjl(Session& session, pappl_job_t* job, const std::string& deviceId) {
  session.pjl = session.echoed = session.ended = false;
  session.name.clear();
  session.reader = PjlReader();
  if (!SpeaksPjl(deviceId)) return;
  {
    std::lock_guard<std::mutex> lock(gConditionsMutex);
    auto last = gConditions.find(session.uri);
    if (last != gConditions.end()) {
      session.code = last->second.code;
      papplLogJob(job, PAPPL_LOGLEVEL_INFO, "The printer said %d \"%s\" %d s ago",
                  last->second.code, last->second.display.c_str(),
                  static_cast<int>(std::chrono::duration_cast<std::chrono::seconds>(Clock::now() -
                                                                                    last->second.at)
                                       .count()));
    }
  }
  const char* title = papplJobGetName(job);
  session.name = PjlJobName(papplJobGetID(job), title != nullptr ? title : "");
  session.token = "netbackend " + std::to_string(papplJobGetID(job));
  Session* s = &session;
  session.stream->Listen(
      [s, job](const char* data, size_t size) {
        std::vector<PjlMessage> answers;
        s->reader.Read(data, size, answers);
        for (const PjlMessage& answer : answers) OnAnswer(*s, job, answer);
      },
      [s] { return PjlHolds(s->code); });
  std::string start = PjlJobStart(session.name, session.token);
  if (!session.stream->Write(start.data(), start.size())) return;
  session.pjl = session.stream->Await(kEchoMilliseconds, [s] { return s->echoed; });
  papplLogJob(job, PAPPL_LOGLEVEL_INFO,
              session.pjl ? "The printer answers in PJL" : "The printer does not answer in PJL");
}

// The job's PJL end, then, from a printer that answers, its word that it
// printed the whole job.
void EndPjl(Session& session, pappl_job_t* job) {
  if (session.name.empty()) return;
  std::string end = PjlJobEnd(session.name);
  if (!session.stream->Write(end.data(), end.size()) || !session.pjl) return;
  Session* s = &session;
  session.lastAnswer = Clock::now();
  while (!session.ended && !papplJobIsCanceled(job) && session.stream->IsOpen() &&
         (PjlHolds(session.code) || Clock::now() - session.lastAnswer < kEndSilence))
    session.stream->Await(1000, [s, job] { return s->ended || papplJobIsCanceled(job); });
  if (!session.ended)
    papplLogJob(job, PAPPL_LOGLEVEL_WARN,
                "The printer did not say it printed the job: it ends as the connection does");
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
    std::string deviceId;
    std::unique_ptr<Connector> connection = gLinks->Connect(
        session->uri, [job] { return papplJobIsCanceled(job); },
        [job](const std::string& why) {
          papplJobSetMessage(job, "%s", why.c_str());
          papplLogJob(job, PAPPL_LOGLEVEL_WARN, "%s", why.c_str());
        },
        &deviceId);
    if (!connection) return false;
    std::string address = connection->PeerAddress();
    papplLogJob(job, PAPPL_LOGLEVEL_INFO, "Printing on %s at %s", session->uri.c_str(),
                address.c_str());
    papplJobSetMessage(job, "Connected to the printer at %s", address.c_str());
    session->stream.reset(new PrinterStream(std::move(connection)));
    ++gSending;
    StartPjl(*session, job, deviceId);
    return session->stream->IsOpen();
  } catch (...) {
    papplJobSetMessage(job, "Out of memory");
    return false;
  }
}

bool FinishJob(pappl_job_t* job, pappl_device_t* device, bool sent) {
  papplDeviceFlush(device);
  Session* session = SessionOf(device);
  if (session == nullptr) return true;
  if (session->stream && sent) EndPjl(*session, job);
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
