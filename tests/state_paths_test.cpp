// How the state is written: interrupted jobs saved as pending, the
// record of an accepted job read back only whole, and a file replaced in
// one step.
#include "state_paths.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "test_files.h"

TEST(StatePaths, ProcessingJobsAreSavedAsPending) {
  const std::string state =
      "<Printer p>\n"
      "Job id=\"1\" name=\"a state=\\\"5\\\"\" state=\"5\" username=\"u\"\n"
      "Job id=\"2\" name=\"b\" state=\"3\"\n"
      "Job id=\"3\" name=\"c\" state=\"9\"\n"
      "NextJobId state=\"5\"\n"
      "</Printer>\n";
  EXPECT_EQ(RequeueProcessingJobs(state),
            "<Printer p>\n"
            "Job id=\"1\" name=\"a state=\\\"5\\\"\" state=\"3\" username=\"u\"\n"
            "Job id=\"2\" name=\"b\" state=\"3\"\n"
            "Job id=\"3\" name=\"c\" state=\"9\"\n"
            "NextJobId state=\"5\"\n"
            "</Printer>\n");
}

TEST(StatePaths, AJobRecordIsReadBackWholeOrNotAtAll) {
  JobRecord record;
  record.printerId = 2;
  record.jobId = 17;
  record.user = "alice";
  record.format = "application/pdf";
  record.name = "50% of a\nreport";
  record.file = "/var/spool/x/p00002j000000017.pdf";
  record.options = {{"copies", "2"}, {"media", "iso_a4_210x297mm"}, {"page-ranges", "1-3=x"}};
  const std::string text = FormatJobRecord(record);
  JobRecord back;
  ASSERT_TRUE(ParseJobRecord(text, back));
  EXPECT_EQ(back.printerId, 2);
  EXPECT_EQ(back.jobId, 17);
  EXPECT_EQ(back.name, record.name);
  EXPECT_EQ(back.file, record.file);
  EXPECT_EQ(back.options, record.options);
  // Cut anywhere before its last line, a record is not taken.
  for (size_t cut = 0; cut < text.size(); ++cut)
    EXPECT_FALSE(ParseJobRecord(text.substr(0, cut), back)) << cut;
  EXPECT_FALSE(ParseJobRecord("printer=0\njob=1\nformat=x\nfile=y\nend\n", back));
  EXPECT_FALSE(ParseJobRecord("printer=1\njob=1\nformat=x\nfile=%zz\nend\n", back));
}

TEST(StatePaths, AFileIsReplacedInOneStep) {
  TempDir dir("state_paths");
  const std::string path = dir / "app.state";
  std::string error;
  ASSERT_TRUE(WriteFileDurably(path, "one\n", error)) << error;
  ASSERT_TRUE(WriteFileDurably(path, "two\n", error)) << error;
  EXPECT_EQ(ReadFile(path), "two\n");
  EXPECT_NE(access((path + ".new").c_str(), F_OK), 0);
  EXPECT_FALSE(WriteFileDurably(dir / "missing/app.state", "x", error));
  EXPECT_NE(error.find("missing"), std::string::npos) << error;
}
