// kvt: "key=value TXT", the host-config protocol by which printers describe
// themselves in the KEY=value strings of a DNS TXT record. Here are the
// query, the reply parser (over wire_reader), the attributes of that
// record, the DeviceRecord of one printer and the Discoverer that runs one
// discovery, judges every datagram and keeps the printers of its brand.
// Its users: the front end (netbackend.cpp), the probe, the job-time rule
// (job_printer) and the printer application's listing and address book.
// Threads: DeviceRecord is a value; a Discoverer serves one thread at a time.
#ifndef NETBACKEND_KVT_H_
#define NETBACKEND_KVT_H_

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "host_links.h"

class Connector;
class DataBuffer;
class DescriptorWatch;
class WireReader;

// The 41-byte Multicast DNS question for the PTR records of
// _host-config._udp.local, with the unicast-response bit set. Sent unchanged.
extern const unsigned char gDNSQueryPacket[41];
const int kDNSQueryPacketSize = 41;

// The discovery's mDNS port.
const int kHostConfigPort = 5353;

// One printer as one reply describes it: a plain value, copied field by
// field. Any field may be empty.
class DeviceRecord {
 public:
  DeviceRecord() = default;
  DeviceRecord(const DeviceRecord&) = default;
  DeviceRecord& operator=(const DeviceRecord&) = default;

  // 12 upper-case hex digits, no separators.
  std::string& macAddress() { return macAddress_; }
  std::string& ipAddress() { return ipAddress_; }
  // The IEEE 1284 device ID without its double quotes.
  std::string& deviceId() { return deviceId_; }
  std::string& brand() { return brand_; }
  const std::string& macAddress() const { return macAddress_; }
  const std::string& ipAddress() const { return ipAddress_; }
  const std::string& deviceId() const { return deviceId_; }
  const std::string& brand() const { return brand_; }

  void setMacAddress(std::string_view v) { macAddress_.assign(v.data(), v.size()); }
  void setIpAddress(std::string_view v) { ipAddress_.assign(v.data(), v.size()); }
  void setDeviceId(std::string_view v) { deviceId_.assign(v.data(), v.size()); }
  void setBrand(std::string_view v) { brand_.assign(v.data(), v.size()); }

  // The brand as the parser reads it: a vendor ID's brand replaces any (an
  // unknown vendor leaves none); a device ID or an mDNS name holding the
  // reader's brand text gives a record without one that brand.
  void applyVendorBrand(std::string_view vendorBrand);
  void applyBrandHint(std::string_view value, const std::string& readerBrand);
  // The brand a reader of `readerBrand` would have read from the same
  // attributes, so that no datagram is read again for another brand.
  std::string brandFor(const std::string& readerBrand) const;

 private:
  std::string macAddress_;
  std::string ipAddress_;
  std::string deviceId_;
  std::string brand_;
  // The last vendor ID's brand and the hints after it, each ended by a zero
  // byte: no brand text holds one, so no match runs across two.
  std::string vendorBrand_;
  std::string brandHints_;
};

typedef std::vector<DeviceRecord> DeviceList;

// How one discovery run goes.
struct DiscoveryOptions {
  // The run ends this long after its waiting began, whatever arrives.
  int seconds = 15;
  // Where the query goes (the local port is one the system picks).
  int port = 5353;
  // Sends the query again 1, 3 and 7 seconds after the first while the run
  // goes on, for a printer that missed it (a lost packet, a printer waking
  // up). A job looking for one printer wants this; a listing does not.
  bool repeatQuery = false;
  // When set, receives the interfaces the query went out of and those it
  // skipped, with why.
  std::vector<HostLinks::QueryInterface>* queryInterfaces = nullptr;
  // When set, asked at least every kStopPollMs while the run waits; true
  // ends the run (a job canceled while its printer is looked for).
  std::function<bool()> stop;
};

// How often a run with DiscoveryOptions::stop asks it.
const int kStopPollMs = 200;

// When a job's query goes out again, in seconds after the first: a printer
// that lost the query or was asleep gets three more chances, and none comes
// within a second of the last (some responders ignore a repeat that soon).
const int kRepeatQueryAfter[] = {1, 3, 7};

// What a datagram turned out to be.
enum ReplyKind {
  kHostConfigReply,  // a reply with a host-config TXT record, applied
  kOtherMessage,     // a query, or a reply without a host-config TXT record
  kMalformedReply,   // too short, or a count, length or name leading past its end
};

// One datagram of a discovery run, as the run judged it. Its references
// hold only during the observer's call: the next datagram overwrites them.
struct Reply {
  const DataBuffer& datagram;  // its bytes, as received
  const Arrival& arrival;
  const HostLinks& links;  // the links the run judges by
  Verdict verdict;
  // What the datagram was; meaningful only when the sender was believed
  // (verdict not IsSenderVerdict).
  ReplyKind kind;
  // The printer it describes, as the run's brand reads it; empty unless a
  // host-config reply.
  const DeviceRecord& record;
  const std::string& address;  // where a job would go: set when kAccepted
};

// Told of every datagram of a run, with its verdict; once the run has kept
// kMaxRecordsPerRun records, the rest are not read and come as kRunFull.
// Returning false ends the run early.
typedef std::function<bool(const Reply&)> ReplyObserver;

// A run keeps at most this many records: far more printers than answer on
// any real network, and a bound on what a flood of replies can cost.
const size_t kMaxRecordsPerRun = 4096;

class Discoverer {
 public:
  // Chooses the brand from the running executable's own file name.
  Discoverer();
  // Chooses the brand as an executable called `programName` would.
  explicit Discoverer(const std::string& programName);
  Discoverer(const Discoverer&) = delete;
  Discoverer& operator=(const Discoverer&) = delete;

  // One discovery run: sends the query, waits up to options.seconds for
  // replies, judges each datagram (its sender, then the message, then the
  // printer it describes) and tells `observer` of each. Every host-config
  // reply of its brand from a believed sender joins the list, up to
  // kMaxRecordsPerRun. Returns Broadcast's result: greater than 0 when the
  // query went out; kNoQueryInterface or kNoReplySocket (connector.h) when
  // it could not be sent, and nothing was waited for.
  int discover() { return discover(ReplyObserver(), DiscoveryOptions()); }
  int discover(const ReplyObserver& observer, const DiscoveryOptions& options);

  // Judges one datagram that arrived as `arrival`, by `links`: its sender
  // before a byte is read, then the message, then the printer it describes.
  // Returns kAccepted, with `address` set to where a job may go, or the
  // first rule the datagram fails. `record` receives what the message says
  // of the printer (for a host-config reply of any verdict past the
  // sender's); `kind` what the message was (kMalformedReply when it was not
  // read).
  Verdict Judge(const DataBuffer& datagram, const Arrival& arrival, const HostLinks& links,
                DeviceRecord& record, std::string& address, ReplyKind& kind) const;

  // Whether a record read from a reply that arrived as `arrival` is listed
  // and may take a job (kAccepted, with `address` set) or the first rule it
  // fails: the brand, the MAC address, then HostLinks::JudgeAddress.
  Verdict JudgeRecord(const DeviceRecord& record, const Arrival& arrival, const HostLinks& links,
                      std::string& address) const;
  // The verdict of `reply`, judged by a Discoverer of any brand, under this
  // one's brand, which `brand` receives; `address` as JudgeRecord sets it.
  // The datagram is not read again.
  Verdict Rejudge(const Reply& reply, std::string& address, std::string& brand) const;

  const DeviceList& devices() const { return deviceList_; }
  const std::string& brand() const { return brand_; }

  // The reply parser. Reads only the first Length() bytes of `reply`. True
  // when the reply held a host-config TXT record, whose attributes were then
  // applied to `record`; false leaves `record` untouched. A reply that turns
  // out to be cut short or malformed inside that TXT record keeps the
  // attributes read before the damage.
  bool ParseReply(const DataBuffer& reply, DeviceRecord& record) const;
  // The same, saying what the datagram was: ParseReply is true exactly for
  // kHostConfigReply.
  ReplyKind ReadReply(const DataBuffer& reply, DeviceRecord& record) const;

  // Applies one KEY=value attribute of the host-config TXT record, read
  // where it lies.
  void ParseAttribute(std::string_view attribute, DeviceRecord& record) const;

 private:
  // discover's waiting, from the first wait to the deadline.
  void WaitForReplies(Connector& connector, DescriptorWatch& watch, DataBuffer& buffer,
                      const ReplyObserver& observer, const DiscoveryOptions& options);
  // Judges, keeps (`kept` counts) and reports one datagram; false ends the run.
  bool TakeReply(const DataBuffer& buffer, const Arrival& arrival, const HostLinks& links,
                 int received, size_t& kept, const ReplyObserver& observer);
  // Applies each KEY=value string of a host-config TXT record's data.
  void ApplyTxtStrings(WireReader rdata, DeviceRecord& record) const;
  // ParseAttribute's work, the attribute split already at its first "=".
  void ApplyKeyValue(std::string_view key, std::string_view value, DeviceRecord& record) const;
  // JudgeRecord for a record whose brand is `brand`.
  Verdict JudgeAs(const std::string& brand, const DeviceRecord& record, const Arrival& arrival,
                  const HostLinks& links, std::string& address) const;

  DeviceList deviceList_;
  std::string brand_;
};

#endif  // NETBACKEND_KVT_H_
