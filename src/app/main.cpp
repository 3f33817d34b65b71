// netbackend-printer-app: serves the printers that the backend's discovery
// finds to every driverless (IPP Everywhere) client, through PAPPL's
// standard command line (server, add, devices, submit, autoadd...) and web
// interface. This file wires PAPPL up; the work is in the units it names.
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <pappl/pappl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <string>

#include "avahi_check.h"
#include "device_id.h"
#include "device_scheme.h"
#include "document_filter.h"
#include "driver.h"
#include "pam_login.h"
#include "pappl_hooks.h"
#include "printer_link.h"
#include "server_state.h"
#include "state_paths.h"

namespace {

const char kName[] = "netbackend-printer-app";
// PAPPL 1.3.1 crashes on every web page without a footer.
const char kFooter[] = "netbackend printer application " NETBACKEND_VERSION;
// The port the packaged service uses, so that a server started by hand or
// by a subcommand is found where the README says.
const int kDefaultPort = 8631;
// Who manages the server unless -o admin-group says otherwise: the group
// that manages CUPS's printers on Debian.
const char kDefaultAdminGroup[] = "lpadmin";
// How often the printers' states follow their jobs' connection attempts.
const int kStateSeconds = 2;

// What the system callback needs besides the options.
struct AppContext {
  PrinterLinks* links;
  std::string stateFile;
};

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
    fprintf(stderr, "%s: Unable to open the log file '%s': %s\n", kName, file, strerror(errno));
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
    fprintf(stderr, "%s: %s\n", kName, error.c_str());
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

pappl_system_t* CreateSystem(int num_options, cups_option_t* options, void* data) {
  AppContext* app = static_cast<AppContext*>(data);
  std::string problem;
  if (!CheckHooks(problem)) {
    fprintf(stderr,
            "%s: This PAPPL cannot be used: %s. The program mends faults of PAPPL 1.3.1 that way; "
            "without, it would accept jobs it cannot print and let anyone manage it.\n",
            kName, problem.c_str());
    return nullptr;
  }
  const char* portText = cupsGetOption("server-port", num_options, options);
  int port = portText != nullptr ? atoi(portText) : kDefaultPort;
  if (port < 0 || port > 65535) {
    fprintf(stderr, "%s: Bad 'server-port' value.\n", kName);
    return nullptr;
  }
  const char* logFile = cupsGetOption("log-file", num_options, options);
  if (!LogFileOpens(logFile)) return nullptr;
  const char* service = cupsGetOption("auth-service", num_options, options);
  pappl_system_t* system = papplSystemCreate(
      ServerOptions(cupsGetOption("server-options", num_options, options)), kName, port,
      "_print,_universal", cupsGetOption("spool-directory", num_options, options), logFile,
      LogLevel(cupsGetOption("log-level", num_options, options)),
      service != nullptr ? service : kName, false);
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
  papplSystemSetFooterHTML(system, kFooter);
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

// Descriptors 0 to 2 always lead somewhere: a server started with one of
// them closed would give it to a socket, and whatever is written to
// standard output or error (PAPPL's log among it) would go there.
void BindStandardDescriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    int opened = open("/dev/null", O_RDWR);
    if (opened >= 0 && opened != fd) {
      dup2(opened, fd);
      close(opened);
    }
  }
}

// Whether a subcommand may reach a server: a domain socket that exists and
// refuses this user says so before PAPPL's main loop, which would start a
// private server instead and report success for a change the system's
// server never saw.
bool MaySubcommandReachServer(const char* subcommand) {
  if (subcommand == nullptr || strcmp(subcommand, "server") == 0 || getuid() == 0) return true;
  const char* tmp = getenv("TMPDIR");
  std::string own = std::string(tmp != nullptr && *tmp ? tmp : "/tmp") + "/" + kName +
                    std::to_string(getuid()) + ".sock";
  const char* snap = getenv("SNAP_COMMON");
  std::string system = snap != nullptr ? std::string(snap) + "/" + kName + ".sock"
                                       : std::string("/run/") + kName + ".sock";
  bool refused = false;
  for (const std::string& path : {own, system}) {
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) continue;
    memcpy(address.sun_path, path.c_str(), path.size());
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return true;
    int result = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    int error = errno;
    close(fd);
    if (result == 0) return true;
    refused = refused || error == EACCES || error == EPERM;
  }
  if (!refused) return true;
  // The socket's folder belongs to the admin group.
  std::string group = kDefaultAdminGroup;
  char target[1024];
  ssize_t n = readlink(system.c_str(), target, sizeof target - 1);
  struct stat folder;
  if (n > 0) {
    target[n] = '\0';
    std::string dir(target);
    dir = dir.substr(0, dir.rfind('/'));
    struct group* owner = stat(dir.c_str(), &folder) == 0 ? getgrgid(folder.st_gid) : nullptr;
    if (owner != nullptr) group = owner->gr_name;
  }
  fprintf(stderr,
          "%s: Only root and the members of the group '%s' may manage the printer application "
          "(%s: %s). To print, send jobs to its printers over IPP "
          "(ipp://localhost:%d/ipp/print/NAME).\n",
          kName, group.c_str(), system.c_str(), strerror(EACCES), kDefaultPort);
  return false;
}

// The first word that is neither an option nor an option's value.
const char* Subcommand(int argc, char* argv[]) {
  for (int i = 1; i < argc; ++i) {
    if (argv[i][0] != '-') return argv[i];
    if (argv[i][1] != '\0' && argv[i][2] == '\0' && strchr("dhjmnouv", argv[i][1]) != nullptr) ++i;
  }
  return nullptr;
}

}  // namespace

int main(int argc, char* argv[]) {
  BindStandardDescriptors();
  if (!MaySubcommandReachServer(Subcommand(argc, argv))) return 1;
  AddressBook book;
  PrinterLinks links(book, SearchOnNetwork);
  AddDeviceSchemes(&book, &links, AvahiDaemonAnswers());
  AppContext app{&links, StateFile(kName)};
  return papplMainloop(argc, argv, NETBACKEND_VERSION, kFooter, kDriverCount, AppDrivers(),
                       AppAutoAddCallback, AppDriverCallback, nullptr, nullptr, CreateSystem,
                       nullptr, &app);
}
