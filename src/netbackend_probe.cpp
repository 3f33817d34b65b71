// netbackend-probe: answers an administrator's "why is my printer not
// listed?" and "why does this queue not print?". It sends the backend's own
// query out of the interfaces the backend would use, and for every datagram
// that comes back prints what the backend makes of it under each installed
// backend name: listed, or why not. With --uri it says whether a job on that
// queue would be handed over, and to which address. It watches the
// backend's own discovery loop, so every bound and rule of the backend
// holds for it too, and needs no privilege.
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "backend_util.h"
#include "brands.h"
#include "connector.h"
#include "host_links.h"
#include "job_printer.h"
#include "kvt.h"
#include "safe_text.h"

namespace {

const char kUsage[] =
    "usage: netbackend-probe [--seconds N] [--name NAME]... [--uri URI] [--json]\n"
    "  Sends the backend's query and shows, for every reply, what each\n"
    "  installed backend name makes of it.\n"
    "  --seconds N  wait N seconds for replies, 1 to 15 (default 5; 15 with\n"
    "               --uri, as long as a job waits)\n"
    "  --name NAME  judge the replies as the backend installed as NAME would\n"
    "               (repeatable; default: the backends in $CUPS_SERVERBIN/backend\n"
    "               that carry the query)\n"
    "  --uri URI    would a job on a queue with this device URI be handed over,\n"
    "               and to which address (queries again at 1, 3, 7 s, as a job)\n"
    "  --json       one JSON object per reply and one for the summary\n";

const char kDefaultServerBin[] = "/usr/lib/cups";
const int kDefaultSeconds = 5;
const int kMaxSeconds = 15;

struct Options {
  int seconds = 0;  // 0: not given
  std::vector<std::string> names;
  std::string uri;
  bool json = false;
};

// Parses the command line; false with a message on a bad one.
bool ParseOptions(int argc, char* argv[], Options& options) {
  for (int i = 1; i < argc; ++i) {
    std::string option = argv[i];
    if (option == "--json") {
      options.json = true;
      continue;
    }
    if (option != "--seconds" && option != "--name" && option != "--uri") {
      fprintf(stderr, "netbackend-probe: unknown option '%s'\n", argv[i]);
      return false;
    }
    if (i + 1 >= argc) {
      fprintf(stderr, "netbackend-probe: %s needs a value\n", argv[i]);
      return false;
    }
    const char* value = argv[++i];
    if (option == "--seconds") {
      char* end = nullptr;
      long seconds = strtol(value, &end, 10);
      if (*value == '\0' || *end != '\0' || seconds < 1 || seconds > kMaxSeconds) {
        fprintf(stderr, "netbackend-probe: --seconds takes 1 to %d, not '%s'\n", kMaxSeconds,
                value);
        return false;
      }
      options.seconds = static_cast<int>(seconds);
    } else if (option == "--name") {
      if (*value == '\0' || strchr(value, '/') != nullptr) {
        fprintf(stderr, "netbackend-probe: --name takes a file name, not '%s'\n", value);
        return false;
      }
      options.names.push_back(value);
    } else if (strstr(value, "://") == nullptr) {
      fprintf(stderr, "netbackend-probe: --uri takes a device URI such as tamo://80C4A2E691D5\n");
      return false;
    } else {
      options.uri = value;
    }
  }
  return true;
}

// Whether the file at `path` holds the host-config query: then it is this
// backend, under whatever name it was installed.
bool CarriesQuery(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return false;
  struct stat st;
  std::string bytes;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size < (64 << 20)) {
    bytes.resize(static_cast<size_t>(st.st_size));
    ssize_t n = read(fd, &bytes[0], bytes.size());
    bytes.resize(n > 0 ? static_cast<size_t>(n) : 0);
  }
  close(fd);
  const char* query = reinterpret_cast<const char*>(gDNSQueryPacket);
  return bytes.find(std::string(query, kDNSQueryPacketSize)) != std::string::npos;
}

// The names under which this backend is installed in the scheduler's
// backend directory, sorted.
std::vector<std::string> InstalledNames() {
  const char* serverBin = getenv("CUPS_SERVERBIN");
  std::string dir = std::string(serverBin != nullptr ? serverBin : kDefaultServerBin) + "/backend";
  std::vector<std::string> names;
  DIR* listing = opendir(dir.c_str());
  if (listing == nullptr) return names;
  while (dirent* entry = readdir(listing)) {
    if (entry->d_name[0] != '.' && CarriesQuery(dir + "/" + entry->d_name))
      names.push_back(entry->d_name);
  }
  closedir(listing);
  std::sort(names.begin(), names.end());
  return names;
}

double MillisecondsSince(const timespec& start) {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return (now.tv_sec - start.tv_sec) * 1000.0 + (now.tv_nsec - start.tv_nsec) / 1e6;
}

// `text` as a JSON string, quotes included, from the raw bytes: escaped as
// JSON requires, with the controls and the invisible separators written as
// \u escapes, and each byte that is not part of valid UTF-8 written as '?',
// as a device line writes it.
std::string Json(const std::string& text) { return "\"" + SafeUtf8(text, SafeStyle::kJson) + "\""; }

// A text from the network or the kernel as a table cell: device-line text,
// "-" when empty.
std::string Cell(const std::string& text) { return text.empty() ? "-" : DeviceLineText(text); }

// What one datagram is to one backend name.
struct NameVerdict {
  std::string brand;  // the brand that name sees in the reply
  Verdict verdict;
};

// One datagram as the backend's loop judged it.
struct Row {
  int number = 0;
  double milliseconds = 0;
  std::string source;
  std::string interface;
  int ttl = -1;
  std::string mac;
  std::string ip;
  std::string brand;  // as the name for every printer sees it
  std::string deviceId;
  std::vector<NameVerdict> verdicts;  // one per name, in the names' order
  int sameAs = 0;                     // the earlier row of the same printer, if any
};

class Probe {
 public:
  Probe(const Options& options, const std::vector<std::string>& names)
      : options_(options), names_(names) {
    for (const std::string& name : names_) judges_.emplace_back(new Discoverer(name));
    listed_.resize(names_.size());
    if (!options_.uri.empty()) {
      uriJudge_.reset(new Discoverer(UriScheme()));
      uriRule_.reset(new JobPrinterRule(UriTarget()));
    }
  }

  // Runs the backend's discovery, reports every datagram it judges and the
  // summary. Returns the exit status.
  int Run() {
    // Under the name for every printer, each host-config reply is a record
    // the rows can show; each name's own brand is applied per row.
    Discoverer all(kEveryBrand.name);
    DiscoveryOptions discovery;
    discovery.seconds = options_.seconds;
    discovery.repeatQuery = !options_.uri.empty();
    discovery.queryInterfaces = &interfaces_;
    clock_gettime(CLOCK_MONOTONIC, &start_);
    int sent = all.discover([this](const Reply& reply) { return Observe(reply); }, discovery);
    if (sent <= 0) {
      if (sent == kNoReplySocket)
        fprintf(stderr,
                "netbackend-probe: no socket could be had for the replies: the query was not "
                "sent\n");
      else
        fprintf(stderr,
                "netbackend-probe: no usable network interface (up, with a carrier, "
                "multicast-capable, not loopback, not point-to-point): the query cannot be "
                "sent\n");
      return 1;
    }
    PrintHeader();
    PrintSummary();
    // With --uri the status says whether a job would be handed over.
    return options_.uri.empty() || UriHandedOver() ? 0 : 1;
  }

 private:
  bool Observe(const Reply& reply) {
    ++datagrams_;
    if (IsSenderVerdict(reply.verdict)) ++senderDropped_[reply.verdict];
    JudgeUri(reply);
    if (rows_.size() == kMaxRecordsPerRun) {
      // The rows stop where the backend's list stops; the counts go on.
      if (!capped_ && !options_.json)
        printf("(%zu rows: later datagrams are counted, not shown)\n", kMaxRecordsPerRun);
      capped_ = true;
      return true;
    }
    Row row = Judge(reply);
    PrintHeader();
    Print(row);
    rows_.push_back(row);
    return true;
  }

  Row Judge(const Reply& reply) {
    Row row;
    row.number = static_cast<int>(rows_.size()) + 1;
    row.milliseconds = MillisecondsSince(start_);
    char address[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &reply.arrival.source, address, sizeof(address));
    row.source = address;
    const HostLinks::Interface* via = reply.links.FindInterface(reply.arrival.interfaceIndex);
    row.interface = via != nullptr ? via->name : "";
    row.ttl = reply.arrival.ttl;
    row.mac = reply.record.macAddress();
    row.ip = reply.record.ipAddress();
    row.brand = reply.record.brand();
    row.deviceId = reply.record.deviceId();
    if (!row.mac.empty()) {
      auto first = firstRow_.emplace(row.mac, row.number);
      if (!first.second) row.sameAs = first.first->second;
    }
    // The sender and the message are judged alike under every name; only
    // the brand differs, and with it the rest of the record's verdict.
    for (size_t i = 0; i < names_.size(); ++i) {
      NameVerdict verdict;
      std::string usable;
      verdict.verdict = judges_[i]->Rejudge(reply, usable, verdict.brand);
      if (verdict.verdict == kAccepted) listed_[i].insert(row.mac);
      row.verdicts.push_back(verdict);
    }
    return row;
  }

  // Follows a job on the queue of --uri as the backend's job search does:
  // the first reply of its brand that names its MAC with an address a job
  // can go to is where the job would go.
  void JudgeUri(const Reply& reply) {
    if (!uriRule_ || uriRule_->Found() || reply.verdict == kRunFull) return;
    std::string address, brand;
    Verdict verdict = uriJudge_->Rejudge(reply, address, brand);
    if (uriRule_->Consider(reply.record, verdict, address))
      uriMilliseconds_ = MillisecondsSince(start_);
  }

  void PrintHeader() {
    if (headerDone_ || options_.json) return;
    headerDone_ = true;
    printf(
        "  #      ms  source           interface  TTL  MAC           IP               brand"
        "    verdicts (%s)  1284 ID\n",
        Names().c_str());
  }

  std::string Names() const {
    std::string text;
    for (const std::string& name : names_) text += (text.empty() ? "" : ", ") + name;
    return text.empty() ? "no backend names installed" : text;
  }

  void Print(const Row& row) const {
    if (options_.json) {
      printf(
          "{\"row\":%d,\"ms\":%.1f,\"source\":%s,\"interface\":%s,\"ttl\":%d,\"mac\":%s,"
          "\"ip\":%s,\"brand\":%s,\"device_id\":%s,\"same_printer_as\":%d,\"verdicts\":{",
          row.number, row.milliseconds, Json(row.source).c_str(), Json(row.interface).c_str(),
          row.ttl, Json(row.mac).c_str(), Json(row.ip).c_str(), Json(row.brand).c_str(),
          Json(row.deviceId).c_str(), row.sameAs);
      for (size_t i = 0; i < names_.size(); ++i)
        printf("%s%s:{\"verdict\":%s,\"brand\":%s}", i ? "," : "", Json(names_[i]).c_str(),
               Json(VerdictText(row.verdicts[i].verdict)).c_str(),
               Json(row.verdicts[i].brand).c_str());
      printf("}}\n");
    } else {
      std::string verdicts;
      for (size_t i = 0; i < names_.size(); ++i) {
        const NameVerdict& v = row.verdicts[i];
        verdicts += (i ? "; " : "") + names_[i] + ": " + VerdictText(v.verdict);
        if (v.verdict == kOtherBrand)
          verdicts += " (" + (v.brand.empty() ? "none" : Cell(v.brand)) + ")";
        if (v.verdict == kAccepted && row.sameAs != 0)
          verdicts += " again (as row " + std::to_string(row.sameAs) + ")";
      }
      printf("%3d %7.1f  %-15s  %-9s  %3d  %-12s  %-15s  %-7s  %s  \"%s\"\n", row.number,
             row.milliseconds, row.source.c_str(), Cell(row.interface).c_str(), row.ttl,
             Cell(row.mac).c_str(), Cell(row.ip).c_str(), Cell(row.brand).c_str(),
             verdicts.empty() ? "-" : verdicts.c_str(), DeviceLineText(row.deviceId).c_str());
    }
    fflush(stdout);
  }

  void PrintSummary() const {
    std::string used, skipped, usedJson, skippedJson;
    for (const HostLinks::QueryInterface& i : interfaces_) {
      char address[INET_ADDRSTRLEN] = "?";
      inet_ntop(AF_INET, &i.address, address, sizeof(address));
      std::string where = Cell(i.name) + " (" + address + ")";
      if (i.skipped == nullptr) {
        used += (used.empty() ? "" : ", ") + where;
        usedJson += (usedJson.empty() ? "" : ",") + Json(i.name);
      } else {
        skipped += (skipped.empty() ? "" : ", ") + where + ": " + i.skipped;
        skippedJson += std::string(skippedJson.empty() ? "" : ",") +
                       "{\"interface\":" + Json(i.name) + ",\"why\":" + Json(i.skipped) + "}";
      }
    }
    int dropped = 0;
    std::string droppedText, droppedJson;
    for (const auto& reason : senderDropped_) {
      dropped += reason.second;
      droppedText += ", " + std::to_string(reason.second) + " " + VerdictText(reason.first);
      droppedJson += std::string(droppedJson.empty() ? "" : ",") + Json(VerdictText(reason.first)) +
                     ":" + std::to_string(reason.second);
    }
    std::string perName, perNameJson;
    for (size_t i = 0; i < names_.size(); ++i) {
      std::string count = std::to_string(listed_[i].size());
      perName += (perName.empty() ? "" : ", ") + names_[i] + " " + count;
      perNameJson += std::string(perNameJson.empty() ? "" : ",") + Json(names_[i]) + ":" + count;
    }
    std::string uri;
    if (!options_.uri.empty()) uri = UriVerdict();
    if (options_.json) {
      printf(
          "{\"summary\":{\"seconds\":%d,\"query_sent_on\":[%s],\"skipped\":[%s],"
          "\"replies\":%zu,\"rows\":%zu,\"off_link_dropped\":%d,\"dropped_unread\":{%s},"
          "\"printers\":{%s}",
          options_.seconds, usedJson.c_str(), skippedJson.c_str(), datagrams_, rows_.size(),
          SenderDropped(kSenderOffLink), droppedJson.c_str(), perNameJson.c_str());
      if (!options_.uri.empty())
        printf(
            ",\"uri\":{\"uri\":%s,\"handed_over_to\":%s,\"answered_ms\":%.1f,"
            "\"unusable_replies\":%d,\"verdict\":%s}",
            Json(options_.uri).c_str(),
            Json(!uriRule_->Found() ? "" : "socket://" + uriRule_->Address()).c_str(),
            uriMilliseconds_, uriRule_->Unusable(), Json(uri).c_str());
      printf("}}\n");
      return;
    }
    printf("\nquery sent on: %s\n", used.empty() ? "-" : used.c_str());
    if (!skipped.empty()) printf("interfaces skipped: %s\n", skipped.c_str());
    printf("replies: %zu in %d s (%d dropped unread%s)\n", datagrams_, options_.seconds, dropped,
           droppedText.empty() ? "" : (":" + droppedText.substr(1)).c_str());
    printf("printers listed: %s\n", perName.empty() ? Names().c_str() : perName.c_str());
    if (!options_.uri.empty())
      printf("%s: %s\n", DeviceLineText(options_.uri).c_str(), uri.c_str());
  }

  int SenderDropped(Verdict verdict) const {
    auto found = senderDropped_.find(verdict);
    return found != senderDropped_.end() ? found->second : 0;
  }

  std::string UriScheme() const { return options_.uri.substr(0, options_.uri.find("://")); }
  std::string UriTarget() const { return options_.uri.substr(options_.uri.find("//") + 2); }

  bool UriHandedOver() const {
    return uriRule_->Found() || (!UriTarget().empty() && IsIpAddress(UriTarget()));
  }

  std::string UriVerdict() const {
    std::string target = UriTarget();
    if (!target.empty() && IsIpAddress(target))
      return "handed over to socket://" + target + " at once: the URI holds an address";
    if (uriRule_->Found()) {
      char when[32];
      snprintf(when, sizeof(when), "%.1f", uriMilliseconds_);
      return "handed over to socket://" + uriRule_->Address() + " (the printer answered " + when +
             " ms after the query)";
    }
    std::string why = "not handed over: no reply of its brand named " + DeviceLineText(target);
    if (uriRule_->Unusable() > 0)
      why += " with a usable address (" + std::to_string(uriRule_->Unusable()) +
             " replies gave an address a job cannot be sent to)";
    return why + " within " + std::to_string(options_.seconds) + " s";
  }

  const Options& options_;
  const std::vector<std::string>& names_;
  std::vector<std::unique_ptr<Discoverer>> judges_;  // one per name
  std::unique_ptr<Discoverer> uriJudge_;             // the brand of --uri's scheme
  std::vector<HostLinks::QueryInterface> interfaces_;
  timespec start_{};
  bool headerDone_ = false;
  std::vector<Row> rows_;  // at most kMaxRecordsPerRun
  bool capped_ = false;
  size_t datagrams_ = 0;
  std::map<Verdict, int> senderDropped_;
  std::map<std::string, int> firstRow_;        // MAC -> its first row
  std::vector<std::set<std::string>> listed_;  // per name, the MACs listed
  std::unique_ptr<JobPrinterRule> uriRule_;    // a job on --uri's queue
  double uriMilliseconds_ = 0;
};

}  // namespace

int main(int argc, char* argv[]) {
  Options options;
  if (argc == 2 && (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0)) {
    fputs(kUsage, stdout);
    return 0;
  }
  if (!ParseOptions(argc, argv, options)) {
    fputs(kUsage, stderr);
    return 2;
  }
  // A queue's question is answered over as long a wait as its job takes.
  if (options.seconds == 0) options.seconds = options.uri.empty() ? kDefaultSeconds : kMaxSeconds;
  std::vector<std::string> names = options.names.empty() ? InstalledNames() : options.names;
  Probe probe(options, names);
  return probe.Run();
}
