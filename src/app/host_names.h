// The names and addresses of this host, for the two questions the printer
// application asks of them: whether a request's Host field names this host
// (a browser led to a rebound name must be turned away, or any web page
// could drive the server), and whether a printer's address is this host (a
// job must never be sent to a service of this host). No PAPPL here.
#ifndef NETBACKEND_APP_HOST_NAMES_H_
#define NETBACKEND_APP_HOST_NAMES_H_

#include <sys/socket.h>

#include <mutex>
#include <string>
#include <vector>

struct HostIdentity {
  // Lower case, without a trailing dot: "localhost", the host name, its
  // first label with ".local", and the names the server was given.
  std::vector<std::string> names;
  // The addresses of its interfaces, as inet_ntop writes them (IPv6
  // without a zone).
  std::vector<std::string> addresses;
};

// Reads the host's name and interface addresses now; `extraNames` (the
// listen host name, the server's own host name) are added.
HostIdentity ReadHostIdentity(const std::vector<std::string>& extraNames);

// Whether a Host field ("name", "name:port", "1.2.3.4:port", "[::1]:port")
// names this host: one of its names (case aside, a trailing dot allowed), a
// loopback address, or an address of one of its interfaces. An empty field
// (an HTTP/1.0 client) passes: only a browser sends a rebound name, and a
// browser always sends the field.
bool IsOwnHostField(const std::string& field, const HostIdentity& host);

// Whether `address` is a loopback, unspecified or own address of the host,
// IPv4-mapped forms included.
bool IsThisHost(const sockaddr* address, const HostIdentity& host);

// The identity, read again when a question finds no match and the last
// reading is older than a second (addresses come and go on a laptop).
// Thread-safe.
class HostIdentityCache {
 public:
  explicit HostIdentityCache(std::vector<std::string> extraNames = {});
  // Replaces the names given besides the host's own.
  void SetExtraNames(std::vector<std::string> extraNames);
  bool IsOwnHostField(const std::string& field);
  bool IsThisHost(const sockaddr* address);

 private:
  template <typename Test>
  bool Ask(Test test);

  std::mutex mutex_;
  std::vector<std::string> extraNames_;
  HostIdentity identity_;
  long long readAtMs_ = -1;
};

#endif  // NETBACKEND_APP_HOST_NAMES_H_
