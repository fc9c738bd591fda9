#include "tests/reference_fit.h"

#include <cmath>
#include <cstdio>
#include <cstring>

namespace reference {

void fit_steps(const detect::DetectionState& state, Table& table) {
  const int n = state.working_count;
  double v[kMaxHops];
  for (int m = 0; m < n; ++m) v[m] = state.working_table[m].step;

  std::memset(&table, 0, sizeof table);
  for (int i = 0; i < n; ++i) {
    for (int j = i; j < n; ++j) {
      const int c = j - i + 1;
      double sum = 0.0;
      for (int m = i; m <= j; ++m) sum += v[m];
      const double mean = sum / c;
      double cost = 0.0;
      for (int m = i; m <= j; ++m) cost += std::fabs(v[m] - mean);
      detect::FitCell& cell = table.cell[i][j][0];
      cell.cost = cost;
      cell.last_mean = mean;
      cell.first_mean = mean;
      cell.changes = 0;
    }
  }

  for (int k = 1; k <= n - 1; ++k) {
    for (int i = 0; i < n; ++i) {
      for (int j = i; j < n; ++j) {
        detect::FitCell& cell = table.cell[i][j][k];
        cell = table.cell[i][j][k - 1];
        if (i >= j) continue;
        for (int a = 0; a <= k - 1; ++a) {
          const int b = k - 1 - a;
          for (int s = i; s <= j - 1; ++s) {
            const detect::FitCell& left = table.cell[i][s][a];
            const detect::FitCell& right = table.cell[s + 1][j][b];
            if (!(std::fabs(left.last_mean - right.first_mean) > 100.0))
              continue;
            const double t = left.cost + right.cost;
            if (t < cell.cost) {
              cell.cost = t;
              cell.last_mean = right.last_mean;
              cell.first_mean = left.first_mean;
              cell.changes = left.changes | right.changes | (uint64_t{1} << s);
            }
          }
        }
      }
    }
  }
}

void select_chokes(detect::DetectionState& state, const Table& table) {
  const int n = state.working_count;
  const detect::FitCell& final_fit = table.cell[0][n - 1][n - 1];
  int position[kMaxHops];
  double height[kMaxHops];
  int m = 0;
  for (int s = 0; s < 56; ++s) {
    if ((final_fit.changes >> s & 1) == 0) continue;
    position[m] = s + 1;
    height[m] = std::fabs(table.cell[s + 1][n - 1][n - 1].first_mean -
                          table.cell[0][s][n - 1].last_mean);
    ++m;
  }
  if (m == 0) {
    state.labels[0] = detect::ChokeLabel{1, false};
    return;
  }
  // Repeated selection: the lowest index among the greatest integer keys.
  int key[kMaxHops];
  int order[kMaxHops];
  for (int c = 0; c < m; ++c) key[c] = static_cast<int>(height[c]);
  for (int r = 0; r < m; ++r) {
    int best = -1;
    for (int c = 0; c < m; ++c) {
      if (key[c] >= 0 && (best < 0 || key[c] > key[best])) best = c;
    }
    order[r] = best;
    key[best] = -1;
  }
  const int top = m < 3 ? m : 3;
  for (int r = 1; r <= top; ++r) {
    const int c = order[r - 1];
    const int q = position[c];
    bool round = q == n - 1;
    if (!round && c + 1 < m && position[c + 1] == q + 1) {
      for (int p = 0; p < top; ++p) {
        if (order[p] == c + 1) round = true;
      }
    }
    state.labels[q] = detect::ChokeLabel{r, round};
  }
}

}  // namespace reference
