#include "server_setup.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "device_id.h"
#include "device_scheme.h"
#include "document_filter.h"
#include "driver.h"
#include "pam_login.h"
#include "pappl_hooks.h"
#include "server_state.h"
#include "state_paths.h"

namespace {

// How often the printers' states follow their jobs' connection attempts.
const int kStateSeconds = 2;

pappl_loglevel_t LogLevel(const char* text) {
  static const struct {
    const char* name;
    pappl_loglevel_t level;
  } kLevels[] = {{"debug", PAPPL_LOGLEVEL_DEBUG},
                 {"info", PAPPL_LOGLEVEL_INFO},
                 {"warn", PAPPL_LOGLEVEL_WARN},
                 {"error", PAPPL_LOGLEVEL_ERROR},
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

// A log file that cannot be opened makes PAPPL log to standard error and,
// when it rotates, close descriptor 2, which the next socket then takes:
// log lines went into print jobs. Better not to start.
bool LogFileOpens(const char* file) {
  if (file == nullptr || strcmp(file, "-") == 0 || strcmp(file, "syslog") == 0) return true;
  int fd = open(file, O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) {
    fprintf(stderr, "%s: Unable to open the log file '%s': %s\n", kAppName, file, strerror(errno));
    return false;
  }
  close(fd);
  return true;
}

// A state written by an older server may list jobs as being processed,
// which PAPPL would never start again.
void RequeueSavedJobs(const std::string& file) {
  FILE* in = fopen(file.c_str(), "r");
  if (in == nullptr) return;
  std::string text;
  char chunk[4096];
  size_t n;
  while ((n = fread(chunk, 1, sizeof chunk, in)) > 0) text.append(chunk, n);
  fclose(in);
  std::string requeued = RequeueProcessingJobs(text), error;
  if (requeued != text && !WriteFileDurably(file, requeued, error))
    fprintf(stderr, "%s: %s\n", kAppName, error.c_str());
}

HookSettings HookSettingsFor(pappl_system_t* system, int num_options, cups_option_t* options) {
  HookSettings settings;
  settings.system = system;
  settings.rules.serverUid = getuid();
  std::string service =
      papplSystemGetAuthService(system) != nullptr ? papplSystemGetAuthService(system) : "";
  settings.rules.checkPassword = [service](const std::string& user, const std::string& password) {
    return CheckPamPassword(service, user, password);
  };
  for (const char* name : {"listen-hostname", "server-hostname"}) {
    const char* value = cupsGetOption(name, num_options, options);
    if (value != nullptr && *value != '\0') settings.hostNames.push_back(value);
  }
  settings.jobAccepted = RecordAcceptedJob;
  return settings;
}

}  // namespace

pappl_system_t* CreateServerSystem(int num_options, cups_option_t* options, void* data) {
  ServerContext* app = static_cast<ServerContext*>(data);
  std::string problem;
  if (!CheckHooks(problem)) {
    fprintf(stderr,
            "%s: This PAPPL cannot be used: %s. The program mends faults of PAPPL 1.3.1 that way; "
            "without, it would accept jobs it cannot print and let anyone manage it.\n",
            kAppName, problem.c_str());
    return nullptr;
  }
  const char* portText = cupsGetOption("server-port", num_options, options);
  int port = portText != nullptr ? atoi(portText) : kDefaultPort;
  if (port < 0 || port > 65535) {
    fprintf(stderr, "%s: Bad 'server-port' value.\n", kAppName);
    return nullptr;
  }
  const char* logFile = cupsGetOption("log-file", num_options, options);
  if (!LogFileOpens(logFile)) return nullptr;
  const char* service = cupsGetOption("auth-service", num_options, options);
  pappl_system_t* system = papplSystemCreate(
      ServerOptions(cupsGetOption("server-options", num_options, options)), kAppName, port,
      "_print,_universal", cupsGetOption("spool-directory", num_options, options), logFile,
      LogLevel(cupsGetOption("log-level", num_options, options)),
      service != nullptr ? service : kAppName, false);
  if (system == nullptr) return nullptr;
  const char* hostname = cupsGetOption("server-hostname", num_options, options);
  if (hostname != nullptr) papplSystemSetHostName(system, hostname);
  const char* admin = cupsGetOption("admin-group", num_options, options);
  papplSystemSetAdminGroup(system, admin != nullptr ? admin : kDefaultAdminGroup);
  // Without a callback PAPPL's web pages ask for no login at all.
  papplSystemSetAuthCallback(system, "Basic", AuthorizeCallback, nullptr);
  papplSystemAddListeners(system, cupsGetOption("listen-hostname", num_options, options));
  papplSystemSetPrinterDrivers(system, kDriverCount, AppDrivers(), AppAutoAddCallback, nullptr,
                               AppDriverCallback, nullptr);
  papplSystemAddTimerCallback(system, 0, kStateSeconds, UpdatePrinterStates, app->links);
  papplSystemAddTimerCallback(system, 0, 1, WatchServer, nullptr);
  papplSystemSetFooterHTML(system, kAppFooter);
  RegisterDocumentFilters(system);
  SetStateFile(app->stateFile);
  RequeueSavedJobs(app->stateFile);
  if (!papplSystemLoadState(system, app->stateFile.c_str())) {
    papplSystemSetDNSSDName(system, "netbackend printers");
  }
  papplSystemSetSaveCallback(system, SaveStateDurably, nullptr);
  EnableServerHooks(HookSettingsFor(system, num_options, options));
  return system;
}
