#include "job_printer.h"

#include "trace_log.h"

namespace {
const char kSource[] = "src/job_printer";
}  // namespace

bool JobPrinterRule::Consider(const DeviceRecord& record, Verdict verdict,
                              const std::string& address) {
  if (!address_.empty()) return true;
  // Another brand's printer with the same MAC is not this queue's printer.
  if (record.macAddress() != mac_ || verdict == kOtherBrand) return false;
  if (verdict != kAccepted || address.empty()) {
    ++unusable_;
    log_printf(LOG_DETAIL, __LINE__, kSource, __func__,
               "reply for %s passed over: IP \"%s\" is not an address a job can be sent to (%s)",
               log_escape(mac_).c_str(), log_escape(record.ipAddress()).c_str(),
               VerdictText(verdict));
    return false;
  }
  address_ = address;
  deviceId_ = record.deviceId();
  return true;
}

DiscoveryOptions JobSearchOptions() {
  DiscoveryOptions options;
  options.repeatQuery = true;
  return options;
}

JobPrinterSearch FindJobPrinter(Discoverer& discoverer, const std::string& mac,
                                const DiscoveryOptions& options) {
  JobPrinterRule rule(mac);
  JobPrinterSearch search;
  search.sent =
      discoverer.discover([&](const Reply& reply) { return rule.Observe(reply); }, options);
  search.address = rule.Address();
  search.deviceId = rule.DeviceId();
  search.unusable = rule.Unusable();
  return search;
}
