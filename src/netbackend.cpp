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
#include "kvt.h"
#include "trace_log.h"

namespace {

const char kSource[] = "src/netbackend";
// The function every trace line of the program names, lambdas included.
const char kMain[] = "main";
const double kVersion = 2.2;
const char kDefaultServerBin[] = "/usr/lib/cups";
const char kSocketBackend[] = "socket";
const int kBackendPathSize = 1024;
const int kDeviceUriSize = 128;

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

// Why a record from the network cannot become a device line or take a job,
// or null when it can; `address` then holds its address as a job gets it.
const char* Unusable(const DeviceRecord& record, std::string& address) {
  if (record.macAddress().empty()) return "no MAC address";
  if (!CanonicalHostAddress(record.ipAddress(), address))
    return "an address a job cannot be sent to";
  return nullptr;
}

}  // namespace

int main(int argc, char* argv[]) {
  int status = 0;
  if (argc == 2 && std::string(argv[1]).find("-v") == 0) {
    printf("%.1f\n", kVersion);
    return 0;
  }

  const bool job = argc >= 6;
  std::string target;
  std::string name;
  if (job) {
    ReadUriTarget(target);
    ReadUriScheme(name);
    // A job names its printer. Running a listing instead would print
    // nothing and end with status 0, and the scheduler would call the job
    // printed.
    if (target.empty()) {
      const char* uri = getenv("DEVICE_URI");
      std::string shown = log_escape(uri != nullptr ? uri : "");
      Status("ERROR: The device URI \"%s\" names no printer", shown.c_str());
      log_printf('I', __LINE__, kSource, kMain, "No printer in DEVICE_URI \"%s\"", shown.c_str());
      return 1;
    }
  } else {
    ReadProgramName(name);
  }

  Discoverer discoverer;
  std::string host;
  DiscoveryOptions options;
  if (job && IsIpAddress(target)) {
    host = target;
  } else if (!job) {
    // The scheduler reads device lines as they come and ends a listing
    // backend when its own timeout passes, so each printer is written the
    // moment its reply is accepted rather than after the whole wait. A
    // printer that could never take a job is not offered.
    int number = 0;
    discoverer.discover(
        [&](const DeviceRecord& record) {
          std::string address;
          const char* why = Unusable(record, address);
          if (why != nullptr) {
            log_printf('F', __LINE__, kSource, kMain, "not listed: %s (MAC \"%s\", IP \"%s\")", why,
                       log_escape(record.macAddress()).c_str(),
                       log_escape(record.ipAddress()).c_str());
            return true;
          }
          PrintDeviceLine(++number, name, record);
          return true;
        },
        options);
  } else {
    // A job needs only its own printer: stop at the first reply that names
    // it with an address a job can go to, and ask again if it is slow to
    // answer. A reply naming it with any other address is passed over: a
    // reply may describe a printer, never send a job somewhere else.
    const std::string shown = log_escape(target);
    Status("STATE: +connecting-to-device");
    Status("INFO: Looking for printer %s on the local network", shown.c_str());
    options.repeatQuery = true;
    int unusable = 0;
    int sent = discoverer.discover(
        [&](const DeviceRecord& record) {
          if (record.macAddress() != target) return true;
          std::string address;
          if (Unusable(record, address) != nullptr) {
            ++unusable;
            log_printf('F', __LINE__, kSource, kMain,
                       "reply for %s passed over: IP \"%s\" is not an address a job can be sent to",
                       shown.c_str(), log_escape(record.ipAddress()).c_str());
            return true;
          }
          log_printf('I', __LINE__, kSource, kMain, "discovered ip %s for %s", address.c_str(),
                     shown.c_str());
          host = address;
          return false;
        },
        options);
    if (!host.empty()) {
      Status("INFO: Printer %s found at %s", shown.c_str(), host.c_str());
      Status("STATE: -connecting-to-device");
    } else {
      Status("STATE: -connecting-to-device");
      if (sent <= 0)
        Status(
            "ERROR: Could not look for printer %s: the query could not be sent on any "
            "network interface",
            shown.c_str());
      else if (unusable > 0)
        Status(
            "ERROR: Printer %s did not answer within %d seconds with an address a job "
            "can be sent to (%d replies for it gave an unusable address)",
            shown.c_str(), options.seconds, unusable);
      else
        Status("ERROR: Printer %s did not answer within %d seconds", shown.c_str(),
               options.seconds);
    }
  }

  if (!host.empty()) {
    const char* dir = getenv("CUPS_SERVERBIN");
    if (dir == nullptr) dir = kDefaultServerBin;
    char backend[kBackendPathSize];
    int pathLength = snprintf(backend, sizeof(backend), "%s/backend/%s", dir, kSocketBackend);
    // Never hand the job to a path or an address cut short: it would reach
    // the wrong program or the wrong printer.
    if (pathLength < 0 || pathLength >= kBackendPathSize) {
      Status(
          "ERROR: The socket backend's path under CUPS_SERVERBIN is too long "
          "(%d characters)",
          pathLength);
      log_printf('I', __LINE__, kSource, kMain,
                 "Backend path too long (%d characters), job not handed over", pathLength);
      return 1;
    }
    if (host.size() > kDeviceUriSize - 1 - 9) {
      Status("ERROR: The printer address in the device URI is too long (%d characters)",
             static_cast<int>(host.size()));
      log_printf('I', __LINE__, kSource, kMain,
                 "Printer address too long (%d characters), job not handed over",
                 static_cast<int>(host.size()));
      return 1;
    }
    // Lives as long as the process image: it becomes argument 0 and the
    // value of DEVICE_URI of the socket backend.
    static char uri[kDeviceUriSize];
    snprintf(uri, sizeof(uri), "socket://%s", host.c_str());
    setenv("DEVICE_URI", uri, 1);
    argv[0] = uri;
    log_printf('I', __LINE__, kSource, kMain, "Executing backend %s with URI: %s", backend, uri);
    execv(backend, argv);
    // Nothing reached the printer: an exit status of 0 would have the
    // scheduler mark the job printed.
    int error = errno;
    Status("ERROR: Could not run the socket backend %s: %s", backend, strerror(error));
    log_printf('I', __LINE__, kSource, kMain, "execv %s failed: %s", backend, strerror(error));
    status = 1;
  } else if (job) {
    log_printf('I', __LINE__, kSource, kMain, "Device not found with MAC:%s",
               log_escape(target).c_str());
    status = 1;
  }
  return status;
}
