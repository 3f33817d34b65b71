// The printer application's server as the program makes it (its PAPPL
// system, hooks, drivers, filters and state), in one process: the system
// runs in a forked child inside a private network namespace, is asked in
// IPP over its own sockets, and a listener of the test stands in for the
// printer that the job's search finds. Seconds, where the end-to-end app
// suites take minutes; they test the installed service and real clients.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <pappl/pappl.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "device_scheme.h"
#include "device_uri.h"
#include "net_namespace.h"
#include "pam_login.h"
#include "pappl_hooks.h"
#include "pcl_decoder.h"
#include "printer_link.h"
#include "server_setup.h"
#include "state_paths.h"
#include "test_files.h"
#include "test_util.h"

namespace {

using nettest::Report;
using nettest::RunInNamespace;

const int kPort = 8631;

// The printer: takes connections on a loopback port and keeps what each
// one brought, in order.
class Printer {
 public:
  Printer() : fd_(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    bind(fd_, reinterpret_cast<sockaddr*>(&address), size);
    listen(fd_, 4);
    getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &size);
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] {
      for (int c; (c = accept(fd_, nullptr, nullptr)) >= 0; close(c)) {
        std::string job;
        char chunk[65536];
        bool echoed = false, ended = false;
        for (ssize_t n; (cut == 0 || job.size() < cut) && (n = read(c, chunk, sizeof chunk)) > 0;) {
          job.append(chunk, n);
          if (pjl) Answer(c, job, echoed, ended);
        }
        if (cut > 0) {  // reset: what the printer did not read is lost
          linger now = {1, 0};
          setsockopt(c, SOL_SOCKET, SO_LINGER, &now, sizeof now);
        }
        std::lock_guard<std::mutex> lock(mutex_);
        jobs_.push_back(job);
        arrived_.notify_all();
      }
    });
  }
  ~Printer() {
    shutdown(fd_, SHUT_RDWR);
    thread_.join();
    close(fd_);
  }
  int port() const { return port_; }
  // Once set, each connection ends after this many bytes.
  std::atomic<size_t> cut{0};
  // Once set, the printer says in its ID that it speaks PJL, and answers
  // the job's echo and its end (a job of two pages).
  std::atomic<bool> pjl{false};
  // The jobs taken so far, once there are `count` or 20 seconds passed.
  std::vector<std::string> Jobs(size_t count) {
    std::unique_lock<std::mutex> lock(mutex_);
    arrived_.wait_for(lock, std::chrono::seconds(20), [&] { return jobs_.size() >= count; });
    return jobs_;
  }

 private:
  static void Answer(int c, const std::string& job, bool& echoed, bool& ended) {
    auto field = [&job](const std::string& key, const char* end) {
      size_t at = job.find(key);
      if (at == std::string::npos) return std::string();
      at += key.size();
      size_t stop = job.find(end, at);
      return stop == std::string::npos ? std::string() : job.substr(at, stop - at);
    };
    std::string token = field("@PJL ECHO ", "\r\n"), name = field("@PJL EOJ NAME=\"", "\"");
    std::string say;
    if (!echoed && !token.empty()) say = "@PJL ECHO " + token + "\r\n\f";
    if (!ended && !name.empty())
      say += "@PJL USTATUS JOB\r\nEND\r\nNAME=\"" + name + "\"\r\nPAGES=2\r\n\f";
    echoed = echoed || !token.empty();
    ended = ended || !name.empty();
    if (!say.empty() && write(c, say.data(), say.size()) < 0) return;
  }

  int fd_;
  int port_ = 0;
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable arrived_;
  std::vector<std::string> jobs_;
};

typedef std::unique_ptr<ipp_t, decltype(&ippDelete)> Ipp;

// Where a request goes: the server's domain socket (its peer is this
// test's user, root) or its loopback port.
struct Server {
  sockaddr_storage address = {};
  socklen_t size = 0;
  std::string host;  // the Host field
};

// What came back: the HTTP status, and the IPP response's status.
struct Answer {
  int http = 0;
  ipp_status_t status = IPP_STATUS_ERROR_INTERNAL;
  Ipp ipp{nullptr, ippDelete};
  int Integer(const char* name) const {
    return ippGetInteger(ippFindAttribute(ipp.get(), name, IPP_TAG_INTEGER), 0);
  }
};

// `op` for the printer (or the system) as `user`, with `document`, as an
// HTTP POST on a connection of its own made with plain sockets: libcups's
// own connect would pass the server's hooks, which let no connection go
// to this host.
// `cutShort`: the client announces more than it sends, and closes.
Answer Ask(const Server& to, ipp_op_t op, const char* user, const char* format = nullptr,
           const std::string& document = "", const std::function<void(ipp_t*)>& add = nullptr,
           bool cutShort = false) {
  Ipp request(ippNewRequest(op), ippDelete);
  const bool system = op == IPP_OP_CREATE_PRINTER;
  const char* resource = system ? "/ipp/system" : "/ipp/print/glue";
  ippAddString(request.get(), IPP_TAG_OPERATION, IPP_TAG_URI, system ? "system-uri" : "printer-uri",
               nullptr, (std::string("ipp://localhost") + resource).c_str());
  ippAddString(request.get(), IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr,
               user);
  if (format != nullptr)
    ippAddString(request.get(), IPP_TAG_OPERATION, IPP_TAG_MIMETYPE, "document-format", nullptr,
                 format);
  if (add) add(request.get());
  std::string body;
  ippWriteIO(
      &body,
      [](void* out, ipp_uchar_t* bytes, size_t n) -> ssize_t {
        static_cast<std::string*>(out)->append(reinterpret_cast<char*>(bytes), n);
        return static_cast<ssize_t>(n);
      },
      1, nullptr, request.get());
  body += document;
  std::string sent = std::string("POST ") + resource + " HTTP/1.1\r\nHost: " + to.host +
                     "\r\nContent-Type: application/ipp\r\n"
                     "Content-Length: " +
                     std::to_string(body.size() + (cutShort ? 1000 : 0)) + "\r\n\r\n" + body;
  Answer answer;
  Fd fd(socket(to.address.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (connect(fd.get(), reinterpret_cast<const sockaddr*>(&to.address), to.size) != 0 ||
      write(fd.get(), sent.data(), sent.size()) != static_cast<ssize_t>(sent.size()))
    return answer;
  if (cutShort) shutdown(fd.get(), SHUT_WR);
  // The server keeps the connection open: the reply ends where its
  // length or its last chunk says (IPP responses come with a length).
  std::string reply, content;
  char chunk[65536];
  for (ssize_t n; (n = read(fd.get(), chunk, sizeof chunk)) > 0;) {
    reply.append(chunk, static_cast<size_t>(n));
    size_t end = reply.find("\r\n\r\n");
    if (end == std::string::npos) continue;
    content = reply.substr(end + 4);
    size_t length = reply.find("Content-Length: ");
    if (length < end) {
      if (content.size() >= strtoul(reply.c_str() + length + 16, nullptr, 10)) break;
    } else if (content.size() >= 5 && content.compare(content.size() - 5, 5, "0\r\n\r\n") == 0) {
      content.clear();  // chunked: only the HTTP errors, whose body is empty
      break;
    }
  }
  if (reply.compare(0, 9, "HTTP/1.1 ") != 0) return answer;
  answer.http = atoi(reply.c_str() + 9);
  if (content.empty()) return answer;
  answer.ipp.reset(ippNew());
  std::pair<const std::string*, size_t> cursor(&content, 0);
  ippReadIO(
      &cursor,
      [](void* in, ipp_uchar_t* bytes, size_t n) -> ssize_t {
        auto* c = static_cast<std::pair<const std::string*, size_t>*>(in);
        n = std::min(n, c->first->size() - c->second);
        memcpy(bytes, c->first->data() + c->second, n);
        c->second += n;
        return static_cast<ssize_t>(n);
      },
      1, nullptr, answer.ipp.get());
  answer.status = ippGetStatusCode(answer.ipp.get());
  return answer;
}

// One A4 page at 300 dpi, 8-bit gray, white with a black band.
std::string RasterPage() {
  std::string path = "/tmp/glue-raster." + std::to_string(getpid());
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  cups_raster_t* raster = cupsRasterOpen(fd, CUPS_RASTER_WRITE_PWG);
  cups_page_header2_t header;
  cupsRasterInitPWGHeader(&header, pwgMediaForPWG("iso_a4_210x297mm"), "sgray_8", 300, 300,
                          "one-sided", nullptr);
  cupsRasterWriteHeader2(raster, &header);
  std::vector<unsigned char> line(header.cupsBytesPerLine, 0xFF);
  for (unsigned y = 0; y < header.cupsHeight; ++y) {
    std::fill(line.begin(), line.end(), y >= 600 && y < 700 ? 0 : 0xFF);
    cupsRasterWritePixels(raster, line.data(), header.cupsBytesPerLine);
  }
  cupsRasterClose(raster);
  close(fd);
  std::string page = ReadFile(path);
  unlink(path.c_str());
  return page;
}

bool Connects(const Server& server) {
  Fd fd(socket(server.address.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0));
  return connect(fd.get(), reinterpret_cast<const sockaddr*>(&server.address), server.size) == 0;
}

// The server as the service makes it, on the spool and state in `dir`,
// running on a thread of its own; its printer is `printer`, which the
// job's search finds unless `away` (from the start, when the state has
// jobs). Its end shows the end of the server's log when the scenario
// failed.
struct Running {
  Running(Report& report, const std::string& dir, const Printer& printer, bool startAway = false)
      : report(report),
        dir(dir),
        away(startAway),
        links(
            book,
            [this, &printer](const std::string&, const std::string&, const StopCheck&) {
              JobPrinterSearch found;
              found.sent = 1;
              if (!away) found.address = "127.0.0.1";
              if (printer.pjl) found.deviceId = "MFG:Test;CMD:PJL,PCL;";
              return found;
            },
            printer.port(), 1) {
    // PAPPL's DNS-SD and the devices' Avahi check find no bus: nothing is
    // announced anywhere.
    setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + dir + "/no-bus").c_str(), 1);
    AddDeviceSchemes(&book, &links, false);
    cups_option_t* options = nullptr;
    int count = 0;
    count = cupsAddOption("server-port", std::to_string(kPort).c_str(), count, &options);
    count = cupsAddOption("listen-hostname", "localhost", count, &options);
    count = cupsAddOption("spool-directory", dir.c_str(), count, &options);
    count = cupsAddOption("log-file", (dir + "/log").c_str(), count, &options);
    count = cupsAddOption("log-level", "debug", count, &options);
    count = cupsAddOption("admin-group", "lpadmin", count, &options);  // as the service runs
    ServerContext context{&links, dir + "/state"};
    system = CreateServerSystem(count, options, &context);
    cupsFreeOptions(count, options);
    if (!NS_CHECK(report, system != nullptr)) return;
    sockaddr_un* path = reinterpret_cast<sockaddr_un*>(&local.address);
    path->sun_family = AF_UNIX;
    snprintf(path->sun_path, sizeof path->sun_path, "%s/sock", dir.c_str());
    local.size = sizeof(sockaddr_un);
    local.host = "localhost";
    sockaddr_in* loopback = reinterpret_cast<sockaddr_in*>(&tcp.address);
    loopback->sin_family = AF_INET;
    loopback->sin_port = htons(kPort);
    loopback->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    tcp.size = sizeof(sockaddr_in);
    tcp.host = "127.0.0.1:" + std::to_string(kPort);
    papplSystemAddListeners(system, path->sun_path);
    thread = std::thread([this] { papplSystemRun(system); });
    for (int i = 0; i < 100 && !Connects(local); ++i) usleep(50000);
  }
  ~Running() {
    if (system != nullptr) papplSystemShutdown(system);
    if (thread.joinable()) thread.join();
    std::string log = ReadFile(dir + "/log");
    if (!report.text().empty())
      report.Check(false, __FILE__, __LINE__,
                   log.substr(log.size() > 4000 ? log.size() - 4000 : 0));
  }
  // The service is stopped by SIGTERM, which the server hands on to PAPPL.
  void Stop() {
    kill(getpid(), SIGTERM);
    thread.join();
  }

  Report& report;
  const std::string dir;
  AddressBook book;
  std::atomic<bool> away;
  PrinterLinks links;
  pappl_system_t* system = nullptr;
  Server local, tcp;
  std::thread thread;
};

void Serve(Report& report, const std::string& dir) {
  const bool v6 = nettest::Ip("addr add 2001:db8::1/64 dev nb0 nodad\n");
  Printer printer;
  Running run(report, dir, printer);
  if (run.system == nullptr) return;
  pappl_system_t* system = run.system;
  const Server &local = run.local, &tcp = run.tcp;
  std::atomic<bool>& away = run.away;

  const std::string gprinter = MakeDeviceUri("gprinter", "03FF77000040");
  auto creating = [](const char* uri) {
    return [uri](ipp_t* r) {
      ippAddString(r, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "printer-service-type", nullptr, "print");
      ippAddString(r, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "smi55357-driver", nullptr, "pcl");
      ippAddString(r, IPP_TAG_OPERATION, IPP_TAG_URI, "smi55357-device-uri", nullptr, uri);
      ippAddString(r, IPP_TAG_PRINTER, IPP_TAG_NAME, "printer-name", nullptr, "glue");
    };
  };

  report.Context("devices on this host, printers made while running");
  NS_CHECK_EQ(
      report, IPP_STATUS_ERROR_ATTRIBUTES_OR_VALUES,
      Ask(local, IPP_OP_CREATE_PRINTER, "root", nullptr, "", creating("socket://127.0.0.1:9100"))
          .status);
  NS_CHECK_EQ(
      report, IPP_STATUS_OK,
      Ask(local, IPP_OP_CREATE_PRINTER, "root", nullptr, "", creating(gprinter.c_str())).status);
  pappl_printer_t* glue = papplSystemFindPrinter(system, nullptr, 0, gprinter.c_str());
  if (!NS_CHECK(report, glue != nullptr)) return;
  NS_CHECK_EQ(report, papplPrinterGetID(glue),
              Ask(local, IPP_OP_GET_PRINTER_ATTRIBUTES, "root").Integer("printer-id"));
  errno = 0;
  NS_CHECK(report,
           papplPrinterCreate(system, 0, "own", "pcl", "", "socket://127.0.0.1") == nullptr);
  NS_CHECK_EQ(report, EPERM, errno);
  http_addrlist_t* own = httpAddrGetList("127.0.0.1", AF_INET, "9100");
  int sock = 0;
  NS_CHECK(report, httpAddrConnect2(own, &sock, 1000, nullptr) == nullptr && sock == -1);
  httpAddrFreeList(own);

  report.Context("who may manage");
  Server rebound = tcp;
  rebound.host = "rebound.example";
  NS_CHECK_EQ(report, 400, Ask(rebound, IPP_OP_GET_PRINTER_ATTRIBUTES, "alice").http);
  // This host's addresses on its link are its names too.
  for (const char* own : {"10.99.0.1:8631", "[2001:db8::1]:8631"}) {
    if (own[0] == '[' && !v6) continue;  // a kernel without IPv6
    rebound.host = own;
    NS_CHECK_EQ(report, 200, Ask(rebound, IPP_OP_GET_PRINTER_ATTRIBUTES, "alice").http);
  }
  NS_CHECK_EQ(report, 401, Ask(tcp, IPP_OP_PAUSE_PRINTER, "alice").http);
  Ask(local, IPP_OP_SET_PRINTER_ATTRIBUTES, "root", nullptr, "", [](ipp_t* r) {
    ippAddString(r, IPP_TAG_PRINTER, IPP_TAG_TEXT, "printer-location", nullptr, "Room 12");
  });
  // One in the operation group describes no printer.
  Ask(local, IPP_OP_SET_PRINTER_ATTRIBUTES, "root", nullptr, "", [](ipp_t* r) {
    ippAddString(r, IPP_TAG_OPERATION, IPP_TAG_TEXT, "printer-location", nullptr, "Hall");
    ippAddString(r, IPP_TAG_PRINTER, IPP_TAG_TEXT, "printer-organization", nullptr, "Lab");
  });
  char text[256] = "";
  NS_CHECK_EQ(report, std::string("Room 12"),
              std::string(papplPrinterGetLocation(glue, text, sizeof text) ? text : ""));
  NS_CHECK(report, papplPrinterGetGeoLocation(glue, text, sizeof text) == nullptr || !*text);

  report.Context("formats");
  NS_CHECK_EQ(report, IPP_STATUS_ERROR_DOCUMENT_FORMAT_NOT_SUPPORTED,
              Ask(tcp, IPP_OP_VALIDATE_JOB, "alice", "text/plain").status);
  NS_CHECK_EQ(report, IPP_STATUS_ERROR_DOCUMENT_FORMAT_NOT_SUPPORTED,
              Ask(tcp, IPP_OP_PRINT_JOB, "alice", "text/plain", "text\n").status);

  report.Context("jobs, oldest first, whole, their owner's");
  papplPrinterPause(glue);
  const std::string first = "\033E first job\f", second = "\033E second job\f";
  Answer one = Ask(tcp, IPP_OP_PRINT_JOB, "alice", "APPLICATION/VND.HP-PCL", first);
  NS_CHECK_EQ(report, IPP_STATUS_OK, one.status);
  // Sent without its format: its first bytes say it is the printer's own.
  Ask(tcp, IPP_OP_PRINT_JOB, "alice", "application/octet-stream", second);
  papplPrinterResume(glue);
  // PAPPL takes a raster job only while the printer is idle.
  printer.Jobs(2);
  for (int i = 0; i < 100 && papplPrinterGetNumberOfActiveJobs(glue) > 0; ++i) usleep(50000);
  NS_CHECK_EQ(report, IPP_STATUS_OK,
              Ask(tcp, IPP_OP_PRINT_JOB, "alice", "image/pwg-raster", RasterPage()).status);
  // Its second page twice, on letter at 600 dpi.
  NS_CHECK_EQ(
      report, IPP_STATUS_OK,
      Ask(tcp, IPP_OP_PRINT_JOB, "alice", "application/octet-stream",
          "%!PS\nshowpage\n0 0 72 72 rectfill showpage\n",
          [](ipp_t* r) {
            ippAddInteger(r, IPP_TAG_JOB, IPP_TAG_INTEGER, "copies", 2);
            ippAddRange(r, IPP_TAG_JOB, "page-ranges", 2, 2);
            ippAddResolution(r, IPP_TAG_JOB, "printer-resolution", IPP_RES_PER_INCH, 600, 600);
            ippAddString(r, IPP_TAG_JOB, IPP_TAG_KEYWORD, "media", nullptr, "na_letter_8.5x11in");
          })
          .status);
  std::vector<std::string> jobs = printer.Jobs(4);
  if (NS_CHECK_EQ(report, 4u, jobs.size())) {
    NS_CHECK_EQ(report, first, jobs[0]);
    NS_CHECK_EQ(report, second, jobs[1]);
    PclDecoded raster =
        DecodePcl(reinterpret_cast<const unsigned char*>(jobs[2].data()), jobs[2].size());
    NS_CHECK(report, raster.error.empty() && raster.pages.size() == 1);
    PclDecoded ps =
        DecodePcl(reinterpret_cast<const unsigned char*>(jobs[3].data()), jobs[3].size());
    NS_CHECK(report, ps.error.empty() && ps.pages.size() == 2);
    for (const PclDecodedPage& page : ps.pages)
      NS_CHECK(report, page.resolution == 600 && page.sizeCode == 2 &&
                           std::any_of(page.rows.begin(), page.rows.end(),
                                       [](const Bytes& row) { return !row.empty(); }));
  }
  int jobId = one.Integer("job-id");
  auto cancel = [&](const char* user) {
    return Ask(tcp, IPP_OP_CANCEL_JOB, user, nullptr, "", [jobId](ipp_t* r) {
      ippAddInteger(r, IPP_TAG_OPERATION, IPP_TAG_INTEGER, "job-id", jobId);
    });
  };
  NS_CHECK_EQ(report, 401, cancel("mallory").http);
  NS_CHECK_EQ(report, IPP_STATUS_ERROR_NOT_POSSIBLE, cancel("alice").status);
  pappl_job_t* job = papplPrinterFindJob(glue, jobId);
  // One impression, as PAPPL counts a document in the printer's language.
  NS_CHECK(report, job != nullptr && papplJobGetState(job) == IPP_JSTATE_COMPLETED &&
                       papplJobGetImpressionsCompleted(job) == 1);
  NS_CHECK(report, job != nullptr && papplJobGetMessage(job) != nullptr &&
                       strcmp(papplJobGetMessage(job), "The printer took the whole job") == 0);

  report.Context("a document cut short, a printer away");
  Ask(tcp, IPP_OP_PRINT_JOB, "alice", "application/vnd.hp-pcl", "\033E cut short", nullptr, true);
  away = true;
  jobId = Ask(tcp, IPP_OP_PRINT_JOB, "alice", "application/vnd.hp-pcl", first).Integer("job-id");
  auto offline = [glue] { return (papplPrinterGetReasons(glue) & PAPPL_PREASON_OFFLINE) != 0; };
  for (int i = 0; i < 100 && !offline(); ++i) usleep(50000);
  NS_CHECK(report, offline());
  job = papplPrinterFindJob(glue, jobId);
  NS_CHECK(report, job != nullptr && papplJobGetMessage(job) != nullptr &&
                       strstr(papplJobGetMessage(job), "does not answer") != nullptr);
  away = false;
  jobs = printer.Jobs(5);
  NS_CHECK(report, jobs.size() == 5 && jobs[4] == first);
  for (int i = 0; i < 100 && offline(); ++i) usleep(50000);
  NS_CHECK(report, !offline());

  report.Context("a printer that answers in PJL, paused a while");
  printer.pjl = true;
  papplPrinterPause(glue);
  jobId = Ask(tcp, IPP_OP_PRINT_JOB, "alice", "application/vnd.hp-pcl", first).Integer("job-id");
  // With a job waiting, it stays paused past the server's next tick.
  usleep(1200000);
  NS_CHECK_EQ(report, IPP_PSTATE_STOPPED, papplPrinterGetState(glue));
  papplPrinterResume(glue);
  printer.Jobs(6);
  job = papplPrinterFindJob(glue, jobId);
  for (int i = 0; i < 100 && job != nullptr && papplJobGetState(job) < IPP_JSTATE_CANCELED; ++i)
    usleep(50000);
  // Its pages as the printer counted them.
  NS_CHECK(report, job != nullptr && papplJobGetState(job) == IPP_JSTATE_COMPLETED &&
                       papplJobGetImpressionsCompleted(job) == 2);
  printer.pjl = false;

  report.Context("a printer that drops the connection");
  printer.cut = 4096;
  jobId = Ask(tcp, IPP_OP_PRINT_JOB, "alice", "application/vnd.hp-pcl", std::string(8 << 20, 'x'))
              .Integer("job-id");
  printer.Jobs(7);
  job = papplPrinterFindJob(glue, jobId);
  for (int i = 0; i < 100 && job != nullptr && papplJobGetState(job) < IPP_JSTATE_CANCELED; ++i)
    usleep(50000);
  NS_CHECK(report, job != nullptr && papplJobGetState(job) == IPP_JSTATE_ABORTED);
  // What a shutdown waits for: no job is left counted as sending.
  for (int i = 0; i < 40 && JobsSending() != 0; ++i) usleep(50000);
  NS_CHECK_EQ(report, 0, JobsSending());

  report.Context("stopped, the state");
  run.Stop();
  NS_CHECK(report, ReadFile(dir + "/state").find("Room 12") != std::string::npos);
}

TEST(AppServer, ServesAsTheProgramDoes) {
  TempDir dir("app-server");
  // A shutdown that finds jobs still waiting ends the server's process at
  // once: a scenario cut short that way must not pass for a whole one.
  EXPECT_EQ("", RunInNamespace(true, 90, [&](Report& report) {
              Serve(report, dir.path());
              WriteFile(dir / "done", "", 0600);
            }));
  EXPECT_TRUE(Exists(dir / "done")) << "the scenario did not run to its end";
}

// No job the server acknowledged is lost, whichever way it ends: stopped
// while a job waits for its printer (the state is saved), or ended at
// once after accepting one (its record is on disk). After the next start
// each prints once, in the order they came.
TEST(AppServer, KeepsEveryJobAcrossRestarts) {
  TempDir dir("app-restart");
  const std::string first = "\033E first job\f", second = "\033E second job\f";
  auto submit = [](Running& run, const std::string& document) {
    return Ask(run.tcp, IPP_OP_PRINT_JOB, "alice", "application/vnd.hp-pcl", document).status;
  };
  EXPECT_EQ(
      "", RunInNamespace(true, 90, [&](Report& report) {
        Printer printer;
        Running run(report, dir.path(), printer, true);
        pappl_printer_t* glue = papplPrinterCreate(
            run.system, 0, "glue", "pcl", "", MakeDeviceUri("gprinter", "03FF77000040").c_str());
        if (!NS_CHECK(report, glue != nullptr)) return;
        NS_CHECK_EQ(report, IPP_STATUS_OK, submit(run, first));
        for (int i = 0; i < 100 && !(papplPrinterGetReasons(glue) & PAPPL_PREASON_OFFLINE); ++i)
          usleep(50000);
        // With a job waiting, the server saves and ends the process.
        if (!report.text().empty()) return;
        run.Stop();
        NS_CHECK(report, false);
      }));
  EXPECT_EQ("child exited with status 3\n", RunInNamespace(true, 90, [&](Report& report) {
              Printer printer;
              Running run(report, dir.path(), printer, true);
              NS_CHECK_EQ(report, IPP_STATUS_OK, submit(run, second));
              // Ended as a crash would end it.
              if (report.text().empty()) _exit(3);
            }));
  EXPECT_EQ("", RunInNamespace(true, 90, [&](Report& report) {
              Printer printer;
              Running run(report, dir.path(), printer);
              printer.Jobs(2);  // then no job may be left to print again
              pappl_printer_t* glue =
                  papplSystemFindPrinter(run.system, "/ipp/print/glue", 0, nullptr);
              for (int i = 0;
                   i < 100 && glue != nullptr && papplPrinterGetNumberOfActiveJobs(glue) > 0; ++i)
                usleep(50000);
              NS_CHECK(report, printer.Jobs(2) == (std::vector<std::string>{first, second}));
              report.Context("stopped");
              run.Stop();
              WriteFile(dir / "done", "", 0600);
            }));
  EXPECT_TRUE(Exists(dir / "done"));
}

// A user who may not manage the server is told so by the program itself
// before PAPPL's command line, which would start a private server of its
// own and report success for a change the system's server never saw.
TEST(AppServer, RefusesManagersWhomTheSocketRefuses) {
  TempDir dir("app-cli");
  // The system's socket, as the package makes it: a link to a socket in
  // a folder of the admin group, here lp's.
  const std::string folder = dir / "run";
  ASSERT_EQ(0, chmod(dir.path().c_str(), 0755));
  ASSERT_EQ(0, mkdir(folder.c_str(), 0750));
  ASSERT_EQ(0, chown(folder.c_str(), 0, 7));
  Fd listener(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  snprintf(address.sun_path, sizeof address.sun_path, "%s/sock", folder.c_str());
  ASSERT_EQ(0, bind(listener.get(), reinterpret_cast<sockaddr*>(&address), sizeof address));
  ASSERT_EQ(0, listen(listener.get(), 1));
  ASSERT_EQ(0, symlink(address.sun_path, (dir / "netbackend-printer-app.sock").c_str()));
  // The user's own servers' folder, which PAPPL takes only if it may write.
  const std::string tmp = dir / "tmp";
  ASSERT_EQ(0, mkdir(tmp.c_str(), 0777));
  ASSERT_EQ(0, chmod(tmp.c_str(), 01777));
  // What the program says as nobody, as the first process of a PID
  // namespace: a server it might start ends with it.
  auto run = [&](Report& report, int& status) {
    int out[2];
    if (!NS_CHECK(report, unshare(CLONE_NEWPID) == 0 && pipe(out) == 0)) return std::string();
    pid_t child = fork();
    if (child == 0) {
      dup2(out[1], 2);
      const std::string env[] = {"TMPDIR=" + tmp, "SNAP_COMMON=" + dir.path()};
      const char* envp[] = {env[0].c_str(), env[1].c_str(), nullptr};
      const char* argv[] = {APP_PATH, "-o", "server", "printers", nullptr};
      if (setgroups(0, nullptr) == 0 && setgid(65534) == 0 && setuid(65534) == 0)
        execve(APP_PATH, const_cast<char**>(argv), const_cast<char**>(envp));
      _exit(127);
    }
    close(out[1]);
    std::string said = nettest::ReadAll(out[0]);
    close(out[0]);
    waitpid(child, &status, 0);
    return said;
  };
  EXPECT_EQ("", RunInNamespace(false, 30, [&](Report& report) {
              int status = 0;
              std::string said = run(report, status);
              NS_CHECK(report, WIFEXITED(status) && WEXITSTATUS(status) == 1);
              NS_CHECK(report, said.find("members of the group 'lp'") != std::string::npos);
            }));
  // A server of the user's own that takes the connection is asked itself:
  // by the check, then by PAPPL's command line (closed at once here).
  Fd own(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  snprintf(address.sun_path, sizeof address.sun_path, "%s/netbackend-printer-app65534.sock",
           tmp.c_str());
  ASSERT_EQ(0, bind(own.get(), reinterpret_cast<sockaddr*>(&address), sizeof address));
  ASSERT_EQ(0, chmod(address.sun_path, 0777));
  ASSERT_EQ(0, listen(own.get(), 4));
  int taken = 0;
  std::thread taker([&] {
    for (int c; (c = accept(own.get(), nullptr, nullptr)) >= 0; close(c)) ++taken;
  });
  EXPECT_EQ("", RunInNamespace(false, 30, [&](Report& report) {
              int status = 0;
              NS_CHECK(report, run(report, status).find("Only root") == std::string::npos);
            }));
  shutdown(own.get(), SHUT_RDWR);
  taker.join();
  EXPECT_LE(2, taken);  // libcups may ask again on a new connection
}

// A spool that fills up while a document arrives: the client is told so
// in words, not with errno's "Success" of a short write.
TEST(AppServer, SaysWhenTheSpoolIsFull) {
  TempDir dir("app-full");
  EXPECT_EQ(
      "", RunInNamespace(true, 60, [&](Report& report) {
        if (!NS_CHECK(report, unshare(CLONE_NEWNS) == 0 &&
                                  mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
                                  mount("app-full", dir.path().c_str(), "tmpfs", 0,
                                        "size=1m,mode=0700") == 0))
          return;
        Printer printer;
        Running run(report, dir.path(), printer);
        if (!NS_CHECK(report,
                      papplPrinterCreate(run.system, 0, "glue", "pcl", "",
                                         MakeDeviceUri("gprinter", "03FF77000040").c_str())))
          return;
        Answer full = Ask(run.tcp, IPP_OP_PRINT_JOB, "alice", "application/vnd.hp-pcl",
                          std::string(2 << 20, 'x'));
        ipp_attribute_t* message = ippFindAttribute(full.ipp.get(), "status-message", IPP_TAG_TEXT);
        NS_CHECK(report, message != nullptr &&
                             strstr(ippGetString(message, 0, nullptr), "is full") != nullptr);
        // Nor is the state's own write taken for done.
        std::string error;
        NS_CHECK(report, !WriteFileDurably(dir / "big", std::string(2 << 20, 'x'), error) &&
                             error.find(strerror(ENOSPC)) != std::string::npos);
      }));
}

// Logins go through a PAM stack: the test's own, whose module hands the
// password that the conversation gave to a script of the test.
TEST(AppServer, ChecksLoginsWithPam) {
  TempDir pam("app-pam");
  const std::string auth =
      "auth required pam_exec.so expose_authtok quiet /bin/sh " + (pam / "check") + "\n";
  ASSERT_TRUE(WriteFile(pam / "check",
                        "[ \"$PAM_USER\" = alice ] && [ \"$(tr -d '\\000')\" = 'right horse' ]\n",
                        0600));
  ASSERT_TRUE(WriteFile(pam / "login", auth + "account required pam_permit.so\n", 0600));
  ASSERT_TRUE(WriteFile(pam / "locked", auth + "account required pam_deny.so\n", 0600));
  const struct {
    const char* service;
    const char* user;
    const char* password;
    bool valid;
  } cases[] = {
      {"login", "alice", "right horse", true}, {"login", "alice", "right", false},
      {"login", "bob", "right horse", false},  {"locked", "alice", "right horse", false},
      {"login", "", "right horse", false},
  };
  for (const auto& c : cases)
    EXPECT_EQ(c.valid, CheckPamPassword(c.service, c.user, c.password, pam.path().c_str()))
        << c.service << " " << c.user << " " << c.password;
}

}  // namespace
