// netbackend-printer-app: serves the printers that the backend's discovery
// finds to every driverless (IPP Everywhere) client, through PAPPL's
// standard command line (server, add, devices, submit, autoadd...) and web
// interface. This file is the command line around PAPPL's main loop; the
// server's system is made in server_setup.cpp, the work in the units it
// names.
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <pappl/pappl.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <string>

#include "avahi_check.h"
#include "device_id.h"
#include "device_scheme.h"
#include "driver.h"
#include "printer_link.h"
#include "server_setup.h"
#include "state_paths.h"

namespace {

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
  // The user's own server's socket, where PAPPL's command line looks.
  std::string own =
      std::string(papplGetTempDir()) + "/" + kAppName + std::to_string(getuid()) + ".sock";
  const char* snap = getenv("SNAP_COMMON");
  std::string system = snap != nullptr ? std::string(snap) + "/" + kAppName + ".sock"
                                       : std::string("/run/") + kAppName + ".sock";
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
          kAppName, group.c_str(), system.c_str(), strerror(EACCES), kDefaultPort);
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
  ServerContext app{&links, StateFile(kAppName)};
  return papplMainloop(argc, argv, NETBACKEND_VERSION, kAppFooter, kDriverCount, AppDrivers(),
                       AppAutoAddCallback, AppDriverCallback, nullptr, nullptr, CreateServerSystem,
                       nullptr, &app);
}
