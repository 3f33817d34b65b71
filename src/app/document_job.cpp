#include "document_job.h"

#include <errno.h>
#include <unistd.h>

#include <algorithm>

namespace {

const size_t kChunkBytes = 64 * 1024;

bool WriteAll(int fd, const unsigned char* data, size_t size) {
  while (size > 0) {
    ssize_t n = write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

DocumentJob::DocumentJob(PclSink device, std::function<void()> pagePrinted, unsigned resolution,
                         int spoolFd)
    : device_(std::move(device)),
      pagePrinted_(std::move(pagePrinted)),
      resolution_(resolution),
      spoolFd_(spoolFd),
      writer_([this](const unsigned char* data, size_t size) {
        held_.insert(held_.end(), data, data + size);
        return true;
      }) {}

bool DocumentJob::Deliver() {
  if (!failed_ && !held_.empty()) {
    failed_ = !device_(held_.data(), held_.size()) ||
              (spoolFd_ >= 0 && !WriteAll(spoolFd_, held_.data(), held_.size()));
    spooled_ += held_.size();
  }
  held_.clear();
  return !failed_;
}

bool DocumentJob::AddPage(const RenderedPage& page, std::string& error) {
  if (failed_) {
    error = "The job failed on an earlier page";
    return false;
  }
  const PclPage pcl = {page.width,
                       page.height,
                       resolution_,
                       1,
                       page.width * 72.0 / resolution_,
                       page.height * 72.0 / resolution_};
  if (!writer_.StartPage(pcl, error)) return false;
  bool written = true;
  for (unsigned y = 0; y < page.height && written; ++y)
    written = writer_.WriteLine(y, page.Row(y), page.bytesPerRow);
  if (!written || !writer_.EndPage() || !Deliver()) {
    error = "The page could not be sent to the printer";
    return false;
  }
  pageEnds_.push_back(spooled_);
  pagePrinted_();
  return true;
}

bool DocumentJob::Finish() { return writer_.EndJob() && Deliver(); }

bool DocumentJob::Repeat(const std::function<bool()>& canceled) {
  if (failed_ || spoolFd_ < 0) return false;
  std::vector<unsigned char> chunk(kChunkBytes);
  unsigned long long at = 0;
  size_t page = 0;
  while (at < spooled_) {
    if (canceled()) return true;
    // A chunk never crosses a page's end, so that the page is counted as
    // soon as its last byte has gone.
    unsigned long long stop = page < pageEnds_.size() ? pageEnds_[page] : spooled_;
    size_t want = static_cast<size_t>(std::min<unsigned long long>(chunk.size(), stop - at));
    ssize_t n = pread(spoolFd_, chunk.data(), want, static_cast<off_t>(at));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0 || !device_(chunk.data(), static_cast<size_t>(n))) {
      failed_ = true;
      return false;
    }
    at += static_cast<unsigned long long>(n);
    if (page < pageEnds_.size() && at == pageEnds_[page]) {
      ++page;
      pagePrinted_();
    }
  }
  return true;
}
