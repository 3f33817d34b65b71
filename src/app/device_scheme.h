// The printer application's devices: the printers the backend's discovery
// finds, under their brand's scheme or "gprinter", registered with PAPPL
// next to its own schemes. Listing them fills the address book. A device
// opens at once, without a byte on the network: PAPPL opens and closes
// devices under the printer's lock, and every request for the printer
// would wait. Each job then gets a connection of its own in its print path
// (AwaitPrinter), to the address its own search found, and ends it when
// the printer has taken the last byte (FinishJob).
#ifndef NETBACKEND_APP_DEVICE_SCHEME_H_
#define NETBACKEND_APP_DEVICE_SCHEME_H_

#include <pappl/pappl.h>

class AddressBook;
class PrinterLinks;

// Registers our schemes. With `keepBuiltIns` PAPPL's own schemes (socket,
// dnssd, snmp, usb) are made first, so that they stay; without, they are
// never made. `book` and `links` must outlive every PAPPL use of the
// devices.
void AddDeviceSchemes(AddressBook* book, PrinterLinks* links, bool keepBuiltIns);

// Connects `job` to its printer before its first byte, waiting while the
// printer is away (the job's message says why) until it answers or the job
// is canceled (false then). True at once for a device of PAPPL's schemes.
bool AwaitPrinter(pappl_job_t* job, pappl_device_t* device);

// Ends `job`'s connection: PAPPL's buffered bytes go out, then the write
// side is shut and the printer given a bounded time to take everything.
// False when it did not take the whole job, which then did not print. With
// `sent` true (all of the job went out), the job's message says how it
// ended; otherwise it keeps the message that says why it failed.
bool FinishJob(pappl_job_t* job, pappl_device_t* device, bool sent);

// How many jobs are sending bytes to a printer of ours now.
int JobsSending();

// A timer callback (pappl_timer_cb_t) that shows on each of our printers
// whether a job waits for it: the "offline" reason while the printer
// cannot be reached. It runs in PAPPL's own thread, never under a
// printer's lock.
bool UpdatePrinterStates(pappl_system_t* system, void* links);

#endif  // NETBACKEND_APP_DEVICE_SCHEME_H_
