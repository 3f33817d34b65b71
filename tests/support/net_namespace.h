// Private network namespaces for the socket tests. Every test that opens a
// socket to the network runs its scenario in a forked child that first moves
// into namespaces of its own (unshare(CLONE_NEWNET)), so nothing it sends can
// reach the machine's real network. The namespaces are anonymous: the child
// holds them by descriptor and they vanish with it, whatever way it ends, so
// there is no name to delete and nothing a killed test can leave behind.
// Peers are further anonymous namespaces of the same child, joined to it by
// veth pairs; the child enters them with setns() to set up their side.
//
// The child cannot use gtest's assertions (they would fail in a copy of the
// process that gtest never hears from): it collects failures in a Report,
// which travels back to the parent through a pipe.
#ifndef NETBACKEND_TESTS_SUPPORT_NET_NAMESPACE_H_
#define NETBACKEND_TESTS_SUPPORT_NET_NAMESPACE_H_

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <functional>
#include <sstream>
#include <string>

namespace nettest {

// Failure lines collected in the child.
class Report {
 public:
  bool Check(bool ok, const char* file, int line, const std::string& what) {
    if (!ok) {
      std::ostringstream out;
      out << file << ":" << line << ": " << what << "\n";
      text_ += out.str();
    }
    return ok;
  }
  template <typename A, typename B>
  bool CheckEq(const A& expected, const B& actual, const char* file, int line,
               const char* expectedText, const char* actualText) {
    if (expected == actual) return true;
    std::ostringstream out;
    out << actualText << " is " << actual << ", expected " << expectedText << " = " << expected;
    return Check(false, file, line, out.str());
  }
  // Context for the failures that follow (a table row's name).
  void Context(const std::string& context) { context_ = context; }
  const std::string& context() const { return context_; }
  const std::string& text() const { return text_; }

 private:
  std::string text_;
  std::string context_;
};

#define NS_CHECK(report, cond) \
  (report).Check((cond), __FILE__, __LINE__, (report).context() + ": failed: " #cond)
#define NS_CHECK_EQ(report, expected, actual)                \
  (report).CheckEq((expected), (actual), __FILE__, __LINE__, \
                   ((report).context() + ": " #expected).c_str(), #actual)

// An anonymous network namespace, held by a descriptor of its nsfs file.
class NetNs {
 public:
  // Creates a fresh namespace. With `stay` the calling process moves into
  // it; otherwise it returns to the namespace it was in (a peer, entered
  // later with Enter). ok() is false when that failed.
  explicit NetNs(bool stay) : fd_(-1) {
    int previous = stay ? -1 : open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
    if (!stay && previous < 0) return;
    if (unshare(CLONE_NEWNET) == 0) fd_ = open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
    if (previous >= 0) {
      if (setns(previous, CLONE_NEWNET) != 0) _exit(3);  // never run on in the wrong place
      close(previous);
    }
  }
  ~NetNs() {
    if (fd_ >= 0) close(fd_);
  }
  NetNs(const NetNs&) = delete;
  NetNs& operator=(const NetNs&) = delete;

  bool ok() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  // A path that `ip ... netns PATH` accepts while this process lives.
  std::string Path() const {
    return "/proc/" + std::to_string(getpid()) + "/fd/" + std::to_string(fd_);
  }

 private:
  int fd_;
};

// Enters `ns` for the scope and returns to the namespace it came from.
class Enter {
 public:
  explicit Enter(const NetNs& ns) : previous_(open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC)) {
    ok_ = previous_ >= 0 && setns(ns.fd(), CLONE_NEWNET) == 0;
  }
  ~Enter() {
    if (previous_ >= 0) {
      if (setns(previous_, CLONE_NEWNET) != 0) _exit(3);  // never run on in the wrong place
      close(previous_);
    }
  }
  Enter(const Enter&) = delete;
  Enter& operator=(const Enter&) = delete;
  bool ok() const { return ok_; }

 private:
  int previous_;
  bool ok_;
};

// Runs `commands` (ip commands without the leading "ip", one a line) in the
// current namespace of the calling process. True when every one succeeded.
inline bool Ip(const std::string& commands) {
  FILE* ip = popen("ip -batch -", "w");
  if (ip == nullptr) return false;
  fwrite(commands.data(), 1, commands.size(), ip);
  int status = pclose(ip);
  return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

inline std::string ReadAll(int fd) {
  std::string text;
  char chunk[4096];
  for (;;) {
    ssize_t n = read(fd, chunk, sizeof(chunk));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    text.append(chunk, static_cast<size_t>(n));
  }
  return text;
}

// With `loopbackUp`: lo, and nb0 (10.99.0.1/24), one end of a veth pair
// whose other end is up too, as an interface the query may leave by (the
// connector never uses loopback). LinkPeer puts a neighbour on its link.
const char kLinkUp[] =
    "link set lo up\n"
    "link add nb0 type veth peer name nb1\n"
    "addr add 10.99.0.1/24 dev nb0\n"
    "link set nb1 up\n"
    "link set nb0 up\n";

// Waits up to five seconds until interface `name` has its carrier
// (IFF_RUNNING): the kernel notices in its own time that a veth's far end is
// up, and the connector passes over an interface without carrier.
inline bool WaitForCarrier(const char* name) {
  int probe = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  bool running = false;
  for (int i = 0; probe >= 0 && !running && i < 100; ++i) {
    ifreq request;
    memset(&request, 0, sizeof(request));
    strncpy(request.ifr_name, name, IFNAMSIZ - 1);
    running = ioctl(probe, SIOCGIFFLAGS, &request) == 0 && (request.ifr_flags & IFF_RUNNING) != 0;
    if (!running) usleep(50000);
  }
  if (probe >= 0) close(probe);
  return running;
}

// Moves nb1 (see kLinkUp) into `peer` as 10.99.0.2/24, a neighbour on
// nb0's link, and waits until a datagram gets across: a veth pair drops
// packets quietly until the kernel has noticed that both ends are up.
// True when the link carries datagrams within five seconds.
inline bool LinkPeer(const NetNs& peer) {
  if (!Ip("link set nb1 netns " + peer.Path() + "\n")) return false;
  int listener = -1;
  {
    Enter inPeer(peer);
    if (!inPeer.ok() || !Ip("link set lo up\n"
                            "addr add 10.99.0.2/24 dev nb1\n"
                            "link set nb1 up\n"
                            "route add 224.0.0.0/4 dev nb1\n"))
      return false;
    listener = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
  }
  sockaddr_in to;
  memset(&to, 0, sizeof(to));
  to.sin_family = AF_INET;
  to.sin_port = htons(9);
  inet_pton(AF_INET, "10.99.0.2", &to.sin_addr);
  bool through = listener >= 0 && bind(listener, reinterpret_cast<sockaddr*>(&to), sizeof(to)) == 0;
  int sender = socket(AF_INET, SOCK_DGRAM, 0);
  for (int i = 0; through && i < 100; ++i) {
    char byte = 1;
    sendto(sender, &byte, 1, 0, reinterpret_cast<sockaddr*>(&to), sizeof(to));
    usleep(50000);
    if (recv(listener, &byte, 1, 0) == 1) {
      close(sender);
      close(listener);
      return true;
    }
  }
  if (sender >= 0) close(sender);
  if (listener >= 0) close(listener);
  return false;
}

// Forks a child that moves into a fresh network namespace (set up as above
// when `loopbackUp`), runs `body` there and sends its report back. Returns the
// failures: empty when the child ran to the end without any. A child that
// runs longer than `limitSeconds` is killed by its alarm.
inline std::string RunInNamespace(bool loopbackUp, int limitSeconds,
                                  const std::function<void(Report&)>& body,
                                  pid_t* childPid = nullptr) {
  fflush(nullptr);
  int pipeFds[2];
  if (pipe(pipeFds) != 0) return "pipe failed\n";
  pid_t child = fork();
  if (child < 0) {
    close(pipeFds[0]);
    close(pipeFds[1]);
    return "fork failed\n";
  }
  if (child == 0) {
    close(pipeFds[0]);
    prctl(PR_SET_PDEATHSIG, SIGKILL);  // never outlive the test
    alarm(static_cast<unsigned>(limitSeconds));
    // The trace stays off unless a scenario turns it on (by pointing TMPDIR
    // at a marker of its own), so that no test leaves a log file behind.
    unsetenv("TMPDIR");
    Report report;
    {
      NetNs own(true);
      if (!own.ok()) {
        report.Check(false, __FILE__, __LINE__, "unshare(CLONE_NEWNET) failed");
      } else if (loopbackUp && !(Ip(kLinkUp) && WaitForCarrier("nb0"))) {
        report.Check(false, __FILE__, __LINE__, "setting up lo and nb0 failed, or nb0 got no carrier");
      } else {
        body(report);
      }
    }
    const std::string& text = report.text();
    size_t done = 0;
    while (done < text.size()) {
      ssize_t n = write(pipeFds[1], text.data() + done, text.size() - done);
      if (n <= 0) break;
      done += static_cast<size_t>(n);
    }
    close(pipeFds[1]);
    _exit(0);
  }
  if (childPid != nullptr) *childPid = child;
  close(pipeFds[1]);
  std::string text = ReadAll(pipeFds[0]);
  close(pipeFds[0]);
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFSIGNALED(status)) {
    text += "child killed by signal " + std::to_string(WTERMSIG(status)) +
            (WTERMSIG(status) == SIGALRM ? " (time limit)" : "") + "\n";
  } else if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    text += "child exited with status " + std::to_string(WEXITSTATUS(status)) + "\n";
  }
  return text;
}

}  // namespace nettest

#endif  // NETBACKEND_TESTS_SUPPORT_NET_NAMESPACE_H_
