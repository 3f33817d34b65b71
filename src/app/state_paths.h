// Where the printer application keeps its state (its printers, their
// defaults and the jobs not yet printed), in the places PAPPL's standard
// main loop uses for its domain socket: under $SNAP_COMMON when set (a test
// or a confined package gives each run its own folder there), else /var/lib
// as root, else the user's temporary folder; and how it is written, so that
// a job acknowledged to a client survives a crash or a power cut.
#ifndef NETBACKEND_APP_STATE_PATHS_H_
#define NETBACKEND_APP_STATE_PATHS_H_

#include <map>
#include <string>
#include <vector>

// The state file of the application `name` for this process's environment
// and user.
std::string StateFile(const std::string& name);

// Replaces `path` by `content` so that a power cut leaves the old file or
// the new one, never a mix: a file beside it, synced, renamed over it, and
// the folder synced. Mode 0600. False with `error` set when any step fails
// (the old file is then as it was).
bool WriteFileDurably(const std::string& path, const std::string& content, std::string& error);

// Syncs the file `path` and its folder, so that a document written with
// plain writes is on the disk before its job is acknowledged.
bool SyncFileAndFolder(const std::string& path);

// PAPPL's state text with every job that was being processed ("state=5")
// written as pending ("state=3"): after a restart PAPPL starts pending jobs
// only, and a job caught in the middle is printed again rather than shown
// as processing for ever.
std::string RequeueProcessingJobs(const std::string& state);

// A job the server accepted, as it is recorded on the disk before the
// client hears so: PAPPL saves its state from its main loop, a moment
// later, and a crash in between would lose the job. The next start makes
// the job again from its record when the state does not list it.
struct JobRecord {
  int printerId = 0;
  int jobId = 0;
  std::string user;
  std::string format;
  std::string name;
  std::string file;  // the document, in the spool
  // The job's options, as name=value texts.
  std::vector<std::pair<std::string, std::string>> options;
};

// One "key=value" line per field and option, newlines and '%' escaped.
std::string FormatJobRecord(const JobRecord& record);
// False for a record that is cut short or lacks a field a job needs.
bool ParseJobRecord(const std::string& text, JobRecord& record);

#endif  // NETBACKEND_APP_STATE_PATHS_H_
