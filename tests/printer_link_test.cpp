// The connection broker and the stream to the printer, against print
// ports on loopback and a search that the test answers when it chooses:
// a device open never waits for a search, one search runs per printer, and
// a job's bytes arrive whole.
#include "printer_cache.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "printer_stream.h"
#include "test_util.h"

namespace {

const char kUri[] = "tamo://80C4A2E691D5";
const char kLoopback[] = "127.0.0.1";

// A print port on loopback: listens, accepts when asked.
class PrintPort {
 public:
  PrintPort() : fd_(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof(address);
    ok_ = bind(fd_.get(), reinterpret_cast<sockaddr*>(&address), size) == 0 &&
          listen(fd_.get(), 4) == 0 &&
          getsockname(fd_.get(), reinterpret_cast<sockaddr*>(&address), &size) == 0;
    port_ = ntohs(address.sin_port);
  }
  bool ok() const { return ok_; }
  int port() const { return port_; }
  int Accept() { return accept(fd_.get(), nullptr, nullptr); }

 private:
  Fd fd_;
  bool ok_ = false;
  int port_ = 0;
};

// A search that finds `address` once released, counting its runs.
class HeldSearch {
 public:
  explicit HeldSearch(std::string address) : address_(std::move(address)) {}
  PrinterSearch Function() {
    return [this](const std::string&, const std::string&) {
      ++runs_;
      std::unique_lock<std::mutex> lock(mutex_);
      released_.wait(lock, [this] { return open_; });
      JobPrinterSearch search;
      search.sent = 1;
      search.address = address_;
      return search;
    };
  }
  void Release() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      open_ = true;
    }
    released_.notify_all();
  }
  int runs() const { return runs_; }

 private:
  std::string address_;
  std::atomic<int> runs_{0};
  std::mutex mutex_;
  std::condition_variable released_;
  bool open_ = false;
};

const std::chrono::milliseconds kShort(100);
const std::chrono::milliseconds kLong(5000);

}  // namespace

TEST(PrinterConnections, KnownAddressConnectsWithoutSearching) {
  PrintPort port;
  ASSERT_TRUE(port.ok());
  AddressBook book;
  book.Remember(kUri, kLoopback);
  HeldSearch search(kLoopback);
  PrinterConnections connections(book, search.Function(), port.port());
  std::string message;
  std::unique_ptr<Connector> connection = connections.Open(kUri, kLong, message);
  ASSERT_NE(connection, nullptr) << message;
  EXPECT_TRUE(connection->IsConnected());
  EXPECT_EQ(search.runs(), 0);
  EXPECT_FALSE(connections.State(kUri).waiting);
}

TEST(PrinterConnections, OpenFailsWhileTheSearchRunsAndTakesItsConnectionLater) {
  PrintPort port;
  ASSERT_TRUE(port.ok());
  AddressBook book;
  HeldSearch search(kLoopback);
  {
    PrinterConnections connections(book, search.Function(), port.port());
    std::string message;
    // Two opens while the search is held: neither waits for it, and the
    // second does not start another.
    EXPECT_EQ(connections.Open(kUri, kShort, message), nullptr);
    EXPECT_NE(message.find("80C4A2E691D5"), std::string::npos) << message;
    EXPECT_EQ(connections.Open(kUri, kShort, message), nullptr);
    EXPECT_EQ(search.runs(), 1);
    EXPECT_TRUE(connections.State(kUri).waiting);
    search.Release();
    std::unique_ptr<Connector> connection = connections.Open(kUri, kLong, message);
    ASSERT_NE(connection, nullptr) << message;
    EXPECT_FALSE(connections.State(kUri).waiting);
  }
  // What the search found is where the next job goes first.
  EXPECT_EQ(book.Lookup(kUri), kLoopback);
}

TEST(PrinterConnections, AMovedPrinterIsSearchedForAndAnUnknownUriRefused) {
  PrintPort port;
  ASSERT_TRUE(port.ok());
  AddressBook book;
  // Nothing listens on 127.0.0.2's print port: the old address refuses.
  book.Remember(kUri, "127.0.0.2");
  HeldSearch search(kLoopback);
  search.Release();
  PrinterConnections connections(book, search.Function(), port.port());
  std::string message;
  std::unique_ptr<Connector> connection = connections.Open(kUri, kLong, message);
  ASSERT_NE(connection, nullptr) << message;
  EXPECT_EQ(search.runs(), 1);
  EXPECT_EQ(book.Lookup(kUri), kLoopback);
  EXPECT_EQ(connections.Open("socket://127.0.0.1", kShort, message), nullptr);
  EXPECT_EQ(search.runs(), 1);
}

TEST(PrinterStream, BytesArriveWholeAndADeadPrinterFailsTheWrite) {
  PrintPort port;
  ASSERT_TRUE(port.ok());
  std::unique_ptr<Connector> connector(new Connector());
  ASSERT_EQ(connector->Connect(kLoopback, port.port()), 0);
  Fd printer(port.Accept());
  ASSERT_GE(printer.get(), 0);
  PrinterStream stream(std::move(connector), 1, 5);
  // More than the socket buffers hold: the writes must wait for the reader.
  Bytes job = Pattern(4 << 20, 3);
  Bytes received;
  std::thread reader([&] {
    unsigned char buffer[65536];
    ssize_t n;
    while ((n = read(printer.get(), buffer, sizeof(buffer))) > 0)
      received.insert(received.end(), buffer, buffer + n);
    printer.Reset(-1);  // closes once the job has ended: Finish sees it
  });
  EXPECT_TRUE(stream.Write(job.data(), job.size()));
  EXPECT_TRUE(stream.Finish());
  reader.join();
  EXPECT_TRUE(received == job);

  // A printer that stops reading fails the write after the stall time.
  std::unique_ptr<Connector> stalled(new Connector());
  ASSERT_EQ(stalled->Connect(kLoopback, port.port()), 0);
  Fd silent(port.Accept());
  PrinterStream stuck(std::move(stalled), 1, 1);
  EXPECT_FALSE(stuck.Write(job.data(), job.size()));
  EXPECT_FALSE(stuck.IsOpen());
}
