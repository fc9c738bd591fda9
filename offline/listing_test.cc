#include "offline/listing.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "detect/test_util.h"

namespace offline {
namespace {

// Reads `file` as a listing and closes it; returns the warnings printed and
// sets `*read_in_full` to what load_hops returned.
std::string load(FILE* file, detect::DetectionState& state,
                 bool* read_in_full = nullptr) {
  EXPECT_NE(file, nullptr);
  open_listing(file, "hops.txt");
  testing::internal::CaptureStderr();
  const bool full = load_hops(state);
  std::fclose(file);
  if (read_in_full != nullptr) *read_in_full = full;
  return testing::internal::GetCapturedStderr();
}

std::string load(const std::string& text, detect::DetectionState& state,
                 bool* read_in_full = nullptr) {
  FILE* file = text.empty() ? std::fopen("/dev/null", "r")
                            : fmemopen(const_cast<char*>(text.data()),
                                       text.size(), "r");
  return load(file, state, read_in_full);
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
  // More than one buffer's worth of bytes in long lines below the cap, so
  // that some line straddles a refill.
  std::string text;
  const int lines = 20;
  for (int i = 0; i < lines; ++i)
    text += "1 " + std::to_string(100 + i) + " a b " + std::to_string(i) + " " +
            std::string(60000, 'x') + "\n";
  ASSERT_GT(text.size(), kBufferSize);
  auto state = detect::empty_state();
  bool full = false;
  EXPECT_EQ(load(text, *state, &full), "");
  EXPECT_TRUE(full);
  ASSERT_EQ(state->raw_count, lines);
  EXPECT_EQ(state->raw_table[lines - 1].gap, 100 + lines - 1);
  EXPECT_STREQ(state->raw_table[lines - 1].hop_key, "19");
}

// A line of `bytes` bytes before its ending: a good hop line whose tail,
// past the fifth field, is ignored.
std::string line_of(size_t bytes) {
  return "1 900 a b k " + std::string(bytes - 12, 'x');
}

TEST(LoadHops, StopsAtALineLongerThanTheCap) {
  const std::string good = "1 100 a b k1\n2 200 a b k2\n";
  const std::string stop =
      "kovrin-detect: hops.txt:3: line is longer than 65536 bytes; reading "
      "stops here\n";
  struct Case {
    const char* what;
    std::string text;
    int loaded;
    bool full;
    std::string warnings;
  } cases[] = {
      {"a line of the cap's length, LF", good + line_of(kMaxLineBytes) + "\n",
       3, true, ""},
      {"a line of the cap's length, CR LF",
       good + line_of(kMaxLineBytes) + "\r\n", 3, true, ""},
      {"a last line of the cap's length without newline",
       good + line_of(kMaxLineBytes), 3, true, ""},
      {"one byte over: neither it nor later lines are loaded",
       good + line_of(kMaxLineBytes + 1) + "\n3 300 a b k3\n", 2, false, stop},
      {"one byte over, a CR as the extra byte",
       good + line_of(kMaxLineBytes) + "\r\r\n", 2, false, stop},
      {"the first line over-long", line_of(kMaxLineBytes + 1) + "\n", 0, false,
       "kovrin-detect: hops.txt:1: line is longer than 65536 bytes; reading "
       "stops here\n"},
  };
  for (const Case& c : cases) {
    auto state = detect::empty_state();
    bool full = !c.full;
    EXPECT_EQ(load(c.text, *state, &full), c.warnings) << c.what;
    EXPECT_EQ(full, c.full) << c.what;
    ASSERT_EQ(state->raw_count, c.loaded) << c.what;
    if (c.loaded == 3) {
      EXPECT_EQ(state->raw_table[2].gap, 900) << c.what;
    }
  }
}

// An input that sends bytes for ever and never a newline, like a pipe from
// a runaway writer; it gives up after `limit` bytes so that a reader that
// looks for the newline fails the test instead of hanging it.
struct EndlessLine {
  std::string head;  // sent first
  size_t served = 0;
  size_t limit = 0;
};

ssize_t endless_read(void* cookie, char* buf, size_t size) {
  auto* in = static_cast<EndlessLine*>(cookie);
  size_t n = 0;
  for (; n < size && in->served < in->limit; ++n, ++in->served)
    buf[n] = in->served < in->head.size() ? in->head[in->served] : 'x';
  return static_cast<ssize_t>(n);
}

TEST(LoadHops, AnEndlessLineEndsTheReading) {
  EndlessLine in;
  in.head = "1 100 a b k1\n2 200 a b k2\n3 ";
  in.limit = 64 * kBufferSize;
  FILE* file = fopencookie(&in, "r", {endless_read, nullptr, nullptr, nullptr});
  auto state = detect::empty_state();
  bool full = true;
  EXPECT_EQ(load(file, *state, &full),
            "kovrin-detect: hops.txt:3: line is longer than 65536 bytes; "
            "reading stops here\n");
  EXPECT_FALSE(full);
  EXPECT_EQ(state->raw_count, 2);
  // The reader takes one buffer at a time; it must not go on to the next.
  EXPECT_LE(in.served, 2 * kBufferSize);
}

}  // namespace
}  // namespace offline
