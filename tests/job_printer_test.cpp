// The job-time rule on the replies of one run, without a network: which
// reply gives a MAC address's printer the address its job goes to, and
// when the run may end.
#include "job_printer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "data_buffer.h"

namespace {

TEST(JobPrinterRuleTest, TheFirstUsableReplyNamingTheMacGivesTheAddress) {
  const std::string mac = "80C4A2E691D5";
  struct Step {
    std::string mac;
    Verdict verdict;
    std::string address;
    bool goesOn;  // what the rule tells the run
  };
  const struct {
    const char* why;
    std::vector<Step> steps;
    std::string found;
    int unusable;
  } rows[] = {
      {"the printer", {{mac, kAccepted, "10.0.0.5", false}}, "10.0.0.5", 0},
      {"another printer", {{"0011AABBCCDD", kAccepted, "10.0.0.6", true}}, "", 0},
      {"the MAC in lower case", {{"80c4a2e691d5", kAccepted, "10.0.0.5", true}}, "", 0},
      {"another brand's printer of that MAC", {{mac, kOtherBrand, "", true}}, "", 0},
      {"an address a job cannot take, then a usable one",
       {{mac, kAddressBeyondLink, "", true}, {mac, kAccepted, "10.0.0.5", false}},
       "10.0.0.5",
       1},
      {"accepted without an address", {{mac, kAccepted, "", true}}, "", 1},
      {"found: a later reply changes nothing",
       {{mac, kAccepted, "10.0.0.5", false}, {mac, kAccepted, "10.0.0.9", false}},
       "10.0.0.5",
       0},
  };
  const DataBuffer datagram(1);
  const Arrival arrival{};
  const HostLinks links;
  for (const auto& row : rows) {
    SCOPED_TRACE(row.why);
    JobPrinterRule rule(mac);
    for (const Step& step : row.steps) {
      DeviceRecord record;
      record.setMacAddress(step.mac);
      EXPECT_EQ(step.goesOn, rule.Observe(Reply{datagram, arrival, links, step.verdict,
                                                kHostConfigReply, record, step.address}));
    }
    EXPECT_EQ(row.found, rule.Address());
    EXPECT_EQ(!row.found.empty(), rule.Found());
    EXPECT_EQ(row.unusable, rule.Unusable());
  }
}

}  // namespace
