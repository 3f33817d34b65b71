// What the front end needs to know about the queue it serves and tells the
// scheduler: the scheme and target of DEVICE_URI, whether a target is an
// IPv4 literal, and the device line written for a printer.
// Threads: no state of its own; DEVICE_URI must not change meanwhile.
#ifndef NETBACKEND_BACKEND_UTIL_H_
#define NETBACKEND_BACKEND_UTIL_H_

#include <cstdio>
#include <string>

class DeviceRecord;

// The text of DEVICE_URI before its first "://" (the whole value without
// one); empty when DEVICE_URI is unset.
void ReadUriScheme(std::string& scheme);

// The text of DEVICE_URI after its first "//", to the end. A set value with
// no "//" at all is taken whole as the target, so that a job whose device URI
// lost its scheme still names its printer (or fails as a job, never lists).
// Empty when DEVICE_URI is unset or empty.
void ReadUriTarget(std::string& target);

// True when `text` has the form of an IPv4 literal: decimal digits and dots
// only, with exactly three dots. The form alone: 999.1.1.1 and 1..2.3 pass.
// Such a target is one an administrator wrote into the queue's URI by hand,
// and is handed over as written, without discovery.
bool IsIpAddress(const std::string& text);

// `text` as a device line carries it inside a quoted field. The field texts
// come from the network, and the scheduler reads each quoted field with
// backslash escapes: so '"' and '\' are escaped with a backslash (an odd
// one would make it drop the line, an even number would move text into the
// next field), control characters (C0, DEL, and C1 in UTF-8) become blanks
// so that no newline starts a forged line, as do the invisible marks that
// reorder or break the text around them, and bytes that are not UTF-8
// become '?'.
std::string DeviceLineText(const std::string& text);

// Writes one device line for `record` to standard output and flushes it:
//   network <name>://<mac> "<make and model>" "<brand> Network Printer #<n> (<mac>)" "<ip>"
// Each field text is written as DeviceLineText gives it, so that no reply can
// reach another field or forge a line.
void PrintDeviceLine(int number, const std::string& name, const DeviceRecord& record);

// As above, to any stream (for tests).
void PrintDeviceLine(FILE* out, int number, const std::string& name, const DeviceRecord& record);

#endif  // NETBACKEND_BACKEND_UTIL_H_
