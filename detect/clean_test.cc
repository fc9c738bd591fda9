#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "detect/detection.h"
#include "detect/test_util.h"

namespace detect {
namespace {

TEST(RankDescending, OrdersByTruncatedKeyWithTiesInIndexOrder) {
  struct Case {
    std::vector<double> values;
    std::vector<int> order;
  } cases[] = {
      {{150.9, 150.1, 200.0, 3.7}, {2, 0, 1, 3}},
      {{5, 5, 5}, {0, 1, 2}},
      {{0.0, 0.9, 1.0}, {2, 0, 1}},
      {{7}, {0}},
  };
  for (const Case& c : cases) {
    std::vector<int> order(c.values.size());
    rank_descending(c.values.data(), static_cast<int>(c.values.size()),
                    order.data());
    EXPECT_EQ(order, c.order);
  }
}

TEST(CleanHops, StepsOfTheWorkedExamples) {
  struct Case {
    const char* what;
    std::vector<int> gaps;
    std::vector<int> steps;
  } cases[] = {
      {"four entries", {10, 20, 30, 40}, {10, 20, 30, 40}},
      {"spike flattened", {100, 100, 900, 100, 100}, {100, 100, 100, 100, 100}},
      {"dip below floor", {300, 300, 20, 300, 300}, {300, 300, 300, 300, 300}},
      {"dip above floor", {300, 300, 100, 300, 300}, {300, 300, 300, 300, 300}},
      {"small leading gaps", {5, 3, 400, 420, 410}, {400, 400, 400, 410, 410}},
      {"rising path", {100, 200, 150, 300, 250, 400},
       {100, 150, 150, 250, 250, 400}},
      {"flattening carries on", {500, 480, 510, 30, 20},
       {500, 500, 500, 500, 500}},
      {"last below floor", {400, 400, 800, 800, 10}, {400, 400, 800, 800, 800}},
      {"floor of an even count takes the lower middle", {29, 1000, 29, 30},
       {29, 29, 29, 30}},
  };
  for (const Case& c : cases) {
    auto state = raw_state(c.gaps);
    ASSERT_TRUE(clean_hops(*state)) << c.what;
    EXPECT_EQ(steps_of(*state), c.steps) << c.what;
  }
}

TEST(CleanHops, RemovesRepeatsThenMissingGaps) {
  struct Case {
    const char* what;
    std::vector<int> gaps;
    std::vector<std::string> keys;
    bool ok;
    std::vector<int> raw_index;  // of the surviving entries
  } cases[] = {
      {"repeat then zero gap", {0, 50, 60, 70, 80}, {"A", "B", "A", "C", "D"},
       false, {1, 3, 4}},
      {"later occurrence's gap is not used", {40, 0, 50, 60, 70},
       {"A", "B", "A", "C", "D"}, false, {0, 3, 4}},
      {"repeats anywhere, empty keys equal", {10, 20, 30, 40, 50, 60, 70},
       {"", "B", "", "C", "B", "D", "E"}, true, {0, 1, 3, 5, 6}},
      {"negative gaps go", {10, -5, 30, 40, 50}, {}, true, {0, 2, 3, 4}},
  };
  for (const Case& c : cases) {
    auto state = raw_state(c.gaps, c.keys);
    EXPECT_EQ(clean_hops(*state), c.ok) << c.what;
    ASSERT_EQ(state->working_count, static_cast<int>(c.raw_index.size()))
        << c.what;
    for (size_t w = 0; w < c.raw_index.size(); ++w) {
      const HopEntry& e = state->working_table[w];
      EXPECT_EQ(e.raw_index, c.raw_index[w]) << c.what;
      EXPECT_EQ(e.gap, c.gaps[c.raw_index[w]]) << c.what;
      if (!c.ok) {
        EXPECT_EQ(e.step, 0) << c.what;
      }
    }
  }
}

TEST(CleanHops, TooFewRawEntriesChangeNothing) {
  auto state = raw_state({100, 200, 300});
  EXPECT_FALSE(clean_hops(*state));
  EXPECT_EQ(state->working_count, 0);
  EXPECT_EQ(state->working_table[0].raw_index, 0);
  EXPECT_EQ(state->working_table[0].step, 0);
}

TEST(CleanHops, EverythingRemovedLeavesRawEntryZeroAtPositionZero) {
  auto state = raw_state({0, 0, 0, 0, 0});
  EXPECT_FALSE(clean_hops(*state));
  EXPECT_EQ(state->working_count, 0);
  EXPECT_EQ(state->working_table[0].raw_index, 0);
  EXPECT_STREQ(state->working_table[0].hop_key, "k0");
}

TEST(CleanHops, CopiesTheTextsAndRebuildsFromScratch) {
  auto state = raw_state({10, 20, 30, 40, 50, 60});
  std::snprintf(state->raw_table[2].addr, kAddrSize, "r2");
  std::snprintf(state->raw_table[2].extra, kExtraSize, "x");
  state->raw_table[2].rtt = 1.5;
  ASSERT_TRUE(clean_hops(*state));
  state->raw_table[1].gap = 0;
  ASSERT_TRUE(clean_hops(*state));
  ASSERT_EQ(state->working_count, 5);
  EXPECT_EQ(state->working_table[1].raw_index, 2);
  EXPECT_STREQ(state->working_table[1].addr, "r2");
  EXPECT_STREQ(state->working_table[1].extra, "x");
  EXPECT_EQ(state->working_table[1].rtt, 1.5);
}

TEST(ResetDetection, EmptiesEverything) {
  auto state = working_state({1000, 1000, 1500, 1500});
  state->labels[2] = detect::ChokeLabel{1, false};
  state->choke_count = 1;
  state->conf[0] = 0.5;
  reset_detection(*state);
  const DetectionState empty{};
  EXPECT_EQ(std::memcmp(state.get(), &empty, sizeof empty), 0);
}

}  // namespace
}  // namespace detect
