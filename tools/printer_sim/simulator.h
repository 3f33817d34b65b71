// The simulator's run: the mDNS socket that answers the host-config query on
// each printer's schedule (or floods and sprays, for the hostile tests), the
// raw socket that sprays from a forged source, and the raw print listener
// that stores each job in a file, reads it as fast as the printer prints and
// answers PJL on it (pjl.h). main.cpp fills the Options from the command
// line.
#ifndef PRINTER_SIM_SIMULATOR_H_
#define PRINTER_SIM_SIMULATOR_H_

#include <netinet/in.h>
#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <queue>
#include <string>
#include <vector>

#include "message.h"
#include "pjl.h"

// Owns one descriptor.
class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() { Reset(); }
  Fd(Fd&& other) noexcept : fd_(other.Release()) {}
  Fd& operator=(Fd&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;

  int Get() const { return fd_; }
  bool Valid() const { return fd_ >= 0; }
  int Release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void Reset(int fd = -1);

 private:
  int fd_;
};

// What the command line asks for; main.cpp documents each option.
struct Options {
  std::string jobsDir;                // empty: no print listener
  std::string readyFile;              // empty: none
  std::vector<const JunkKind*> junk;  // sent in this order before the replies
  std::vector<Printer> printers;
  bool mdns = true;
  bool quiet = false;
  int floodRate = 0;  // datagrams a second; 0: no flood
  int floodSeconds = 20;
  sockaddr_in sprayTo{};  // the first port of the spray
  int sprayLastPort = 0;  // 0: no spray
  bool spoof = false;     // the spray leaves the raw socket from spoofSource
  in_addr spoofSource{};
  int readBytesPerSecond = 0;  // per print connection; 0: as fast as it comes
  bool pjl = false;            // answer PJL on the print connections
  std::string pjlStatusFile;   // empty: the printer stays ready
  PjlStyle pjlStyle;
};

class Simulator {
 public:
  explicit Simulator(Options options);

  // Binds, writes the ready file and serves until `signalFd` is readable;
  // then stores the jobs whose peers have closed. Returns the exit status:
  // 0, or 1 for a setup failure (reported on stderr).
  int Run(int signalFd);

 private:
  using Clock = std::chrono::steady_clock;

  // One reply (or one repeat of it) waiting for its time.
  struct PendingSend {
    Clock::time_point when;
    uint64_t seq;  // keeps equal times in the order they were queued
    size_t printer;
    int nth;
    sockaddr_in to;
    bool operator>(const PendingSend& o) const {
      return when != o.when ? when > o.when : seq > o.seq;
    }
  };

  // One print connection being stored.
  struct Job {
    Fd sock;
    Fd file;
    std::string part;
    std::string finalPath;
    std::string peer;
    size_t bytes = 0;
    // With --read-bytes-per-second: what may still be read before the
    // connection waits, and whether it waits for a full slice.
    double budget = 0;
    Clock::time_point refilled;
    bool refilling = false;
    std::optional<PjlScanner> pjl;  // with --pjl
    std::string answers;            // not yet taken by the peer
    bool answersLost = false;       // the peer takes no more; later answers are dropped
  };

  // What tells a rewritten status file from the one read last.
  struct FileStamp {
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = -1;
    int64_t mtimeSec = 0;
    long mtimeNsec = 0;
    bool operator==(const FileStamp& o) const {
      return dev == o.dev && ino == o.ino && size == o.size && mtimeSec == o.mtimeSec &&
             mtimeNsec == o.mtimeNsec;
    }
  };

  int TimeoutMs() const;
  double SliceBytes() const;
  void Refill(Job& j, Clock::time_point now) const;
  Clock::time_point RefillDone(const Job& j) const;
  bool MayRead(const Job& j) const;
  static bool StampOf(const std::string& path, FileStamp* out);
  bool ReadStatusFile(PjlStatus* out) const;
  void WatchStatusFile();
  void SendAnswers(Job& j);
  void Flood();
  void Spray();
  void ReceiveDatagrams();
  void SendDue();
  bool SprayRaw(size_t printer, const sockaddr_in& to);
  void Send(const std::vector<uint8_t>& msg, const sockaddr_in& to, const in_addr* src, int ttl,
            const std::string& what);
  void AcceptJobs();
  bool ReadJob(Job& j, bool finalRound);
  bool StoreJob(Job& j);
  bool DropJob(Job& j, const char* why);
  void Shutdown();

  Options opt_;
  // Big enough for any UDP datagram, so each is read whole and only the
  // bytes received are ever compared.
  std::vector<uint8_t> rx_ = std::vector<uint8_t>(65536);
  std::vector<std::vector<uint8_t>> replies_;  // per printer
  std::vector<std::vector<uint8_t>> junk_;     // per entry of opt_.junk
  Fd udp_;
  Fd raw_;  // only with opt_.spoof
  Fd listener_;
  std::vector<Job> jobs_;
  std::map<std::string, int> jobCount_;  // per local address, for the file names
  std::priority_queue<PendingSend, std::vector<PendingSend>, std::greater<PendingSend>> pending_;
  uint64_t nextSeq_ = 0;
  std::vector<int> queriesSeen_;  // per printer, for --ignore
  bool flooding_ = false;
  sockaddr_in floodTo_{};
  Clock::time_point floodNext_;
  Clock::time_point floodEnd_;
  uint64_t floodSent_ = 0;
  Clock::time_point nextSpray_;
  uint64_t sprayRounds_ = 0;
  bool sprayFailureLogged_ = false;
  PjlStatus status_;
  FileStamp statusStamp_;
  Clock::time_point nextStatusCheck_;
  bool statusFileGone_ = false;  // logged once until it is back
};

#endif  // PRINTER_SIM_SIMULATOR_H_
