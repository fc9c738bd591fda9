// Helpers for building detection states in tests.
#ifndef KOVRIN_DETECT_TEST_UTIL_H_
#define KOVRIN_DETECT_TEST_UTIL_H_

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "detect/detection.h"

namespace detect {

inline std::unique_ptr<DetectionState> empty_state() {
  return std::make_unique<DetectionState>();  // value-initialised: empty
}

// A raw table of hops with the given gaps and keys ("" keys become "k0",
// "k1", ... so that they are distinct).
inline std::unique_ptr<DetectionState> raw_state(
    const std::vector<int>& gaps, const std::vector<std::string>& keys = {}) {
  auto state = empty_state();
  for (size_t i = 0; i < gaps.size(); ++i) {
    HopEntry& e = state->raw_table[i];
    e.gap = gaps[i];
    if (i < keys.size()) {
      std::snprintf(e.hop_key, sizeof e.hop_key, "%s", keys[i].c_str());
    } else {
      std::snprintf(e.hop_key, sizeof e.hop_key, "k%zu", i);
    }
  }
  state->raw_count = static_cast<int32_t>(gaps.size());
  return state;
}

// A working table that a successful cleaning could have left, holding the
// given steps (raw entries alike).
inline std::unique_ptr<DetectionState> working_state(
    const std::vector<int>& steps) {
  auto state = raw_state(steps);
  for (size_t i = 0; i < steps.size(); ++i) {
    state->working_table[i] = state->raw_table[i];
    state->working_table[i].step = steps[i];
    state->working_table[i].raw_index = static_cast<int32_t>(i);
  }
  state->working_count = static_cast<int32_t>(steps.size());
  return state;
}

inline std::vector<int> steps_of(const DetectionState& state) {
  std::vector<int> out;
  for (int i = 0; i < state.working_count; ++i)
    out.push_back(state.working_table[i].step);
  return out;
}

// The label slots in use, as "slot=label" texts in slot order.
inline std::vector<std::string> labels_of(const DetectionState& state) {
  std::vector<std::string> out;
  for (int w = 0; w < kMaxHops; ++w) {
    char text[kLabelSize];
    if (state.labels[w].rank != 0)
      out.push_back(std::to_string(w) + "=" + format_label(state.labels[w], text));
  }
  return out;
}

}  // namespace detect

#endif  // KOVRIN_DETECT_TEST_UTIL_H_
