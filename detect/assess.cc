// The status pass (hop statuses and choke point confidences), the whole
// detection pass, and what the reports derive from a hop's result.
#include <cmath>

#include "detect/detection.h"

namespace detect {

bool working_matches(const DetectionState& state, int w, int raw_position) {
  return state.working_table[w].raw_index == raw_position;
}

int advance_cursor(const DetectionState& state, int w) {
  return w < state.working_count - 1 ? w + 1 : w;
}

namespace {

// Status and confidence of matched working entry w.
void assess_entry(DetectionState& state, int w) {
  HopEntry& entry = state.working_table[w];
  entry.status = w == 0 ? 1 : -1;
  const ChokeLabel& label = state.labels[w];
  if (label.rank == 0) return;
  ++state.choke_count;
  const int slot = label.rank - 1;
  const bool has_slot = slot >= 0 && slot < kConfSlots;
  if (w == 0) {
    if (has_slot) state.conf[slot] = 1.0;
    return;
  }
  const int32_t prev_step = state.working_table[w - 1].step;
  const int32_t cur_step = entry.step;
  // The relative change of the cleaned gap at this hop, |cur - prev| / cur,
  // computed through the reciprocals.
  const double prev = 1.0 / static_cast<double>(prev_step);
  const double cur = 1.0 / static_cast<double>(cur_step);
  if (has_slot) state.conf[slot] = std::fabs(prev - cur) / prev;
  entry.status = cur_step >= prev_step ? 1 : 0;
}

}  // namespace

void assess_hops(DetectionState& state) {
  int w = 0;
  for (int i = 0; i < state.raw_count; ++i) {
    if (!working_matches(state, w, i)) continue;
    assess_entry(state, w);
    w = advance_cursor(state, w);
  }
}

void detect_chokes(DetectionState& state, FitTable& table) {
  if (clean_hops(state)) {
    fit_steps(state, table);
    select_chokes(state, table);
  }
  assess_hops(state);
}

const char* status_word(int32_t status) {
  if (status == 1) return "ub";
  if (status == -1) return "lb";
  return "uk";
}

double bound_from_measured_gap(int32_t pkt_size, int32_t udp_pkt_num, double gap_sec) {
  return static_cast<double>(udp_pkt_num) * static_cast<double>(pkt_size) * 8.0 /
         (gap_sec * 1000000.0);
}

double bound_from_cleaned_gap(int32_t pkt_size, int32_t udp_pkt_num, int32_t step) {
  return static_cast<double>(udp_pkt_num) * static_cast<double>(pkt_size) * 8.0 /
         static_cast<double>(step);
}

}  // namespace detect
