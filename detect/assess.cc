// The status pass: hop statuses and choke point confidences.
#include <cmath>

#include "detect/detection.h"

namespace detect {

bool working_matches(const DetectionState& state, int w, int raw_position) {
  return state.working_table[w].raw_index == raw_position;
}

int advance_cursor(const DetectionState& state, int w) {
  return w < state.working_count - 1 ? w + 1 : w;
}

void assess_entry(DetectionState& state, int w, int32_t* count,
                  double conf[kConfSlots]) {
  HopEntry& entry = state.working_table[w];
  entry.status = w == 0 ? 1 : -1;
  const char* label = state.labels[w];
  if (label[0] == '\0') return;
  ++*count;
  const int slot = label[1] - '0' - 1;
  const bool has_slot = slot >= 0 && slot < kConfSlots;
  if (w == 0) {
    if (has_slot) conf[slot] = 1.0;
    return;
  }
  const int32_t prev_step = state.working_table[w - 1].step;
  const int32_t cur_step = entry.step;
  // The relative change of the cleaned gap at this hop, |cur - prev| / cur,
  // computed through the reciprocals.
  const double prev = 1.0 / static_cast<double>(prev_step);
  const double cur = 1.0 / static_cast<double>(cur_step);
  if (has_slot) conf[slot] = std::fabs(prev - cur) / prev;
  entry.status = cur_step >= prev_step ? 1 : 0;
}

void assess_hops(DetectionState& state) {
  int w = 0;
  for (int i = 0; i < state.raw_count; ++i) {
    if (!working_matches(state, w, i)) continue;
    assess_entry(state, w, &state.choke_count, state.conf);
    w = advance_cursor(state, w);
  }
}

}  // namespace detect
