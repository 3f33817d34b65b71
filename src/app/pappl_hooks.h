// Every place where the printer application stands in front of PAPPL 1.3.1
// or libcups 2.4 to mend a fault they have, in one unit: the program
// defines functions of theirs, which the dynamic linker binds PAPPL's calls
// to, and each definition hands the call on to the library's own after its
// check. doc/HACKING.md has the table: the fault, the version it was
// measured on, the test that proves the mend. A library that binds those
// calls inside itself would silently bring every fault back: the server
// checks at start that PAPPL calls the program's definitions
// (CheckHooks), and refuses to start otherwise.
//
// The hooks act in the server only (EnableServerHooks); the subcommands,
// clients of the server, pass every call straight through.
#ifndef NETBACKEND_APP_PAPPL_HOOKS_H_
#define NETBACKEND_APP_PAPPL_HOOKS_H_

#include <cups/raster.h>
#include <pappl/pappl.h>

#include <functional>
#include <string>
#include <vector>

#include "access_policy.h"

struct HookSettings {
  pappl_system_t* system = nullptr;
  AccessRules rules;
  // Names a request's Host field may give besides the host's own (the
  // listen host name).
  std::vector<std::string> hostNames;
  // Called once a job is received, before the client hears that it was
  // accepted, to keep it on the disk.
  std::function<void(pappl_job_t*)> jobAccepted;
};

// Whether PAPPL calls each of the program's definitions and the libraries'
// own are there to hand on to. False with `problem` naming the first that
// is not.
bool CheckHooks(std::string& problem);

// Turns the hooks on, for the server's lifetime.
void EnableServerHooks(HookSettings settings);

// The decision for a client, as PAPPL asks it for any group (the print
// group, or the admin group when `allowRemote` is false or a job's owner
// is looked for); an HTTP status, HTTP_STATUS_CONTINUE to go on. Also the
// system's authentication callback, so that PAPPL's web pages ask it.
http_status_t AuthorizeClient(pappl_client_t* client, bool allowRemote, const char* group);
http_status_t AuthorizeCallback(pappl_client_t* client, const char* group, gid_t groupid,
                                void* data);

// The page header of the raster the calling thread read last, as the
// client sent it. PAPPL 1.3.1 hands the driver a header of its own making
// when the client's raster is of a type the printer does not list (a 1-bit
// raster to an 8-bit gray printer), and the lines that follow do not fit
// it: printed, every row would be wrong. The driver compares the two.
// False when the thread read none or its last read failed.
bool LastRasterHeader(cups_page_header2_t& header);

#endif  // NETBACKEND_APP_PAPPL_HOOKS_H_
