// The discovery's sockets and a print connection's. The datagram side sends
// the discovery query out of every usable IPv4 interface and receives the
// replies one datagram at a time, with the link each came in by and its
// TTL; the stream side opens a TCP connection with a bounded wait. Sockets
// are registered with a DescriptorWatch, through which callers wait (the
// printer application's stream to a printer, which owns its connector,
// polls the connected socket itself); data travels in DataBuffers that the
// caller owns and passes in.
// Threads: a Connector, and the watch it uses, serve one thread at a time.
#ifndef NETBACKEND_CONNECTOR_H_
#define NETBACKEND_CONNECTOR_H_

#include <netinet/in.h>

#include <string>
#include <vector>

#include "host_links.h"

class DataBuffer;
class DescriptorWatch;

// Broadcast's results when no query went out, for callers that must say
// why: no interface took the query (none usable, or every send failed), or
// no socket could be had for the replies (the port taken, descriptors used
// up).
const int kNoQueryInterface = -1;
const int kNoReplySocket = -2;

class Connector {
 public:
  // Creates and owns a watch of its own.
  Connector();
  // Uses `watch`, which must outlive the connector.
  explicit Connector(DescriptorWatch* watch);
  // Closes what is open; deletes the watch only if it owns it.
  ~Connector();
  Connector(const Connector&) = delete;
  Connector& operator=(const Connector&) = delete;

  typedef HostLinks::QueryInterface QueryInterface;

  // Binds a non-blocking datagram socket to 0.0.0.0:`localPort` and sends
  // the first Length() bytes of `data` to 224.0.0.251:`port` out of each
  // interface HostLinks::QueryInterfaces chooses, once. The host's links are
  // read here for judging the replies, and again whenever the kernel reports
  // a change during the run. Returns 1 when at least one datagram went out
  // (the socket stays open, registered for reading), kNoQueryInterface when
  // none did, kNoReplySocket when the socket could not be had. Without
  // `localPort` the socket binds `port`.
  int Broadcast(const DataBuffer& data, int port) { return Broadcast(data, port, port); }
  int Broadcast(const DataBuffer& data, int port, int localPort);

  // Sends `data` again out of the interfaces Broadcast chose, named by
  // index so that a renumbered interface still takes it, from the same
  // socket. 1 when it went out at least once, -1 otherwise.
  int Resend(const DataBuffer& data);

  // The interfaces the last Broadcast looked at: those it used and those
  // it skipped, with the reason.
  const std::vector<QueryInterface>& Interfaces() const { return interfaces_; }
  // The host's links as they were last read: by Broadcast, and again by
  // ReceiveReply after the kernel reported a change. Each interface the
  // query went out of is marked queried.
  const HostLinks& Links() const { return links_; }

  // First reads the host's links again if the last wait found the kernel's
  // note of a change, so that no datagram is judged by links that have
  // changed. Then receives one datagram into `buffer` (cut to its capacity)
  // if the last wait marked the socket readable, and tells in `arrival` who sent it, by
  // which interface and with which TTL. Whether to believe it is the
  // caller's question (HostLinks::JudgeSender). Returns the byte count; 0
  // when not marked and for an empty datagram (the buffer's length is then
  // unchanged); -1 when the receive failed.
  int ReceiveReply(DataBuffer& buffer, Arrival& arrival);
  int ReceiveReply(DataBuffer& buffer);

  // Unregisters the datagram socket (and the watch on the host's links) and
  // closes it; nothing when there is none.
  void CloseBroadcast();

  // Connects to `ip`:`port`, waiting one second and then up to `moreWaits`
  // seconds more for an answer. Returns 0 when connected, -1 for an empty
  // or invalid address or exhausted retries, a positive errno when the
  // connection was refused or failed, or 0 with IsConnected() false when no
  // answer came within the waits.
  int Connect(const std::string& ip, int port) { return Connect(ip, port, kConnectMoreWaits); }
  int Connect(const std::string& ip, int port, int moreWaits);
  static const int kConnectMoreWaits = 15;
  // Sends the first Length() bytes of `data` on the connection; send()'s
  // result. A hard failure (not EAGAIN or EINTR) disconnects.
  int Send(const DataBuffer& data);
  // Receives into `buffer`, at most its capacity. 0 both when bytes arrived
  // (the length is set to their count) and when the peer closed (the length
  // is unchanged): tell them apart by the length. -1 on error, which
  // disconnects unless it was EAGAIN or EINTR.
  int Receive(DataBuffer& buffer);
  // Unregisters, shuts down and closes the connection, if there is one.
  void Disconnect();
  // Shuts the connection's write side: the peer reads the end of the
  // stream, and may still answer.
  void ShutdownWrite();
  // Waits up to `milliseconds` for the connection to become readable, or
  // writable too with `forWrite`, with poll() rather than the watch: a
  // server's descriptors may lie beyond what select() can hold. Returns
  // poll()'s revents (POLLHUP or POLLERR when the peer is gone), 0 when
  // the time ran out or a signal came, -1 when there is no connection.
  int PollConnected(bool forWrite, int milliseconds);
  // The bytes sent that the peer has not acknowledged yet: 0 once all of
  // them reached it. -1 when there is no connection or the system cannot
  // tell.
  int UnacknowledgedBytes() const;

  bool IsConnected() const { return connected_; }
  // The address the connection was made to, as text; empty without one.
  std::string PeerAddress() const;
  // The connected stream socket, still owned by the connector; -1 if none.
  int ConnectedSocket() const { return connected_ ? tcpSocket_ : -1; }
  // Whether the last wait on the watch marked the stream socket.
  bool TcpReadable() const;
  bool TcpWritable() const;

  // The watch's Wait and Rewait, for callers that hold only the connector.
  int Wait(int seconds, int microseconds);
  int Rewait();

  // The datagram socket, still owned by the connector; -1 if none.
  int UdpSocket() const { return udpSocket_; }

 private:
  void ChooseInterfaces();
  void ReadLinks();
  // Sends `data` out of every chosen interface; returns how many took it.
  int SendQuery(const DataBuffer& data);
  void RegisterConnected();

  bool connected_;
  int udpSocket_;
  int linkSocket_;  // the kernel's notes of changed links; -1 if none
  int tcpSocket_;
  sockaddr_in peerAddress_;
  DescriptorWatch* watch_;
  bool ownsWatch_;
  sockaddr_in group_;
  std::vector<QueryInterface> interfaces_;
  std::vector<int> queried_;  // the interfaces the query went out of
  HostLinks links_;
};

#endif  // NETBACKEND_CONNECTOR_H_
