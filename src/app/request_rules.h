// The rules the printer application adds to PAPPL's handling of a request,
// as plain functions of what the request holds, so that they are tested
// without a server: which operations need an administrator before PAPPL
// sees them, how a document format is compared, and when a document that
// stopped arriving ended short of what its framing announced. The hooks in
// pappl_hooks.cpp apply them.
#ifndef NETBACKEND_APP_REQUEST_RULES_H_
#define NETBACKEND_APP_REQUEST_RULES_H_

#include <sys/types.h>

#include <string>
#include <vector>

// The IPP operations whose numbers the rules name.
enum IppOperation {
  kIppEnablePrinter = 0x0022,
  kIppDisablePrinter = 0x0023,
  kIppCancelCurrentJob = 0x002D,
};

// Operations PAPPL lets anyone who may print perform, although they change
// what every user gets: stopping the printer from taking jobs, cancelling
// whatever job prints now. They need an administrator.
bool NeedsAdministrator(int operation);

// MIME types compare without case (RFC 2045); PAPPL compares them as they
// are. The lower-case form is what PAPPL's own names use.
std::string LowerCaseFormat(const std::string& format);

// Whether `format` is one of `listed`, case aside.
bool IsListedFormat(const std::string& format, const std::vector<std::string>& listed);

// What a document sent as application/octet-stream is, by its first
// bytes: "application/pdf", "application/postscript" (optionally after a
// PJL header), or empty for anything else, which goes to the printer as
// it is, in its own language.
std::string SniffedFormat(const unsigned char* head, size_t size);
const char kOctetStream[] = "application/octet-stream";

// The host a device URI of PAPPL's socket or SNMP scheme connects to
// ("socket://HOST:9100", "snmp://[::1]"); empty for any other URI (our
// schemes name a MAC address; a DNS-SD name is resolved when opened).
std::string DeviceTargetHost(const std::string& uri);

// PAPPL's message for a failed write of a document, with errno's text, is
// "...: Success" after a short write to a full disk; this is the message a
// client should read instead, or empty when `message` is another.
std::string MendedSpoolMessage(const std::string& message);

// Whether a read of a request's document that returned `result` ended the
// document short: the peer closed or failed (`error` set), the read timed
// out, or the announced length was not reached. A read of 0 bytes is
// otherwise the document's proper end.
bool DocumentEndedShort(ssize_t result, int error, bool timedOut, bool lengthAnnounced,
                        long long remaining);

#endif  // NETBACKEND_APP_REQUEST_RULES_H_
