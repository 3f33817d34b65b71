#include "server_state.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <vector>

#include "device_scheme.h"
#include "state_paths.h"

namespace {

// A job still sending when a shutdown comes gets this long to finish;
// after that it is printed again after the next start.
const int kSendingGraceSeconds = 3;

// The job options a record keeps, as PAPPL's command line names them.
const char* const kRecordedOptions[] = {
    "copies",
    "media",
    "orientation-requested",
    "page-ranges",
    "print-color-mode",
    "print-quality",
    "printer-resolution",
    "sides",
    "print-scaling",
    "print-content-optimize",
};
const char kRecordSuffix[] = ".accepted";

std::mutex gSaveMutex;
std::string gStateFile;
std::string gRecordFolder;
// Records by path, with the count of records made when each was made: a
// save that began after a record was made lists its job.
std::mutex gRecordsMutex;
std::map<std::string, unsigned long> gRecords;
unsigned long gRecordCount = 0;
volatile sig_atomic_t gSignaled = 0;
void (*gPapplHandler)(int) = nullptr;

void OnSignal(int signal) {
  gSignaled = 1;
  if (gPapplHandler != nullptr) gPapplHandler(signal);
}

// PAPPL installs its handlers when the system runs; ours come after and
// hand each signal on to PAPPL's.
void ChainSignals() {
  struct sigaction ours = {}, theirs = {};
  ours.sa_handler = OnSignal;
  sigemptyset(&ours.sa_mask);
  sigaction(SIGTERM, &ours, &theirs);
  if (theirs.sa_handler != SIG_DFL && theirs.sa_handler != SIG_IGN && theirs.sa_handler != OnSignal)
    gPapplHandler = theirs.sa_handler;
  sigaction(SIGINT, &ours, nullptr);
}

void ResumeWithJobs(pappl_printer_t* printer, void*) {
  if (papplPrinterGetNumberOfActiveJobs(printer) > 0) papplPrinterResume(printer);
}

void CountJobs(pappl_printer_t* printer, void* data) {
  *static_cast<int*>(data) += papplPrinterGetNumberOfActiveJobs(printer);
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

void DropRecordsUpTo(unsigned long made) {
  std::lock_guard<std::mutex> lock(gRecordsMutex);
  for (auto r = gRecords.begin(); r != gRecords.end();) {
    if (r->second > made) {
      ++r;
      continue;
    }
    unlink(r->first.c_str());
    r = gRecords.erase(r);
  }
}

// The jobs recorded but not in the state PAPPL loaded: the server ended
// between acknowledging them and its next save.
void RemakeRecordedJobs(pappl_system_t* system) {
  DIR* folder = opendir(gRecordFolder.c_str());
  if (folder == nullptr) return;
  std::vector<std::string> paths;
  while (dirent* entry = readdir(folder)) {
    std::string name = entry->d_name;
    if (name.size() > sizeof kRecordSuffix &&
        name.compare(name.size() - sizeof kRecordSuffix + 1, std::string::npos, kRecordSuffix) == 0)
      paths.push_back(gRecordFolder + "/" + name);
  }
  closedir(folder);
  for (const std::string& path : paths) {
    JobRecord record;
    pappl_printer_t* printer = nullptr;
    if (ParseJobRecord(ReadAll(path), record))
      printer = papplSystemFindPrinter(system, nullptr, record.printerId, nullptr);
    if (printer != nullptr && papplPrinterFindJob(printer, record.jobId) == nullptr &&
        access(record.file.c_str(), R_OK) == 0) {
      cups_option_t* options = nullptr;
      int count = 0;
      for (const auto& option : record.options)
        count = cupsAddOption(option.first.c_str(), option.second.c_str(), count, &options);
      // PAPPL keeps the format's text as it is given, for the job's life.
      static std::set<std::string> formats;
      const char* format = formats.insert(record.format).first->c_str();
      pappl_job_t* job =
          papplJobCreateWithFile(printer, record.user.c_str(), format, record.name.c_str(), count,
                                 options, record.file.c_str());
      cupsFreeOptions(count, options);
      papplLogPrinter(printer, job != nullptr ? PAPPL_LOGLEVEL_WARN : PAPPL_LOGLEVEL_ERROR,
                      "Job %d was received before the server ended and not saved: %s", record.jobId,
                      job != nullptr ? "printing it again as a new job" : "lost");
    }
    unlink(path.c_str());
  }
}

}  // namespace

void SetStateFile(const std::string& file) {
  std::lock_guard<std::mutex> lock(gSaveMutex);
  gStateFile = file;
  size_t slash = file.rfind('/');
  gRecordFolder = slash == std::string::npos ? "." : file.substr(0, slash);
}

std::string RecordPath(int printerId, int jobId) {
  return gRecordFolder + "/job-" + std::to_string(printerId) + "-" + std::to_string(jobId) +
         kRecordSuffix;
}

void ForgetRecordedJob(pappl_job_t* job) {
  std::string path = RecordPath(papplPrinterGetID(papplJobGetPrinter(job)), papplJobGetID(job));
  std::lock_guard<std::mutex> lock(gRecordsMutex);
  if (gRecords.erase(path) > 0) unlink(path.c_str());
}

void RecordAcceptedJob(pappl_job_t* job) {
  JobRecord record;
  record.printerId = papplPrinterGetID(papplJobGetPrinter(job));
  record.jobId = papplJobGetID(job);
  const char* text;
  if ((text = papplJobGetUsername(job)) != nullptr) record.user = text;
  if ((text = papplJobGetFormat(job)) != nullptr) record.format = text;
  if ((text = papplJobGetName(job)) != nullptr) record.name = text;
  if ((text = papplJobGetFilename(job)) != nullptr) record.file = text;
  if (record.file.empty()) return;  // a job still waiting for its document
  for (const char* name : kRecordedOptions) {
    ipp_attribute_t* attribute = papplJobGetAttribute(job, name);
    char value[1024];
    if (attribute != nullptr && ippAttributeString(attribute, value, sizeof value) > 0)
      record.options.emplace_back(name, value);
  }
  SyncFileAndFolder(record.file);
  std::string path = RecordPath(record.printerId, record.jobId);
  std::string error;
  if (!WriteFileDurably(path, FormatJobRecord(record), error)) {
    papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "Unable to record the job: %s", error.c_str());
    return;
  }
  std::lock_guard<std::mutex> lock(gRecordsMutex);
  gRecords[path] = ++gRecordCount;
}

bool SaveStateDurably(pappl_system_t* system, void*) {
  std::lock_guard<std::mutex> lock(gSaveMutex);
  if (gStateFile.empty()) return false;
  unsigned long made;
  {
    std::lock_guard<std::mutex> records(gRecordsMutex);
    made = gRecordCount;
  }
  // PAPPL writes the state with plain writes; it is read back, made to
  // print interrupted jobs again, and put in place in one step.
  const std::string draft = gStateFile + ".draft";
  if (!papplSystemSaveState(system, draft.c_str())) return false;
  std::ifstream in(draft, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  in.close();
  unlink(draft.c_str());
  std::string error;
  if (!WriteFileDurably(gStateFile, RequeueProcessingJobs(text.str()), error)) {
    papplLog(system, PAPPL_LOGLEVEL_ERROR, "Unable to save the state: %s", error.c_str());
    return false;
  }
  DropRecordsUpTo(made);
  return true;
}

bool WatchServer(pappl_system_t* system, void*) {
  static bool started = false;
  static time_t shutdownSince = 0;
  if (!started) {
    started = true;
    ChainSignals();
    RemakeRecordedJobs(system);
    // PAPPL loads the jobs of the saved state but starts none of them.
    papplSystemIteratePrinters(system, ResumeWithJobs, nullptr);
  }
  if (!gSignaled && !papplSystemIsShutdown(system)) return true;
  time_t now = time(nullptr);
  if (shutdownSince == 0) shutdownSince = now;
  int active = 0;
  papplSystemIteratePrinters(system, CountJobs, &active);
  // With no job left, PAPPL's own shutdown is as quick.
  if (active == 0) return true;
  if (JobsSending() > 0 && now - shutdownSince < kSendingGraceSeconds) return true;
  SaveStateDurably(system, nullptr);
  papplLog(system, PAPPL_LOGLEVEL_INFO,
           "Shutting down with %d job(s) not printed yet: they print after the next start", active);
  // PAPPL's threads still wait for printers: nothing may run the
  // program's destructors under them.
  _exit(0);
}
