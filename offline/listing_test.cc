#include "offline/listing.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "detect/test_util.h"

namespace offline {
namespace {

// Reads `text` as a listing; returns the warnings printed.
std::string load(const std::string& text, detect::DetectionState& state) {
  FILE* file = text.empty() ? std::fopen("/dev/null", "r")
                            : fmemopen(const_cast<char*>(text.data()),
                                       text.size(), "r");
  EXPECT_NE(file, nullptr);
  open_listing(file, "hops.txt");
  testing::internal::CaptureStderr();
  load_hops(state);
  std::fclose(file);
  return testing::internal::GetCapturedStderr();
}

struct Hop {
  double rtt;
  int gap;
  std::string addr, extra, key;
};

std::vector<Hop> hops(const detect::DetectionState& state) {
  std::vector<Hop> out;
  for (int i = 0; i < state.raw_count; ++i) {
    const detect::HopEntry& e = state.raw_table[i];
    out.push_back({e.rtt, e.gap, e.addr, e.extra, e.hop_key});
  }
  return out;
}

TEST(LoadHops, FieldsOfEachLine) {
  struct Case {
    const char* what;
    std::string text;
    std::vector<Hop> hops;
  } cases[] = {
      {"five fields", "12.5 340 r3 x 192.0.2.7\n",
       {{12.5, 340, "r3", "x", "192.0.2.7"}}},
      {"extra fields ignored", "1 2 a b c d e\n", {{1, 2, "a", "b", "c"}}},
      {"two spaces make an empty field", "1  2 3 4 5\n", {{1, 0, "2", "3", "4"}}},
      {"missing fields are empty, not carried over",
       "1 2 a b k1\n3 4 c\n", {{1, 2, "a", "b", "k1"}, {3, 4, "c", "", ""}}},
      {"last line without newline read in full", "1 2 a b k1\n3 4 c d k2",
       {{1, 2, "a", "b", "k1"}, {3, 4, "c", "d", "k2"}}},
      {"last line without any space", "1 2 a b k1\n7", {{1, 2, "a", "b", "k1"},
                                                        {7, 0, "", "", ""}}},
      {"CR LF ends a line", "1 2 a b k1\r\n3 4 c d k2\r",
       {{1, 2, "a", "b", "k1"}, {3, 4, "c", "d", "k2"}}},
      {"a CR elsewhere stays in its field", "1 2 a\rb c k\r1\n",
       {{1, 2, "a\rb", "c", "k\r1"}}},
      {"an empty line is a hop without a gap", "\n1 2 a b k\n",
       {{0, 0, "", "", ""}, {1, 2, "a", "b", "k"}}},
      {"empty file", "", {}},
      {"tabs are part of fields", "\t5 \t6 a b c\n", {{5, 6, "a", "b", "c"}}},
  };
  for (const Case& c : cases) {
    auto state = detect::empty_state();
    load(c.text, *state);
    const std::vector<Hop> got = hops(*state);
    ASSERT_EQ(got.size(), c.hops.size()) << c.what;
    for (size_t i = 0; i < got.size(); ++i) {
      EXPECT_EQ(got[i].rtt, c.hops[i].rtt) << c.what;
      EXPECT_EQ(got[i].gap, c.hops[i].gap) << c.what;
      EXPECT_EQ(got[i].addr, c.hops[i].addr) << c.what;
      EXPECT_EQ(got[i].extra, c.hops[i].extra) << c.what;
      EXPECT_EQ(got[i].key, c.hops[i].key) << c.what;
    }
  }
}

TEST(LoadHops, WarnsAboutWhatItBends) {
  struct Case {
    std::string text;
    std::string warnings;
  } cases[] = {
      {"1 2 a b k\n", ""},
      {"1 2 a\n",
       "kovrin-detect: hops.txt:1: 3 fields, expected 5; the missing ones are "
       "empty\n"},
      {"x 2 a b k\n",
       "kovrin-detect: hops.txt:1: rtt 'x' is not a number; read as 0\n"},
      {"1 12ms a b k\n",
       "kovrin-detect: hops.txt:1: gap '12ms' is not a number; read as 12\n"},
      {"1 99999999999 a b k\n",
       "kovrin-detect: hops.txt:1: gap '99999999999' is out of range; read as "
       "2147483647\n"},
      {"1 2 a b k\n\n",
       "kovrin-detect: hops.txt:2: empty line; read as a hop without a gap\n"},
      {"1 2 0123456789abcdef b k\n",
       "kovrin-detect: hops.txt:1: addr cut to 15 characters\n"},
  };
  for (const Case& c : cases) {
    auto state = detect::empty_state();
    EXPECT_EQ(load(c.text, *state), c.warnings) << c.text;
  }
}

TEST(LoadHops, LongLinesAreCutAndReadingGoesOn) {
  const std::string key(3000, 'k');
  const std::string text = "1 2 " + std::string(20, 'a') + " " +
                           std::string(200, 'e') + " " + key + "\n3 4 b c d\n";
  auto state = detect::empty_state();
  const std::string warnings = load(text, *state);
  ASSERT_EQ(state->raw_count, 2);
  EXPECT_EQ(std::string(state->raw_table[0].addr), std::string(15, 'a'));
  EXPECT_EQ(std::string(state->raw_table[0].extra), std::string(127, 'e'));
  EXPECT_EQ(std::string(state->raw_table[0].hop_key), std::string(255, 'k'));
  EXPECT_EQ(std::string(state->raw_table[1].hop_key), "d");
  EXPECT_EQ(warnings,
            "kovrin-detect: hops.txt:1: addr cut to 15 characters\n"
            "kovrin-detect: hops.txt:1: extra cut to 127 characters\n"
            "kovrin-detect: hops.txt:1: hop key cut to 255 characters\n");
}

TEST(LoadHops, StopsAfterFiftyLines) {
  std::string text;
  for (int i = 0; i < 53; ++i) text += "1 100 a b k" + std::to_string(i) + "\n";
  auto state = detect::empty_state();
  EXPECT_EQ(load(text, *state),
            "kovrin-detect: hops.txt:51: lines after the 50th are ignored\n");
  EXPECT_EQ(state->raw_count, 50);
  EXPECT_STREQ(state->raw_table[49].hop_key, "k49");

  text.resize(text.size() - 3 * std::string("1 100 a b k50\n").size());
  auto exact = detect::empty_state();
  EXPECT_EQ(load(text, *exact), "");
  EXPECT_EQ(exact->raw_count, 50);
}

TEST(LoadHops, ReadsAcrossBufferRefills) {
  // More than one buffer's worth of bytes, mostly in an over-long line.
  std::string text = "1 2 a b " + std::string(kBufferSize + 100, 'k') + "\n";
  for (int i = 0; i < 4; ++i) text += "1 " + std::to_string(100 + i) + " a b " +
                                      std::to_string(i) + "\n";
  auto state = detect::empty_state();
  load(text, *state);
  ASSERT_EQ(state->raw_count, 5);
  EXPECT_EQ(state->raw_table[4].gap, 103);
  EXPECT_STREQ(state->raw_table[4].hop_key, "3");
}

}  // namespace
}  // namespace offline
