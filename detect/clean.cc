// Detection state, ranking and hop cleaning.
#include <cstring>

#include "detect/detection.h"

namespace detect {

void reset_detection(DetectionState& state) {
  std::memset(&state, 0, sizeof state);
}

void rank_descending(const double* values, int n, int* order) {
  int keys[kMaxHops];
  for (int i = 0; i < n; ++i) keys[i] = static_cast<int>(values[i]);
  for (int j = 0; j < n; ++j) {
    // Strictly greater: the lowest index wins among equal keys.
    int best = -1;
    int taken = 0;
    for (int i = 0; i < n; ++i) {
      if (keys[i] >= 0 && keys[i] > best) {
        best = keys[i];
        taken = i;
      }
    }
    order[j] = taken;
    keys[taken] = -1;
  }
}

namespace {

// Removes entry `at` of the first n entries; the entries after it move down
// and the last position keeps its old contents.
void remove_entry(HopEntry* table, int at, int n) {
  std::memmove(&table[at], &table[at + 1], sizeof(HopEntry) * (n - at - 1));
}

int32_t cleaned_interior(int32_t prev, int32_t g, int32_t next, int32_t floor) {
  if (g < floor) return prev;
  if (g > prev && g > next) return prev > next ? prev : next;  // spike
  if (g < prev && g < next) return prev < next ? prev : next;  // dip
  return g;
}

}  // namespace

bool clean_hops(DetectionState& state) {
  int n = state.raw_count;
  if (n < 4) return false;
  HopEntry* w = state.working_table;

  for (int i = 0; i < n; ++i) {
    const HopEntry& raw = state.raw_table[i];
    w[i].rtt = raw.rtt;
    w[i].gap = raw.gap;
    std::memcpy(w[i].addr, raw.addr, sizeof raw.addr);
    std::memcpy(w[i].extra, raw.extra, sizeof raw.extra);
    std::memcpy(w[i].hop_key, raw.hop_key, sizeof raw.hop_key);
    w[i].raw_index = i;
    w[i].step = 0;
  }

  // A router keeps its first occurrence, with that occurrence's own gap.
  for (int j = 1; j < n;) {
    bool repeated = false;
    for (int k = 0; k < j && !repeated; ++k)
      repeated = std::strcmp(w[k].hop_key, w[j].hop_key) == 0;
    if (repeated) {
      remove_entry(w, j, n);
      --n;
    } else {
      ++j;
    }
  }

  // Hops without a usable gap; runs after the repeats on purpose, so a router
  // whose first occurrence has no gap disappears altogether.
  int kept = 0;
  for (int i = 0; i < n; ++i) {
    if (w[i].gap < 1) continue;
    if (kept != i) w[kept] = w[i];
    ++kept;
  }
  n = kept;
  state.working_count = n;
  if (n < 4) return false;

  double gaps[kMaxHops];
  int order[kMaxHops];
  for (int i = 0; i < n; ++i) gaps[i] = w[i].gap;
  rank_descending(gaps, n, order);
  const int32_t floor = w[order[n / 2]].gap / 5;

  // Tiny leading gaps take the first gap that reaches the floor.
  w[0].step = w[0].gap;
  int f = 0;
  while (w[f].gap < floor) ++f;  // the median entry always qualifies
  for (int i = 0; i < f; ++i) w[i].step = w[f].gap;

  for (int e = 1; e <= n - 2; ++e)
    w[e].step = cleaned_interior(w[e - 1].step, w[e].gap, w[e + 1].gap, floor);

  const int last = n - 1;
  w[last].step = w[last].gap >= floor ? w[last].gap : w[last - 1].step;
  return true;
}

}  // namespace detect
