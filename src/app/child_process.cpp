#include "child_process.h"

#include <assert.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

namespace {

// Bigger pipes mean fewer wake-ups: a 600 dpi page is 4 MiB of raster.
const int kPipeBytes = 1 << 20;
// How long the parent sleeps between looks at a child it is ending.
const long kPollNs = 5 * 1000 * 1000;

// Signals the application may ignore or block; a new program expects them
// as the kernel leaves them (an ignored signal stays ignored across exec).
const int kResetSignals[] = {SIGPIPE, SIGINT, SIGTERM, SIGHUP, SIGCHLD, SIGXCPU, SIGXFSZ, SIGALRM};

void CloseFd(int& fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}

// Two descriptors closed with their scope unless released.
struct PipePair {
  int fds[2] = {-1, -1};
  ~PipePair() {
    CloseFd(fds[0]);
    CloseFd(fds[1]);
  }
};

void SetLimit(int resource, unsigned long long value) {
  if (value == 0) return;
  struct rlimit limit;
  limit.rlim_cur = limit.rlim_max = static_cast<rlim_t>(value);
  // The hard CPU limit one second past the soft one: SIGXCPU first, which
  // a program may catch, then SIGKILL, which it cannot.
  if (resource == RLIMIT_CPU) limit.rlim_max = limit.rlim_cur + 1;
  setrlimit(resource, &limit);
}

// The child between fork and exec: only async-signal-safe calls.
[[noreturn]] void RunChild(char* const* argv, char* const* envp, int devNull, int out, int err,
                           int report, const ChildLimits& limits) {
  setpgid(0, 0);
  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_handler = SIG_DFL;
  for (int signal : kResetSignals) sigaction(signal, &action, nullptr);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  SetLimit(RLIMIT_AS, limits.addressSpaceBytes);
  SetLimit(RLIMIT_CPU, limits.cpuSeconds);
  SetLimit(RLIMIT_FSIZE, limits.fileBytes);
  // The error report goes on descriptor 3, closed by a successful exec;
  // nothing else of the application's (its listeners, the printer's
  // socket) reaches the program.
  if (dup2(devNull, 0) < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0 || dup2(report, 3) < 0 ||
      fcntl(3, F_SETFD, FD_CLOEXEC) < 0) {
    _exit(127);
  }
  close_range(4, ~0U, 0);
  execve(argv[0], argv, envp);
  int code = errno;
  ssize_t ignored = write(3, &code, sizeof code);
  (void)ignored;
  _exit(127);
}

}  // namespace

ChildProcess::~ChildProcess() {
  CloseOut();
  CloseErr();
  Kill(200);
}

void ChildProcess::CloseOut() { CloseFd(out_); }
void ChildProcess::CloseErr() { CloseFd(err_); }

bool ChildProcess::Start(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                         const ChildLimits& limits, std::string& error) {
  assert(pid_ < 0);
  if (argv.empty() || argv[0].empty() || argv[0][0] != '/') {
    error = "The program to run is not named by an absolute path";
    return false;
  }
  // Everything the child needs is made before fork: it may not allocate.
  std::vector<char*> args, envs;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  for (const std::string& e : env) envs.push_back(const_cast<char*>(e.c_str()));
  envs.push_back(nullptr);

  int devNull = open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (devNull < 0) {
    error = std::string("Cannot open /dev/null: ") + strerror(errno);
    return false;
  }
  PipePair out, err, report;
  if (pipe2(out.fds, O_CLOEXEC) != 0 || pipe2(err.fds, O_CLOEXEC) != 0 ||
      pipe2(report.fds, O_CLOEXEC) != 0) {
    error = std::string("Cannot make a pipe: ") + strerror(errno);
    close(devNull);
    return false;
  }
  pid_t pid = fork();
  if (pid == 0)
    RunChild(args.data(), envs.data(), devNull, out.fds[1], err.fds[1], report.fds[1], limits);
  close(devNull);
  if (pid < 0) {
    error = std::string("Cannot start a process: ") + strerror(errno);
    return false;
  }
  // Both sides set the group, so that a signal sent to it right after fork
  // already reaches the child.
  setpgid(pid, pid);
  pid_ = pid;
  CloseFd(out.fds[1]);
  CloseFd(err.fds[1]);
  CloseFd(report.fds[1]);

  int code = 0;
  ssize_t n;
  do {
    n = read(report.fds[0], &code, sizeof code);
  } while (n < 0 && errno == EINTR);
  if (n == static_cast<ssize_t>(sizeof code)) {
    error = "Cannot run " + argv[0] + ": " + strerror(code);
    Kill(0);
    return false;
  }
  std::swap(out_, out.fds[0]);
  std::swap(err_, err.fds[0]);
  fcntl(out_, F_SETPIPE_SZ, kPipeBytes);
  for (int fd : {out_, err_}) fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  return true;
}

void ChildProcess::Reaped(int waitStatus) {
  reaped_ = true;
  if (WIFEXITED(waitStatus)) {
    status_ = WEXITSTATUS(waitStatus);
  } else if (WIFSIGNALED(waitStatus)) {
    status_ = 128 + WTERMSIG(waitStatus);
    signal_ = WTERMSIG(waitStatus);
  }
}

bool ChildProcess::Exited() {
  if (pid_ < 0 || reaped_) return true;
  // Looked at without reaping: while the child is a zombie its pid, and so
  // its group's id, cannot be taken by another process, and whatever it
  // left running in its group is ended with it.
  siginfo_t info;
  memset(&info, 0, sizeof info);
  if (waitid(P_PID, pid_, &info, WEXITED | WNOHANG | WNOWAIT) != 0) {
    if (errno == ECHILD) reaped_ = true;  // reaped by someone else
    return reaped_;
  }
  if (info.si_pid != pid_) return false;
  kill(-pid_, SIGKILL);
  int status = 0;
  pid_t done;
  do {
    done = waitpid(pid_, &status, 0);
  } while (done < 0 && errno == EINTR);
  if (done == pid_)
    Reaped(status);
  else
    reaped_ = true;
  return true;
}

void ChildProcess::Kill(int graceMs) {
  if (pid_ < 0 || Exited()) return;
  kill(-pid_, SIGTERM);
  const struct timespec pause = {0, kPollNs};
  for (long waited = 0; waited < graceMs * 1000000L; waited += kPollNs) {
    if (Exited()) return;
    nanosleep(&pause, nullptr);
  }
  kill(-pid_, SIGKILL);
  while (!Exited()) nanosleep(&pause, nullptr);
}
