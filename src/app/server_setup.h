// The server's PAPPL system, made from the command line's options as the
// program runs it: the listeners, the drivers and document filters, the
// timers, the saved state, who may manage it, and the hooks turned on.
// Tests make their system with it too, so that they see the server's.
#ifndef NETBACKEND_APP_SERVER_SETUP_H_
#define NETBACKEND_APP_SERVER_SETUP_H_

#include <pappl/pappl.h>

#include <string>

class PrinterLinks;

const char kAppName[] = "netbackend-printer-app";
// PAPPL 1.3.1 crashes on every web page without a footer.
const char kAppFooter[] = "netbackend printer application " NETBACKEND_VERSION;
// The port the packaged service uses, so that a server started by hand or
// by a subcommand is found where the README says.
const int kDefaultPort = 8631;
// Who manages the server unless -o admin-group says otherwise: the group
// that manages CUPS's printers on Debian.
const char kDefaultAdminGroup[] = "lpadmin";

// What the system callback needs besides the options.
struct ServerContext {
  PrinterLinks* links;
  std::string stateFile;
};

// pappl_ml_system_cb_t, with a ServerContext as `data`: null, with the
// reason on standard error, when the options or this PAPPL cannot serve.
pappl_system_t* CreateServerSystem(int num_options, cups_option_t* options, void* data);

#endif  // NETBACKEND_APP_SERVER_SETUP_H_
