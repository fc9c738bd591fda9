// Choke point selection: the final fit's change positions, ranked by height.
#include <cmath>
#include <cstdio>

#include "detect/detection.h"

namespace detect {

void select_chokes(DetectionState& state, const FitTable& table) {
  const int n = state.working_count;
  const FitCell final_fit = fit_cell(table, 0, n - 1, n - 1);

  // Candidate c begins a new segment at working entry position[c].  Its
  // height compares the fits of the two sides, each fitted on its own with
  // the full budget, not the final fit's neighbouring segments.
  int position[kMaxHops];
  double height[kMaxHops];
  int m = 0;
  for (int s = 0; s < 56; ++s) {
    if (!(final_fit.changes >> s & 1)) continue;
    position[m] = s + 1;
    height[m] = std::fabs(fit_cell(table, s + 1, n - 1, n - 1).first_mean -
                          fit_cell(table, 0, s, n - 1).last_mean);
    ++m;
  }

  if (m == 0) {
    std::snprintf(state.labels[0], kLabelSize, "[%d]", 1);
    return;
  }

  int order[kMaxHops];
  rank_descending(height, m, order);
  const int ranked = m < 3 ? m : 3;
  for (int r = 1; r <= ranked; ++r) {
    const int c = order[r - 1];
    const int q = position[c];
    // "(r)" marks a step at the last entry or one directly followed by
    // another ranked step; "[r]" a step that stands alone.
    bool paired = q == n - 1;
    if (!paired && c + 1 < m && position[c + 1] == q + 1) {
      for (int p = 0; p < ranked; ++p) paired = paired || order[p] == c + 1;
    }
    std::snprintf(state.labels[q], kLabelSize, paired ? "(%d)" : "[%d]", r);
  }
}

}  // namespace detect
