// The built backend as the scheduler runs it for a job, on real sockets:
// printers in a peer namespace answer its query, and the stand-in socket
// backend records what the job was handed over with. Jobs whose printer
// never answers usably wait their full 15 seconds, all of them at once.
#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/wait.h>

#include <string>
#include <vector>

#include "dns_message.h"
#include "net_namespace.h"
#include "net_printers.h"
#include "test_files.h"

namespace {

using nettest::NetNs;
using nettest::Report;
using nettest::RunInNamespace;

const Datagram kRelayed = TamoAt("10.92.0.5");

struct JobRow {
  const char* why;
  const char* uri;
  int status;
  std::string stderrText;
  std::string handedTo;  // the socket backend's DEVICE_URI; empty: not run
  int queries;           // how many times this job asked
};

TEST(NetBackend, JobsFindTheirPrinterByMacAndSayHow) {
  const JobRow rows[] = {
      {"the printer answers the query sent again after 1 s", "tamo://80C4A2E691D5", 3,
       "STATE: +connecting-to-device\n"
       "INFO: Looking for printer 80C4A2E691D5 on the local network\n"
       "INFO: Printer 80C4A2E691D5 found at 10.99.0.11\n"
       "STATE: -connecting-to-device\n",
       "socket://10.99.0.11", 2},
      {"a MAC address in lower case never matches", "tamo://80c4a2e691d5", 1,
       "STATE: +connecting-to-device\n"
       "INFO: Looking for printer 80c4a2e691d5 on the local network\n"
       "STATE: -connecting-to-device\n"
       "ERROR: Printer 80c4a2e691d5 did not answer within 15 seconds\n",
       "", 4},
      {"only a relay's TTL-64 reply names it, to each of four queries", "tamo://8844CC22AA66", 1,
       "STATE: +connecting-to-device\n"
       "INFO: Looking for printer 8844CC22AA66 on the local network\n"
       "STATE: -connecting-to-device\n"
       "ERROR: Printer 8844CC22AA66 did not answer within 15 seconds with an address a job can "
       "be sent to (4 replies for it gave an unusable address)\n",
       "", 4},
  };
  TempDir dir("net_backend");
  const std::string serverBin = dir / "serverbin";
  ASSERT_TRUE(MakeDirs(serverBin + "/backend"));
  ASSERT_EQ(0, symlink(FAKE_SOCKET_PATH, (serverBin + "/backend/socket").c_str()));
  // Under a brand name: the first letter picks Tamo.
  const std::string tamo = dir / "tamo";
  ASSERT_TRUE(CopyFile(NETBACKEND_PATH, tamo, 0755));
  std::string failures = RunInNamespace(true, 40, [&](Report& r) {
    NetNs peer(false);
    if (!NS_CHECK(r, peer.ok() && nettest::LinkPeer(peer))) return;
    Answer late{kTamo};
    late.fromQuery = 2;
    Printers printers(peer, 5353, {late, {kRelayed}});
    if (!NS_CHECK(r, printers.ok())) return;
    std::vector<FILE*> jobs;
    int i = 0;
    for (const JobRow& row : rows) {
      std::string command = "env DEVICE_URI=" + std::string(row.uri) +
                            " CUPS_SERVERBIN=" + serverBin + " FAKE_SOCKET_STATUS=3" +
                            " FAKE_SOCKET_RECORD=" + (dir / std::to_string(i++)) + " " + tamo +
                            " 7 alice title 1 '' /dev/null 2>&1";
      jobs.push_back(popen(command.c_str(), "r"));
    }
    i = 0;
    int queries = 0;
    for (const JobRow& row : rows) {
      r.Context(row.why);
      std::string text;
      char chunk[512];
      size_t n;
      while (jobs[i] != nullptr && (n = fread(chunk, 1, sizeof(chunk), jobs[i])) > 0)
        text.append(chunk, n);
      int status = jobs[i] != nullptr ? pclose(jobs[i]) : -1;
      NS_CHECK_EQ(r, row.status, WIFEXITED(status) ? WEXITSTATUS(status) : -1);
      NS_CHECK_EQ(r, row.stderrText, text);
      std::string record = ReadFile(dir / std::to_string(i++));
      NS_CHECK_EQ(r, row.handedTo.empty() ? "" : "DEVICE_URI=" + row.handedTo + "\n",
                  record.substr(record.rfind("DEVICE_URI=") == std::string::npos
                                    ? record.size()
                                    : record.rfind("DEVICE_URI=")));
      queries += row.queries;
    }
    r.Context("the queries");
    NS_CHECK_EQ(r, queries, printers.queries());
  });
  EXPECT_EQ("", failures);
}

}  // namespace
