#include "raster_page.h"

bool PageFromHeader(const RasterHeader& header, PclPage& page, std::string& error) {
  if (header.colorSpace != kColorSpaceSW && header.colorSpace != kColorSpaceW) {
    error = "The raster's color space (" + std::to_string(header.colorSpace) +
            ") is not 8-bit gray, the only one this printer takes";
    return false;
  }
  if (header.bitsPerColor != 8 || header.bitsPerPixel != 8 || header.numColors > 1) {
    error = "The raster has " + std::to_string(header.bitsPerPixel) +
            " bits a pixel; this printer takes 8-bit gray";
    return false;
  }
  // The writer checks the values it takes; a page whose two resolutions
  // differ would come out stretched.
  if (header.resolution[0] != header.resolution[1]) {
    error = "The raster's resolution " + std::to_string(header.resolution[0]) + "x" +
            std::to_string(header.resolution[1]) + " dpi is not one this printer takes";
    return false;
  }
  // The lines handed to the writer are bytesPerLine long; the writer reads
  // width bytes of each.
  if (header.bytesPerLine != header.width) {
    error = "The raster's line length does not match its width";
    return false;
  }
  page.width = header.width;
  page.height = header.height;
  page.resolution = header.resolution[0];
  page.bitsPerPixel = header.bitsPerPixel;
  page.widthPoints = header.pageSize[0];
  page.heightPoints = header.pageSize[1];
  return true;
}

bool SameLines(const RasterHeader& a, const RasterHeader& b) {
  return a.width == b.width && a.height == b.height && a.bitsPerColor == b.bitsPerColor &&
         a.bitsPerPixel == b.bitsPerPixel && a.bytesPerLine == b.bytesPerLine &&
         a.colorSpace == b.colorSpace && a.resolution[0] == b.resolution[0] &&
         a.resolution[1] == b.resolution[1];
}

RasterJob::RasterJob(PclSink device)
    : device_(std::move(device)), writer_([this](const unsigned char* data, size_t size) {
        held_.insert(held_.end(), data, data + size);
        return true;
      }) {}

bool RasterJob::Deliver() {
  bool ok = held_.empty() || device_(held_.data(), held_.size());
  held_.clear();
  return ok;
}

bool RasterJob::EndJob() {
  bool ended = writer_.EndJob();
  // A job that failed ends with nothing more sent: ending it would eject
  // the page it failed on.
  if (failed_) {
    held_.clear();
    return false;
  }
  return ended && Deliver();
}

bool RasterJob::StartPage(const RasterHeader& header, const RasterHeader& sent,
                          std::string& error) {
  PclPage page;
  if (failed_) {
    error = "The job failed on an earlier page";
    return false;
  }
  if (!SameLines(header, sent)) {
    // What came is not what the lines are said to be; check the raster as
    // sent for the reason to give.
    if (PageFromHeader(sent, page, error))
      error = "The raster's pages are not in a form this printer takes";
    failed_ = true;
    return false;
  }
  if (!PageFromHeader(header, page, error) || !writer_.StartPage(page, error)) {
    failed_ = true;
    return false;
  }
  header_ = header;
  lines_ = 0;
  return true;
}

bool RasterJob::WriteLine(unsigned y, const unsigned char* line) {
  if (failed_ || !writer_.WriteLine(y, line, header_.bytesPerLine)) {
    failed_ = true;
    return false;
  }
  if (y < header_.height) ++lines_;
  return true;
}

bool RasterJob::EndPage(std::string& error) {
  if (!failed_ && lines_ != header_.height) {
    error = "The raster ended after " + std::to_string(lines_) + " of the page's " +
            std::to_string(header_.height) + " lines";
    failed_ = true;
  } else if (failed_ || !writer_.EndPage() || !Deliver()) {
    error = "The page could not be sent to the printer";
    failed_ = true;
  }
  return !failed_;
}
