// What the front end needs to know about itself and the queue it serves:
// its own file name, the scheme and target of DEVICE_URI, whether a target
// is an IPv4 literal, and the device line written for the scheduler.
#ifndef NETBACKEND_BACKEND_UTIL_H_
#define NETBACKEND_BACKEND_UTIL_H_

#include <cstdio>
#include <string>

class DeviceRecord;

// The file name of the running executable, symbolic links resolved (from
// /proc/<pid>/exe); empty when the link cannot be read.
void ReadProgramName(std::string& name);

// The text of DEVICE_URI before its first "://" (the whole value without
// one); empty when DEVICE_URI is unset.
void ReadUriScheme(std::string& scheme);

// The text of DEVICE_URI after its first "//", to the end. A set value with
// no "//" at all is taken whole as the target, so that a job whose device URI
// lost its scheme still names its printer (or fails as a job, never lists).
// Empty when DEVICE_URI is unset or empty.
void ReadUriTarget(std::string& target);

// True when `text` is decimal digits and dots only, with exactly three dots.
bool IsIpAddress(const std::string& text);

// Writes one device line for `record` to standard output and flushes it:
//   network <name>://<mac> "<make and model>" "<brand> Network Printer #<n> (<mac>)" "<ip>"
// Control characters (below 0x20, and 0x7F) in the field texts come from the
// network and are written as blanks, so that no reply can forge a line.
void PrintDeviceLine(int number, const std::string& name,
                     const DeviceRecord& record);

// As above, to any stream (for tests).
void PrintDeviceLine(FILE* out, int number, const std::string& name,
                     const DeviceRecord& record);

#endif  // NETBACKEND_BACKEND_UTIL_H_
