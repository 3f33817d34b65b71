// netbackend-printer-app: serves the printers that the backend's discovery
// finds to every driverless (IPP Everywhere) client, through PAPPL's
// standard command line (server, add, devices, submit, autoadd...) and web
// interface. This file wires PAPPL up; the work is in the units it names.
#include <pappl/pappl.h>
#include <unistd.h>

#include <string>

#include "avahi_check.h"
#include "device_id.h"
#include "device_scheme.h"
#include "document_filter.h"
#include "driver.h"
#include "printer_cache.h"
#include "state_paths.h"

namespace {

const char kName[] = "netbackend-printer-app";
// PAPPL 1.3.1 crashes on every web page without a footer.
const char kFooter[] = "netbackend printer application " NETBACKEND_VERSION;
// The port the packaged service uses, so that a server started by hand or
// by a subcommand is found where the README says.
const int kDefaultPort = 8631;
// How often the printers' states follow their connection attempts.
const int kStateSeconds = 2;

// What the system callback needs besides the options.
struct AppContext {
  PrinterConnections* connections;
  std::string stateFile;
};

pappl_loglevel_t LogLevel(const char* text) {
  static const struct {
    const char* name;
    pappl_loglevel_t level;
  } kLevels[] = {{"debug", PAPPL_LOGLEVEL_DEBUG}, {"info", PAPPL_LOGLEVEL_INFO},
                 {"warn", PAPPL_LOGLEVEL_WARN},   {"error", PAPPL_LOGLEVEL_ERROR},
                 {"fatal", PAPPL_LOGLEVEL_FATAL}};
  if (text != nullptr)
    for (const auto& level : kLevels)
      if (strcmp(text, level.name) == 0) return level.level;
  return PAPPL_LOGLEVEL_WARN;
}

// The words of "-o server-options=...", comma-separated, as PAPPL's default
// system reads them.
pappl_soptions_t ServerOptions(const char* text) {
  pappl_soptions_t options = PAPPL_SOPTIONS_MULTI_QUEUE | PAPPL_SOPTIONS_WEB_INTERFACE;
  if (text == nullptr) return options;
  static const struct {
    const char* word;
    pappl_soptions_t add, remove;
  } kWords[] = {
      {"dnssd-host", PAPPL_SOPTIONS_DNSSD_HOST, 0},
      {"no-multi-queue", 0, PAPPL_SOPTIONS_MULTI_QUEUE},
      {"raw-socket", PAPPL_SOPTIONS_RAW_SOCKET, 0},
      {"usb-printer", PAPPL_SOPTIONS_USB_PRINTER, 0},
      {"no-web-interface", 0, PAPPL_SOPTIONS_WEB_INTERFACE},
      {"web-log", PAPPL_SOPTIONS_WEB_LOG, 0},
      {"web-network", PAPPL_SOPTIONS_WEB_NETWORK, 0},
      {"web-remote", PAPPL_SOPTIONS_WEB_REMOTE, 0},
      {"web-security", PAPPL_SOPTIONS_WEB_SECURITY, 0},
      {"no-tls", PAPPL_SOPTIONS_NO_TLS, 0},
  };
  std::string words = text;
  size_t start = 0;
  while (start <= words.size()) {
    size_t end = words.find(',', start);
    if (end == std::string::npos) end = words.size();
    std::string word = words.substr(start, end - start);
    for (const auto& known : kWords)
      if (word == known.word) options = (options | known.add) & ~known.remove;
    start = end + 1;
  }
  return options;
}

bool SaveState(pappl_system_t* system, void* file) {
  return papplSystemSaveState(system, static_cast<const char*>(file));
}

pappl_system_t* CreateSystem(int num_options, cups_option_t* options, void* data) {
  AppContext* app = static_cast<AppContext*>(data);
  const char* portText = cupsGetOption("server-port", num_options, options);
  int port = portText != nullptr ? atoi(portText) : kDefaultPort;
  if (port < 0 || port > 65535) {
    fprintf(stderr, "%s: Bad 'server-port' value.\n", kName);
    return nullptr;
  }
  const char* hostname = cupsGetOption("server-hostname", num_options, options);
  pappl_system_t* system = papplSystemCreate(
      ServerOptions(cupsGetOption("server-options", num_options, options)), kName, port,
      "_print,_universal", cupsGetOption("spool-directory", num_options, options),
      cupsGetOption("log-file", num_options, options),
      LogLevel(cupsGetOption("log-level", num_options, options)),
      cupsGetOption("auth-service", num_options, options), false);
  if (system == nullptr) return nullptr;
  if (hostname != nullptr) papplSystemSetHostName(system, hostname);
  const char* admin = cupsGetOption("admin-group", num_options, options);
  if (admin != nullptr) papplSystemSetAdminGroup(system, admin);
  papplSystemAddListeners(system, cupsGetOption("listen-hostname", num_options, options));
  papplSystemSetPrinterDrivers(system, kDriverCount, AppDrivers(), AppAutoAddCallback, nullptr,
                               AppDriverCallback, nullptr);
  papplSystemAddTimerCallback(system, 0, kStateSeconds, UpdatePrinterStates, app->connections);
  papplSystemSetFooterHTML(system, kFooter);
  RegisterDocumentFilters(system);
  if (!papplSystemLoadState(system, app->stateFile.c_str())) {
    papplSystemSetDNSSDName(system, "netbackend printers");
  }
  papplSystemSetSaveCallback(system, SaveState, const_cast<char*>(app->stateFile.c_str()));
  return system;
}

}  // namespace

int main(int argc, char* argv[]) {
  AddressBook book;
  PrinterConnections connections(book, SearchOnNetwork);
  AddDeviceSchemes(&book, &connections, AvahiDaemonAnswers());
  AppContext app{&connections, StateFile(kName)};
  return papplMainloop(argc, argv, NETBACKEND_VERSION, kFooter, kDriverCount, AppDrivers(),
                       AppAutoAddCallback, AppDriverCallback, nullptr, nullptr, CreateSystem,
                       nullptr, &app);
}
