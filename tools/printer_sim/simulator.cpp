// The simulator's sockets and event loop: answers, floods and sprays on the
// mDNS socket (sprays from a forged source on a raw socket), and print jobs
// on TCP 9100 stored so that a reader never sees half a job, read at the
// printer's pace and answered in PJL. See simulator.h.
#include "simulator.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "log.h"

namespace {

const uint16_t kMdnsPort = 5353;
const size_t kMaxPendingSends = 4096;  // bounds the timer queue under a query flood
const size_t kMaxJobs = 64;            // concurrent print connections
// The receive buffer of a slow printer's connections: small, so that only
// a few kilobytes wait on the printer's side and the sender's own buffer
// fills at the pace the printer reads.
const int kSlowReceiveBuffer = 4096;
// A slow printer reads a tenth of a second's worth at a time: few enough
// wake-ups, and a rate that is even at the scale a test measures.
const double kSliceSeconds = 0.1;
// How often the status file is looked at: often enough that a test's
// change of condition reaches the peer within a fraction of a second.
const auto kStatusCheckInterval = std::chrono::milliseconds(100);
// Answers a peer does not take hold up the reading of its connection from
// this much on, as a printer's full output buffer would; what one read can
// add beyond it stays bounded by the smaller reads of a PJL connection.
const size_t kMaxAnswerBacklog = 65536;
const size_t kPjlReadBytes = 4096;
// What Linux gives a datagram unless told otherwise; the raw socket's
// headers are ours to fill, so a sprayed reply without --ttl gets it too.
const int kDefaultTtl = 64;

std::string AddrText(const sockaddr_in& a) {
  char ip[INET_ADDRSTRLEN] = "?";
  inet_ntop(AF_INET, &a.sin_addr, ip, sizeof ip);
  return std::string(ip) + ":" + std::to_string(ntohs(a.sin_port));
}

std::string IpText(in_addr a) {
  char ip[INET_ADDRSTRLEN] = "?";
  inet_ntop(AF_INET, &a, ip, sizeof ip);
  return ip;
}

bool SetNonBlocking(int fd) {
  int flags = fcntl(fd, F_GETFL, 0);
  return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

// A socket of `type` with address reuse, bound to 0.0.0.0:`port`; invalid
// (with a message) when that fails.
Fd BoundSocket(int type, uint16_t port) {
  Fd s(socket(AF_INET, type | SOCK_CLOEXEC, 0));
  if (!s.Valid()) {
    Error("socket: %s", std::strerror(errno));
    return Fd();
  }
  int one = 1;
  setsockopt(s.Get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  if (bind(s.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    Error("bind %s 0.0.0.0:%u: %s", type == SOCK_DGRAM ? "UDP" : "TCP", port, std::strerror(errno));
    return Fd();
  }
  return s;
}

Fd OpenMdnsSocket() {
  Fd s = BoundSocket(SOCK_DGRAM, kMdnsPort);
  if (!s.Valid() || !SetNonBlocking(s.Get())) return Fd();

  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) {
    Error("getifaddrs: %s", std::strerror(errno));
    return Fd();
  }
  int joined = 0;
  for (ifaddrs* i = list; i != nullptr; i = i->ifa_next) {
    if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_INET) continue;
    if (i->ifa_flags & IFF_LOOPBACK) continue;
    ip_mreq m{};
    inet_pton(AF_INET, "224.0.0.251", &m.imr_multiaddr);
    m.imr_interface = reinterpret_cast<sockaddr_in*>(i->ifa_addr)->sin_addr;
    std::string where = std::string(i->ifa_name) + " " + IpText(m.imr_interface);
    if (setsockopt(s.Get(), IPPROTO_IP, IP_ADD_MEMBERSHIP, &m, sizeof m) == 0) {
      ++joined;
      Log("joined 224.0.0.251 on %s", where.c_str());
    } else if (errno == EADDRINUSE) {
      ++joined;  // a second address on an interface already in the group
    } else {
      Error("join 224.0.0.251 on %s: %s", where.c_str(), std::strerror(errno));
    }
  }
  freeifaddrs(list);
  if (joined == 0) {
    Error("no IPv4 interface besides loopback joined the group");
    return Fd();
  }
  return s;
}

// Sends `msg` on the UDP socket `fd` to `to`: from `src` when given
// (IP_PKTINFO), and with the time-to-live `ttl` when above 0 (IP_TTL). Both
// go with the datagram rather than on the socket, so that printers with
// different TTLs share it. Returns what sendmsg returns.
ssize_t SendUdp(int fd, const std::vector<uint8_t>& msg, const sockaddr_in& to, const in_addr* src,
                int ttl) {
  iovec iov{const_cast<uint8_t*>(msg.data()), msg.size()};
  msghdr mh{};
  mh.msg_name = const_cast<sockaddr_in*>(&to);
  mh.msg_namelen = sizeof to;
  mh.msg_iov = &iov;
  mh.msg_iovlen = 1;
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo)) + CMSG_SPACE(sizeof(int))] = {};
  mh.msg_control = control;
  mh.msg_controllen = sizeof control;  // CMSG_NXTHDR looks within this
  size_t used = 0;
  cmsghdr* c = CMSG_FIRSTHDR(&mh);
  if (src != nullptr) {
    c->cmsg_level = IPPROTO_IP;
    c->cmsg_type = IP_PKTINFO;
    c->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
    in_pktinfo info{};
    info.ipi_spec_dst = *src;
    std::memcpy(CMSG_DATA(c), &info, sizeof info);
    used += CMSG_SPACE(sizeof(in_pktinfo));
    c = CMSG_NXTHDR(&mh, c);
  }
  if (ttl > 0) {
    c->cmsg_level = IPPROTO_IP;
    c->cmsg_type = IP_TTL;
    c->cmsg_len = CMSG_LEN(sizeof(int));
    std::memcpy(CMSG_DATA(c), &ttl, sizeof ttl);
    used += CMSG_SPACE(sizeof(int));
  }
  mh.msg_controllen = used;
  if (used == 0) mh.msg_control = nullptr;
  return sendmsg(fd, &mh, 0);
}

// The print listener; a `receiveBuffer` above 0 is set before listen(), so
// that every accepted socket has it from its first segment on.
Fd OpenJobListener(int receiveBuffer) {
  Fd s = BoundSocket(SOCK_STREAM, kRawPrintPort);
  if (!s.Valid()) return Fd();
  if (receiveBuffer > 0 &&
      setsockopt(s.Get(), SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer) != 0) {
    Error("SO_RCVBUF %d: %s", receiveBuffer, std::strerror(errno));
    return Fd();
  }
  if (listen(s.Get(), 16) != 0 || !SetNonBlocking(s.Get())) {
    Error("listen TCP 0.0.0.0:%u: %s", kRawPrintPort, std::strerror(errno));
    return Fd();
  }
  return s;
}

// Written under another name and renamed, so that a test waiting for the
// file never reads it empty.
bool WriteReadyFile(const std::string& path) {
  std::string tmp = path + ".tmp";
  Fd f(open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (!f.Valid()) {
    Error("%s: %s", tmp.c_str(), std::strerror(errno));
    return false;
  }
  std::string pid = std::to_string(getpid()) + "\n";
  if (write(f.Get(), pid.data(), pid.size()) != static_cast<ssize_t>(pid.size()) ||
      rename(tmp.c_str(), path.c_str()) != 0) {
    Error("%s: %s", path.c_str(), std::strerror(errno));
    return false;
  }
  return true;
}

void LogStatus(const PjlStatus& s, bool wasStopped) {
  const char* what = "printing";
  if (StopsPrinting(s.code)) {
    what = "printing stops";
  } else if (wasStopped) {
    what = "printing goes on";
  }
  Log("status CODE=%s DISPLAY=\"%s\" ONLINE=%s: %s", s.code.c_str(), Escape(s.display).c_str(),
      s.online ? "TRUE" : "FALSE", what);
}

bool WriteAll(int fd, const char* p, size_t n) {
  while (n > 0) {
    ssize_t w = write(fd, p, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    p += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

}  // namespace

void Fd::Reset(int fd) {
  if (fd_ >= 0) close(fd_);
  fd_ = fd;
}

Simulator::Simulator(Options options) : opt_(std::move(options)) {
  for (const Printer& p : opt_.printers) replies_.push_back(BuildReply(p));
  for (const JunkKind* k : opt_.junk) junk_.push_back(BuildJunk(*k));
  queriesSeen_.assign(opt_.printers.size(), 0);
  nextSpray_ = Clock::now();
}

int Simulator::Run(int signalFd) {
  if (opt_.mdns) {
    udp_ = OpenMdnsSocket();
    if (!udp_.Valid()) return 1;
  }
  if (opt_.spoof) {
    // IPPROTO_RAW implies IP_HDRINCL: the source address is the one we write.
    raw_ = Fd(socket(AF_INET, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_RAW));
    if (!raw_.Valid()) {
      Error("raw socket for --spoof-source (needs CAP_NET_RAW): %s", std::strerror(errno));
      return 1;
    }
  }
  if (!opt_.jobsDir.empty()) {
    if (mkdir(opt_.jobsDir.c_str(), 0755) != 0 && errno != EEXIST) {
      Error("%s: %s", opt_.jobsDir.c_str(), std::strerror(errno));
      return 1;
    }
    listener_ = OpenJobListener(opt_.readBytesPerSecond > 0 ? kSlowReceiveBuffer : 0);
    if (!listener_.Valid()) return 1;
  }
  if (!opt_.pjlStatusFile.empty()) {
    if (!StampOf(opt_.pjlStatusFile, &statusStamp_)) {
      Error("%s: %s", opt_.pjlStatusFile.c_str(), std::strerror(errno));
      return 1;
    }
    if (!ReadStatusFile(&status_)) return 1;
    nextStatusCheck_ = Clock::now() + kStatusCheckInterval;
    LogStatus(status_, false);
  }
  if (!opt_.readyFile.empty() && !WriteReadyFile(opt_.readyFile)) return 1;
  Log("ready: %zu printer(s)%s", opt_.printers.size(),
      listener_.Valid() ? ", jobs on TCP 9100" : "");

  for (;;) {
    WatchStatusFile();
    Clock::time_point now = Clock::now();
    for (Job& j : jobs_) Refill(j, now);
    std::vector<pollfd> fds;
    fds.push_back({signalFd, POLLIN, 0});
    fds.push_back({udp_.Get(), POLLIN, 0});
    bool accepting = listener_.Valid() && jobs_.size() < kMaxJobs;
    fds.push_back({accepting ? listener_.Get() : -1, POLLIN, 0});
    // A job with nothing to do now is left out (fd -1), not polled without
    // events: a reset peer would wake an empty poll at once and for ever.
    for (const Job& j : jobs_) {
      short events =
          static_cast<short>((MayRead(j) ? POLLIN : 0) | (j.answers.empty() ? 0 : POLLOUT));
      fds.push_back({events != 0 ? j.sock.Get() : -1, events, 0});
    }

    int rc = poll(fds.data(), fds.size(), TimeoutMs());
    if (rc < 0 && errno != EINTR) {
      Error("poll: %s", std::strerror(errno));
      return 1;
    }
    if (rc > 0 && fds[0].revents != 0) break;
    if (rc > 0 && fds[1].revents != 0) ReceiveDatagrams();
    Flood();
    Spray();
    if (rc > 0 && fds[2].revents != 0) AcceptJobs();
    if (rc > 0) {
      // Jobs accepted just now sit past the polled ones and wait a round.
      std::vector<size_t> done;
      const short kWoken = POLLERR | POLLHUP;
      for (size_t i = 0; i + 3 < fds.size(); ++i) {
        const pollfd& f = fds[i + 3];
        if ((f.events & POLLOUT) && (f.revents & (POLLOUT | kWoken))) SendAnswers(jobs_[i]);
        if ((f.events & POLLIN) && (f.revents & (POLLIN | kWoken)) && ReadJob(jobs_[i], false))
          done.push_back(i);
      }
      for (size_t k = done.size(); k-- > 0;) jobs_.erase(jobs_.begin() + done[k]);
    }
    SendDue();
  }
  Shutdown();
  return 0;
}

int Simulator::TimeoutMs() const {
  bool have = !pending_.empty();
  Clock::time_point next = have ? pending_.top().when : Clock::time_point();
  if (flooding_ && (!have || floodNext_ < next)) {
    next = floodNext_;
    have = true;
  }
  if (opt_.sprayLastPort != 0 && (!have || nextSpray_ < next)) {
    next = nextSpray_;
    have = true;
  }
  if (!opt_.pjlStatusFile.empty() && (!have || nextStatusCheck_ < next)) {
    next = nextStatusCheck_;
    have = true;
  }
  for (const Job& j : jobs_) {
    if (!j.refilling) continue;
    Clock::time_point done = RefillDone(j);
    if (!have || done < next) {
      next = done;
      have = true;
    }
  }
  if (!have) return -1;
  auto left = next - Clock::now();
  if (left <= Clock::duration::zero()) return 0;
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(left).count() + 1;
  return static_cast<int>(ms);
}

// How much a slow printer reads at a time: at least a byte, so that a rate
// below ten bytes a second still moves.
double Simulator::SliceBytes() const {
  return std::max(1.0, opt_.readBytesPerSecond * kSliceSeconds);
}

// Adds what the time since the last refill has earned, up to one slice.
void Simulator::Refill(Job& j, Clock::time_point now) const {
  if (opt_.readBytesPerSecond == 0) return;
  std::chrono::duration<double> earned = now - j.refilled;
  j.refilled = now;
  j.budget = std::min(SliceBytes(), j.budget + earned.count() * opt_.readBytesPerSecond);
  if (j.budget >= SliceBytes()) j.refilling = false;
}

// When a job that spent its budget has a full slice again.
Simulator::Clock::time_point Simulator::RefillDone(const Job& j) const {
  std::chrono::duration<double> wait((SliceBytes() - j.budget) / opt_.readBytesPerSecond);
  return j.refilled + std::chrono::duration_cast<Clock::duration>(wait);
}

// The identity of the file at `path` now; false (with errno) when there is
// none.
bool Simulator::StampOf(const std::string& path, FileStamp* out) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return false;
  out->dev = st.st_dev;
  out->ino = st.st_ino;
  out->size = st.st_size;
  out->mtimeSec = static_cast<int64_t>(st.st_mtim.tv_sec);
  out->mtimeNsec = st.st_mtim.tv_nsec;
  return true;
}

// Whether `j` is polled for reading. A slow printer's job that spent its
// budget waits for a whole slice rather than a byte, or it would wake the
// loop for each byte earned. A printer whose condition stops printing
// reads no connection at all, so that the senders meet TCP's back-pressure
// as they do at a jammed printer; so does a connection whose peer leaves
// its answers unread.
bool Simulator::MayRead(const Job& j) const {
  return !j.refilling && !StopsPrinting(status_.code) && j.answers.size() < kMaxAnswerBacklog;
}

// Reads --pjl-status into `out`; false, with a message, when it cannot be
// read or says something else than a status file does.
bool Simulator::ReadStatusFile(PjlStatus* out) const {
  const std::string& path = opt_.pjlStatusFile;
  Fd f(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!f.Valid()) {
    Error("%s: %s", path.c_str(), std::strerror(errno));
    return false;
  }
  std::string text;
  char buf[1024];
  // ParseStatusFile refuses what is beyond its bound; more is not read.
  while (text.size() <= kMaxStatusFileBytes) {
    ssize_t n = read(f.Get(), buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      Error("%s: %s", path.c_str(), std::strerror(errno));
      return false;
    }
    if (n == 0) break;
    text.append(buf, static_cast<size_t>(n));
  }
  std::string why;
  if (!ParseStatusFile(text, out, &why)) {
    Error("%s: %s", path.c_str(), why.c_str());
    return false;
  }
  return true;
}

// Every tenth of a second: a status file that was replaced or rewritten is
// read again, and a change of condition goes to every peer that asked for
// it. A file that cannot be read (or is malformed) leaves the condition as
// it was.
void Simulator::WatchStatusFile() {
  if (opt_.pjlStatusFile.empty()) return;
  Clock::time_point now = Clock::now();
  if (now < nextStatusCheck_) return;
  nextStatusCheck_ = now + kStatusCheckInterval;
  FileStamp stamp;
  if (!StampOf(opt_.pjlStatusFile, &stamp)) {
    if (!statusFileGone_)
      Log("%s: %s; the status stays", opt_.pjlStatusFile.c_str(), std::strerror(errno));
    statusFileGone_ = true;
    return;
  }
  statusFileGone_ = false;
  if (stamp == statusStamp_) return;
  statusStamp_ = stamp;
  PjlStatus s;
  if (!ReadStatusFile(&s) || s == status_) return;
  const bool wasStopped = StopsPrinting(status_.code);
  status_ = s;
  LogStatus(status_, wasStopped);
  for (Job& j : jobs_) {
    if (!j.pjl) continue;
    j.pjl->StatusChanged(status_, &j.answers);
    SendAnswers(j);
  }
}

// Writes as much of the answers as the peer's socket takes now; the rest
// waits for POLLOUT. A peer that can take no more (reset, or closed) loses
// them and the ones after; its data is still read and stored.
void Simulator::SendAnswers(Job& j) {
  if (j.answersLost) {
    j.answers.clear();
    return;
  }
  size_t sent = 0;
  while (sent < j.answers.size()) {
    ssize_t w = send(j.sock.Get(), j.answers.data() + sent, j.answers.size() - sent, MSG_NOSIGNAL);
    if (w > 0) {
      sent += static_cast<size_t>(w);
      continue;
    }
    if (w < 0 && errno == EINTR) continue;
    if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
    Log("pjl answers to %s lost: %s", j.peer.c_str(), w < 0 ? std::strerror(errno) : "none taken");
    j.answersLost = true;
    j.answers.clear();
    return;
  }
  j.answers.erase(0, sent);
}

// Sends what the flood owes by now, round robin over junk and replies.
void Simulator::Flood() {
  if (!flooding_) return;
  Clock::time_point now = Clock::now();
  if (now >= floodEnd_) {
    flooding_ = false;
    Log("flood over: %llu datagrams to %s", static_cast<unsigned long long>(floodSent_),
        AddrText(floodTo_).c_str());
    return;
  }
  size_t kinds = junk_.size() + replies_.size();
  const auto gap = std::chrono::nanoseconds(1000000000LL / opt_.floodRate);
  while (floodNext_ <= now && kinds > 0) {
    size_t k = floodSent_ % kinds;
    const std::vector<uint8_t>& msg = k < junk_.size() ? junk_[k] : replies_[k - junk_.size()];
    int ttl = k < junk_.size() ? 0 : opt_.printers[k - junk_.size()].ttl;
    SendUdp(udp_.Get(), msg, floodTo_, nullptr, ttl);
    ++floodSent_;
    floodNext_ += gap;
  }
}

// One round of replies to every port of the spray range.
void Simulator::Spray() {
  if (opt_.sprayLastPort == 0 || Clock::now() < nextSpray_) return;
  nextSpray_ += std::chrono::milliseconds(100);
  sockaddr_in to = opt_.sprayTo;
  int first = ntohs(to.sin_port);
  int failed = 0, lastErrno = 0;
  for (int port = first; port <= opt_.sprayLastPort; ++port) {
    to.sin_port = htons(static_cast<uint16_t>(port));
    for (size_t i = 0; i < replies_.size(); ++i) {
      if (!raw_.Valid()) {
        SendUdp(udp_.Get(), replies_[i], to, nullptr, opt_.printers[i].ttl);
      } else if (replies_[i].size() <= kMaxUdpPayloadV4 && !SprayRaw(i, to)) {
        ++failed;
        lastErrno = errno;
      }
    }
  }
  if (++sprayRounds_ == 1) {
    if (!raw_.Valid()) {
      Log("spraying replies at %s to port %d", AddrText(opt_.sprayTo).c_str(), opt_.sprayLastPort);
    } else {
      Log("spraying replies at %s to port %d from spoofed source %s:%u",
          AddrText(opt_.sprayTo).c_str(), opt_.sprayLastPort, IpText(opt_.spoofSource).c_str(),
          kMdnsPort);
      for (size_t i = 0; i < replies_.size(); ++i)
        if (replies_[i].size() > kMaxUdpPayloadV4)
          Log("reply %s not sprayed: %zu bytes, more than one IPv4 datagram holds",
              opt_.printers[i].name.c_str(), replies_[i].size());
    }
  }
  // Once: the same failure would come back every round.
  if (failed > 0 && !sprayFailureLogged_) {
    sprayFailureLogged_ = true;
    Log("%d sprayed datagram(s) of round %llu not sent: %s", failed,
        static_cast<unsigned long long>(sprayRounds_), std::strerror(lastErrno));
  }
}

// One reply from the spoofed source, its IP and UDP headers written here;
// false (with errno) when the kernel refuses it, as it does a datagram
// longer than the route's MTU: a raw socket does not fragment.
bool Simulator::SprayRaw(size_t printer, const sockaddr_in& to) {
  int ttl = opt_.printers[printer].ttl > 0 ? opt_.printers[printer].ttl : kDefaultTtl;
  std::vector<uint8_t> d;
  if (!BuildIpv4Udp(opt_.spoofSource, kMdnsPort, to.sin_addr, ntohs(to.sin_port), ttl,
                    replies_[printer], &d)) {
    errno = EMSGSIZE;
    return false;
  }
  sockaddr_in dst = to;
  dst.sin_port = 0;  // the port is in our UDP header; a raw socket has none
  return sendto(raw_.Get(), d.data(), d.size(), 0, reinterpret_cast<const sockaddr*>(&dst),
                sizeof dst) == static_cast<ssize_t>(d.size());
}

void Simulator::ReceiveDatagrams() {
  for (int round = 0; round < 64; ++round) {
    sockaddr_in from{};
    socklen_t len = sizeof from;
    ssize_t n =
        recvfrom(udp_.Get(), rx_.data(), rx_.size(), 0, reinterpret_cast<sockaddr*>(&from), &len);
    if (n < 0) return;
    if (len < sizeof from || from.sin_family != AF_INET) continue;
    if (n != sizeof kQuery || std::memcmp(rx_.data(), kQuery, sizeof kQuery) != 0) {
      Log("ignored %zd-byte datagram from %s (not the host-config query)", n,
          AddrText(from).c_str());
      continue;
    }
    Log("query from %s", AddrText(from).c_str());
    Clock::time_point now = Clock::now();
    if (opt_.floodRate > 0) {
      if (!flooding_ && floodSent_ == 0) {
        flooding_ = true;
        floodTo_ = from;
        floodNext_ = now;
        floodEnd_ = now + std::chrono::seconds(opt_.floodSeconds);
        Log("flooding %s with %d datagrams a second", AddrText(from).c_str(), opt_.floodRate);
      }
      continue;
    }
    for (size_t k = 0; k < junk_.size(); ++k)
      Send(junk_[k], from, nullptr, 0, std::string("junk ") + opt_.junk[k]->name);
    for (size_t i = 0; i < opt_.printers.size(); ++i) {
      const Printer& p = opt_.printers[i];
      if (queriesSeen_[i]++ < p.ignore) {
        Log("%s ignores query %d from %s", p.name.c_str(), queriesSeen_[i], AddrText(from).c_str());
        continue;
      }
      for (int r = 0; r < p.repeat; ++r) {
        if (pending_.size() >= kMaxPendingSends) {
          Log("too many replies pending; dropping the rest for %s", AddrText(from).c_str());
          break;
        }
        auto when = now + std::chrono::milliseconds(p.delayMs) +
                    std::chrono::milliseconds(static_cast<int64_t>(p.intervalMs) * r);
        pending_.push({when, nextSeq_++, i, r + 1, from});
      }
    }
  }
}

void Simulator::SendDue() {
  Clock::time_point now = Clock::now();
  while (!pending_.empty() && pending_.top().when <= now) {
    PendingSend s = pending_.top();
    pending_.pop();
    const Printer& p = opt_.printers[s.printer];
    in_addr src{};
    bool hasSrc = inet_pton(AF_INET, p.ip.c_str(), &src) == 1;
    std::string what =
        "reply " + p.name + " (" + std::to_string(s.nth) + "/" + std::to_string(p.repeat) + ")";
    Send(replies_[s.printer], s.to, hasSrc ? &src : nullptr, p.ttl, what);
  }
}

// Sends to the querier only. A printer's replies leave from its own
// address when that address is one of the namespace's, as they would from
// a real device; otherwise the kernel picks the source. A `ttl` above 0 is
// the printer's --ttl.
void Simulator::Send(const std::vector<uint8_t>& msg, const sockaddr_in& to, const in_addr* src,
                     int ttl, const std::string& what) {
  ssize_t n = SendUdp(udp_.Get(), msg, to, src, ttl);
  // Not an address of this namespace (a printer answering through a relay
  // from elsewhere, or no printer at all): the kernel picks the source.
  if (n < 0 && src != nullptr) n = SendUdp(udp_.Get(), msg, to, nullptr, ttl);
  if (n < 0) {
    Error("%s to %s: %s", what.c_str(), AddrText(to).c_str(), std::strerror(errno));
    return;
  }
  Log("%s to %s, %zu bytes", what.c_str(), AddrText(to).c_str(), msg.size());
}

void Simulator::AcceptJobs() {
  while (jobs_.size() < kMaxJobs) {
    sockaddr_in peer{};
    socklen_t peerLen = sizeof peer;
    Fd s(accept4(listener_.Get(), reinterpret_cast<sockaddr*>(&peer), &peerLen,
                 SOCK_NONBLOCK | SOCK_CLOEXEC));
    if (!s.Valid()) return;
    sockaddr_in local{};
    socklen_t localLen = sizeof local;
    getsockname(s.Get(), reinterpret_cast<sockaddr*>(&local), &localLen);
    std::string ip = IpText(local.sin_addr);
    int n = ++jobCount_[ip];
    Job j;
    j.part = opt_.jobsDir + "/." + ip + "-" + std::to_string(n) + ".part";
    j.finalPath = opt_.jobsDir + "/" + ip + "-" + std::to_string(n) + ".bin";
    j.peer = AddrText(peer);
    j.file = Fd(open(j.part.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!j.file.Valid()) {
      Error("%s: %s", j.part.c_str(), std::strerror(errno));
      continue;
    }
    j.sock = std::move(s);
    j.budget = SliceBytes();
    j.refilled = Clock::now();
    if (opt_.pjl) j.pjl.emplace(opt_.pjlStyle, j.peer);
    Log("job connection from %s to %s", j.peer.c_str(), ip.c_str());
    jobs_.push_back(std::move(j));
  }
}

// Reads what the peer has sent; returns true when the job is finished
// (stored or dropped). Otherwise it reads until the socket is empty, the
// slow printer's budget is spent or the peer's answers pile up, and has
// the PJL in what it read answered. With `finalRound` it reads everything
// there is, answers nothing, and drops data not yet closed by the peer.
bool Simulator::ReadJob(Job& j, bool finalRound) {
  char buf[65536];
  const bool slow = opt_.readBytesPerSecond > 0 && !finalRound;
  // At exit every byte is stored but nothing more is answered.
  const bool answer = j.pjl && !finalRound;
  for (;;) {
    size_t want = sizeof buf;
    if (answer) {
      if (j.answers.size() >= kMaxAnswerBacklog) return false;
      want = kPjlReadBytes;
    }
    if (slow) {
      if (j.refilling) return false;
      want = std::min(want, static_cast<size_t>(j.budget));
    }
    ssize_t n = read(j.sock.Get(), buf, want);
    if (n > 0) {
      if (!WriteAll(j.file.Get(), buf, static_cast<size_t>(n))) {
        Error("%s: %s", j.part.c_str(), std::strerror(errno));
        return DropJob(j, "write failed");
      }
      j.bytes += static_cast<size_t>(n);
      if (slow) {
        j.budget -= static_cast<double>(n);
        if (j.budget < 1) j.refilling = true;
      }
      if (answer) {
        j.pjl->Scan(reinterpret_cast<const uint8_t*>(buf), static_cast<size_t>(n), status_,
                    &j.answers);
        SendAnswers(j);
      }
      continue;
    }
    if (n == 0) {
      // What was answered to the end goes out before the socket closes: a
      // peer that shut its sending side may still be waiting for the END.
      if (answer) SendAnswers(j);
      return StoreJob(j);
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK)
      return finalRound ? DropJob(j, "unfinished at exit") : false;
    return DropJob(j, std::strerror(errno));
  }
}

bool Simulator::StoreJob(Job& j) {
  j.file.Reset();
  if (rename(j.part.c_str(), j.finalPath.c_str()) != 0) {
    Error("%s: %s", j.finalPath.c_str(), std::strerror(errno));
    unlink(j.part.c_str());
    return true;
  }
  Log("job stored %s (%zu bytes from %s)", j.finalPath.c_str(), j.bytes, j.peer.c_str());
  return true;
}

bool Simulator::DropJob(Job& j, const char* why) {
  j.file.Reset();
  unlink(j.part.c_str());
  Log("job from %s dropped: %s", j.peer.c_str(), why);
  return true;
}

void Simulator::Shutdown() {
  listener_.Reset();
  for (Job& j : jobs_) ReadJob(j, true);
  jobs_.clear();
  udp_.Reset();
  raw_.Reset();
  Log("stopped");
}
