// The result table of kovrin-detect.
#include "offline/offline_report.h"

namespace offline {

namespace {

const char* status_word(int32_t status) {
  if (status == 1) return "ub";
  if (status == -1) return "lb";
  return "uk";
}

}  // namespace

void print_offline_report(FILE* out, detect::DetectionState& state,
                          int32_t pkt_size, int32_t udp_pkt_num) {
  int32_t count = 0;
  double conf[detect::kConfSlots] = {};

  int w = 0;
  for (int i = 0; i < state.raw_count; ++i) {
    const detect::HopEntry& raw = state.raw_table[i];
    const char* word = "uk";
    double bound = 0.0;
    if (!detect::working_matches(state, w, i)) {
      std::fprintf(out, "%-5d %-5d     ", raw.gap, raw.step);
    } else {
      detect::HopEntry& entry = state.working_table[w];
      std::fprintf(out, "%-5d %-5d ", raw.gap, entry.step);
      const char* label = state.labels[w];
      if (label[0] == '\0') {
        std::fputs("    ", out);
      } else {
        std::fprintf(out, "%s ", label);
      }
      detect::assess_entry(state, w, &count, conf);
      // A step of 0 (a failed cleaning) gives an infinite bound, as the
      // division says.
      bound = static_cast<double>(udp_pkt_num) * static_cast<double>(pkt_size) *
              8.0 / static_cast<double>(entry.step);
      word = status_word(entry.status);
      w = detect::advance_cursor(state, w);
    }
    std::fprintf(out, "%7.3f %-15s %6s %7.3f %s %s\n", raw.rtt, raw.addr,
                 raw.extra, bound, word, raw.hop_key);
  }

  std::fputs("conf = ", out);
  for (int r = 0; r < count && r < detect::kConfSlots; ++r)
    std::fprintf(out, "%.3f ", conf[r]);
  std::fputs("\n\n", out);
}

}  // namespace offline
