// What the server does around PAPPL's run so that no accepted job is lost:
// it saves its state durably (a job that was being printed is saved as
// pending, to be printed again), starts after a restart the jobs that came
// back with the state, and ends at once when a shutdown finds only jobs
// that wait for their printers, which then print after the next start;
// PAPPL 1.3.1 would wait a minute for them, and lose none the better.
#ifndef NETBACKEND_APP_SERVER_STATE_H_
#define NETBACKEND_APP_SERVER_STATE_H_

#include <pappl/pappl.h>

#include <string>

// The state file the server saves to and loads from.
void SetStateFile(const std::string& file);

// pappl_save_cb_t: PAPPL's main loop saves the state after each change.
// Once the state is on the disk, the records of the jobs it lists go.
bool SaveStateDurably(pappl_system_t* system, void* data);

// Records a job just received, on the disk, before its client hears that
// it was accepted (the main loop's save comes a moment later; a save from
// the client's thread would take PAPPL's locks in an order its job
// threads take the other way round). Thread-safe.
void RecordAcceptedJob(pappl_job_t* job);
// Drops the record of a job the printer took whole: a state saved before
// it was recorded would not stop a restart from printing it again.
void ForgetRecordedJob(pappl_job_t* job);

// A timer callback (pappl_timer_cb_t) for every second of the run: the
// first call makes again the jobs recorded but missing from the saved
// state, and starts the jobs the state brought back; every call
// looks whether a shutdown was asked for (the Shutdown-All-Printers
// operation, or SIGTERM or SIGINT), and once no job is sending to a
// printer, or after a few seconds, saves the state and ends the process.
bool WatchServer(pappl_system_t* system, void* data);

#endif  // NETBACKEND_APP_SERVER_STATE_H_
