#include "connector.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/sockios.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "data_buffer.h"
#include "descriptor_watch.h"
#include "safe_text.h"
#include "trace_log.h"

namespace {

const char kSource[] = "src/connector";
const char kGroup[] = "224.0.0.251";

// Many printers answer the query at the same moment; the socket's receive
// queue must hold all of their replies until the discovery reads them.
const int kReceiveBufferBytes = 1 << 20;

const int kSendBufferBytes = 0x36000;
const int kConnectAttempts = 3;

// Bytes of a received datagram shown in the trace as text; the rest is
// in the hex dump that follows.
const int kTracePreview = 64;

void SetIntOption(int fd, int level, int name, int value, int line, const char* function,
                  const char* what) {
  if (setsockopt(fd, level, name, &value, sizeof(value)) != 0)
    log_printf(LOG_DETAIL, line, kSource, function, "setsockopt %s failed: %s", what,
               strerror(errno));
}

// A printable rendering of untrusted bytes, bounded by `n`.
std::string Printable(const unsigned char* bytes, int n) {
  return SafeAscii(std::string_view(reinterpret_cast<const char*>(bytes),
                                    static_cast<size_t>(std::min(n, kTracePreview))),
                   '.');
}

// The reply socket's options, before it is bound to `localPort`.
void SetReplySocketOptions(int fd, int localPort) {
  SetIntOption(fd, SOL_SOCKET, SO_BROADCAST, 1, __LINE__, __func__, "SO_BROADCAST");
  // Address reuse lets a fixed port be shared. For a port the system picks
  // it would let the system hand the same port to two such sockets (two
  // listings, or a listing and a job, at the same moment), and each unicast
  // reply would reach only one of them.
  if (localPort != 0)
    SetIntOption(fd, SOL_SOCKET, SO_REUSEADDR, 1, __LINE__, __func__, "SO_REUSEADDR");
  SetIntOption(fd, SOL_SOCKET, SO_RCVBUF, kReceiveBufferBytes, __LINE__, __func__, "SO_RCVBUF");
  // The link a reply came in by and the TTL it came with decide whether it
  // is believed.
  SetIntOption(fd, IPPROTO_IP, IP_PKTINFO, 1, __LINE__, __func__, "IP_PKTINFO");
  SetIntOption(fd, IPPROTO_IP, IP_RECVTTL, 1, __LINE__, __func__, "IP_RECVTTL");
  int flags = fcntl(fd, F_GETFL);
  if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0)
    log_printf(LOG_DETAIL, __LINE__, kSource, __func__, "fcntl O_NONBLOCK failed: %s",
               strerror(errno));
}

// `address` (network byte order) and `port` as a socket address.
sockaddr_in Ipv4Address(in_addr_t address, int port) {
  sockaddr_in socketAddress;
  memset(&socketAddress, 0, sizeof(socketAddress));
  socketAddress.sin_family = AF_INET;
  socketAddress.sin_addr.s_addr = address;
  socketAddress.sin_port = htons(static_cast<uint16_t>(port));
  return socketAddress;
}

std::string AddressText(in_addr address) {
  char text[INET_ADDRSTRLEN];
  return inet_ntop(AF_INET, &address, text, sizeof(text)) != nullptr ? text : "?";
}

// How a connection in progress ended.
enum class Pending {
  kEstablished,
  kFailed,     // refused, unreachable: the socket's pending error says
  kNoAnswer,   // no answer within the waits
  kWaitFailed  // the wait itself failed
};

// Waits for the connection in progress on `fd`: one second, and one second
// more up to `moreWaits` times while no answer comes; a wait cut short by a
// signal goes on with its time left. `error` receives the pending error of
// a connection that failed.
Pending AwaitConnection(int fd, int moreWaits, int& error) {
  DescriptorWatch pending;
  pending.AddWrite(fd);
  int ready = pending.Wait(1, 0);
  for (int waits = moreWaits;;) {
    if (ready > 0 && pending.IsWritable(fd)) {
      error = 0;
      socklen_t size = sizeof(error);
      getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size);
      // A connection that failed (refused, unreachable) failed for good:
      // waiting longer on this socket cannot make it succeed.
      return error == 0 ? Pending::kEstablished : Pending::kFailed;
    }
    if (ready == 0) {
      if (waits-- == 0) return Pending::kNoAnswer;
      ready = pending.Wait(1, 0);
    } else if (ready < 0 && errno != EINTR) {
      return Pending::kWaitFailed;  // only a signal is worth waiting out
    } else {
      ready = pending.Rewait();
    }
  }
}

}  // namespace

Connector::Connector()
    : connected_(false),
      udpSocket_(-1),
      linkSocket_(-1),
      tcpSocket_(-1),
      watch_(new DescriptorWatch),
      ownsWatch_(true) {
  memset(&peerAddress_, 0, sizeof(peerAddress_));
  memset(&group_, 0, sizeof(group_));
}

Connector::Connector(DescriptorWatch* watch)
    : connected_(false),
      udpSocket_(-1),
      linkSocket_(-1),
      tcpSocket_(-1),
      watch_(watch),
      ownsWatch_(false) {
  memset(&peerAddress_, 0, sizeof(peerAddress_));
  memset(&group_, 0, sizeof(group_));
}

Connector::~Connector() {
  if (udpSocket_ >= 0) close(udpSocket_);
  if (linkSocket_ >= 0) close(linkSocket_);
  if (tcpSocket_ >= 0) close(tcpSocket_);
  if (ownsWatch_) delete watch_;
}

int Connector::Broadcast(const DataBuffer& data, int port, int localPort) {
  log_printf(LOG_DETAIL, __LINE__, kSource, __func__, "begin data.size=%d port=%d", data.Length(),
             port);
  CloseBroadcast();
  udpSocket_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (udpSocket_ < 0) {
    log_printf(LOG_DETAIL, __LINE__, kSource, __func__, "socket failed: %s", strerror(errno));
    log_printf(LOG_DETAIL, __LINE__, kSource, __func__, "end with ret=%d", kNoReplySocket);
    return kNoReplySocket;
  }
  SetReplySocketOptions(udpSocket_, localPort);
  sockaddr_in local = Ipv4Address(htonl(INADDR_ANY), localPort);
  int bound = bind(udpSocket_, reinterpret_cast<sockaddr*>(&local), sizeof(local));
  if (bound < 0) {
    perror("Broadcast: bind");
    close(udpSocket_);
    udpSocket_ = -1;
    // bind's own result: the trace tells a failed bind from Broadcast's
    // result, which the discovery's "unable to locate devices" line shows.
    log_printf(LOG_DETAIL, __LINE__, kSource, __func__, "end bind with error ret=%d", bound);
    return kNoReplySocket;
  }

  group_ = Ipv4Address(inet_addr(kGroup), port);
  // Subscribed before the links are read: a change in between is then
  // noticed, not lost.
  linkSocket_ = HostLinks::OpenChangeSocket();
  if (linkSocket_ < 0)
    log_printf(LOG_DETAIL, __LINE__, kSource, __func__,
               "no notes of changed links: the links are read once (%s)", strerror(errno));
  queried_.clear();
  ChooseInterfaces();
  int result = SendQuery(data) > 0 ? 1 : kNoQueryInterface;
  if (result > 0) {
    watch_->AddRead(udpSocket_);
    if (linkSocket_ >= 0) watch_->AddRead(linkSocket_);
  } else {
    CloseBroadcast();  // neither socket is registered yet
  }
  log_printf(LOG_DETAIL, __LINE__, kSource, __func__, "end with ret=%d", result);
  return result;
}

// The interfaces are chosen once per run; the links are read here and
// again whenever they change.
void Connector::ChooseInterfaces() {
  ReadLinks();
  interfaces_ = links_.QueryInterfaces();
  for (const QueryInterface& choice : interfaces_)
    if (choice.skipped != nullptr)
      log_printf(LOG_DETAIL, __LINE__, kSource, __func__, "interface %s (%s) skipped: %s",
                 log_escape(choice.name).c_str(), AddressText(choice.address).c_str(),
                 choice.skipped);
}

void Connector::ReadLinks() {
  links_ = HostLinks::Read();
  for (int index : queried_) links_.MarkQueried(index);
}

int Connector::SendQuery(const DataBuffer& data) {
  int sent = 0;
  for (const QueryInterface& choice : interfaces_) {
    if (choice.skipped != nullptr) continue;
    const std::string name = log_escape(choice.name);
    // By index alone: an address given here would name the interface by
    // what it was when the run began, and a renumbered host would send no
    // repeat.
    ip_mreqn via;
    memset(&via, 0, sizeof(via));
    via.imr_ifindex = choice.index;
    if (setsockopt(udpSocket_, IPPROTO_IP, IP_MULTICAST_IF, &via, sizeof(via)) != 0) {
      log_printf(LOG_DETAIL, __LINE__, kSource, __func__, "IP_MULTICAST_IF %s failed: %s",
                 name.c_str(), strerror(errno));
      continue;
    }
    ssize_t n = sendto(udpSocket_, data.Data(), static_cast<size_t>(data.Length()), 0,
                       reinterpret_cast<sockaddr*>(&group_), sizeof(group_));
    if (n > 0) {
      ++sent;
      // Replies are read only on the interfaces the query left by.
      bool known = false;
      for (int index : queried_) known |= index == choice.index;
      if (!known) queried_.push_back(choice.index);
      links_.MarkQueried(choice.index);
      log_printf(LOG_DETAIL, __LINE__, kSource, __func__, "query sent on %s (%s)", name.c_str(),
                 AddressText(choice.address).c_str());
    } else {
      log_printf(LOG_DETAIL, __LINE__, kSource, __func__, "sendto on %s failed: %s", name.c_str(),
                 n < 0 ? strerror(errno) : "nothing sent");
    }
  }
  return sent;
}

int Connector::Resend(const DataBuffer& data) {
  if (udpSocket_ < 0) return -1;
  return SendQuery(data) > 0 ? 1 : -1;
}

int Connector::ReceiveReply(DataBuffer& buffer) {
  Arrival arrival;
  return ReceiveReply(buffer, arrival);
}

int Connector::ReceiveReply(DataBuffer& buffer, Arrival& arrival) {
  log_printf(LOG_DETAIL, __LINE__, kSource, __func__, "begin");
  memset(&arrival, 0, sizeof(arrival));
  arrival.ttl = -1;
  if (linkSocket_ >= 0 && watch_->IsReadable(linkSocket_) && HostLinks::TakeChanges(linkSocket_)) {
    log_printf(LOG_DETAIL, __LINE__, kSource, __func__, "the host's links changed: read again");
    ReadLinks();
  }
  int result = 0;
  if (udpSocket_ >= 0 && watch_->IsReadable(udpSocket_)) {
    sockaddr_in source;
    memset(&source, 0, sizeof(source));
    iovec data = {buffer.Data(), static_cast<size_t>(buffer.Capacity())};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo)) + CMSG_SPACE(sizeof(int))];
    msghdr message;
    memset(&message, 0, sizeof(message));
    message.msg_name = &source;
    message.msg_namelen = sizeof(source);
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof(control);
    ssize_t n = recvmsg(udpSocket_, &message, 0);
    result = n < 0 ? -1 : static_cast<int>(n);
    for (cmsghdr* c = CMSG_FIRSTHDR(&message); n >= 0 && c != nullptr;
         c = CMSG_NXTHDR(&message, c)) {
      if (c->cmsg_level != IPPROTO_IP) continue;
      if (c->cmsg_type == IP_PKTINFO && c->cmsg_len >= CMSG_LEN(sizeof(in_pktinfo))) {
        in_pktinfo info;
        memcpy(&info, CMSG_DATA(c), sizeof(info));
        arrival.interfaceIndex = info.ipi_ifindex;
      } else if (c->cmsg_type == IP_TTL && c->cmsg_len >= CMSG_LEN(sizeof(int))) {
        memcpy(&arrival.ttl, CMSG_DATA(c), sizeof(int));
      }
    }
    arrival.source = source.sin_addr;
    if (result > 0) {
      buffer.SetLength(result);
      // The bytes are untrusted: they go to the trace as an argument, never
      // as a format, and no further than their length.
      const HostLinks::Interface* via = links_.FindInterface(arrival.interfaceIndex);
      log_printf(LOG_DETAIL, __LINE__, kSource, __func__,
                 "received %d bytes from %s on %s (TTL %d): %s", result,
                 AddressText(source.sin_addr).c_str(),
                 via != nullptr ? log_escape(via->name).c_str() : "?", arrival.ttl,
                 Printable(buffer.Data(), result).c_str());
      log_hexdump(__LINE__, kSource, __func__, buffer.Data(), result);
    }
  }
  log_printf(LOG_DETAIL, __LINE__, kSource, __func__, "end with data.size=%d ret=%d",
             buffer.Length(), result);
  return result;
}

void Connector::CloseBroadcast() {
  if (linkSocket_ >= 0) {
    watch_->Remove(linkSocket_);
    close(linkSocket_);
    linkSocket_ = -1;
  }
  if (udpSocket_ < 0) return;
  watch_->Remove(udpSocket_);
  close(udpSocket_);
  udpSocket_ = -1;
}

void Connector::RegisterConnected() {
  watch_->AddReadWrite(tcpSocket_);
  connected_ = true;
}

int Connector::Connect(const std::string& ip, int port, int moreWaits) {
  log_printf(LOG_DETAIL, __LINE__, kSource, __func__, "begin with ip=%s port=%d", ip.c_str(), port);
  // Every way out traces its result, under this function's name.
  auto end = [](int result) {
    log_printf(LOG_DETAIL, __LINE__, kSource, "Connect", "end with ret=%d", result);
    return result;
  };
  if (ip.empty()) return end(-1);
  if (tcpSocket_ >= 0) Disconnect();
  if (tcpSocket_ >= 0) close(tcpSocket_);
  tcpSocket_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (tcpSocket_ < 0) {
    log_printf(LOG_DETAIL, __LINE__, kSource, __func__, "socket failed: %s", strerror(errno));
    return end(-1);
  }
  SetIntOption(tcpSocket_, SOL_SOCKET, SO_SNDBUF, kSendBufferBytes, __LINE__, __func__,
               "SO_SNDBUF");
  // Without it small writes wait for each other; a connection that has to
  // do without is slower, not broken.
  SetIntOption(tcpSocket_, IPPROTO_TCP, TCP_NODELAY, 1, __LINE__, __func__, "TCP_NODELAY");
  int flags = fcntl(tcpSocket_, F_GETFL);
  if (flags >= 0) fcntl(tcpSocket_, F_SETFL, flags | O_NONBLOCK);

  memset(&peerAddress_, 0, sizeof(peerAddress_));
  if (inet_pton(AF_INET, ip.c_str(), &peerAddress_.sin_addr) != 1) return end(-1);
  peerAddress_.sin_family = AF_INET;
  peerAddress_.sin_port = htons(static_cast<uint16_t>(port));

  int result = -1;
  for (int attempt = 0; attempt < kConnectAttempts; ++attempt) {
    if (connect(tcpSocket_, reinterpret_cast<sockaddr*>(&peerAddress_), sizeof(peerAddress_)) ==
        0) {
      RegisterConnected();
      result = 0;
      break;
    }
    int error = errno;
    if (error == EAGAIN || error == EINTR) continue;
    if (error != EINPROGRESS) {
      result = error;
      break;
    }
    log_printf(LOG_DETAIL, __LINE__, kSource, __func__, "connection is in progress");
    int failure = 0;
    const Pending pending = AwaitConnection(tcpSocket_, moreWaits, failure);
    if (pending == Pending::kEstablished) {
      log_printf(LOG_DETAIL, __LINE__, kSource, __func__, "connection established");
      RegisterConnected();
    }
    result = pending == Pending::kFailed ? failure : pending == Pending::kWaitFailed ? -1 : 0;
    break;
  }
  return end(result);
}

int Connector::Send(const DataBuffer& data) {
  ssize_t n = send(tcpSocket_, data.Data(), static_cast<size_t>(data.Length()), MSG_NOSIGNAL);
  if (n < 0 && errno != EAGAIN && errno != EINTR) Disconnect();
  return static_cast<int>(n);
}

int Connector::Receive(DataBuffer& buffer) {
  ssize_t n = recv(tcpSocket_, buffer.Data(), static_cast<size_t>(buffer.Capacity()), 0);
  if (n > 0) {
    buffer.SetLength(static_cast<int>(n));
    return 0;
  }
  if (n == 0) return 0;
  if (errno != EAGAIN && errno != EINTR) Disconnect();
  return -1;
}

void Connector::Disconnect() {
  if (!connected_) return;
  watch_->Remove(tcpSocket_);
  shutdown(tcpSocket_, SHUT_RDWR);
  close(tcpSocket_);
  tcpSocket_ = -1;
  connected_ = false;
}

std::string Connector::PeerAddress() const {
  return connected_ ? AddressText(peerAddress_.sin_addr) : std::string();
}

void Connector::ShutdownWrite() {
  if (connected_) shutdown(tcpSocket_, SHUT_WR);
}

int Connector::PollConnected(bool forWrite, int milliseconds) {
  if (!connected_) return -1;
  pollfd watched = {tcpSocket_, static_cast<short>(POLLIN | (forWrite ? POLLOUT : 0)), 0};
  int n = poll(&watched, 1, milliseconds);
  return n > 0 ? watched.revents : 0;
}

int Connector::UnacknowledgedBytes() const {
  int queued = 0;
  if (!connected_ || ioctl(tcpSocket_, SIOCOUTQ, &queued) != 0) return -1;
  return queued;
}

bool Connector::TcpReadable() const { return tcpSocket_ >= 0 && watch_->IsReadable(tcpSocket_); }

bool Connector::TcpWritable() const { return tcpSocket_ >= 0 && watch_->IsWritable(tcpSocket_); }

int Connector::Wait(int seconds, int microseconds) { return watch_->Wait(seconds, microseconds); }

int Connector::Rewait() { return watch_->Rewait(); }
