// netbackend-probe: answers an administrator's "why is my printer not
// listed?" and "why does this queue not print?". It sends the backend's own
// query out of the interfaces the backend would use, and for every datagram
// that comes back prints what the backend makes of it under each installed
// backend name: listed, or why not. With --uri it says whether a job on that
// queue would be handed over, and to which address. It uses the backend's
// connector, parser and brand rules, and needs no privilege.
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <net/if.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "backend_util.h"
#include "connector.h"
#include "data_buffer.h"
#include "descriptor_watch.h"
#include "kvt.h"

namespace {

const char kUsage[] =
    "usage: netbackend-probe [--seconds N] [--name NAME]... [--uri URI] [--json]\n"
    "  Sends the backend's query and shows, for every reply, what each\n"
    "  installed backend name makes of it.\n"
    "  --seconds N  wait N seconds for replies, 1 to 15 (default 5)\n"
    "  --name NAME  judge the replies as the backend installed as NAME would\n"
    "               (repeatable; default: the backends in $CUPS_SERVERBIN/backend\n"
    "               that carry the query)\n"
    "  --uri URI    would a job on a queue with this device URI be handed over,\n"
    "               and to which address (queries again at 1, 3, 7 s, as a job)\n"
    "  --json       one JSON object per reply and one for the summary\n";

const char kDefaultServerBin[] = "/usr/lib/cups";
const int kDefaultSeconds = 5;
const int kMaxSeconds = 15;
const int kBufferSize = 4096;

struct Options {
  int seconds = kDefaultSeconds;
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

// `text` as a JSON string, quotes included. Texts from the network have
// been made device-line text (valid UTF-8, no control characters) first.
std::string Json(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

// What one datagram is to one backend name.
struct Verdict {
  std::string brand;  // the brand that name sees in the reply
  std::string text;   // "listed", or why not
};

// One datagram as the backend would see it.
struct Row {
  int number = 0;
  double milliseconds = 0;
  std::string source;
  std::string interface;
  std::string mac;
  std::string ip;
  std::string brand;  // as the name for every printer sees it
  std::string deviceId;
  std::vector<Verdict> verdicts;  // one per name, in the names' order
  int sameAs = 0;                 // the earlier row of the same printer, if any
};

class Probe {
 public:
  Probe(const Options& options, const std::vector<std::string>& names)
      : options_(options), names_(names) {}

  // Sends the query, reports every reply and the summary. Returns the exit
  // status.
  int Run() {
    DescriptorWatch watch;
    Connector connector(&watch);
    DataBuffer buffer(kBufferSize);
    buffer.Assign(gDNSQueryPacket, kDNSQueryPacketSize);
    int sent = connector.Broadcast(buffer, kHostConfigPort, 0);
    if (sent <= 0) {
      if (sent == -1)
        fprintf(stderr,
                "netbackend-probe: no usable network interface (up, multicast-capable, not "
                "loopback): the query cannot be sent\n");
      // A failed bind has said why on standard error already.
      return 1;
    }
    timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    if (!options_.json) printf("%s\n", Header().c_str());
    size_t repeated = 0;
    const size_t repeats = options_.uri.empty() ? 0 : sizeof(kRepeatQueryAfter) / sizeof(int);
    for (;;) {
      double left = options_.seconds * 1000.0 - MillisecondsSince(start);
      if (left <= 0) break;
      if (repeated < repeats) {
        double due = kRepeatQueryAfter[repeated] * 1000.0 - MillisecondsSince(start);
        if (due <= 0) {
          buffer.Assign(gDNSQueryPacket, kDNSQueryPacketSize);
          connector.Resend(buffer);
          ++repeated;
          continue;
        }
        left = std::min(left, due);
      }
      long microseconds = static_cast<long>(left * 1000) + 1;
      int ready = watch.Wait(static_cast<int>(microseconds / 1000000),
                             static_cast<int>(microseconds % 1000000));
      if (ready < 0) break;
      if (ready == 0 || !watch.IsReadable(connector.UdpSocket())) continue;
      sockaddr_in source;
      int index = 0;
      if (connector.ReceiveDatagram(buffer, source, index) <= 0) continue;
      Row row = Judge(connector, buffer, source, index, MillisecondsSince(start));
      Print(row);
      rows_.push_back(row);
    }
    connector.CloseBroadcast();
    PrintSummary(connector);
    // With --uri the status says whether a job would be handed over.
    return options_.uri.empty() || UriHandedOver() ? 0 : 1;
  }

 private:
  Row Judge(const Connector& connector, const DataBuffer& datagram, const sockaddr_in& source,
            int index, double milliseconds) {
    Row row;
    row.number = static_cast<int>(rows_.size()) + 1;
    row.milliseconds = milliseconds;
    char address[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &source.sin_addr, address, sizeof(address));
    row.source = address;
    char name[IF_NAMESIZE] = "";
    row.interface = index > 0 && if_indextoname(static_cast<unsigned>(index), name) ? name : "-";
    if (!connector.IsOnLink(source.sin_addr)) {
      row.verdicts.assign(names_.size(), Verdict{"", "off-link sender dropped"});
      return row;
    }
    // The brand rules depend on the name; the rest of the record does not.
    DeviceRecord all;
    ReplyKind kind = Discoverer("g").ReadReply(datagram, all);
    row.mac = all.macAddress();
    row.ip = all.ipAddress();
    row.brand = all.brand();
    row.deviceId = all.deviceId();
    for (const Row& earlier : rows_) {
      if (!row.mac.empty() && earlier.mac == row.mac) {
        row.sameAs = earlier.number;
        break;
      }
    }
    std::string usable;
    for (const std::string& name : names_) {
      Discoverer discoverer(name);
      DeviceRecord record;
      discoverer.ReadReply(datagram, record);
      Verdict verdict{record.brand(), "listed"};
      if (kind == kMalformedReply)
        verdict.text = "malformed";
      else if (kind == kOtherMessage)
        verdict.text = "not a host-config reply";
      else if (discoverer.brand() != "Printer" && record.brand() != discoverer.brand())
        verdict.text = "other brand";
      else if (record.macAddress().empty())
        verdict.text = "no MAC address";
      else if (!CanonicalHostAddress(record.ipAddress(), usable))
        verdict.text = "address not usable for a hand-over";
      row.verdicts.push_back(verdict);
    }
    JudgeUri(kind, datagram, milliseconds);
    return row;
  }

  // Follows a job on the queue of --uri: the first reply of its brand that
  // names its MAC with a usable address is where the job would go.
  void JudgeUri(ReplyKind kind, const DataBuffer& datagram, double milliseconds) {
    if (options_.uri.empty() || !uriHost_.empty() || kind != kHostConfigReply) return;
    std::string scheme = options_.uri.substr(0, options_.uri.find("://"));
    std::string target = UriTarget();
    Discoverer discoverer(scheme);
    DeviceRecord record;
    discoverer.ReadReply(datagram, record);
    std::string address;
    if (record.macAddress() != target ||
        (discoverer.brand() != "Printer" && record.brand() != discoverer.brand()))
      return;
    if (!CanonicalHostAddress(record.ipAddress(), address)) {
      ++uriUnusable_;
      return;
    }
    uriHost_ = address;
    uriMilliseconds_ = milliseconds;
  }

  std::string Header() const {
    std::string header =
        "  #      ms  source           interface  MAC           IP               brand";
    return header + "  verdicts (" + Names() + ")  1284 ID";
  }

  std::string Names() const {
    std::string text;
    for (const std::string& name : names_) text += (text.empty() ? "" : ", ") + name;
    return text.empty() ? "no backend names installed" : text;
  }

  void Print(const Row& row) const {
    if (options_.json) {
      printf(
          "{\"row\":%d,\"ms\":%.1f,\"source\":%s,\"interface\":%s,\"mac\":%s,\"ip\":%s,"
          "\"brand\":%s,\"device_id\":%s,\"same_printer_as\":%d,\"verdicts\":{",
          row.number, row.milliseconds, Json(row.source).c_str(), Json(row.interface).c_str(),
          Json(row.mac).c_str(), Json(DeviceLineText(row.ip)).c_str(),
          Json(DeviceLineText(row.brand)).c_str(), Json(DeviceLineText(row.deviceId)).c_str(),
          row.sameAs);
      for (size_t i = 0; i < names_.size(); ++i)
        printf("%s%s:{\"verdict\":%s,\"brand\":%s}", i ? "," : "", Json(names_[i]).c_str(),
               Json(row.verdicts[i].text).c_str(),
               Json(DeviceLineText(row.verdicts[i].brand)).c_str());
      printf("}}\n");
    } else {
      std::string verdicts;
      for (size_t i = 0; i < names_.size(); ++i) {
        verdicts += (i ? "; " : "") + names_[i] + ": " + row.verdicts[i].text;
        if (row.verdicts[i].text == "other brand")
          verdicts +=
              " (" +
              (row.verdicts[i].brand.empty() ? "none" : DeviceLineText(row.verdicts[i].brand)) +
              ")";
        if (row.verdicts[i].text == "listed" && row.sameAs != 0)
          verdicts += " again (as row " + std::to_string(row.sameAs) + ")";
      }
      printf("%3d %7.1f  %-15s  %-9s  %-12s  %-15s  %-7s  %s  \"%s\"\n", row.number,
             row.milliseconds, row.source.c_str(), row.interface.c_str(),
             row.mac.empty() ? "-" : row.mac.c_str(),
             row.ip.empty() ? "-" : DeviceLineText(row.ip).c_str(),
             row.brand.empty() ? "-" : DeviceLineText(row.brand).c_str(),
             verdicts.empty() ? "-" : verdicts.c_str(), DeviceLineText(row.deviceId).c_str());
    }
    fflush(stdout);
  }

  void PrintSummary(const Connector& connector) const {
    std::string used, skipped, usedJson, skippedJson;
    for (const Connector::QueryInterface& i : connector.Interfaces()) {
      char address[INET_ADDRSTRLEN] = "?";
      inet_ntop(AF_INET, &i.address, address, sizeof(address));
      std::string where = i.name + " (" + address + ")";
      if (i.skipped == nullptr) {
        used += (used.empty() ? "" : ", ") + where;
        usedJson += (usedJson.empty() ? "" : ",") + Json(i.name);
      } else {
        skipped += (skipped.empty() ? "" : ", ") + where + ": " + i.skipped;
        skippedJson += std::string(skippedJson.empty() ? "" : ",") +
                       "{\"interface\":" + Json(i.name) + ",\"why\":" + Json(i.skipped) + "}";
      }
    }
    // Printers per name: the distinct MAC addresses it would list.
    std::map<std::string, std::vector<std::string>> listed;
    int dropped = 0;
    for (const Row& row : rows_) {
      if (!row.verdicts.empty() && row.verdicts[0].text == "off-link sender dropped") ++dropped;
      for (size_t i = 0; i < names_.size(); ++i) {
        std::vector<std::string>& macs = listed[names_[i]];
        if (row.verdicts[i].text == "listed" &&
            std::find(macs.begin(), macs.end(), row.mac) == macs.end())
          macs.push_back(row.mac);
      }
    }
    std::string perName, perNameJson;
    for (const std::string& name : names_) {
      perName += (perName.empty() ? "" : ", ") + name + " " + std::to_string(listed[name].size());
      perNameJson += std::string(perNameJson.empty() ? "" : ",") + Json(name) + ":" +
                     std::to_string(listed[name].size());
    }
    std::string uri;
    if (!options_.uri.empty()) uri = UriVerdict();
    if (options_.json) {
      printf(
          "{\"summary\":{\"seconds\":%d,\"query_sent_on\":[%s],\"skipped\":[%s],"
          "\"replies\":%zu,\"off_link_dropped\":%d,\"printers\":{%s}",
          options_.seconds, usedJson.c_str(), skippedJson.c_str(), rows_.size(), dropped,
          perNameJson.c_str());
      if (!options_.uri.empty())
        printf(
            ",\"uri\":{\"uri\":%s,\"handed_over_to\":%s,\"answered_ms\":%.1f,"
            "\"unusable_replies\":%d,\"verdict\":%s}",
            Json(DeviceLineText(options_.uri)).c_str(),
            Json(uriHost_.empty() ? "" : "socket://" + uriHost_).c_str(), uriMilliseconds_,
            uriUnusable_, Json(uri).c_str());
      printf("}}\n");
      return;
    }
    printf("\nquery sent on: %s\n", used.empty() ? "-" : used.c_str());
    if (!skipped.empty()) printf("interfaces skipped: %s\n", skipped.c_str());
    printf("replies: %zu in %d s (%d from senders off the local subnets, dropped)\n", rows_.size(),
           options_.seconds, dropped);
    printf("printers listed: %s\n", perName.empty() ? Names().c_str() : perName.c_str());
    if (!options_.uri.empty())
      printf("%s: %s\n", DeviceLineText(options_.uri).c_str(), uri.c_str());
  }

  std::string UriTarget() const { return options_.uri.substr(options_.uri.find("//") + 2); }

  bool UriHandedOver() const {
    return !uriHost_.empty() || (!UriTarget().empty() && IsIpAddress(UriTarget()));
  }

  std::string UriVerdict() const {
    std::string target = UriTarget();
    if (!target.empty() && IsIpAddress(target))
      return "handed over to socket://" + target + " at once: the URI holds an address";
    if (!uriHost_.empty()) {
      char when[32];
      snprintf(when, sizeof(when), "%.1f", uriMilliseconds_);
      return "handed over to socket://" + uriHost_ + " (the printer answered " + when +
             " ms after the query)";
    }
    std::string why = "not handed over: no reply of its brand named " + DeviceLineText(target);
    if (uriUnusable_ > 0)
      why += " with a usable address (" + std::to_string(uriUnusable_) +
             " replies gave an address a job cannot be sent to)";
    return why + " within " + std::to_string(options_.seconds) + " s";
  }

  const Options& options_;
  const std::vector<std::string>& names_;
  std::vector<Row> rows_;
  std::string uriHost_;
  double uriMilliseconds_ = 0;
  int uriUnusable_ = 0;
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
  std::vector<std::string> names = options.names.empty() ? InstalledNames() : options.names;
  Probe probe(options, names);
  return probe.Run();
}
