#include "connector.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/tcp.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "data_buffer.h"
#include "descriptor_watch.h"
#include "trace_log.h"

namespace {

const char kSource[] = "src/connector";
const char kGroup[] = "224.0.0.251";

// The query goes out of at most this many interfaces, in the order the
// system lists them. The request holds that many records of the system's own
// record size, so 32- and 64-bit builds use the same first five.
const int kMaxInterfaces = 5;

// Many printers answer the query at the same moment; the socket's receive
// queue must hold all of their replies until the discovery reads them.
const int kReceiveBufferBytes = 1 << 20;

const int kSendBufferBytes = 0x36000;
const int kConnectAttempts = 3;
const int kConnectWaits = 15;

// Bytes of a received datagram shown in the trace as text; the rest is
// in the hex dump that follows.
const int kTracePreview = 64;

void SetIntOption(int fd, int level, int name, int value) {
  setsockopt(fd, level, name, &value, sizeof(value));
}

// The IPv4 interfaces, at most kMaxInterfaces. Returns how many `list` holds.
int GetInterfaceList(ifreq (&list)[kMaxInterfaces]) {
  memset(list, 0, sizeof(list));
  int probe = socket(AF_INET, SOCK_DGRAM, 0);
  if (probe < 0) return 0;
  ifconf conf;
  memset(&conf, 0, sizeof(conf));
  conf.ifc_len = sizeof(list);
  conf.ifc_req = list;
  int result = ioctl(probe, SIOCGIFCONF, &conf);
  close(probe);
  if (result < 0 || conf.ifc_len < 0) return 0;
  int count = conf.ifc_len / static_cast<int>(sizeof(ifreq));
  return count < kMaxInterfaces ? count : kMaxInterfaces;
}

// A printable rendering of untrusted bytes, bounded by `n`.
std::string Printable(const unsigned char* bytes, int n) {
  std::string text;
  for (int i = 0; i < n && i < kTracePreview; ++i)
    text += (bytes[i] >= 0x20 && bytes[i] < 0x7F) ? static_cast<char>(bytes[i]) : '.';
  return text;
}

}  // namespace

Connector::Connector()
    : connected_(false), udpSocket_(-1), tcpSocket_(-1),
      watch_(new DescriptorWatch), ownsWatch_(true) {
  memset(&peerAddress_, 0, sizeof(peerAddress_));
}

Connector::Connector(DescriptorWatch* watch)
    : connected_(false), udpSocket_(-1), tcpSocket_(-1), watch_(watch),
      ownsWatch_(false) {
  memset(&peerAddress_, 0, sizeof(peerAddress_));
}

Connector::~Connector() {
  if (udpSocket_ >= 0) close(udpSocket_);
  if (tcpSocket_ >= 0) close(tcpSocket_);
  if (ownsWatch_) delete watch_;
}

int Connector::Broadcast(const DataBuffer& data, int port, int localPort) {
  log_printf('F', __LINE__, kSource, __func__, "begin data.size=%d port=%d",
             data.Length(), port);
  if (udpSocket_ >= 0) CloseBroadcast();
  udpSocket_ = socket(AF_INET, SOCK_DGRAM, 0);
  SetIntOption(udpSocket_, SOL_SOCKET, SO_BROADCAST, 1);
  SetIntOption(udpSocket_, SOL_SOCKET, SO_REUSEADDR, 1);
  SetIntOption(udpSocket_, SOL_SOCKET, SO_RCVBUF, kReceiveBufferBytes);
  fcntl(udpSocket_, F_SETFL, O_NONBLOCK);

  sockaddr_in local;
  memset(&local, 0, sizeof(local));
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(INADDR_ANY);
  local.sin_port = htons(static_cast<uint16_t>(localPort));
  int bound = bind(udpSocket_, reinterpret_cast<sockaddr*>(&local), sizeof(local));
  if (bound < 0) {
    perror("Broadcast: bind");
    if (udpSocket_ >= 0) close(udpSocket_);
    udpSocket_ = -1;
    log_printf('F', __LINE__, kSource, __func__, "end bind with error ret=%d", bound);
    return bound;
  }

  sockaddr_in group;
  memset(&group, 0, sizeof(group));
  group.sin_family = AF_INET;
  group.sin_port = htons(static_cast<uint16_t>(port));
  group.sin_addr.s_addr = inet_addr(kGroup);

  ifreq interfaces[kMaxInterfaces];
  int count = GetInterfaceList(interfaces);
  bool sent = false;
  for (int i = 0; i < count; ++i) {
    ifreq& record = interfaces[i];
    record.ifr_addr.sa_family = AF_INET;
    ioctl(udpSocket_, SIOCGIFADDR, &record);
    in_addr address = reinterpret_cast<sockaddr_in*>(&record.ifr_addr)->sin_addr;
    setsockopt(udpSocket_, IPPROTO_IP, IP_MULTICAST_IF, &address, sizeof(address));
    ssize_t n = sendto(udpSocket_, data.Data(), static_cast<size_t>(data.Length()), 0,
                       reinterpret_cast<sockaddr*>(&group), sizeof(group));
    if (n > 0) sent = true;
  }

  int result;
  if (sent) {
    watch_->AddRead(udpSocket_);
    result = 1;
  } else {
    close(udpSocket_);
    udpSocket_ = -1;
    result = -1;
  }
  log_printf('F', __LINE__, kSource, __func__, "end with ret=%d", result);
  return result;
}

int Connector::ReceiveReply(DataBuffer& buffer) {
  log_printf('F', __LINE__, kSource, __func__, "begin");
  int result = 0;
  if (udpSocket_ >= 0 && watch_->IsReadable(udpSocket_)) {
    ssize_t n = recvfrom(udpSocket_, buffer.Data(), static_cast<size_t>(buffer.Capacity()),
                         0, nullptr, nullptr);
    result = n < 0 ? -1 : static_cast<int>(n);
    if (result > 0) {
      buffer.SetLength(result);
      // The bytes are untrusted: they go to the trace as an argument, never
      // as a format, and no further than their length.
      log_printf('F', __LINE__, kSource, __func__, "received %d bytes: %s", result,
                 Printable(buffer.Data(), result).c_str());
      log_hexdump(__LINE__, kSource, __func__, buffer.Data(), result);
    }
  }
  log_printf('F', __LINE__, kSource, __func__, "end with data.size=%d ret=%d",
             buffer.Length(), result);
  return result;
}

void Connector::CloseBroadcast() {
  if (udpSocket_ < 0) return;
  watch_->Remove(udpSocket_);
  close(udpSocket_);
  udpSocket_ = -1;
}

void Connector::RegisterConnected() {
  watch_->AddReadWrite(tcpSocket_);
  connected_ = true;
}

int Connector::Connect(const std::string& ip, int port) {
  log_printf('F', __LINE__, kSource, __func__, "begin with ip=%s port=%d", ip.c_str(), port);
  int result = -1;
  if (ip.empty()) {
    log_printf('F', __LINE__, kSource, __func__, "end with ret=%d", result);
    return result;
  }
  if (tcpSocket_ >= 0) Disconnect();
  if (tcpSocket_ >= 0) close(tcpSocket_);
  tcpSocket_ = socket(AF_INET, SOCK_STREAM, 0);
  SetIntOption(tcpSocket_, SOL_SOCKET, SO_SNDBUF, kSendBufferBytes);
  int one = 1;
  result = setsockopt(tcpSocket_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
  int flags = fcntl(tcpSocket_, F_GETFL);
  if (flags >= 0) fcntl(tcpSocket_, F_SETFL, flags | O_NONBLOCK);
  if (result != 0) {
    log_printf('F', __LINE__, kSource, __func__, "end with ret=%d", result);
    return result;
  }

  memset(&peerAddress_, 0, sizeof(peerAddress_));
  if (inet_pton(AF_INET, ip.c_str(), &peerAddress_.sin_addr) != 1) {
    result = -1;
    log_printf('F', __LINE__, kSource, __func__, "end with ret=%d", result);
    return result;
  }
  peerAddress_.sin_family = AF_INET;
  peerAddress_.sin_port = htons(static_cast<uint16_t>(port));

  result = -1;
  for (int attempt = 0; attempt < kConnectAttempts; ++attempt) {
    if (connect(tcpSocket_, reinterpret_cast<sockaddr*>(&peerAddress_),
                sizeof(peerAddress_)) == 0) {
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

    log_printf('F', __LINE__, kSource, __func__, "connection is in progress");
    DescriptorWatch pending;
    pending.AddWrite(tcpSocket_);
    int last = pending.Wait(1, 0);
    int counter = kConnectWaits;
    while (counter > 0) {
      if (last > 0 && pending.IsWritable(tcpSocket_)) {
        int pendingError = 0;
        socklen_t size = sizeof(pendingError);
        getsockopt(tcpSocket_, SOL_SOCKET, SO_ERROR, &pendingError, &size);
        if (pendingError == 0) {
          log_printf('F', __LINE__, kSource, __func__, "connection established");
          RegisterConnected();
          last = 0;
          break;
        }
        // The connection failed for good (refused, unreachable): waiting
        // longer on this socket cannot make it succeed.
        last = pendingError;
        break;
      }
      if (last == 0) {
        last = pending.Wait(1, 0);
        --counter;
      } else if (last < 0 && errno != EINTR) {
        break;  // the wait itself failed; only a signal is worth waiting out
      } else {
        last = pending.Rewait();
      }
    }
    result = last;
    break;
  }
  log_printf('F', __LINE__, kSource, __func__, "end with ret=%d", result);
  return result;
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

bool Connector::TcpReadable() const {
  return tcpSocket_ >= 0 && watch_->IsReadable(tcpSocket_);
}

bool Connector::TcpWritable() const {
  return tcpSocket_ >= 0 && watch_->IsWritable(tcpSocket_);
}

int Connector::Wait(int seconds, int microseconds) {
  return watch_->Wait(seconds, microseconds);
}

int Connector::Rewait() { return watch_->Rewait(); }
