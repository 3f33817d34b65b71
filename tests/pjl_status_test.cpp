// The PJL reader against answers in the reference forms, the variants
// printers send, and the hostile; the codes' reasons; the job's frame.
#include "pjl_status.h"

#include <gtest/gtest.h>

namespace {

std::vector<PjlMessage> ReadAll(const std::string& bytes, size_t step = 0) {
  PjlReader reader;
  std::vector<PjlMessage> out;
  if (step == 0) step = bytes.size() + 1;
  for (size_t at = 0; at < bytes.size(); at += step)
    reader.Read(bytes.data() + at, std::min(step, bytes.size() - at), out);
  return out;
}

}  // namespace

TEST(PjlStatus, AnswersAreReadInEveryFormPrintersSend) {
  struct Row {
    std::string bytes;
    PjlKind kind;
    int code, number;
    std::string text, display;
    bool online;
  } rows[] = {
      {"@PJL USTATUS DEVICE\r\nCODE=40021\r\nDISPLAY=\"12 PRINTER OPEN\"\r\nONLINE=FALSE\r\n\f",
       PjlKind::kDevice, 40021, -1, "", "12 PRINTER OPEN", false},
      {"@PJL INFO STATUS\r\nCODE = 10001\r\nDISPLAY = \"READY\"\r\nONLINE = TRUE\f",
       PjlKind::kDevice, 10001, -1, "", "READY", true},
      {"@PJL USTATUS DEVICE\r\nCODE=10001\r\nDISPLAY=\"\r\n\f", PjlKind::kDevice, 10001, -1, "",
       "\"", true},
      {"@PJL USTATUS JOB\r\nEND\r\nNAME=\"netbackend job 7\"\r\nPAGES=3\r\n\f", PjlKind::kJobEnd, 0,
       3, "netbackend job 7", "", true},
      {"@PJL USTATUS JOB\nSTART\nNAME=\"j\"\n\f", PjlKind::kJobStart, 0, -1, "j", "", true},
      {"@PJL USTATUS PAGE\r\n1\r\n\f", PjlKind::kPage, 0, 1, "", "", true},
      {"\r\n@PJL ECHO netbackend 7\r\n\f", PjlKind::kEcho, 0, -1, "netbackend 7", "", true},
  };
  for (const Row& row : rows) {
    for (size_t step : {size_t(0), size_t(1), size_t(3)}) {
      std::vector<PjlMessage> got = ReadAll(row.bytes, step);
      ASSERT_EQ(got.size(), 1u) << row.bytes;
      EXPECT_EQ(got[0].kind, row.kind) << row.bytes;
      EXPECT_EQ(got[0].code, row.code) << row.bytes;
      EXPECT_EQ(got[0].number, row.number) << row.bytes;
      EXPECT_EQ(got[0].text, row.text) << row.bytes;
      EXPECT_EQ(got[0].display, row.display) << row.bytes;
      EXPECT_EQ(got[0].online, row.online) << row.bytes;
    }
  }
}

TEST(PjlStatus, WhatIsNotAnAnswerIsPassedOver) {
  const std::string junk[] = {
      "garbage\f",
      "@PJL USTATUS DEVICE\r\nDISPLAY=\"no code\"\r\n\f",
      "@PJL USTATUS DEVICE\r\nCODE=4002x\r\n\f",
      "@PJL USTATUS DEVICE\r\nCODE=99999999999999\r\n\f",
      "@PJL USTATUS JOB\r\nNAME=\"neither start nor end\"\r\n\f",
      "@PJL USTATUS PAGE\r\n-1\r\n\f",
      "@PJL USTATUS TIMED\r\nCODE=10001\r\n\f",
      "@PJLECHO x\f",
      "\f\f\f",
  };
  for (const std::string& bytes : junk) EXPECT_TRUE(ReadAll(bytes).empty()) << bytes;
  // An answer too long to be one is skipped to its form feed, and the next
  // is read.
  std::string flood = "@PJL USTATUS DEVICE\r\nDISPLAY=\"" +
                      std::string(PjlReader::kMaxAnswer * 3, 'A') + "\"\r\nCODE=10001\f";
  std::vector<PjlMessage> got = ReadAll(flood + "@PJL USTATUS PAGE\r\n2\r\n\f", 1000);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].kind, PjlKind::kPage);
  // A field is cut to its bound, whatever the printer sends.
  got = ReadAll("@PJL USTATUS DEVICE\r\nCODE=10001\r\nDISPLAY=\"" + std::string(600, 'B') +
                "\"\r\n\f");
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].display.size(), 255u);
}

TEST(PjlStatus, CodesStandForTheirReasons) {
  struct Row {
    int code;
    unsigned reasons;
    bool holds;
  } rows[] = {
      {10001, 0, false},
      {10023, 0, false},
      {10003, 0, false},
      {10006, kPjlTonerLow, false},
      {40038, kPjlTonerLow, true},
      {41201, kPjlMediaEmpty, true},
      {41999, kPjlMediaEmpty, true},
      {40022, kPjlMediaJam, true},
      {42105, kPjlMediaJam, true},
      {44000, kPjlMediaJam, true},
      {40021, kPjlCoverOpen, true},
      {10002, kPjlOffline, true},
      {40079, kPjlOffline, true},
      {40000, 0, false},
      {43000, 0, false},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(PjlReasons(row.code), row.reasons) << row.code;
    EXPECT_EQ(PjlHolds(row.code), row.holds) << row.code;
  }
}

TEST(PjlStatus, TheJobsFrame) {
  std::string name = PjlJobName(42, std::string("report \"Q3\"\x01") + std::string(200, 'x'));
  EXPECT_EQ(name.size(), 80u);
  EXPECT_EQ(name.rfind("netbackend job 42: report Q3xxx", 0), 0u) << name;
  EXPECT_EQ(PjlJobName(7, ""), "netbackend job 7");
  EXPECT_EQ(PjlJobStart("n", "t"),
            "\x1b%-12345X@PJL JOB NAME=\"n\"\r\n@PJL USTATUS DEVICE=ON\r\n@PJL USTATUS JOB=ON\r\n"
            "@PJL USTATUS PAGE=ON\r\n@PJL INFO STATUS\r\n@PJL ECHO t\r\n");
  // Nothing after the last universal exit.
  EXPECT_EQ(PjlJobEnd("n"), "\x1b%-12345X@PJL EOJ NAME=\"n\"\r\n\x1b%-12345X");
}
