#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <random>
#include <vector>

#include "detect/detection.h"
#include "detect/test_util.h"
#include "tests/reference_fit.h"

namespace detect {
namespace {

std::vector<int> positions(uint64_t changes) {
  std::vector<int> out;
  for (int s = 0; s < 64; ++s)
    if (changes >> s & 1) out.push_back(s);
  return out;
}

TEST(FitSteps, FinalFitOfTheWorkedExamples) {
  struct Case {
    std::vector<int> v;
    std::vector<int> changes;
    double cost;
  } cases[] = {
      {{1000, 1000, 1000, 1000}, {}, 0.0},
      {{1000, 1000, 1000, 1500, 1500, 1500}, {2}, 0.0},
      {{1000, 1000, 1100, 1100}, {}, 200.0},  // exactly 100 is no step
      {{1000, 1000, 1101, 1101}, {1}, 0.0},
      {{1000, 1000, 1000, 900, 900}, {}, 240.0},
      {{1500, 1500, 1000, 1000, 1000}, {1}, 0.0},
      {{1000, 1200, 1400, 1600}, {0, 1, 2}, 0.0},
      {{1000, 1000, 1060, 1120, 1180, 1240}, {1, 4}, 120.0},
      {{1000, 1150, 1200, 1100, 1050}, {0}, 200.0},  // tie: smaller budget
      {{1400, 1300, 1150, 1050, 1500}, {1, 3}, 200.0},  // not the cheapest
  };
  auto table = std::make_unique<FitTable>();
  for (const Case& c : cases) {
    auto state = working_state(c.v);
    fit_steps(*state, *table);
    const int n = static_cast<int>(c.v.size());
    const FitCell final_fit = fit_cell(*table, 0, n - 1, n - 1);
    EXPECT_EQ(positions(final_fit.changes), c.changes) << c.v[0] << " n=" << n;
    EXPECT_EQ(final_fit.cost, c.cost) << c.v[0] << " n=" << n;
  }
}

TEST(FitSteps, SegmentCellsHoldMeanAndAbsoluteDeviation) {
  auto table = std::make_unique<FitTable>();
  auto state = working_state({1000, 1000, 1100, 1100});
  fit_steps(*state, *table);
  const FitCell whole = fit_cell(*table, 0, 3, 0);
  EXPECT_EQ(whole.first_mean, 1050.0);
  EXPECT_EQ(whole.last_mean, 1050.0);
  EXPECT_EQ(whole.cost, 200.0);
  EXPECT_EQ(whole.changes, 0u);
}

// Inputs built to sit on the edges of the fit: differences of exactly 100
// and one either side, equal values and equal costs, small alphabets.
std::vector<int> random_steps(std::mt19937& rng) {
  std::uniform_int_distribution<int> count(4, kMaxHops);
  const int n = count(rng);
  std::vector<int> v(n);
  switch (rng() % 4) {
    case 0: {  // a small alphabet: many ties and exact 100 differences
      static const int alphabet[] = {1000, 1050, 1100, 1101, 1150, 1200, 1201};
      for (int& x : v) x = alphabet[rng() % 7];
      break;
    }
    case 1: {  // level runs with steps near 100
      static const int jumps[] = {100, -100, 101, -101, 99, -99, 200, -200, 50};
      int level = 2000;
      for (int& x : v) {
        if (rng() % 3 == 0) level += jumps[rng() % 9];
        if (level < 1) level = 1;
        x = level;
      }
      break;
    }
    case 2: {  // runs with a little noise
      int level = 1000;
      for (int& x : v) {
        if (rng() % 5 == 0) level += static_cast<int>(rng() % 401) - 200;
        if (level < 5) level = 5;
        x = level + static_cast<int>(rng() % 5) - 2;
      }
      break;
    }
    default:  // anything
      for (int& x : v) x = 1 + static_cast<int>(rng() % 3000);
  }
  return v;
}

TEST(FitSteps, MatchesThePlainRecurrence) {
  // Fewer cases under the sanitizers, where the plain recurrence is slow.
  int cases = 2000;
  if (const char* env = std::getenv("KOVRIN_FIT_CASES")) cases = std::atoi(env);
  auto table = std::make_unique<FitTable>();
  auto plain = std::make_unique<reference::Table>();
  std::mt19937 rng(20261210);
  for (int t = 0; t < cases; ++t) {
    const std::vector<int> v = random_steps(rng);
    const int n = static_cast<int>(v.size());
    auto fast = working_state(v);
    auto slow = working_state(v);
    fit_steps(*fast, *table);
    select_chokes(*fast, *table);
    reference::fit_steps(*slow, *plain);
    reference::select_chokes(*slow, *plain);

    int mismatches = 0;
    for (int i = 0; i < n && mismatches == 0; ++i) {
      for (int j = i; j < n && mismatches == 0; ++j) {
        for (int k = 0; k < n && mismatches == 0; ++k) {
          const FitCell got = fit_cell(*table, i, j, k);
          const FitCell& want = plain->cell[i][j][k];
          if (got.cost != want.cost || got.last_mean != want.last_mean ||
              got.first_mean != want.first_mean ||
              got.changes != want.changes) {
            ++mismatches;
            ADD_FAILURE() << "case " << t << " n=" << n << " cell (" << i
                          << ", " << j << ", " << k << "): cost " << got.cost
                          << " vs " << want.cost << ", changes " << got.changes
                          << " vs " << want.changes;
          }
        }
      }
    }
    ASSERT_EQ(mismatches, 0);
    ASSERT_EQ(labels_of(*fast), labels_of(*slow)) << "case " << t;
  }
}

}  // namespace
}  // namespace detect
