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
  // The change set has room for 56 positions; only 0 to n - 2 (at most 48)
  // can be set, since a change needs an entry after it.  Scanning all 56
  // costs nothing and keeps the candidates in position order.
  for (int s = 0; s < 56; ++s) {
    if (!(final_fit.changes >> s & 1)) continue;
    position[m] = s + 1;
    height[m] = std::fabs(fit_cell(table, s + 1, n - 1, n - 1).first_mean -
                          fit_cell(table, 0, s, n - 1).last_mean);
    ++m;
  }

  if (m == 0) {
    state.labels[0] = ChokeLabel{1, false};
    return;
  }

  int order[kMaxHops];
  rank_descending(height, m, order);
  const int ranked = m < 3 ? m : 3;
  for (int r = 1; r <= ranked; ++r) {
    const int c = order[r - 1];
    const int q = position[c];
    bool paired = q == n - 1;
    if (!paired && c + 1 < m && position[c + 1] == q + 1) {
      for (int p = 0; p < ranked; ++p) paired = paired || order[p] == c + 1;
    }
    state.labels[q] = ChokeLabel{r, paired};
  }
}

const char* format_label(const ChokeLabel& label, char* out) {
  if (label.rank == 0) {
    out[0] = '\0';
  } else {
    std::snprintf(out, kLabelSize, label.paired ? "(%d)" : "[%d]", label.rank);
  }
  return out;
}

}  // namespace detect
