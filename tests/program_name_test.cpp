// The program's own name as /proc gives it: the file that is running, with
// every symbolic link resolved (the process suite runs the built program
// under other names).
#include "program_name.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(ReadProgramNameTest, IsTheFileNameOfTheRunningExecutable) {
  std::string name = "stale";
  ReadProgramName(name);
  EXPECT_EQ("unit_tests", name);
}

}  // namespace
