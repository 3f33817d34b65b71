// A job's bytes on their way to the printer's print port: writes through
// the Connector's non-blocking stream socket that wait, within a bound, for
// the printer to take more, and the end of a job, which waits for the
// printer to have read everything before the connection is closed. No
// PAPPL here: the device callbacks hand over to it.
#ifndef NETBACKEND_APP_PRINTER_STREAM_H_
#define NETBACKEND_APP_PRINTER_STREAM_H_

#include <cstddef>
#include <functional>
#include <memory>

#include "connector.h"
#include "data_buffer.h"

class PrinterStream {
 public:
  // A printer that takes no byte for this long is taken for dead: TCP alone
  // would retry for a quarter of an hour. A printer out of paper stops
  // reading too, for about as long as someone takes to notice.
  static const int kDefaultStallSeconds = 120;
  // How long the end of a job waits for the printer to close its side.
  static const int kDefaultCloseSeconds = 10;

  // Requires: `connection` is connected.
  explicit PrinterStream(std::unique_ptr<Connector> connection,
                         int stallSeconds = kDefaultStallSeconds,
                         int closeSeconds = kDefaultCloseSeconds);
  // Closes the connection at once if Finish has not.
  ~PrinterStream();
  PrinterStream(const PrinterStream&) = delete;
  PrinterStream& operator=(const PrinterStream&) = delete;

  // Sends all `size` bytes. False when the printer closed or reset the
  // connection, or took nothing for the stall time; the stream is closed
  // then and later writes fail.
  bool Write(const void* data, size_t size);
  // Ends the job: no more bytes, then waits up to the close time for the
  // printer to close its side (it has read everything then), and closes.
  // False when the printer reset the connection instead, or kept it open
  // without acknowledging every byte: then it did not take the whole job.
  bool Finish();

  bool IsOpen() const { return connection_ && connection_->IsConnected(); }

  // What the printer says on the connection goes to `listener` (else it is
  // read and dropped: unread bytes would turn the close into a reset). While
  // `holding` says true (the printer reports a condition that stops it),
  // a write waits on without the stall time.
  void Listen(std::function<void(const char*, size_t)> listener, std::function<bool()> holding);

  // Reads what the printer says for up to `milliseconds`, until `done` says
  // true (true then). False when the time ran out or the printer closed the
  // connection; the stream stays open in the first case.
  bool Await(int milliseconds, const std::function<bool()>& done);

 private:
  // Waits up to `milliseconds` for the socket to become writable (or, with
  // `forWrite` false, readable), reading and dropping whatever the printer
  // sends meanwhile. False when the printer closed or reset the connection.
  bool Await(bool forWrite, int milliseconds, bool& ready);

  std::unique_ptr<Connector> connection_;
  DataBuffer buffer_;
  int stallSeconds_;
  int closeSeconds_;
  std::function<void(const char*, size_t)> listener_;
  std::function<bool()> holding_;
};

#endif  // NETBACKEND_APP_PRINTER_STREAM_H_
