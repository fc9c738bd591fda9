#include <gtest/gtest.h>

#include <cstdio>
#include <vector>

#include "detect/detection.h"
#include "detect/test_util.h"

namespace detect {
namespace {

TEST(AssessHops, StatusesAndConfidencesInRankSlots) {
  auto state = working_state({100, 400, 400, 300});
  state->labels[1] = detect::ChokeLabel{2, false};
  state->labels[3] = detect::ChokeLabel{1, true};
  assess_hops(*state);
  EXPECT_EQ(state->choke_count, 2);
  EXPECT_DOUBLE_EQ(state->conf[1], 0.75);
  EXPECT_DOUBLE_EQ(state->conf[0], 1.0 / 3.0);
  const int want[] = {1, 1, -1, 0};
  for (int w = 0; w < 4; ++w) EXPECT_EQ(state->working_table[w].status, want[w]);
}

TEST(AssessHops, EqualStepsAndTheRankOneAtEntryZero) {
  auto state = working_state({300, 300, 500, 500});
  state->labels[1] = detect::ChokeLabel{1, false};
  assess_hops(*state);
  EXPECT_EQ(state->working_table[1].status, 1);
  EXPECT_EQ(state->conf[0], 0.0);

  auto flat = working_state({300, 300, 300, 300});
  flat->labels[0] = detect::ChokeLabel{1, false};
  assess_hops(*flat);
  EXPECT_EQ(flat->choke_count, 1);
  EXPECT_EQ(flat->conf[0], 1.0);
  EXPECT_EQ(flat->working_table[0].status, 1);
}

TEST(AssessHops, SkipsRemovedRawEntries) {
  auto state = raw_state({100, 0, 100, 400, 400, 400},
                         {"a", "b", "a", "c", "d", "e"});
  ASSERT_TRUE(clean_hops(*state));  // raw 1 and 2 removed
  state->labels[1] = detect::ChokeLabel{1, false};
  assess_hops(*state);
  EXPECT_EQ(state->choke_count, 1);
  EXPECT_DOUBLE_EQ(state->conf[0], 0.75);
  const int want[] = {1, 1, -1, -1};
  for (int w = 0; w < 4; ++w) EXPECT_EQ(state->working_table[w].status, want[w]);
}

TEST(AssessHops, EmptyOrFailedTables) {
  auto none = empty_state();
  assess_hops(*none);
  EXPECT_EQ(none->choke_count, 0);
  EXPECT_EQ(none->working_table[0].status, 0);

  // A failed cleaning: raw entry 0 pairs with the empty position 0 and the
  // cursor never moves past it.
  auto failed = raw_state({10, 20, 30});
  EXPECT_FALSE(clean_hops(*failed));
  assess_hops(*failed);
  EXPECT_EQ(failed->choke_count, 0);
  EXPECT_EQ(failed->working_table[0].status, 1);
  EXPECT_EQ(failed->working_table[1].status, 0);
}

}  // namespace
}  // namespace detect
