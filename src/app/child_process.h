// A program run as a child of the printer application, in a process group
// of its own and under resource limits, with its standard output and error
// on pipes that the parent reads. The document renderer (ghostscript.h)
// runs Ghostscript through it; a child that runs away is ended with its
// whole group, never the application.
// Threads: a ChildProcess serves one thread at a time.
#ifndef NETBACKEND_APP_CHILD_PROCESS_H_
#define NETBACKEND_APP_CHILD_PROCESS_H_

#include <sys/types.h>

#include <string>
#include <vector>

// What the kernel enforces on the child and on everything it starts.
struct ChildLimits {
  unsigned long long addressSpaceBytes = 0;  // RLIMIT_AS; 0: none
  unsigned cpuSeconds = 0;                   // RLIMIT_CPU (SIGXCPU); 0: none
  unsigned long long fileBytes = 0;          // RLIMIT_FSIZE; 0: none
};

class ChildProcess {
 public:
  ChildProcess() = default;
  // Ends the child's group if it still runs, and reaps the child.
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Starts `argv[0]` (an absolute path: no search) with `argv` and `env`,
  // standard input from /dev/null, standard output and error on two pipes,
  // every other descriptor closed, signals as a new program expects them.
  // False with `error` when the program could not be started.
  // Requires: no child started yet.
  bool Start(const std::vector<std::string>& argv, const std::vector<std::string>& env,
             const ChildLimits& limits, std::string& error);

  // The parent's ends of the child's standard output and error (-1 once
  // closed), to read and poll; non-blocking.
  int OutFd() const { return out_; }
  int ErrFd() const { return err_; }
  void CloseOut();
  void CloseErr();

  pid_t Pid() const { return pid_; }

  // Whether the child has exited, without waiting; reaps it when it has.
  bool Exited();
  // SIGTERM to the whole group, up to `graceMs` for the child to go, then
  // SIGKILL to the group; reaps the child. Nothing when it has been reaped.
  void Kill(int graceMs);

  // How the reaped child ended: its exit status, or the signal that ended
  // it (0 when it exited). -1 before it is reaped.
  int ExitStatus() const { return status_; }
  int TermSignal() const { return signal_; }

 private:
  void Reaped(int waitStatus);

  pid_t pid_ = -1;
  bool reaped_ = false;
  int out_ = -1;
  int err_ = -1;
  int status_ = -1;
  int signal_ = 0;
};

#endif  // NETBACKEND_APP_CHILD_PROCESS_H_
