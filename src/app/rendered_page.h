// The pages Ghostscript renders for the printer application, read from its
// output: a stream of binary PBM images (1 bit a pixel, 1 = black), one per
// page, whose every byte came from a document a stranger sent and is
// checked as such. Also places a page on its sheet and turns it, for
// the orientations a job asks for. The document renderer (ghostscript.h) uses both.
// Threads: a PbmStream serves one thread at a time; Placed is safe from any.
#ifndef NETBACKEND_APP_RENDERED_PAGE_H_
#define NETBACKEND_APP_RENDERED_PAGE_H_

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

struct RenderedPage {
  unsigned width = 0;   // pixels
  unsigned height = 0;  // rows
  size_t bytesPerRow = 0;
  // height rows of bytesPerRow bytes, most significant bit first; the bits
  // past the width are 0.
  std::vector<unsigned char> bits;

  const unsigned char* Row(unsigned y) const { return bits.data() + y * bytesPerRow; }
};

// Reads a stream of "P4" images fed in pieces of any size, and hands over
// each page once every byte of it has come: a page cut short never leaves.
class PbmStream {
 public:
  // The callback receives each whole page, which it may change (the stream
  // is done with it); false from it stops the stream.
  typedef std::function<bool(RenderedPage& page)> PageCallback;

  // Pages wider or taller than `maxPixels` are refused: they could never
  // be printed, and they would make the stream hold any amount of memory.
  PbmStream(unsigned maxPixels, PageCallback onPage);

  // Takes the next `size` bytes. False when they are not a PBM stream (with
  // Error() saying what is wrong) or when the callback asked to stop.
  bool Feed(const unsigned char* data, size_t size);

  // True when the bytes so far end at a page boundary.
  bool Complete() const { return state_ == State::kHeader && headerUsed_ == 0; }
  const std::string& Error() const { return error_; }

 private:
  enum class State { kHeader, kRows, kFailed };
  bool Fail(const std::string& what);
  // Reads the header's bytes; returns the number used, 0 when it needs more
  // (all were used), or sets the state to kRows or kFailed.
  size_t Header(const unsigned char* data, size_t size);

  unsigned maxPixels_;
  PageCallback onPage_;
  State state_ = State::kHeader;
  std::string error_;
  // The header so far: its bytes, the tokens ended (magic, width, height),
  // the one being read, and whether a comment runs.
  size_t headerUsed_ = 0;
  int tokens_ = 0;
  std::string token_;
  bool inComment_ = false;
  RenderedPage page_;
  size_t filled_ = 0;  // bytes of page_.bits received
};

// `page` centred on a sheet of `width` x `height` pixels (what overhangs it
// cut off), then the sheet turned `quarters` quarter turns counter-clockwise
// (0 to 3): a sheet turned an odd number of times is `height` pixels wide.
RenderedPage Placed(const RenderedPage& page, unsigned width, unsigned height, int quarters);

#endif  // NETBACKEND_APP_RENDERED_PAGE_H_
