// The only owner of network sockets. The datagram side sends the discovery
// query out of every IPv4 interface (up to five) and receives the replies one
// datagram at a time; the stream side opens a TCP connection with a bounded
// wait. Sockets are registered with a DescriptorWatch, through which callers
// wait; data travels in DataBuffers.
#ifndef NETBACKEND_CONNECTOR_H_
#define NETBACKEND_CONNECTOR_H_

#include <netinet/in.h>

#include <string>

class DataBuffer;
class DescriptorWatch;

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

  // Binds a non-blocking datagram socket to 0.0.0.0:`localPort` and sends
  // the first Length() bytes of `data` to 224.0.0.251:`port` out of each of
  // the first five IPv4 interfaces. Returns 1 when at least one datagram went
  // out (the socket stays open, registered for reading), -1 when none did, or
  // bind()'s negative result. Without `localPort` the socket binds `port`.
  int Broadcast(const DataBuffer& data, int port) { return Broadcast(data, port, port); }
  int Broadcast(const DataBuffer& data, int port, int localPort);

  // Receives one datagram into `buffer` (cut to its capacity) if the last
  // wait marked the socket readable. Returns the byte count, 0 when not
  // marked (or an empty datagram), -1 when the receive failed.
  int ReceiveReply(DataBuffer& buffer);

  void CloseBroadcast();

  // Connects to `ip`:`port`. Returns 0 when connected, -1 for an empty or
  // invalid address or exhausted retries, a positive errno when the
  // connection was refused or failed, or 0 with IsConnected() false when no
  // answer came within the one-second waits.
  int Connect(const std::string& ip, int port);
  int Send(const DataBuffer& data);
  // 0 when bytes arrived (the length set) or the peer closed; -1 on error.
  int Receive(DataBuffer& buffer);
  void Disconnect();

  bool IsConnected() const { return connected_; }
  int ConnectedSocket() const { return connected_ ? tcpSocket_ : -1; }
  bool TcpReadable() const;
  bool TcpWritable() const;

  int Wait(int seconds, int microseconds);
  int Rewait();

  int UdpSocket() const { return udpSocket_; }

 private:
  void RegisterConnected();

  bool connected_;
  int udpSocket_;
  int tcpSocket_;
  sockaddr_in peerAddress_;
  DescriptorWatch* watch_;
  bool ownsWatch_;
};

#endif  // NETBACKEND_CONNECTOR_H_
