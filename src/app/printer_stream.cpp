#include "printer_stream.h"

#include <poll.h>

#include <chrono>

namespace {

const int kBufferBytes = 64 * 1024;

typedef std::chrono::steady_clock Clock;

int MillisecondsLeft(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

}  // namespace

PrinterStream::PrinterStream(std::unique_ptr<Connector> connection, int stallSeconds,
                             int closeSeconds)
    : connection_(std::move(connection)),
      buffer_(kBufferBytes),
      stallSeconds_(stallSeconds),
      closeSeconds_(closeSeconds) {}

PrinterStream::~PrinterStream() {
  if (connection_) connection_->Disconnect();
}

bool PrinterStream::Await(bool forWrite, int milliseconds, bool& ready) {
  ready = false;
  int events = connection_->PollConnected(forWrite, milliseconds);
  if (events < 0) return false;
  if (events == 0) return true;
  if (events & (POLLERR | POLLNVAL)) return false;
  if (events & (POLLIN | POLLHUP)) {
    // Printers may answer on the print port (status, PJL echoes); what
    // they say is not needed, but unread bytes would make the close a reset
    // that drops the end of the job.
    buffer_.SetLength(0);
    int result = connection_->Receive(buffer_);
    if (result < 0) return connection_->IsConnected();
    if (buffer_.Length() == 0) {
      if (!forWrite) ready = true;  // the printer closed its side
      return !forWrite;
    }
    if (listener_)
      listener_(reinterpret_cast<const char*>(buffer_.Data()),
                static_cast<size_t>(buffer_.Length()));
  }
  if (forWrite && (events & POLLOUT)) ready = true;
  return true;
}

bool PrinterStream::Write(const void* data, size_t size) {
  const unsigned char* bytes = static_cast<const unsigned char*>(data);
  Clock::time_point deadline = Clock::now() + std::chrono::seconds(stallSeconds_);
  size_t done = 0;
  while (done < size) {
    if (!IsOpen()) return false;
    size_t chunk = size - done < static_cast<size_t>(kBufferBytes) ? size - done : kBufferBytes;
    buffer_.Assign(bytes + done, static_cast<int>(chunk));
    int sent = connection_->Send(buffer_);
    if (sent > 0) {
      done += static_cast<size_t>(sent);
      deadline = Clock::now() + std::chrono::seconds(stallSeconds_);
      continue;
    }
    if (!connection_->IsConnected()) return false;
    if (holding_ && holding_()) deadline = Clock::now() + std::chrono::seconds(stallSeconds_);
    int left = MillisecondsLeft(deadline);
    bool ready = false;
    if (left == 0 || !Await(true, left, ready)) {
      connection_->Disconnect();
      return false;
    }
  }
  return true;
}

bool PrinterStream::Finish() {
  if (!IsOpen()) return false;
  connection_->ShutdownWrite();
  Clock::time_point deadline = Clock::now() + std::chrono::seconds(closeSeconds_);
  bool closed = false, ok = true;
  while (!closed && IsOpen()) {
    int left = MillisecondsLeft(deadline);
    if (left == 0) break;
    if (!Await(false, left, closed)) {
      ok = false;
      break;
    }
  }
  // A printer that keeps its side open past the close time has the job
  // all the same once its side has acknowledged every byte.
  ok = ok && IsOpen() && (closed || connection_->UnacknowledgedBytes() == 0);
  connection_->Disconnect();
  return ok;
}

void PrinterStream::Listen(std::function<void(const char*, size_t)> listener,
                           std::function<bool()> holding) {
  listener_ = std::move(listener);
  holding_ = std::move(holding);
}

bool PrinterStream::Await(int milliseconds, const std::function<bool()>& done) {
  Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
  while (!done()) {
    int left = MillisecondsLeft(deadline);
    bool closed = false;
    if (left == 0 || !IsOpen()) return false;
    if (!Await(false, left, closed) || closed) return done();
  }
  return true;
}
