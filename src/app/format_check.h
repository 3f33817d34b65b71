// Refuses a document in a format the printer does not list, before PAPPL
// accepts the job. PAPPL 1.3.1 answers such a Print-Job or Send-Document
// with "successful-ok" and aborts the job afterwards, because its own check
// looks for the printer's formats in an attribute set that never holds
// them; and it offers no public hook ahead of its own operations (the IPP
// operation callback sees only operations it does not handle itself).
#ifndef NETBACKEND_APP_FORMAT_CHECK_H_
#define NETBACKEND_APP_FORMAT_CHECK_H_

#include <pappl/pappl.h>

// The formats every printer lists on PAPPL 1.3.1 besides its driver's own
// (measured with Get-Printer-Attributes): the type PAPPL guesses from the
// bytes, the raster formats it reads itself, the source formats of its own
// JPEG and PNG filters and of the application's (document_filter.h).
bool IsListedFormat(const char* format, const char* driverFormat);

// Answers a Print-Job, Send-Document or Validate-Job whose document-format
// the client's printer does not list with client-error-document-format-
// not-supported, and returns true; false leaves the request to PAPPL.
bool RefuseUnlistedFormat(pappl_client_t* client);

#endif  // NETBACKEND_APP_FORMAT_CHECK_H_
