// The built program run as the printing system runs it: a chosen argument
// vector and environment, its standard output, standard error and exit
// status, the argument vector and DEVICE_URI that reach the socket backend (a
// recording stand-in under a temporary CUPS_SERVERBIN), and its trace file.
//
// Every run happens inside a fresh network namespace of its own (`unshare
// -n`): there no interface is up, so a run that reaches the discovery sends
// nothing anywhere and ends at once, whatever the program was meant to do.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sstream>
#include <string>
#include <vector>

#include "test_files.h"
#include "trace_file.h"

namespace {

const char kProgram[] = NETBACKEND_PATH;
const char kFakeSocket[] = FAKE_SOCKET_PATH;
const int kTimedOut = -2;
const int kRunSeconds = 20;

std::string Unshare() {
  const char* candidates[] = {"/usr/bin/unshare", "/bin/unshare"};
  for (const char* path : candidates)
    if (access(path, X_OK) == 0) return path;
  return "";
}

std::string BaseName(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

struct Outcome {
  int status = kTimedOut;  // exit status, 1000 + signal, or kTimedOut
  pid_t pid = -1;
  std::string out;
  std::string err;
};

// A stand-in socket backend under a temporary CUPS_SERVERBIN, a TMPDIR for
// the trace markers, and a runner that starts the program in its own network
// namespace. Trace files of every run are deleted afterwards.
class ProcessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = temp_.path();
    ASSERT_FALSE(dir_.empty());
    ASSERT_EQ(0, chmod(dir_.c_str(), 0755));
    unshare_ = Unshare();
    ASSERT_FALSE(unshare_.empty()) << "util-linux unshare is needed";
    tmp_ = dir_ + "/tmp";
    ASSERT_EQ(0, mkdir(tmp_.c_str(), 0755));
    serverBin_ = dir_ + "/serverbin";
    ASSERT_TRUE(InstallBackend(serverBin_));
    record_ = dir_ + "/record.txt";
  }

  void TearDown() override {
    for (const std::string& path : traces_) unlink(path.c_str());
  }

  // Puts a copy of the recording backend at "<serverBin>/backend/socket".
  bool InstallBackend(const std::string& serverBin) {
    return MakeDirs(serverBin + "/backend") &&
           CopyFile(kFakeSocket, serverBin + "/backend/socket", 0755);
  }

  void Marker(const char* name) {
    int fd = open((tmp_ + "/" + name).c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    close(fd);
  }

  // The environment of a run: the test's TMPDIR, CUPS_SERVERBIN and record
  // file, unless `extra` ("NAME=value") names them itself, then `extra`.
  std::vector<std::string> Env(const std::vector<std::string>& extra) {
    std::vector<std::string> env;
    const std::vector<std::string> base = {"TMPDIR=" + tmp_, "CUPS_SERVERBIN=" + serverBin_,
                                           "FAKE_SOCKET_RECORD=" + record_};
    for (const std::string& entry : base) {
      std::string prefix = entry.substr(0, entry.find('=') + 1);
      bool replaced = false;
      for (const std::string& e : extra) replaced |= e.compare(0, prefix.size(), prefix) == 0;
      if (!replaced) env.push_back(entry);
    }
    for (const char* pass : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"}) {
      const char* value = getenv(pass);
      if (value != nullptr) env.push_back(std::string(pass) + "=" + value);
    }
    env.insert(env.end(), extra.begin(), extra.end());
    return env;
  }

  // Runs `program` with argument 0 = `program` and then `args`, in a network
  // namespace of its own (unshare execs it in place: same pid).
  Outcome Start(const std::string& program, const std::vector<std::string>& args,
                const std::vector<std::string>& env) {
    std::vector<std::string> argv = {unshare_, "-n", "--", program};
    argv.insert(argv.end(), args.begin(), args.end());
    std::string outPath = dir_ + "/stdout." + std::to_string(++runs_);
    std::string errPath = dir_ + "/stderr." + std::to_string(runs_);
    Outcome run;
    pid_t pid = fork();
    if (pid == 0) {
      std::vector<char*> cargv;
      for (const std::string& a : argv) cargv.push_back(const_cast<char*>(a.c_str()));
      cargv.push_back(nullptr);
      std::vector<char*> cenv;
      for (const std::string& e : env) cenv.push_back(const_cast<char*>(e.c_str()));
      cenv.push_back(nullptr);
      int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (out < 0 || err < 0 || chdir(dir_.c_str()) != 0) _exit(126);
      dup2(out, STDOUT_FILENO);
      dup2(err, STDERR_FILENO);
      execve(cargv[0], cargv.data(), cenv.data());
      _exit(127);
    }
    if (pid < 0) return run;
    run.pid = pid;
    traces_.push_back(TracePath(BaseName(program), pid));
    traces_.push_back(TracePath("netbackend", pid));
    int status = 0;
    for (int waited = 0;; waited += 10) {
      pid_t done = waitpid(pid, &status, WNOHANG);
      if (done == pid) break;
      if (waited >= kRunSeconds * 1000) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        run.out = ReadFile(outPath);
        run.err = ReadFile(errPath);
        return run;
      }
      usleep(10000);
    }
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 1000 + WTERMSIG(status);
    run.out = ReadFile(outPath);
    run.err = ReadFile(errPath);
    return run;
  }

  Outcome Start(const std::vector<std::string>& args, const std::vector<std::string>& env) {
    return Start(kProgram, args, env);
  }

  // What the stand-in backend records for `argv` and `uri`.
  static std::string Recorded(const std::vector<std::string>& argv, const std::string& uri) {
    std::string text = "argc=" + std::to_string(argv.size()) + "\n";
    for (size_t i = 0; i < argv.size(); ++i)
      text += "argv[" + std::to_string(i) + "]=" + argv[i] + "\n";
    return text + "DEVICE_URI=" + uri + "\n";
  }

  std::string Trace(const Outcome& run) const { return ReadFile(TracePath("netbackend", run.pid)); }

  TempDir temp_{"process_netbackend"};
  std::string dir_;
  std::string unshare_;
  std::string tmp_;
  std::string serverBin_;
  std::string record_;
  std::vector<std::string> traces_;
  int runs_ = 0;
};

// Job id, user, title, copies, options, file: as the scheduler passes them.
std::vector<std::string> JobArgs() { return {"1", "root", "title", "1", "", "/dev/null"}; }

// The bodies of the trace lines written by main.
std::vector<std::string> MainLines(const std::string& trace) {
  return TraceBodies(trace, "src/netbackend", "main");
}

bool DiscoveryRan(const std::string& trace) {
  return trace.find("-discover]\n") != std::string::npos;
}

// ------------------------------------------------------------- run modes

TEST_F(ProcessTest, VersionQueryPrintsTheVersionAndNothingElse) {
  Marker(".slog");
  for (const char* arg : {"-v", "-vx", "-verbose"}) {
    SCOPED_TRACE(arg);
    Outcome run = Start({arg}, Env({"DEVICE_URI=tamo://192.168.1.20"}));
    EXPECT_EQ(0, run.status);
    EXPECT_EQ(NETBACKEND_QUERY_VERSION "\n", run.out);
    EXPECT_EQ("", run.err);
    EXPECT_FALSE(Exists(TracePath("netbackend", run.pid))) << "no trace line expected";
    EXPECT_FALSE(Exists(record_));
  }
}

TEST_F(ProcessTest, OtherShortArgumentListsRunTheListing) {
  // The full trace shows the discovery; in the namespace it finds nothing,
  // so the listing is empty and the status 0. DEVICE_URI is not looked at
  // below six arguments, so no hand-over happens although it names an IP.
  Marker(".slog");
  const std::vector<std::vector<std::string>> rows = {{"-V"},       {"x-v"}, {"--v"},
                                                      {"-v", "-v"}, {},      {"a", "b", "c", "d"}};
  for (const std::vector<std::string>& args : rows) {
    SCOPED_TRACE("argc " + std::to_string(args.size() + 1) +
                 (args.empty() ? "" : " first " + args[0]));
    Outcome run = Start(args, Env({"DEVICE_URI=tamo://192.168.1.20"}));
    EXPECT_EQ(0, run.status);
    EXPECT_EQ("", run.out);
    EXPECT_EQ("", run.err);
    EXPECT_TRUE(DiscoveryRan(Trace(run))) << Trace(run);
    EXPECT_TRUE(MainLines(Trace(run)).empty());
    EXPECT_FALSE(Exists(record_));
  }
}

// The probe's command line: a bad one is refused with status 2 and a line
// that says why, before anything is sent; a good one with no network to
// send on ends with status 1.
TEST_F(ProcessTest, ProbeCommandLine) {
  const struct {
    std::vector<std::string> args;
    int status;
    std::string err;  // the first line of standard error
  } rows[] = {
      {{"--seconds"}, 2, "netbackend-probe: --seconds needs a value"},
      {{"--name"}, 2, "netbackend-probe: --name needs a value"},
      {{"--seconds", "0"}, 2, "netbackend-probe: --seconds takes 1 to 15, not '0'"},
      {{"--seconds", "16"}, 2, "netbackend-probe: --seconds takes 1 to 15, not '16'"},
      {{"--seconds", "5x"}, 2, "netbackend-probe: --seconds takes 1 to 15, not '5x'"},
      {{"--name", "a/b"}, 2, "netbackend-probe: --name takes a file name, not 'a/b'"},
      {{"--uri", "80C4A2E691D5"},
       2,
       "netbackend-probe: --uri takes a device URI such as tamo://80C4A2E691D5"},
      {{"--json", "--verbose"}, 2, "netbackend-probe: unknown option '--verbose'"},
      {{"--seconds", "15", "--name", "tamo"},
       1,
       "netbackend-probe: no usable network interface (up, with a carrier, multicast-capable, "
       "not loopback, not point-to-point): the query cannot be sent"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.args[0] + " " + (row.args.size() > 1 ? row.args[1] : ""));
    Outcome run = Start(PROBE_PATH, row.args, Env({}));
    EXPECT_EQ(row.status, run.status);
    EXPECT_EQ(row.err, run.err.substr(0, run.err.find('\n')));
    EXPECT_EQ("", run.out);
  }
}

// A job always names its printer: one that does not must fail, never list
// (a listing ends with status 0, and the scheduler would call the job
// printed).
TEST_F(ProcessTest, JobWithoutAPrinterInItsUriFails) {
  Marker(".slog");
  struct Row {
    const char* why;
    std::vector<std::string> extra;
    const char* shown;
  };
  const Row rows[] = {
      {"DEVICE_URI unset", {}, ""},
      {"nothing after //", {"DEVICE_URI=tamo://"}, "tamo://"},
      {"DEVICE_URI empty", {"DEVICE_URI="}, ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.why);
    Outcome run = Start(JobArgs(), Env(row.extra));
    EXPECT_EQ(1, run.status);
    EXPECT_EQ("", run.out);
    EXPECT_EQ(std::string("ERROR: The device URI \"") + row.shown + "\" names no printer\n",
              run.err);
    EXPECT_FALSE(DiscoveryRan(Trace(run)));
    EXPECT_EQ(
        std::vector<std::string>{std::string("No printer in DEVICE_URI \"") + row.shown + "\""},
        MainLines(Trace(run)));
    EXPECT_FALSE(Exists(record_));
  }
}

// ------------------------------------------------------------- hand-over

TEST_F(ProcessTest, IpTargetIsHandedToTheSocketBackend) {
  Marker(".slog");
  const std::string longArg = std::string(100000, 'o') + " end";
  struct Row {
    const char* why;
    std::string deviceUri;
    std::vector<std::string> args;
    const char* status;  // FAKE_SOCKET_STATUS, or nullptr
    int exitStatus;
    std::string newUri;
  };
  const Row rows[] = {
      {"the scheduler's seven arguments", "tamo://192.168.1.20", JobArgs(), nullptr, 0,
       "socket://192.168.1.20"},
      {"odd bytes pass untouched; the backend's status is ours",
       "tamo://192.168.1.20",
       {"42", "user name with  spaces", "", "T\xc3\xaftle \xe2\x9c\x93 \xff\x01", "a\tb\nc",
        longArg},
       "3",
       3,
       "socket://192.168.1.20"},
      {"six arguments",
       "tamo://10.1.2.3",
       {"1", "u", "t", "1", "o"},
       nullptr,
       0,
       "socket://10.1.2.3"},
      {"eight job arguments",
       "tamo://10.1.2.3",
       {"1", "u", "t", "1", "o", "f", "extra", "-v"},
       "7",
       7,
       "socket://10.1.2.3"},
      {"no \"//\": the whole value is the target", "192.168.1.20", JobArgs(), nullptr, 0,
       "socket://192.168.1.20"},
      {"values are not checked", "x://999.1.1.1", JobArgs(), nullptr, 0, "socket://999.1.1.1"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.why);
    unlink(record_.c_str());
    std::vector<std::string> extra = {"DEVICE_URI=" + row.deviceUri};
    if (row.status != nullptr) extra.push_back(std::string("FAKE_SOCKET_STATUS=") + row.status);
    Outcome run = Start(row.args, Env(extra));
    EXPECT_EQ(row.exitStatus, run.status);
    EXPECT_EQ("", run.out);
    EXPECT_EQ("", run.err);
    std::vector<std::string> argv = row.args;
    argv.insert(argv.begin(), row.newUri);
    EXPECT_EQ(Recorded(argv, row.newUri), ReadFile(record_));
    std::string trace = Trace(run);
    EXPECT_FALSE(DiscoveryRan(trace));
    EXPECT_EQ(std::vector<std::string>{"Executing backend " + serverBin_ +
                                       "/backend/socket with URI: " + row.newUri},
              MainLines(trace));
  }
}

// The socket backend gets the scheduler's descriptors and nothing of ours:
// an open trace file must not survive the exec.
TEST_F(ProcessTest, TraceFileIsNotInheritedByTheSocketBackend) {
  Marker(".slog");
  const std::string fds = dir_ + "/fds.txt";
  Outcome run = Start(JobArgs(), Env({"DEVICE_URI=tamo://192.168.1.20", "FAKE_SOCKET_FDS=" + fds}));
  EXPECT_EQ(0, run.status);
  ASSERT_NE("", Trace(run)) << "the trace must have been open before the exec";
  std::string inherited = ReadFile(fds);
  EXPECT_NE("", inherited) << "the backend must have listed its descriptors";
  EXPECT_EQ(std::string::npos, inherited.find(TracePath("netbackend", run.pid))) << inherited;
}

// A socket backend that cannot be run leaves the job unprinted: status 1,
// never 0, with the reason for the administrator.
TEST_F(ProcessTest, SocketBackendThatCannotRunFailsTheJob) {
  ASSERT_FALSE(Exists("/backend/socket")) << "this machine has a /backend/socket";
  Marker(".slog_varn");
  Outcome run = Start(JobArgs(), Env({"DEVICE_URI=tamo://192.168.1.20", "CUPS_SERVERBIN="}));
  EXPECT_EQ(1, run.status);
  EXPECT_EQ("", run.out);
  EXPECT_EQ(
      "ERROR: Could not run the socket backend /backend/socket: No such file or "
      "directory\n",
      run.err);
  EXPECT_FALSE(Exists(record_));
  EXPECT_EQ(
      (std::vector<std::string>{"Executing backend /backend/socket with URI: socket://192.168.1.20",
                                "execv /backend/socket failed: No such file or directory"}),
      MainLines(Trace(run)));
}

TEST_F(ProcessTest, PathsThatDoNotFitRefuseTheHandOver) {
  // The backend path "<dir>/backend/socket" may hold 1023 characters, the
  // new URI "socket://<host>" 127: the host at most 118. Past that the job
  // is refused with status 1 rather than handed to a cut-short name. The
  // backend exists in each long directory, so a refusal is a real one.
  Marker(".slog_varn");
  const std::string host118 = std::string(112, '1') + ".2.3.4";
  const std::string host119 = std::string(113, '1') + ".2.3.4";
  const std::string host500 = std::string(494, '1') + ".2.3.4";
  struct Row {
    const char* why;
    size_t serverBinLength;  // 0: the test's own
    std::string host;
    bool handedOver;
  };
  const Row rows[] = {
      {"backend path of 1023 characters", 1008, "10.0.0.1", true},
      {"backend path of 1024 characters", 1009, "10.0.0.1", false},
      {"CUPS_SERVERBIN of 1100 characters", 1100, "10.0.0.1", false},
      {"host of 118 characters", 0, host118, true},
      {"host of 119 characters", 0, host119, false},
      {"host of 500 characters", 0, host500, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.why);
    unlink(record_.c_str());
    std::string serverBin = serverBin_;
    if (row.serverBinLength != 0) {
      serverBin = DirOfLength(dir_ + "/long", row.serverBinLength);
      ASSERT_EQ(row.serverBinLength, serverBin.size());
      ASSERT_TRUE(InstallBackend(serverBin));
    }
    Outcome run =
        Start(JobArgs(), Env({"DEVICE_URI=tamo://" + row.host, "CUPS_SERVERBIN=" + serverBin}));
    EXPECT_EQ("", run.out);
    EXPECT_EQ(row.handedOver, run.err.empty()) << run.err;
    EXPECT_EQ(0u, run.err.find(row.handedOver ? "" : "ERROR: ")) << run.err;
    std::vector<std::string> lines = MainLines(Trace(run));
    ASSERT_EQ(1u, lines.size()) << Trace(run);
    if (row.handedOver) {
      EXPECT_EQ(0, run.status);
      std::string uri = "socket://" + row.host;
      std::vector<std::string> argv = JobArgs();
      argv.insert(argv.begin(), uri);
      EXPECT_EQ(Recorded(argv, uri), ReadFile(record_));
      EXPECT_EQ("Executing backend " + serverBin + "/backend/socket with URI: " + uri, lines[0]);
    } else {
      EXPECT_EQ(1, run.status);
      EXPECT_FALSE(Exists(record_));
      EXPECT_EQ(std::string::npos, lines[0].find("Executing backend")) << lines[0];
      EXPECT_NE(std::string::npos, lines[0].find("not handed over")) << lines[0];
    }
    EXPECT_FALSE(DiscoveryRan(Trace(run)));
  }
}

TEST_F(ProcessTest, TargetNobodyMatchesEndsWithStatus1) {
  // Not IPv4 literals, so each is searched for among the discovered
  // printers; in the empty namespace there are none.
  Marker(".slog");
  struct Row {
    std::string deviceUri;
    std::string target;
  };
  const Row rows[] = {
      {"tamo://0011AABBCCDD", "0011AABBCCDD"},
      {"tamo://0011aabbccdd", "0011aabbccdd"},
      {"tamo://10.0.1", "10.0.1"},
      {"tamo://1.2.3.4.", "1.2.3.4."},
      {"tamo://192.168.1.20/queue", "192.168.1.20/queue"},
      {"tamo://192.168.1.20:9100", "192.168.1.20:9100"},
      {"tamo:/0011AABBCCDD", "tamo:/0011AABBCCDD"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.deviceUri);
    Outcome run = Start(JobArgs(), Env({"DEVICE_URI=" + row.deviceUri}));
    EXPECT_EQ(1, run.status);
    EXPECT_EQ("", run.out);
    // No interface is up in the namespace: the query cannot go out.
    EXPECT_EQ(
        "STATE: +connecting-to-device\n"
        "INFO: Looking for printer " +
            row.target +
            " on the local network\n"
            "STATE: -connecting-to-device\n"
            "ERROR: Could not look for printer " +
            row.target + ": the query could not be sent on any network interface\n",
        run.err);
    EXPECT_FALSE(Exists(record_));
    std::string trace = Trace(run);
    EXPECT_TRUE(DiscoveryRan(trace));
    EXPECT_EQ(std::vector<std::string>{"Device not found with MAC:" + row.target},
              MainLines(trace));
  }
}

// ---------------------------------------------------------- program name

TEST_F(ProcessTest, ExportedTraceNamesAreUnmangled) {
  std::string command = std::string("nm -D '") + kProgram + "'";
  FILE* nm = popen(command.c_str(), "r");
  ASSERT_NE(nullptr, nm);
  std::string output;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof(buffer), nm)) > 0) output.append(buffer, n);
  ASSERT_EQ(0, pclose(nm)) << "nm failed";
  for (const char* name : {"gLogFD", "gLogLevel", "gLogLock", "log_exit"}) {
    SCOPED_TRACE(name);
    bool defined = false;
    for (const std::string& line : Lines(output)) {
      std::istringstream fields(line);
      std::string address, type, symbol;
      if (fields >> address >> type >> symbol && symbol == name)
        defined = type != "U" && type != "w" && type != "v";
    }
    EXPECT_TRUE(defined) << output;
  }
}

TEST_F(ProcessTest, SymbolicLinkNameDoesNotCount) {
  // The trace file carries the program file's own name, never the link's.
  Marker(".slog_varn");
  const std::string copy = dir_ + "/zcopy";
  ASSERT_TRUE(CopyFile(kProgram, copy, 0755));
  struct Row {
    std::string link;
    std::string target;
  };
  const Row rows[] = {
      {dir_ + "/tamo", copy},
      {dir_ + "/alias-of-netbackend", kProgram},
      {dir_ + "/link-to-link", dir_ + "/tamo"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.link);
    ASSERT_EQ(0, symlink(row.target.c_str(), row.link.c_str()));
    std::string realName = BaseName(row.target == kProgram ? kProgram : copy);
    Outcome run = Start(row.link, JobArgs(), Env({"DEVICE_URI=tamo://192.168.1.20"}));
    traces_.push_back(TracePath(realName, run.pid));
    EXPECT_EQ(0, run.status);
    EXPECT_TRUE(Exists(TracePath(realName, run.pid))) << realName;
    EXPECT_FALSE(Exists(TracePath(BaseName(row.link), run.pid)));
    EXPECT_EQ(1u, MainLines(ReadFile(TracePath(realName, run.pid))).size());
  }
}

// ------------------------------------------------------------ trace file

TEST_F(ProcessTest, TraceFileNameModeAndLineFormat) {
  struct Row {
    const char* why;
    const char* marker;  // nullptr: none
    std::string deviceUri;
    size_t mainLines;
  };
  const Row rows[] = {
      {"I-only, hand-over", ".slog_varn", "tamo://192.168.1.20", 1},
      {"I-only, MAC not found", ".slog_varn", "tamo://0011AABBCCDD", 1},
      {"full, MAC not found", ".slog", "tamo://0011AABBCCDD", 1},
      {"no marker: no file", nullptr, "tamo://0011AABBCCDD", 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.why);
    unlink((tmp_ + "/.slog").c_str());
    unlink((tmp_ + "/.slog_varn").c_str());
    if (row.marker != nullptr) Marker(row.marker);
    Outcome run = Start(JobArgs(), Env({"DEVICE_URI=" + row.deviceUri}));
    const std::string path = TracePath("netbackend", run.pid);
    struct stat st;
    if (row.marker == nullptr) {
      EXPECT_NE(0, lstat(path.c_str(), &st));
      continue;
    }
    ASSERT_EQ(0, lstat(path.c_str(), &st)) << path;
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(0600u, st.st_mode & 07777);
    std::string trace = ReadFile(path);
    ASSERT_FALSE(trace.empty());
    EXPECT_EQ('\n', trace.back());
    for (const std::string& text : Lines(trace)) {
      TraceLine line;
      EXPECT_TRUE(ParseTraceLine(text, &line) && line.source.compare(0, 4, "src/") == 0) << text;
    }
    EXPECT_EQ(row.mainLines, MainLines(trace).size()) << trace;
  }
}

}  // namespace
