// netbackend-probe as an administrator runs it, on real sockets: printers in
// a peer namespace and a local user answer its query, and what it prints is
// what the backend's own loop made of each datagram. Each run waits one
// second (--seconds 1) inside a private network namespace.
#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/wait.h>

#include <regex>
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

struct Output {
  int status = -1;
  std::string text;
};

// Runs the probe with `args` and takes its standard output, with the times
// (which differ from run to run) taken out.
Output Probe(const std::string& args) {
  Output out;
  FILE* pipe = popen((std::string(PROBE_PATH) + " " + args + " 2>/dev/null").c_str(), "r");
  if (pipe == nullptr) return out;
  char chunk[4096];
  size_t n;
  while ((n = fread(chunk, 1, sizeof(chunk), pipe)) > 0) out.text.append(chunk, n);
  int status = pclose(pipe);
  out.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  out.text = std::regex_replace(out.text, std::regex("\"(answered_)?ms\":[0-9.]+,"), "");
  out.text = std::regex_replace(out.text, std::regex("answered [0-9.]+ ms"), "answered X ms");
  return out;
}

// Bytes JSON must escape or replace: a control, a quote, a backslash, a
// line separator, DEL, a C1 control and a byte that is not UTF-8; U+00E9
// stays as it is.
const Datagram kOdd =
    PrinterReply({"IPADDRESS=10.99.0.16", "MACUAA=0A0B0C0D0E0F",
                  "1284STRID=\"a\x1b\"b\\c\xc3\xa9\xe2\x80\xa8\x7f\xc2\x9f\xff\""});
const Datagram kRelayed = TamoAt("10.92.0.5");

TEST(NetProbe, RowsVerdictsSummaryAndTheJobsAnswer) {
  const std::vector<Answer> answers = {
      {kTamo, 64, true}, {kTamo}, {kKorvane}, {Datagram().Byte(0xC0, 64)},
      {kRelayed},        {kTamo}, {kOdd}};
  const std::string json =
      "{\"row\":1,\"source\":\"127.0.0.1\",\"interface\":\"lo\",\"ttl\":64,\"mac\":\"\",\"ip\":"
      "\"\","
      "\"brand\":\"\",\"device_id\":\"\",\"same_printer_as\":0,\"verdicts\":{\"tamo\":{\"verdict\":"
      "\"arrived on loopback\",\"brand\":\"\"},\"gprinter\":{\"verdict\":\"arrived on loopback\","
      "\"brand\":\"\"}}}\n"
      "{\"row\":2,\"source\":\"10.99.0.2\",\"interface\":\"nb0\",\"ttl\":64,\"mac\":"
      "\"80C4A2E691D5\","
      "\"ip\":\"10.99.0.11\",\"brand\":\"Tamo\",\"device_id\":\"\",\"same_printer_as\":0,"
      "\"verdicts\":{\"tamo\":{\"verdict\":\"listed\",\"brand\":\"Tamo\"},\"gprinter\":{"
      "\"verdict\":\"listed\",\"brand\":\"Tamo\"}}}\n"
      "{\"row\":3,\"source\":\"10.99.0.2\",\"interface\":\"nb0\",\"ttl\":64,\"mac\":\"\",\"ip\":"
      "\"10.99.0.13\",\"brand\":\"Korvane\",\"device_id\":\"\",\"same_printer_as\":0,\"verdicts\":{"
      "\"tamo\":{\"verdict\":\"other brand\",\"brand\":\"Korvane\"},\"gprinter\":{\"verdict\":"
      "\"no MAC address\",\"brand\":\"Korvane\"}}}\n"
      "{\"row\":4,\"source\":\"10.99.0.2\",\"interface\":\"nb0\",\"ttl\":64,\"mac\":\"\",\"ip\":"
      "\"\","
      "\"brand\":\"\",\"device_id\":\"\",\"same_printer_as\":0,\"verdicts\":{\"tamo\":{\"verdict\":"
      "\"malformed\",\"brand\":\"\"},\"gprinter\":{\"verdict\":\"malformed\",\"brand\":\"\"}}}\n"
      "{\"row\":5,\"source\":\"10.99.0.2\",\"interface\":\"nb0\",\"ttl\":64,\"mac\":"
      "\"8844CC22AA66\","
      "\"ip\":\"10.92.0.5\",\"brand\":\"Tamo\",\"device_id\":\"\",\"same_printer_as\":0,"
      "\"verdicts\":{\"tamo\":{\"verdict\":\"address beyond the link from a routed sender\","
      "\"brand\":\"Tamo\"},\"gprinter\":{\"verdict\":\"address beyond the link from a routed "
      "sender\",\"brand\":\"Tamo\"}}}\n"
      "{\"row\":6,\"source\":\"10.99.0.2\",\"interface\":\"nb0\",\"ttl\":64,\"mac\":"
      "\"80C4A2E691D5\","
      "\"ip\":\"10.99.0.11\",\"brand\":\"Tamo\",\"device_id\":\"\",\"same_printer_as\":2,"
      "\"verdicts\":{\"tamo\":{\"verdict\":\"listed\",\"brand\":\"Tamo\"},\"gprinter\":{"
      "\"verdict\":\"listed\",\"brand\":\"Tamo\"}}}\n"
      "{\"row\":7,\"source\":\"10.99.0.2\",\"interface\":\"nb0\",\"ttl\":64,\"mac\":"
      "\"50D030B070F0\","
      "\"ip\":\"10.99.0.16\",\"brand\":\"\",\"device_id\":\"a\\u001b\\\"b\\\\c\xc3\xa9\\u2028"
      "\\u007f\\u009f?\",\"same_printer_as\":0,\"verdicts\":{\"tamo\":{\"verdict\":\"other "
      "brand\",\"brand\":\"\"},\"gprinter\":{\"verdict\":\"listed\",\"brand\":\"\"}}}\n"
      "{\"summary\":{\"seconds\":1,\"query_sent_on\":[\"nb0\"],\"skipped\":[{\"interface\":\"lo\","
      "\"why\":\"loopback\"}],\"replies\":7,\"rows\":7,\"off_link_dropped\":0,\"dropped_unread\":{"
      "\"arrived on loopback\":1},\"printers\":{\"tamo\":1,\"gprinter\":2},\"uri\":{\"uri\":"
      "\"tamo://80C4A2E691D5\",\"handed_over_to\":\"socket://10.99.0.11\",\"unusable_replies\":0,"
      "\"verdict\":\"handed over to socket://10.99.0.11 (the printer answered X ms after the "
      "query)\"}}}\n";
  const std::string names = "--seconds 1 --name tamo --name gprinter ";
  // A backend directory: this backend as tamo and zalor, and files that
  // are not it, or hidden.
  TempDir dir("net_probe");
  const std::string backends = dir / "backend";
  ASSERT_TRUE(MakeDirs(backends));
  for (const char* name : {"tamo", "zalor", ".orbec"})
    ASSERT_TRUE(CopyFile(NETBACKEND_PATH, backends + "/" + name, 0755));
  ASSERT_TRUE(CopyFile(FAKE_SOCKET_PATH, backends + "/socket", 0755));
  ScopedEnv serverBin("CUPS_SERVERBIN", dir.path().c_str());
  std::string failures = RunInNamespace(true, 30, [&](Report& r) {
    NetNs peer(false);
    if (!NS_CHECK(r, peer.ok() && nettest::LinkPeer(peer))) return;
    Printers printers(peer, 5353, answers);
    if (!NS_CHECK(r, printers.ok())) return;

    r.Context("JSON, and a queue the printer answers for");
    Output found = Probe(names + "--uri tamo://80C4A2E691D5 --json");
    NS_CHECK_EQ(r, 0, found.status);
    NS_CHECK_EQ(r, json, found.text);

    // Text, and a queue whose printer only a relay's TTL-64 reply names.
    r.Context("text, and a queue no usable reply names");
    Output missed = Probe(names + "--uri tamo://8844CC22AA66");
    NS_CHECK_EQ(r, 1, missed.status);
    for (const char* line : {
             "tamo: listed again (as row 2); gprinter: listed again (as row 2)  \"\"",
             "tamo: other brand (Korvane); gprinter: no MAC address  \"\"",
             "\nquery sent on: nb0 (10.99.0.1)\n"
             "interfaces skipped: lo (127.0.0.1): loopback\n"
             "replies: 7 in 1 s (1 dropped unread: 1 arrived on loopback)\n"
             "printers listed: tamo 1, gprinter 2\n"
             "tamo://8844CC22AA66: not handed over: no reply of its brand named 8844CC22AA66 with "
             "a usable address (1 replies gave an address a job cannot be sent to) within 1 s\n",
         })
      r.Check(missed.text.find(line) != std::string::npos, __FILE__, __LINE__,
              std::string("no \"") + line + "\" in:\n" + missed.text);

    // Without --name, the names this backend is installed under, sorted.
    r.Context("the installed names");
    Output installed = Probe("--seconds 1");
    NS_CHECK(r, installed.text.find("verdicts (tamo, zalor)  1284 ID\n") != std::string::npos);
  });
  EXPECT_EQ("", failures);
}

// A flood of one reply: the rows stop where the backend's list does, and
// the summary still counts every datagram.
TEST(NetProbe, RowsStopAtTheBackendsCap) {
  std::string failures = RunInNamespace(true, 30, [](Report& r) {
    NetNs peer(false);
    if (!NS_CHECK(r, peer.ok() && nettest::LinkPeer(peer))) return;
    // Paced (50 every 10 ms, about a second in all), so that a sanitizer
    // build's probe on a busy machine loses none to a full receive queue.
    std::vector<Answer> flood(5000, Answer{kTamo});
    for (size_t i = 0; i < flood.size(); i += 50) flood[i].pauseMs = 10;
    Printers printers(peer, 5353, flood);
    if (!NS_CHECK(r, printers.ok())) return;
    Output out = Probe("--seconds 3 --name tamo");
    NS_CHECK_EQ(r, 0, out.status);
    size_t rows = 0, capped = 0, at = 0;
    while ((at = out.text.find(" listed again (as row 1)", at)) != std::string::npos) ++rows, ++at;
    for (at = 0; (at = out.text.find("(4096 rows: later datagrams are counted, not shown)\n",
                                     at)) != std::string::npos;
         ++at)
      ++capped;
    NS_CHECK_EQ(r, static_cast<size_t>(4095), rows);
    NS_CHECK_EQ(r, static_cast<size_t>(1), capped);
    unsigned replies = 0;
    const size_t summary = out.text.find("\nreplies: ");
    NS_CHECK(r, summary != std::string::npos &&
                    sscanf(out.text.c_str() + summary, "\nreplies: %u", &replies) == 1 &&
                    replies > 4096);
  });
  EXPECT_EQ("", failures);
}

}  // namespace
