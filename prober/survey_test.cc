#include "prober/survey.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace kovrin {
namespace {

TEST(SurveyStatistics, MedianAndQuartilesInterpolate) {
  struct Case {
    std::vector<double> values;
    double q, want;
  };
  const Case cases[] = {
      {{5}, 0.5, 5},          {{4, 1}, 0.5, 2.5},         {{3, 1, 2}, 0.5, 2},
      {{1, 2, 3, 4}, 0.25, 1.75}, {{1, 2, 3, 4}, 0.75, 3.25}, {{1, 2, 3, 4}, 0.0, 1},
      {{1, 2, 3, 4}, 1.0, 4},
  };
  for (const Case& c : cases) EXPECT_DOUBLE_EQ(quantile_of(c.values, c.q), c.want);
  EXPECT_TRUE(std::isnan(median_of({})));
}

// A train of n hops whose gaps jump at hop `at`, labelled there with rank
// `rank` (0: no label) and confidence conf.
TrainResult train(int n, int at, int rank, double conf, int height = 20000) {
  TrainResult t;
  for (int k = 0; k < n; ++k) {
    TrainHop h;
    h.router = 0x0100000A + (static_cast<uint32_t>(k) << 24);  // 10.0.0.(k+1)
    h.gap_us = k < at ? 1000 + k : 25000 + k;
    h.step = h.gap_us;
    h.kind = k == at ? "ub" : "lb";
    h.bound = 240000.0 / h.gap_us;
    if (k == at && rank > 0) {
      h.rank = rank;
      h.conf = conf;
      h.height = height;
    }
    t.hops.push_back(h);
  }
  return t;
}

TEST(Survey, RatesOverTheTrainsThatWorkedAndFailuresKept) {
  std::vector<TrainResult> trains = {train(6, 4, 1, 0.9), train(6, 4, 2, 0.5), TrainResult{},
                                     train(7, 4, 0, 0.0), train(6, 3, 1, 0.8)};
  trains[2].failure = "no hop answered";
  trains[1].hops[2].router = 0x6300000A;  // hop 2 answered once from 10.0.0.99
  trains[3].hops[1].gap_us = 0;           // hop 1 without a gap in one train
  const SurveySummary s = summarize_survey(trains, 0.5, 0.1);
  EXPECT_EQ(s.trains, 5);
  EXPECT_EQ(s.worked, 4);
  ASSERT_EQ(s.failed.size(), 1u);
  EXPECT_EQ(s.failed[0].train, 3);
  EXPECT_STREQ(s.failed[0].reason, "no hop answered");
  ASSERT_EQ(s.hops.size(), 7u);  // the deepest train's hops

  const SurveyHop& h4 = s.hops[4];
  EXPECT_DOUBLE_EQ(h4.detection_rate, 0.5);  // labelled in 2 of the 4 that worked
  EXPECT_DOUBLE_EQ(h4.rank1_rate, 0.25);
  EXPECT_DOUBLE_EQ(h4.median_conf, 0.7);
  EXPECT_TRUE(h4.choke);
  EXPECT_DOUBLE_EQ(s.hops[3].detection_rate, 0.25);
  EXPECT_FALSE(s.hops[3].choke);
  EXPECT_TRUE(std::isnan(s.hops[0].median_conf));
  EXPECT_FALSE(s.hops[0].choke);

  ASSERT_EQ(s.hops[2].routers.size(), 2u);
  EXPECT_EQ(s.hops[2].routers[0].trains, 3);
  EXPECT_EQ(s.hops[2].routers[1].router, 0x6300000Au);
  EXPECT_EQ(s.hops[1].answered, 3);
  EXPECT_EQ(s.hops[6].answered, 1);
  EXPECT_DOUBLE_EQ(s.hops[4].gap_median, 25004);
  ASSERT_EQ(s.chokes, std::vector<int>{4});
}

TEST(Survey, ChokesRankByRateThenStepAndNeedTheirConfidence) {
  // Hop 2 labelled in every train, hop 4 too but with a larger step, hop 5
  // in every train with a confidence below the floor.
  std::vector<TrainResult> trains;
  for (int i = 0; i < 3; ++i) {
    TrainResult t = train(7, 2, 2, 0.4, 1000);
    t.hops[4].rank = 1;
    t.hops[4].conf = 0.9;
    t.hops[4].height = 30000;
    t.hops[5].rank = 3;
    t.hops[5].conf = 0.05;
    if (i == 0) t.hops[2].rank = 0;  // hop 2 in 2 of 3
    trains.push_back(t);
  }
  SurveySummary s = summarize_survey(trains, 0.5, 0.1);
  EXPECT_EQ(s.chokes, (std::vector<int>{4, 2}));
  s = summarize_survey(trains, 0.5, 0.01);
  EXPECT_EQ(s.chokes, (std::vector<int>{4, 5, 2}));
  s = summarize_survey(trains, 1.0, 0.1);
  EXPECT_EQ(s.chokes, std::vector<int>{4});
}

TEST(Survey, NoTrainWorked) {
  std::vector<TrainResult> trains(2);
  trains[0].failure = trains[1].failure = "send error";
  const SurveySummary s = summarize_survey(trains, 0.5, 0.1);
  EXPECT_EQ(s.worked, 0);
  EXPECT_EQ(s.failed.size(), 2u);
  EXPECT_TRUE(s.hops.empty());
  EXPECT_TRUE(s.chokes.empty());
}

}  // namespace
}  // namespace kovrin
