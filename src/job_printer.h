// The job-time rule, one for every program that sends a job (the backend,
// the probe's --uri, the printer application): which reply gives the
// address that a job for a printer's MAC address goes to. A reply may
// describe a printer; only one judged usable under the job's brand may
// send a job anywhere.
// Threads: a JobPrinterRule serves one thread; FindJobPrinter needs its own Discoverer.
#ifndef NETBACKEND_JOB_PRINTER_H_
#define NETBACKEND_JOB_PRINTER_H_

#include <string>

#include "kvt.h"

// Follows the replies of one run for the printer whose MAC address is
// `mac` (compared exactly, as the listing writes it).
class JobPrinterRule {
 public:
  explicit JobPrinterRule(std::string mac) : mac_(std::move(mac)) {}

  // Looks at one reply: its record and verdict as the job's brand judged
  // them, and the address the verdict allows. The first usable reply that
  // names the printer gives the address; a reply that names it with an
  // address a job cannot take is counted. True once the printer is found.
  bool Consider(const DeviceRecord& record, Verdict verdict, const std::string& address);
  // Consider as a run's ReplyObserver: false, ending the run, once the
  // printer is found.
  bool Observe(const Reply& reply) { return !Consider(reply.record, reply.verdict, reply.address); }

  bool Found() const { return !address_.empty(); }
  const std::string& Address() const { return address_; }
  // The 1284 device ID of the reply that gave the address.
  const std::string& DeviceId() const { return deviceId_; }
  // Replies that named the printer with an address a job cannot take.
  int Unusable() const { return unusable_; }

 private:
  std::string mac_;
  std::string address_;
  std::string deviceId_;
  int unusable_ = 0;
};

// How a job searches: the whole budget, with the query repeated for a
// printer that missed it.
DiscoveryOptions JobSearchOptions();

struct JobPrinterSearch {
  int sent = 0;          // discover's result: 0 or less when no query went out
  std::string address;   // where the job goes; empty when not found
  std::string deviceId;  // what the printer said it is, in that reply
  int unusable = 0;      // as JobPrinterRule::Unusable
};

// One search as a job makes it, under `discoverer`'s brand: it ends at the
// first reply that gives the printer's address, or when the budget is
// spent.
JobPrinterSearch FindJobPrinter(Discoverer& discoverer, const std::string& mac,
                                const DiscoveryOptions& options = JobSearchOptions());

#endif  // NETBACKEND_JOB_PRINTER_H_
