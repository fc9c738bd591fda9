#include "prober/campaign.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <string>

namespace kovrin {
namespace {

FILE* memory_file(const std::string& text) {
  return fmemopen(const_cast<char*>(text.data()), text.size(), "r");
}

TEST(Campaign, TargetsFileTakesOneDestinationALine) {
  const std::string text = "# lab\n10.0.2.1\n\n  dest.example  # by name\r\n#\nlast.example";
  FILE* f = memory_file(text);
  std::vector<std::string> targets;
  std::string error;
  ASSERT_TRUE(read_targets(f, &targets, &error)) << error;
  std::fclose(f);
  EXPECT_EQ(targets, (std::vector<std::string>{"10.0.2.1", "dest.example", "last.example"}));

  const std::string long_line = "a\n" + std::string(kMaxTargetLength + 1, 'x') + "\n";
  f = memory_file(long_line);
  targets.clear();
  EXPECT_FALSE(read_targets(f, &targets, &error));
  std::fclose(f);
  EXPECT_EQ(error, "2: a destination of more than 255 characters");

  // A directory is no targets file, nor an earlier output.
  f = std::fopen("/", "r");
  ASSERT_NE(f, nullptr);
  targets.clear();
  EXPECT_FALSE(read_targets(f, &targets, &error));
  EXPECT_EQ(error, " Is a directory");
  std::rewind(f);
  int read_error = 0;
  EXPECT_TRUE(complete_targets(f, nullptr, &read_error).empty());
  EXPECT_EQ(read_error, EISDIR);
  std::fclose(f);
}

TEST(Campaign, ResumeCountsOnlyWholeCompleteLines) {
  const std::string head =
      "{\"schema\":\"kovrin-campaign\",\"schema_version\":1,\"program_version\":\"0.9 (\\\"x\\\")\",\"target\":";
  const std::string text =
      head + "\"done.example\",\"survey\":null,\"complete\":true}\n" +
      head + "\"cut.example\",\"survey\":null,\"complete\":false}\n" +
      head + "\"q\\\"uote\\u00e9\",\"complete\":true}\n" +
      "{\"schema\":\"kovrin-survey\",\"target\":\"other.example\",\"complete\":true}\n" +
      "garbage\n\n" +
      head + "\"crashed.example\",\"complete\":true}";  // no newline: cut short
  FILE* f = memory_file(text);
  bool cut = false;
  const std::set<std::string> done = complete_targets(f, &cut);
  std::fclose(f);
  EXPECT_EQ(done, (std::set<std::string>{"done.example", "q\"uote\xc3\xa9"}));
  EXPECT_TRUE(cut);
}

}  // namespace
}  // namespace kovrin
