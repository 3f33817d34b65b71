// The printer application's devices: the printers the backend's discovery
// finds, under their brand's scheme or "gprinter", registered with PAPPL
// next to its own schemes. Listing them fills the address book; opening
// one takes a connection from the broker or fails at once while the
// printer is looked for, so that PAPPL's retry finds it later.
#ifndef NETBACKEND_APP_DEVICE_SCHEME_H_
#define NETBACKEND_APP_DEVICE_SCHEME_H_

#include <pappl/pappl.h>

class AddressBook;
class PrinterConnections;

// Registers our schemes. With `keepBuiltIns` PAPPL's own schemes (socket,
// dnssd, snmp, usb) are made first, so that they stay; without, they are
// never made. `book` and `connections` must outlive every PAPPL use of the
// devices.
void AddDeviceSchemes(AddressBook* book, PrinterConnections* connections, bool keepBuiltIns);

// A timer callback (pappl_timer_cb_t) that shows on each of our printers
// whether its last connection attempt failed: the "offline" reason and the
// attempt's message while it cannot be reached. It runs in PAPPL's own
// thread, never under a printer's lock.
bool UpdatePrinterStates(pappl_system_t* system, void* connections);

#endif  // NETBACKEND_APP_DEVICE_SCHEME_H_
