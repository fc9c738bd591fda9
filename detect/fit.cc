// Step fitting by dynamic programming over every range and change budget.
//
// Cell (i, j, k) is the best step function found for entries i..j with at
// most k change positions.  It starts as cell (i, j, k - 1) and tries every
// split into a left part (i..s, budget a) and a right part (s+1..j, budget
// k - 1 - a), in order of a then s, replacing the cell only on a strictly
// lower cost and only where the two segments meeting at s differ by more
// than 100 microseconds.
//
// Two facts keep the work down without changing any result:
//  - A range of c entries has at most c - 1 change positions, so from budget
//    c - 1 on its cell no longer changes: every split a larger budget offers
//    was already offered, with the same parts, one budget lower, and only a
//    strictly lower cost would replace the cell.  Budgets above j - i are
//    neither computed nor stored.
//  - For the same reason a split whose left budget exceeds s - i, or whose
//    right budget exceeds j - s - 1, repeats a split of the budget below and
//    can never win; it is skipped.
// The remaining splits of one budget a are consecutive s: the left parts lie
// side by side in the rows over j, the right parts in the rows over i, and
// four splits are tried per instruction.  Each lane keeps only its lowest
// cost; when the cell's minimum beats the cell one budget lower, the splits
// are scanned once more in the plain order for the first one that reaches
// it, which is the split the plain scan would keep.
#include <array>
#include <cmath>
#include <cstring>
#include <limits>

#include "detect/detection.h"

namespace detect {

namespace {

constexpr int kN = kMaxHops;

// Cell (i, j, k) of the rows over j lives at left_base[i][k] + j, and of the
// rows over i at right_base[j][k] + i.
struct Bases {
  int left[kN][kN];
  int right[kN][kN];
};

constexpr Bases make_bases() {
  Bases b{};
  int next = 0;
  for (int i = 0; i < kN; ++i) {
    for (int k = 0; k < kN - i; ++k) {  // j from i + k to kN - 1
      b.left[i][k] = next - (i + k);
      next += kN - i - k;
    }
  }
  next = 0;
  for (int j = 0; j < kN; ++j) {
    for (int k = 0; k <= j; ++k) {  // i from 0 to j - k
      b.right[j][k] = next;
      next += j - k + 1;
    }
  }
  return b;
}
constexpr Bases bases = make_bases();
static_assert(bases.left[kN - 1][0] + kN == FitTable::kCells);
static_assert(bases.right[kN - 1][kN - 1] + 1 == FitTable::kCells);

inline int left_at(int i, int j, int k) { return bases.left[i][k] + j; }
inline int right_at(int i, int j, int k) { return bases.right[j][k] + i; }

void store(FitTable& t, int i, int j, int k, const FitCell& c) {
  const int l = left_at(i, j, k);
  t.cost[l] = c.cost;
  t.last_mean[l] = c.last_mean;
  t.first_mean[l] = c.first_mean;
  t.changes[l] = c.changes;
  const int r = right_at(i, j, k);
  t.right_cost[r] = c.cost;
  t.right_first_mean[r] = c.first_mean;
}

constexpr double kInf = std::numeric_limits<double>::infinity();

// Runtime dispatch to AVX2 where the processor has it; the default clone
// runs the same vector code on SSE2 halves.  Sanitizer and fuzzing builds do
// without the ifunc machinery.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && \
    !defined(__SANITIZE_ADDRESS__) && !defined(KOVRIN_NO_DISPATCH)
#define KOVRIN_DISPATCH __attribute__((target_clones("avx2", "default")))
#else
#define KOVRIN_DISPATCH
#endif

typedef double v4d __attribute__((vector_size(32)));
typedef long long v4l __attribute__((vector_size(32)));

__attribute__((always_inline)) inline v4d load4(const double* p) {
  v4d v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

inline v4d splat(double x) { return v4d{x, x, x, x}; }

}  // namespace

FitCell fit_cell(const FitTable& table, int i, int j, int k) {
  if (k > j - i) k = j - i;
  const int c = left_at(i, j, k);
  return FitCell{table.cost[c], table.last_mean[c], table.first_mean[c],
                 table.changes[c]};
}

KOVRIN_DISPATCH
void fit_steps(const DetectionState& state, FitTable& table) {
  const int n = state.working_count;
  double v[kN];
  for (int m = 0; m < n; ++m) v[m] = state.working_table[m].step;

  // Budget 0: one segment, represented by its mean.
  for (int i = 0; i < n; ++i) {
    for (int j = i; j < n; ++j) {
      double sum = 0.0;
      for (int m = i; m <= j; ++m) sum += v[m];
      const double mean = sum / (j - i + 1);
      double cost = 0.0;
      for (int m = i; m <= j; ++m) cost += std::fabs(v[m] - mean);
      store(table, i, j, 0, FitCell{cost, mean, mean, 0});
    }
  }

  const v4d hi = splat(kMinStep);
  const v4d lo = -hi;
  const v4d inf = splat(kInf);
  const v4d lane = {0, 1, 2, 3};

  // Every cell reads only shorter ranges, so the ranges are taken by length,
  // and each range's budgets in ascending order.
  for (int d = 1; d < n; ++d) {
    for (int i = 0; i + d < n; ++i) {
      const int j = i + d;
      for (int k = 1; k <= d; ++k) {  // budgets above d are not stored
        const int splits = d - k + 1;  // consecutive s for each a
        const v4d live_tail = lane < splat(splits & 3 ? splits & 3 : 4);
        const int full = (splits - 1) & ~3;  // start of the last vector
        // Lowest cost per lane over every split of the cell; rows of even
        // and odd a fill separate accumulators so that the two dependency
        // chains overlap.
        auto scan_row = [&](int a, v4d acc) __attribute__((always_inline)) {
          const int b = k - 1 - a;
          const int s0 = i + a;
          const double* lc = &table.cost[left_at(i, s0, a)];
          const double* lm = &table.last_mean[left_at(i, s0, a)];
          const double* rc = &table.right_cost[right_at(s0 + 1, j, b)];
          const double* rf = &table.right_first_mean[right_at(s0 + 1, j, b)];
          int q = 0;
          for (; q < full; q += 4) {
            const v4d dm = load4(lm + q) - load4(rf + q);
            const v4d t = load4(lc + q) + load4(rc + q);
            const v4d cand = ((dm > hi) | (dm < lo)) ? t : inf;
            acc = cand < acc ? cand : acc;
          }
          const v4d dm = load4(lm + q) - load4(rf + q);
          const v4d t = load4(lc + q) + load4(rc + q);
          const v4d cand = (((dm > hi) | (dm < lo)) & (v4l)live_tail) ? t : inf;
          return cand < acc ? cand : acc;
        };
        v4d even = inf, odd = inf;
        int row = 0;
        for (; row + 1 < k; row += 2) {
          even = scan_row(row, even);
          odd = scan_row(row + 1, odd);
        }
        if (row < k) even = scan_row(row, even);
        const v4d both = odd < even ? odd : even;
        double m = both[0];
        for (int l = 1; l < 4; ++l) m = both[l] < m ? both[l] : m;
        const FitCell previous = fit_cell(table, i, j, k - 1);
        if (!(m < previous.cost)) {
          store(table, i, j, k, previous);
          continue;
        }
        // The first split, in the order a then s, that reaches the minimum.
        for (int a = 0; a < k; ++a) {
          const int b = k - 1 - a;
          int s = i + a;
          for (; s < i + a + splits; ++s) {
            const int left = left_at(i, s, a);
            const int right = left_at(s + 1, j, b);
            if (table.cost[left] + table.cost[right] != m) continue;
            if (!(std::fabs(table.last_mean[left] - table.first_mean[right]) >
                  kMinStep))
              continue;
            store(table, i, j, k,
                  FitCell{m, table.last_mean[right], table.first_mean[left],
                          table.changes[left] | table.changes[right] |
                              (uint64_t{1} << s)});
            break;
          }
          if (s < i + a + splits) break;
        }
      }
    }
  }
}

}  // namespace detect
