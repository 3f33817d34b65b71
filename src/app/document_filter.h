// PDF and PostScript for the printer application's printers: the PAPPL
// filter that renders such a document with Ghostscript (ghostscript.h) and
// prints its pages as PCL 5 raster, honouring the job's page ranges,
// copies, sheet, resolution and orientation, and counting each page as it
// leaves. main.cpp registers it in the system callback.
#ifndef NETBACKEND_APP_DOCUMENT_FILTER_H_
#define NETBACKEND_APP_DOCUMENT_FILTER_H_

#include <pappl/pappl.h>

// The document formats the filter takes.
extern const char kPdfFormat[];
extern const char kPostScriptFormat[];

// Registers the filter for PDF and PostScript, and for documents sent
// without a format (application/octet-stream), which it reads to know. PAPPL reads filters only
// before the system runs: call this from the system callback.
void RegisterDocumentFilters(pappl_system_t* system);

#endif  // NETBACKEND_APP_DOCUMENT_FILTER_H_
