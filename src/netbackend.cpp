// The program the printing system runs: lists the printers of its brand
// (no job arguments), hands a job to the socket backend at the printer's
// current address (six or more arguments), or prints its version (-v).
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

#include "backend_util.h"
#include "kvt.h"
#include "trace_log.h"

namespace {

const char kSource[] = "src/netbackend";
const double kVersion = 2.2;
const char kDefaultServerBin[] = "/usr/lib/cups";
const char kSocketBackend[] = "socket";
const int kBackendPathSize = 1024;
const int kDeviceUriSize = 128;

}  // namespace

int main(int argc, char* argv[]) {
  int status = 0;
  if (argc == 2 && std::string(argv[1]).find("-v") == 0) {
    printf("%.1f\n", kVersion);
    return 0;
  }

  std::string target;
  std::string name;
  if (argc >= 6) {
    ReadUriTarget(target);
    ReadUriScheme(name);
  } else {
    ReadProgramName(name);
  }

  Discoverer discoverer;
  std::string host;
  if (!target.empty() && IsIpAddress(target)) {
    host = target;
  } else if (target.empty()) {
    // The scheduler reads device lines as they come and ends a listing
    // backend when its own timeout passes, so each printer is written the
    // moment its reply is accepted rather than after the whole wait.
    int number = 0;
    discoverer.discover([&](const DeviceRecord& record) {
      PrintDeviceLine(++number, name, record);
      return true;
    });
  } else {
    // A job needs only its own printer: stop at the first reply that names
    // it instead of waiting out the whole discovery.
    discoverer.discover([&](const DeviceRecord& record) {
      return record.macAddress() != target;
    });
    const DeviceList& devices = discoverer.devices();
    for (size_t i = 0; i < devices.size(); ++i) {
      if (devices[i].macAddress() == target) {
        log_printf('I', __LINE__, kSource, __func__, "discovered ip %s for %s",
                   devices[i].ipAddress().c_str(), target.c_str());
        host = devices[i].ipAddress();
        break;
      }
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
      log_printf('I', __LINE__, kSource, __func__,
                 "Backend path too long (%d characters), job not handed over",
                 pathLength);
      return 1;
    }
    if (host.size() > kDeviceUriSize - 1 - 9) {
      log_printf('I', __LINE__, kSource, __func__,
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
    log_printf('I', __LINE__, kSource, __func__, "Executing backend %s with URI: %s",
               backend, uri);
    execv(backend, argv);
    status = 0;
  } else if (!target.empty()) {
    log_printf('I', __LINE__, kSource, __func__, "Device not found with MAC:%s",
               target.c_str());
    status = 1;
  }
  return status;
}
