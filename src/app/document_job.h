// The rendered pages of a PDF or PostScript job on their way to the
// printer: each page encoded by the PCL writer and handed to the device
// whole, counted as it leaves, and kept in a file when more copies follow,
// which are then sent from there page by page. No PAPPL here: the document
// filter (document_filter.h) gives it the device and the counter.
#ifndef NETBACKEND_APP_DOCUMENT_JOB_H_
#define NETBACKEND_APP_DOCUMENT_JOB_H_

#include <functional>
#include <string>
#include <vector>

#include "pcl_writer.h"
#include "rendered_page.h"

class DocumentJob {
 public:
  // `device` takes the job's bytes; `pagePrinted` is called once a page's
  // last byte has gone to it. `spoolFd`, an empty file open for reading
  // and writing and owned by the caller, keeps the job for Repeat; -1 when
  // one copy is all.
  DocumentJob(PclSink device, std::function<void()> pagePrinted, unsigned resolution, int spoolFd);
  DocumentJob(const DocumentJob&) = delete;
  DocumentJob& operator=(const DocumentJob&) = delete;

  // Prints `page` (pixels at the resolution given). False with `error` when
  // the writer refuses it or the device or the spool file fails.
  bool AddPage(const RenderedPage& page, std::string& error);
  // Ends the job (the printer's reset). False when the device failed.
  bool Finish();
  // Sends the finished job again from the spool file, page by page, while
  // `canceled` says no. False when reading or the device failed.
  // Requires: Finish succeeded, and a spool file was given.
  bool Repeat(const std::function<bool()>& canceled);

  unsigned Pages() const { return static_cast<unsigned>(pageEnds_.size()); }

 private:
  // Hands what the writer produced to the device (and the spool file).
  bool Deliver();

  PclSink device_;
  std::function<void()> pagePrinted_;
  unsigned resolution_;
  int spoolFd_;
  std::vector<unsigned char> held_;  // the writer's bytes not yet delivered
  PclWriter writer_;
  unsigned long long spooled_ = 0;
  std::vector<unsigned long long> pageEnds_;  // spool offsets where pages end
  bool failed_ = false;
};

#endif  // NETBACKEND_APP_DOCUMENT_JOB_H_
