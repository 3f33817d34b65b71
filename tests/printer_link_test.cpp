// The job's way to its printer and the stream there, against print ports
// on loopback and searches that the test scripts: a job goes only to the
// address its own search found, waits while the printer is away, and its
// bytes arrive whole.
#include "printer_link.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <thread>
#include <vector>

#include "printer_stream.h"
#include "test_util.h"

namespace {

const char kUri[] = "tamo://80C4A2E691D5";
const char kLoopback[] = "127.0.0.1";

// A print port on a loopback address: listens, accepts when asked.
class PrintPort {
 public:
  // A `receiveBuffer` set before listening is what the accepted
  // connections get: a printer that takes little at a time.
  explicit PrintPort(const char* address = kLoopback, int port = 0, int receiveBuffer = 0)
      : fd_(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0)) {
    if (receiveBuffer > 0)
      setsockopt(fd_.get(), SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    sockaddr_in where = {};
    where.sin_family = AF_INET;
    where.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, address, &where.sin_addr);
    socklen_t size = sizeof(where);
    ok_ = bind(fd_.get(), reinterpret_cast<sockaddr*>(&where), size) == 0 &&
          listen(fd_.get(), 4) == 0 &&
          getsockname(fd_.get(), reinterpret_cast<sockaddr*>(&where), &size) == 0;
    port_ = ntohs(where.sin_port);
  }
  bool ok() const { return ok_; }
  int port() const { return port_; }
  // -1 when no connection came.
  int Accept() {
    for (int i = 0; i < 50; ++i) {
      int fd = accept(fd_.get(), nullptr, nullptr);
      if (fd >= 0) return fd;
      usleep(20000);
    }
    return -1;
  }

 private:
  Fd fd_;
  bool ok_ = false;
  int port_ = 0;
};

// A search that answers from a script, one entry a run ("" for a printer
// that did not answer), then the last entry for ever.
struct ScriptedSearch {
  std::vector<std::string> answers;
  int runs = 0;
  PrinterSearch Function() {
    return [this](const std::string&, const std::string& mac, const StopCheck&) {
      EXPECT_EQ(mac, "80C4A2E691D5");
      JobPrinterSearch search;
      search.sent = 1;
      search.address = answers[std::min<size_t>(static_cast<size_t>(runs++), answers.size() - 1)];
      return search;
    };
  }
};

std::vector<std::string> gTold;
void Tell(const std::string& why) { gTold.push_back(why); }

}  // namespace

// The printer left 127.0.0.2 for 127.0.0.1 and another device took its
// old address and print port: the job goes where this job's search found
// the printer, never to the address it was seen at before.
TEST(PrinterLinks, TheJobGoesWhereItsOwnSearchFoundThePrinter) {
  PrintPort printer;
  ASSERT_TRUE(printer.ok());
  PrintPort stranger("127.0.0.2", printer.port());
  ASSERT_TRUE(stranger.ok());
  AddressBook book;
  book.Remember(kUri, "127.0.0.2");
  ScriptedSearch search{{kLoopback}};
  PrinterLinks links(book, search.Function(), printer.port(), 0);
  gTold.clear();
  std::unique_ptr<Connector> connection = links.Connect(
      kUri, [] { return false; }, Tell);
  ASSERT_NE(connection, nullptr);
  EXPECT_EQ(connection->PeerAddress(), kLoopback);
  Fd accepted(printer.Accept());
  EXPECT_GE(accepted.get(), 0);
  Fd wrong(stranger.Accept());
  EXPECT_LT(wrong.get(), 0) << "a connection reached the device at the old address";
  EXPECT_EQ(book.Lookup(kUri), kLoopback);
  EXPECT_EQ(gTold.size(), 1u);
}

// Away twice, then back: the job waits, says why once (not at every
// retry), shows the printer waited for, and connects when it answers.
TEST(PrinterLinks, AJobWaitsForItsPrinterAndSaysWhy) {
  PrintPort printer;
  ASSERT_TRUE(printer.ok());
  AddressBook book;
  ScriptedSearch search{{"", "", kLoopback}};
  PrinterLinks links(book, search.Function(), printer.port(), 0);
  gTold.clear();
  bool waitingSeen = false;
  std::unique_ptr<Connector> connection = links.Connect(
      kUri,
      [&] {
        waitingSeen = waitingSeen || links.State(kUri).waiting;
        return false;
      },
      Tell);
  ASSERT_NE(connection, nullptr);
  EXPECT_EQ(search.runs, 3);
  ASSERT_EQ(gTold.size(), 2u);
  EXPECT_NE(gTold[0].find("Looking for printer 80C4A2E691D5"), std::string::npos) << gTold[0];
  EXPECT_NE(gTold[1].find("80C4A2E691D5 does not answer"), std::string::npos) << gTold[1];
  EXPECT_TRUE(waitingSeen);
  EXPECT_FALSE(links.State(kUri).waiting);
}

// A job canceled while its printer is away stops waiting; a URI that names
// no printer of ours is refused without a search.
TEST(PrinterLinks, ACanceledJobStopsWaitingAndAStrangeUriIsRefused) {
  AddressBook book;
  ScriptedSearch search{{""}};
  PrinterLinks links(book, search.Function(), 9, 0);
  int asked = 0;
  gTold.clear();
  EXPECT_EQ(links.Connect(
                kUri, [&] { return ++asked > 3; }, Tell),
            nullptr);
  EXPECT_GE(search.runs, 1);
  EXPECT_TRUE(links.State(kUri).waiting);
  int runs = search.runs;
  EXPECT_EQ(links.Connect(
                "socket://127.0.0.1", [] { return false; }, Tell),
            nullptr);
  EXPECT_EQ(search.runs, runs);
  EXPECT_NE(gTold.back().find("names no printer"), std::string::npos) << gTold.back();
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

// The printer read every byte but keeps the connection open: the job is
// whole. A printer that read nothing at the end did not take the job.
TEST(PrinterStream, TheEndOfAJobIsWholeOnlyWhenThePrinterTookEveryByte) {
  PrintPort port;
  ASSERT_TRUE(port.ok());
  Bytes job = Pattern(64 << 10, 5);
  {
    std::unique_ptr<Connector> connector(new Connector());
    ASSERT_EQ(connector->Connect(kLoopback, port.port()), 0);
    Fd printer(port.Accept());
    ASSERT_GE(printer.get(), 0);
    PrinterStream stream(std::move(connector), 1, 1);
    std::thread reader([&] {
      unsigned char buffer[65536];
      size_t got = 0;
      while (got < job.size()) {
        ssize_t n = read(printer.get(), buffer, sizeof(buffer));
        if (n <= 0) break;
        got += static_cast<size_t>(n);
      }
    });
    EXPECT_TRUE(stream.Write(job.data(), job.size()));
    reader.join();
    EXPECT_TRUE(stream.Finish());
  }
  // A printer that reads nothing: what its small window cannot hold stays
  // unacknowledged on this side, and the end of the job says so.
  PrintPort deafPort(kLoopback, 0, 4096);
  ASSERT_TRUE(deafPort.ok());
  std::unique_ptr<Connector> connector(new Connector());
  ASSERT_EQ(connector->Connect(kLoopback, deafPort.port()), 0);
  Fd deaf(deafPort.Accept());
  ASSERT_GE(deaf.get(), 0);
  PrinterStream stream(std::move(connector), 1, 1);
  ASSERT_TRUE(stream.Write(job.data(), job.size()));
  EXPECT_FALSE(stream.Finish());
}
