// The program the printing system runs: lists the printers of its brand
// (no job arguments), hands a job to the socket backend at the printer's
// current address (six or more arguments), or prints its version (-v).
#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "backend_util.h"
#include "connector.h"
#include "job_printer.h"
#include "kvt.h"
#include "program_name.h"
#include "trace_log.h"

namespace {

const char kSource[] = "src/netbackend";
// The function every trace line of the program names, lambdas included.
const char kMain[] = "main";
const char kDefaultServerBin[] = "/usr/lib/cups";
const char kSocketBackend[] = "socket";
const int kBackendPathSize = 1024;
const int kDeviceUriSize = 128;
const char kSocketScheme[] = "socket://";
// The longest printer address the new device URI holds after its scheme.
const size_t kMaxHostLength = kDeviceUriSize - 1 - (sizeof(kSocketScheme) - 1);

// One status line for the scheduler on standard error ("STATE: ...",
// "INFO: ...", "ERROR: ..."): it shows the last message as the job's and
// the printer's state and logs errors, so an administrator sees why a job
// did not print. Job mode only: a listing keeps standard error quiet.
void Status(const char* format, ...) __attribute__((format(printf, 1, 2)));
void Status(const char* format, ...) {
  va_list args;
  va_start(args, format);
  vfprintf(stderr, format, args);
  va_end(args);
  fputc('\n', stderr);
  fflush(stderr);
}

// Listing mode: one device line per printer of the brand that can take a
// job. The scheduler reads device lines as they come and ends a listing
// backend when its own timeout passes, so each printer is written the
// moment its reply is accepted rather than after the whole wait.
void ListPrinters(Discoverer& discoverer, const std::string& name) {
  int number = 0;
  discoverer.discover(
      [&](const Reply& reply) {
        if (reply.verdict == kAccepted) PrintDeviceLine(++number, name, reply.record);
        return true;
      },
      DiscoveryOptions());
}

// Job mode: the address of the printer whose MAC address is `target`, or
// empty, with the status lines that tell the scheduler how the search
// went. The search follows the one job-time rule of every program that
// sends jobs (job_printer.h).
std::string FindPrinter(Discoverer& discoverer, const std::string& target) {
  const std::string shown = log_escape(target);
  Status("STATE: +connecting-to-device");
  Status("INFO: Looking for printer %s on the local network", shown.c_str());
  const DiscoveryOptions options = JobSearchOptions();
  JobPrinterSearch search = FindJobPrinter(discoverer, target, options);
  if (!search.address.empty()) {
    log_printf(LOG_INFO, __LINE__, kSource, kMain, "discovered ip %s for %s",
               search.address.c_str(), shown.c_str());
    Status("INFO: Printer %s found at %s", shown.c_str(), search.address.c_str());
    Status("STATE: -connecting-to-device");
    return search.address;
  }
  Status("STATE: -connecting-to-device");
  if (search.sent == kNoReplySocket)
    Status("ERROR: Could not look for printer %s: no socket could be had for its replies",
           shown.c_str());
  else if (search.sent <= 0)
    Status(
        "ERROR: Could not look for printer %s: the query could not be sent on any network "
        "interface",
        shown.c_str());
  else if (search.unusable > 0)
    Status(
        "ERROR: Printer %s did not answer within %d seconds with an address a job can be sent "
        "to (%d replies for it gave an unusable address)",
        shown.c_str(), options.seconds, search.unusable);
  else
    Status("ERROR: Printer %s did not answer within %d seconds", shown.c_str(), options.seconds);
  log_printf(LOG_INFO, __LINE__, kSource, kMain, "Device not found with MAC:%s", shown.c_str());
  return std::string();
}

// Replaces the process with the socket backend aimed at `host`. Returns
// only when that could not be done, with the exit status: 1, since nothing
// reached the printer and a 0 would have the scheduler mark the job
// printed.
int HandOver(const std::string& host, char* argv[]) {
  const char* dir = getenv("CUPS_SERVERBIN");
  if (dir == nullptr) dir = kDefaultServerBin;
  char backend[kBackendPathSize];
  int pathLength = snprintf(backend, sizeof(backend), "%s/backend/%s", dir, kSocketBackend);
  // Never hand the job to a path or an address cut short: it would reach
  // the wrong program or the wrong printer.
  if (pathLength < 0 || pathLength >= kBackendPathSize) {
    Status("ERROR: The socket backend's path under CUPS_SERVERBIN is too long (%d characters)",
           pathLength);
    log_printf(LOG_INFO, __LINE__, kSource, kMain,
               "Backend path too long (%d characters), job not handed over", pathLength);
    return 1;
  }
  if (host.size() > kMaxHostLength) {
    Status("ERROR: The printer address in the device URI is too long (%d characters)",
           static_cast<int>(host.size()));
    log_printf(LOG_INFO, __LINE__, kSource, kMain,
               "Printer address too long (%d characters), job not handed over",
               static_cast<int>(host.size()));
    return 1;
  }
  // Lives as long as the process image: it becomes argument 0 and the
  // value of DEVICE_URI of the socket backend.
  static char uri[kDeviceUriSize];
  snprintf(uri, sizeof(uri), "%s%s", kSocketScheme, host.c_str());
  setenv("DEVICE_URI", uri, 1);
  argv[0] = uri;
  log_printf(LOG_INFO, __LINE__, kSource, kMain, "Executing backend %s with URI: %s", backend, uri);
  execv(backend, argv);
  int error = errno;
  Status("ERROR: Could not run the socket backend %s: %s", backend, strerror(error));
  log_printf(LOG_INFO, __LINE__, kSource, kMain, "execv %s failed: %s", backend, strerror(error));
  return 1;
}

}  // namespace

int main(int argc, char* argv[]) {
  if (argc == 2 && std::string(argv[1]).find("-v") == 0) {
    printf("%s\n", NETBACKEND_QUERY_VERSION);
    return 0;
  }
  if (argc < 6) {
    std::string name;
    ReadProgramName(name);
    Discoverer discoverer;
    ListPrinters(discoverer, name);
    return 0;
  }

  std::string target;
  ReadUriTarget(target);
  // A job names its printer. Running a listing instead would print nothing
  // and end with status 0, and the scheduler would call the job printed.
  if (target.empty()) {
    const char* uri = getenv("DEVICE_URI");
    std::string shown = log_escape(uri != nullptr ? uri : "");
    Status("ERROR: The device URI \"%s\" names no printer", shown.c_str());
    log_printf(LOG_INFO, __LINE__, kSource, kMain, "No printer in DEVICE_URI \"%s\"",
               shown.c_str());
    return 1;
  }
  // An address written into the URI by hand is used as it stands.
  if (IsIpAddress(target)) return HandOver(target, argv);
  Discoverer discoverer;
  std::string host = FindPrinter(discoverer, target);
  return host.empty() ? 1 : HandOver(host, argv);
}
