#include "offline/offline_report.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "detect/test_util.h"

namespace offline {
namespace {

std::string report(const detect::DetectionState& state, int32_t size, int32_t count) {
  char* text = nullptr;
  size_t length = 0;
  FILE* out = open_memstream(&text, &length);
  print_offline_report(out, state, size, count);
  std::fclose(out);
  std::string result(text, length);
  std::free(text);
  return result;
}

// The detection run as kovrin-detect makes it.
void detect_all(detect::DetectionState& state) {
  static auto table = std::make_unique<detect::FitTable>();
  detect::detect_chokes(state, *table);
}

TEST(OfflineReport, EmptyListing) {
  auto state = detect::empty_state();
  EXPECT_EQ(report(*state, 500, 60), "conf = \n\n");
}

TEST(OfflineReport, RemovedHopsLabelsBoundsAndWords) {
  auto state = detect::raw_state({1000, 1000, 0, 1000, 1500});
  detect_all(*state);
  EXPECT_EQ(report(*state, 500, 60),
            "1000  1000        0.000                        240.000 ub k0\n"
            "1000  1000        0.000                        240.000 lb k1\n"
            "0     0           0.000                          0.000 uk k2\n"
            "1000  1000        0.000                        240.000 lb k3\n"
            "1500  1500  (1)   0.000                        160.000 ub k4\n"
            "conf = 0.333 \n\n");
}

TEST(OfflineReport, FailedCleaningShowsAnInfiniteBoundOnTheFirstHop) {
  auto state = detect::raw_state({100, 200, 300});
  std::snprintf(state->raw_table[0].addr, detect::kAddrSize, "r0");
  std::snprintf(state->raw_table[0].extra, detect::kExtraSize, "x");
  state->raw_table[0].rtt = 1.25;
  detect_all(*state);
  EXPECT_EQ(report(*state, 500, 60),
            "100   0           1.250 r0                   x     inf ub k0\n"
            "200   0           0.000                          0.000 uk k1\n"
            "300   0           0.000                          0.000 uk k2\n"
            "conf = \n\n");
}

TEST(OfflineReport, ConfidencesInRankOrderAndFallingStepIsUnknown) {
  // Ranks 2 then 1 along the path; the rank-1 step falls.
  auto state = detect::working_state({100, 400, 400, 300});
  state->labels[1] = detect::ChokeLabel{2, false};
  state->labels[3] = detect::ChokeLabel{1, true};
  detect::assess_hops(*state);
  const std::string text = report(*state, 1, 100);
  EXPECT_NE(text.find("300   300   (1)   0.000                          2.667 "
                      "uk k3\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("\nconf = 0.333 0.750 \n\n"), std::string::npos) << text;
}

}  // namespace
}  // namespace offline
