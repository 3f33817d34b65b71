// Where the printer application keeps its state (its printers and their
// defaults), in the places PAPPL's standard main loop uses for its domain
// socket: under $SNAP_COMMON when set (a test or a confined package gives
// each run its own folder there), else /var/lib as root, else the user's
// temporary folder.
#ifndef NETBACKEND_APP_STATE_PATHS_H_
#define NETBACKEND_APP_STATE_PATHS_H_

#include <string>

// The state file of the application `name` for this process's environment
// and user.
std::string StateFile(const std::string& name);

#endif  // NETBACKEND_APP_STATE_PATHS_H_
