// printer_sim: plays one or more host-config printers inside a private
// network namespace, so that tests and the demo can run discovery and print
// jobs against peers that behave like real printers, hostile ones included.
// It has its own DNS encoder on purpose: sharing the backend's code would
// make both sides agree on the same mistakes. This file reads the command
// line and handles signals; message.cpp builds the datagrams and
// simulator.cpp runs the sockets.
//
// Usage:
//   printer_sim [global options] --printer [printer options] [--printer [printer options]]...
//
// Global options:
//   --jobs-dir DIR      also run a raw print listener on TCP port 9100 (all local
//                       addresses); each connection's bytes are stored as
//                       DIR/<local-ip>-<n>.bin (n = 1, 2, ... per local ip), written
//                       to DIR/.<local-ip>-<n>.part and renamed when the peer closes,
//                       so a reader never sees half a job
//   --ready-file FILE   create FILE (holding the pid) once every socket is bound and
//                       the group joined
//   --no-mdns           no mDNS socket and no printers: only the print listener of
//                       --jobs-dir (for a responder that is not this one)
//   --read-bytes-per-second N
//                       with --jobs-dir: read each print connection at most N bytes
//                       a second (a tenth of a second's worth at a time), through a
//                       receive buffer of 4096 bytes, so that the sender blocks
//                       (once its own send buffer is full) as it does on a printer
//                       that takes data only as fast as it prints
//   --pjl               with --jobs-dir: every print connection answers PJL on the
//                       connection itself, as a printer whose 1284 ID lists PJL
//                       does (see "PJL" below); without it the printer never
//                       writes a byte on the print port
//   --pjl-status FILE   with --jobs-dir: the printer's condition, from FILE, which
//                       must exist at start: up to three lines CODE=<5 digits>,
//                       DISPLAY=<text>, ONLINE=TRUE|FALSE (left out: 10001, READY,
//                       TRUE, the condition without this option). FILE is looked
//                       at every 100 ms and read again when it was replaced or
//                       rewritten (write a new file and rename it over FILE); a
//                       malformed or missing FILE leaves the condition as it was.
//                       A condition that stops printing stops the reading of every
//                       print connection, with or without --pjl
//   --pjl-variant KIND  with --pjl: answer as some printers do (repeatable):
//                       "spaces" writes "KEY = VALUE" (CODE = 10001) in every
//                       answer, "no-crlf" leaves out the CR LF before each
//                       answer's closing form feed
//   --junk KIND         send a scripted malformed datagram to the querier before the
//                       good replies (repeatable, sent in the order given); see below
//   --list-junk         print every junk kind, one name a line, and exit with status
//                       0: a script that sends every kind reads them from here
//   --flood RATE        after the first query, send the junk datagrams and the
//                       replies round robin at RATE datagrams a second to the querier
//                       for --flood-seconds (default 20), instead of the replies'
//                       schedule
//   --flood-seconds N   how long a flood lasts
//   --spray ADDR:LO-HI  without waiting for a query, send every reply to every UDP
//                       port LO..HI of ADDR, ten rounds a second, as a host that
//                       guesses the querier's port would
//   --spoof-source ADDR with --spray: the sprayed replies carry the dotted IPv4
//                       ADDR as their source (port 5353), whether or not ADDR is an
//                       address of this namespace, as from a host that forges it;
//                       they leave a raw socket with headers of our own, so this
//                       needs CAP_NET_RAW, and a reply longer than one IPv4 datagram
//                       holds is not sprayed (the log says so)
//   --quiet             no per-event log on stderr (errors are still reported)
//   --help              this text
//
// Printer options (apply to the most recent --printer):
//   --macuaa VALUE      the MACUAA attribute value as the printer writes it (default empty)
//   --ip ADDR           the IPADDRESS attribute value (default empty); when it is dotted
//                       IPv4 it is also the A record's address and, when it is an address
//                       of this namespace, the source address of the replies; otherwise
//                       the reply carries no A record (ARCOUNT 2)
//   --device-id TEXT    the 1284STRID value, written as 1284STRID="TEXT" (default empty)
//   --vidpid HEX        the PRINTERVIDPID attribute value (omitted when not given)
//   --mdns-name NAME    service instance name and MDNSNAME value (default printer-<n>)
//   --txt KEY=VALUE     an extra raw attribute, appended in order (repeatable)
//   --delay-ms N        answer N ms after the query arrives (default 0)
//   --repeat N          send the reply N times (default 1), --interval-ms apart
//   --interval-ms N     gap between repeated replies (default 1000)
//   --ignore N          do not answer the first N queries (a lost query, a printer
//                       waking up)
//   --ttl N             the IP time-to-live (1..255) of its replies: answers,
//                       repeats, floods and sprays; default: left to the system (64),
//                       and 64 from the raw socket of --spoof-source. An on-link relay
//                       sends with 255; a datagram routed from afar arrives with less
//
// PJL (--pjl): the print data is still stored unchanged; the printer reads
// it as its interpreter would. After a UEL (ESC %-12345X), and after each
// PJL line, a line that starts with @PJL and ends with LF (or CR LF) is a
// PJL command; anything else is PCL up to the next UEL, as is what follows
// @PJL ENTER LANGUAGE=... A line over 1024 bytes is dropped. A page is a
// form feed in the PCL, outside the data of ESC *b#W (and of the other
// commands that W ends, ESC *b#V and ESC &p#X), and it is printed when it is
// read. Every answer ends with CR LF and a form feed:
//   @PJL ECHO <text>        -> @PJL ECHO <text>
//   @PJL INFO STATUS        -> @PJL INFO STATUS, CODE=, DISPLAY="...", ONLINE=
//   @PJL USTATUS DEVICE=ON (or VERBOSE): each change of condition while the
//                              connection is open -> @PJL USTATUS DEVICE and
//                              the three lines of INFO STATUS
//   @PJL USTATUS JOB=ON: @PJL JOB NAME="n" -> @PJL USTATUS JOB, START, NAME="n";
//                              @PJL EOJ NAME="n" -> @PJL USTATUS JOB, END,
//                              NAME="n", PAGES=<pages since the JOB>
//   @PJL USTATUS PAGE=ON: each page -> @PJL USTATUS PAGE, <pages so far in the job>
// USTATUS ...=OFF and USTATUSOFF stop them; other commands are ignored. While
// the CODE is 40021, 40022, 40038, 40079, 10002, 41xyy, 42xyy or 44xyy the
// printer reads no print data, so it prints no page and sends no END, but it
// still sends what it owes and USTATUS DEVICE; any other code (10001, 10006,
// 10023, ...) prints. A peer that leaves 64 KiB of answers unread is not
// read either until it takes them.
//
// Junk kinds are the rows of the junk table (JunkKinds() in message.cpp):
// --help lists them with a line each, and each builder there says how its
// datagram is broken. Each is built around a junk identity: MACUAA=4A554E4B2121,
// IPADDRESS=10.77.0.254, 1284STRID="MFG:Junk;MDL:Junk Printer;",
// MDNSNAME=junk-<kind>, instance name junk-<kind>.
//
// Behaviour: binds UDP 0.0.0.0:5353, joins 224.0.0.251 on every non-loopback
// IPv4 address, and answers each datagram that is byte for byte the host-config
// query by unicast to its sender, each printer on its own schedule. Other
// datagrams are logged and ignored. SIGTERM or SIGINT ends it with status 0
// after storing the jobs whose peers have closed (unfinished ones are dropped).
// Exit status 1 for a setup failure, 2 for a usage error.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>

#include "log.h"
#include "message.h"
#include "simulator.h"

namespace {

const char kUsageOptions[] =
    "usage: printer_sim [global options] --printer [printer options] [--printer ...]...\n"
    "Global options:\n"
    "  --jobs-dir DIR      raw print listener on TCP 9100; jobs stored as DIR/<local-ip>-<n>.bin\n"
    "  --ready-file FILE   create FILE once every socket is bound and the group joined\n"
    "  --no-mdns           only the print listener of --jobs-dir, no mDNS, no printers\n"
    "  --read-bytes-per-second N\n"
    "                      read each print connection at most N bytes a second, through\n"
    "                      a small receive buffer (a slow printer)\n"
    "  --pjl               answer PJL (ECHO, INFO STATUS, USTATUS) on the print connections\n"
    "  --pjl-status FILE   the printer's condition: lines CODE=, DISPLAY=, ONLINE=, read\n"
    "                      again when FILE changes; a stopping CODE stops all reading\n"
    "  --pjl-variant KIND  with --pjl, answer with \"spaces\" around '=' or \"no-crlf\"\n"
    "                      before the form feed (repeatable)\n"
    "  --junk KIND         send a malformed datagram to the querier before the good replies\n"
    "                      (repeatable); KIND is one of the junk kinds below\n"
    "  --list-junk         print the junk kinds, one a line, and exit\n"
    "  --flood RATE        after the first query, send junk and replies round robin at\n"
    "                      RATE datagrams a second for --flood-seconds (default 20)\n"
    "  --flood-seconds N   how long a flood lasts\n"
    "  --spray ADDR:LO-HI  send every reply to every UDP port LO..HI of ADDR, ten\n"
    "                      rounds a second, without waiting for a query\n"
    "  --spoof-source ADDR with --spray: sprayed replies come from ADDR:5353 (raw\n"
    "                      socket, needs CAP_NET_RAW)\n"
    "  --quiet             no per-event log on stderr\n"
    "  --help              this text\n"
    "Printer options (apply to the most recent --printer):\n"
    "  --macuaa VALUE      MACUAA attribute value (default empty)\n"
    "  --ip ADDR           IPADDRESS value; A record and reply source when dotted IPv4\n"
    "  --device-id TEXT    1284STRID value, written as 1284STRID=\"TEXT\"\n"
    "  --vidpid HEX        PRINTERVIDPID value (omitted when not given)\n"
    "  --mdns-name NAME    instance name and MDNSNAME value (default printer-<n>)\n"
    "  --txt KEY=VALUE     extra raw attribute, appended in order (repeatable)\n"
    "  --delay-ms N        answer N ms after the query (default 0)\n"
    "  --repeat N          send the reply N times (default 1)\n"
    "  --interval-ms N     gap between repeats (default 1000)\n"
    "  --ignore N          do not answer the first N queries\n"
    "  --ttl N             IP time-to-live of its replies, 1..255 (default 64)\n";

void PrintUsage(FILE* out) {
  std::fputs(kUsageOptions, out);
  std::fputs("Junk kinds:\n", out);
  int width = 0;
  for (const JunkKind& k : JunkKinds())
    width = std::max(width, static_cast<int>(std::strlen(k.name)));
  for (const JunkKind& k : JunkKinds())
    std::fprintf(out, "  %-*s  %s\n", width, k.name, k.description);
  std::fprintf(out,
               "Junk datagrams carry MACUAA=%s IPADDRESS=%s and the\n"
               "instance name junk-<kind>. SIGTERM/SIGINT: clean exit, status 0.\n",
               kJunkMacuaa, kJunkIp);
}

void PrintJunkKinds() {
  for (const JunkKind& k : JunkKinds()) std::printf("%s\n", k.name);
}

bool ParseInt(const char* text, int lo, int hi, int* out) {
  if (*text == '\0') return false;
  char* end = nullptr;
  errno = 0;
  long v = std::strtol(text, &end, 10);
  if (errno != 0 || *end != '\0' || v < lo || v > hi) return false;
  *out = static_cast<int>(v);
  return true;
}

enum class Parsed { kRun, kHelp, kListJunk, kUsageError };

// Fills `o` from the command line; a usage error has been reported when
// that is the result.
Parsed ParseArgs(int argc, char** argv, Options* o) {
  bool variant = false;
  for (int i = 1; i < argc; ++i) {
    std::string opt = argv[i];
    if (opt == "--help" || opt == "-h") return Parsed::kHelp;
    if (opt == "--list-junk") return Parsed::kListJunk;
    if (opt == "--quiet") {
      o->quiet = true;
      continue;
    }
    if (opt == "--no-mdns") {
      o->mdns = false;
      continue;
    }
    if (opt == "--pjl") {
      o->pjl = true;
      continue;
    }
    if (opt == "--printer") {
      o->printers.emplace_back();
      o->printers.back().name = "printer-" + std::to_string(o->printers.size());
      continue;
    }
    if (i + 1 >= argc) {
      Error("%s needs a value", opt.c_str());
      return Parsed::kUsageError;
    }
    const char* value = argv[++i];
    if (opt == "--jobs-dir") {
      o->jobsDir = value;
    } else if (opt == "--ready-file") {
      o->readyFile = value;
    } else if (opt == "--read-bytes-per-second") {
      if (!ParseInt(value, 1, 1000000000, &o->readBytesPerSecond)) {
        Error("bad value '%s' for %s", value, opt.c_str());
        return Parsed::kUsageError;
      }
    } else if (opt == "--pjl-status") {
      o->pjlStatusFile = value;
    } else if (opt == "--pjl-variant") {
      std::string kind = value;
      if (kind == "spaces") {
        o->pjlStyle.spacedEquals = true;
      } else if (kind == "no-crlf") {
        o->pjlStyle.crlfBeforeFormFeed = false;
      } else {
        Error("unknown PJL variant '%s' (spaces, no-crlf)", value);
        return Parsed::kUsageError;
      }
      variant = true;
    } else if (opt == "--junk") {
      const JunkKind* kind = FindJunkKind(value);
      if (kind == nullptr) {
        Error("unknown junk kind '%s'", value);
        return Parsed::kUsageError;
      }
      o->junk.push_back(kind);
    } else if (opt == "--flood") {
      if (!ParseInt(value, 1, 100000, &o->floodRate)) {
        Error("bad value '%s' for %s", value, opt.c_str());
        return Parsed::kUsageError;
      }
    } else if (opt == "--flood-seconds") {
      if (!ParseInt(value, 1, 3600, &o->floodSeconds)) {
        Error("bad value '%s' for %s", value, opt.c_str());
        return Parsed::kUsageError;
      }
    } else if (opt == "--spray") {
      char addr[64];
      int lo = 0, hi = 0;
      o->sprayTo.sin_family = AF_INET;
      if (std::strlen(value) >= sizeof addr ||
          std::sscanf(value, "%63[0-9.]:%d-%d", addr, &lo, &hi) != 3 ||
          inet_pton(AF_INET, addr, &o->sprayTo.sin_addr) != 1 || lo < 1 || hi > 65535 || lo > hi) {
        Error("bad value '%s' for %s (ADDR:LO-HI)", value, opt.c_str());
        return Parsed::kUsageError;
      }
      o->sprayTo.sin_port = htons(static_cast<uint16_t>(lo));
      o->sprayLastPort = hi;
    } else if (opt == "--spoof-source") {
      if (inet_pton(AF_INET, value, &o->spoofSource) != 1) {
        Error("bad value '%s' for %s (dotted IPv4)", value, opt.c_str());
        return Parsed::kUsageError;
      }
      o->spoof = true;
    } else if (opt == "--macuaa" || opt == "--ip" || opt == "--device-id" || opt == "--vidpid" ||
               opt == "--mdns-name" || opt == "--txt" || opt == "--delay-ms" || opt == "--repeat" ||
               opt == "--interval-ms" || opt == "--ignore" || opt == "--ttl") {
      if (o->printers.empty()) {
        Error("%s comes before the first --printer", opt.c_str());
        return Parsed::kUsageError;
      }
      Printer& p = o->printers.back();
      bool ok = true;
      if (opt == "--macuaa") {
        p.macuaa = value;
      } else if (opt == "--ip") {
        p.ip = value;
      } else if (opt == "--device-id") {
        p.deviceId = value;
      } else if (opt == "--vidpid") {
        p.vidpid = value;
        p.hasVidpid = true;
      } else if (opt == "--mdns-name") {
        p.name = value;
        ok = !p.name.empty() && p.name.size() <= 63;
      } else if (opt == "--txt") {
        p.extras.push_back(value);
      } else if (opt == "--delay-ms") {
        ok = ParseInt(value, 0, 600000, &p.delayMs);
      } else if (opt == "--repeat") {
        ok = ParseInt(value, 1, 1000, &p.repeat);
      } else if (opt == "--ignore") {
        ok = ParseInt(value, 0, 1000, &p.ignore);
      } else if (opt == "--ttl") {
        ok = ParseInt(value, 1, 255, &p.ttl);
      } else {
        ok = ParseInt(value, 0, 600000, &p.intervalMs);
      }
      if (!ok) {
        Error("bad value '%s' for %s", value, opt.c_str());
        return Parsed::kUsageError;
      }
    } else {
      Error("unknown option '%s'", opt.c_str());
      return Parsed::kUsageError;
    }
  }
  if (o->mdns && o->printers.empty()) {
    Error("no --printer given");
    return Parsed::kUsageError;
  }
  if (o->spoof && o->sprayLastPort == 0) {
    Error("--spoof-source needs --spray");
    return Parsed::kUsageError;
  }
  if (o->jobsDir.empty() && (o->readBytesPerSecond > 0 || o->pjl || !o->pjlStatusFile.empty())) {
    Error("--read-bytes-per-second, --pjl and --pjl-status need --jobs-dir");
    return Parsed::kUsageError;
  }
  if (variant && !o->pjl) {
    Error("--pjl-variant needs --pjl");
    return Parsed::kUsageError;
  }
  if (!o->mdns && (!o->printers.empty() || o->jobsDir.empty())) {
    Error("--no-mdns takes --jobs-dir and no --printer");
    return Parsed::kUsageError;
  }
  for (const Printer& p : o->printers) {
    for (const std::string& s : Attributes(p)) {
      if (s.size() > 255) {
        Error("attribute longer than 255 bytes: %.40s...", s.c_str());
        return Parsed::kUsageError;
      }
    }
  }
  return Parsed::kRun;
}

// Signals end the loop through a pipe, so that a signal arriving just
// before poll() still wakes it.
int gSignalPipe = -1;

void OnSignal(int) {
  int saved = errno;
  const char b = 1;
  ssize_t ignored = write(gSignalPipe, &b, 1);
  (void)ignored;
  errno = saved;
}

}  // namespace

int main(int argc, char** argv) {
  Options opt;
  switch (ParseArgs(argc, argv, &opt)) {
    case Parsed::kHelp:
      PrintUsage(stdout);
      return 0;
    case Parsed::kListJunk:
      PrintJunkKinds();
      return 0;
    case Parsed::kUsageError:
      PrintUsage(stderr);
      return 2;
    case Parsed::kRun:
      break;
  }
  SetQuiet(opt.quiet);

  int p[2];
  if (pipe2(p, O_CLOEXEC | O_NONBLOCK) != 0) {
    Error("pipe: %s", std::strerror(errno));
    return 1;
  }
  Fd signalRead(p[0]);
  Fd signalWrite(p[1]);
  gSignalPipe = signalWrite.Get();
  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);

  Simulator sim(std::move(opt));
  return sim.Run(signalRead.Get());
}
