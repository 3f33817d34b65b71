// Tests of the limited child: the limits and descriptors a program starts
// with, a program that cannot start, and the end of a whole group whose
// members ignore SIGTERM.

#include "app/child_process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>

#include <string>

#include "test_files.h"
#include "test_util.h"

namespace {

// Everything the child writes on standard output until it closes it.
std::string Output(ChildProcess& child) {
  std::string out;
  char buffer[256];
  while (child.OutFd() >= 0) {
    struct pollfd fd = {child.OutFd(), POLLIN, 0};
    if (poll(&fd, 1, 5000) <= 0) break;
    ssize_t n = read(child.OutFd(), buffer, sizeof buffer);
    if (n > 0) out.append(buffer, static_cast<size_t>(n));
    if (n == 0) child.CloseOut();
  }
  return out;
}

// A process that is gone, or a zombie nobody reaps (no init in a container).
bool Ended(pid_t pid) {
  std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
  size_t paren = stat.rfind(')');
  return stat.empty() || (paren != std::string::npos && stat.compare(paren, 4, ") Z ") == 0);
}

TEST(ChildProcessTest, StartsWithTheLimitsAndNothingInherited) {
  // No close-on-exec, and above the descriptors the child sets up itself:
  // the child must not get it all the same.
  Fd opened(open("/dev/null", O_RDONLY));
  Fd leaked(fcntl(opened.get(), F_DUPFD, 20));
  const std::string fd = std::to_string(leaked.get());
  ChildProcess child;
  std::string error;
  ASSERT_TRUE(child.Start({"/bin/sh", "-c",
                           "ulimit -v; ulimit -t; ulimit -f; echo $PROBE; "
                           "[ -e /proc/$$/fd/" +
                               fd +
                               " ] && echo inherited || echo closed; "
                               "[ $(ps -o pgid= -p $$) = $$ ] && echo leader"},
                          {"PATH=/usr/bin:/bin", "PROBE=env"}, {256ull << 20, 7, 1ull << 20},
                          error))
      << error;
  // ulimit -v and -f count KiB and 512-byte blocks.
  EXPECT_EQ(Output(child), "262144\n7\n2048\nenv\nclosed\nleader\n");
  child.Kill(1000);
  EXPECT_EQ(child.ExitStatus(), 0);
}

TEST(ChildProcessTest, AProgramThatCannotStart) {
  struct Row {
    const char* program;
    const char* error;
  } rows[] = {{"/nonexistent/gs", "Cannot run /nonexistent/gs: No such file"},
              {"gs", "not named by an absolute path"}};
  for (const Row& row : rows) {
    ChildProcess child;
    std::string error;
    EXPECT_FALSE(child.Start({row.program}, {}, {}, error));
    EXPECT_NE(error.find(row.error), std::string::npos) << error;
  }
}

TEST(ChildProcessTest, KillEndsTheWholeGroup) {
  ChildProcess child;
  std::string error;
  // The shell and the process it starts both ignore SIGTERM; the shell
  // prints the other's pid and closes its standard output.
  ASSERT_TRUE(
      child.Start({"/bin/sh", "-c", "trap '' TERM; sleep 60 >/dev/null & echo $!; exec >&-; wait"},
                  {}, {}, error))
      << error;
  const pid_t grandchild = static_cast<pid_t>(atoi(Output(child).c_str()));
  ASSERT_GT(grandchild, 0);
  const pid_t group = child.Pid();
  child.Kill(100);
  EXPECT_EQ(child.TermSignal(), SIGKILL);
  for (int i = 0; i < 100 && !Ended(grandchild); ++i) usleep(10000);
  EXPECT_TRUE(Ended(grandchild));
  EXPECT_TRUE(Ended(group));
}

}  // namespace
