// The job-time rule on a run's replies, without a network: which reply
// gives a MAC address's printer its job's address, and when the run ends.
#include "job_printer.h"

#include <gtest/gtest.h>

#include "data_buffer.h"

namespace {

TEST(JobPrinterRuleTest, TheFirstUsableReplyNamingTheMacGivesTheAddress) {
  struct Step {
    std::string mac;
    Verdict verdict;
    std::string address;
    bool goesOn;  // what the rule tells the run
  };
  const std::string mac = "80C4A2E691D5";
  const Step found = {mac, kAccepted, "10.0.0.5", false};
  const Step later = {mac, kAccepted, "10.0.0.9", false};
  const Step unusable = {mac, kAddressBeyondLink, "", true};
  const struct {
    const char* why;
    std::vector<Step> steps;
    std::string address;
    int unusable;
  } rows[] = {
      {"the printer", {found}, "10.0.0.5", 0},
      {"its MAC in lower case", {{"80c4a2e691d5", kAccepted, "10.0.0.5", true}}, "", 0},
      {"another brand's printer of that MAC", {{mac, kOtherBrand, "", true}}, "", 0},
      {"an address a job cannot take first", {unusable, found}, "10.0.0.5", 1},
      {"accepted without an address", {{mac, kAccepted, "", true}}, "", 1},
      {"found: a later reply changes nothing", {found, later}, "10.0.0.5", 0},
  };
  const DataBuffer datagram(1);
  const Arrival arrival{};
  const HostLinks links;
  for (const auto& row : rows) {
    JobPrinterRule rule(mac);
    for (const Step& step : row.steps) {
      DeviceRecord record;
      record.setMacAddress(step.mac);
      Reply reply{datagram, arrival, links, step.verdict, kHostConfigReply, record, step.address};
      EXPECT_EQ(step.goesOn, rule.Observe(reply)) << row.why;
    }
    EXPECT_EQ(row.address, rule.Address()) << row.why;
    EXPECT_EQ(row.unusable, rule.Unusable()) << row.why;
  }
}

}  // namespace
