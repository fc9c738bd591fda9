// The result table of kovrin-detect.
#include "offline/offline_report.h"

namespace offline {

void print_offline_report(FILE* out, const detect::DetectionState& state,
                          int32_t pkt_size, int32_t udp_pkt_num) {
  int w = 0;
  for (int i = 0; i < state.raw_count; ++i) {
    const detect::HopEntry& raw = state.raw_table[i];
    const char* word = "uk";
    double bound = 0.0;
    if (!detect::working_matches(state, w, i)) {
      std::fprintf(out, "%-5d %-5d     ", raw.gap, raw.step);
    } else {
      const detect::HopEntry& entry = state.working_table[w];
      std::fprintf(out, "%-5d %-5d ", raw.gap, entry.step);
      char label[detect::kLabelSize];
      if (state.labels[w].rank == 0) {
        std::fputs("    ", out);
      } else {
        std::fprintf(out, "%s ", detect::format_label(state.labels[w], label));
      }
      // A step of 0 (a failed cleaning) gives an infinite bound, as the
      // division says.
      bound = detect::bound_from_cleaned_gap(pkt_size, udp_pkt_num, entry.step);
      word = detect::status_word(entry.status);
      w = detect::advance_cursor(state, w);
    }
    std::fprintf(out, "%7.3f %-15s %6s %7.3f %s %s\n", raw.rtt, raw.addr,
                 raw.extra, bound, word, raw.hop_key);
  }

  std::fputs("conf = ", out);
  for (int r = 0; r < state.choke_count && r < detect::kConfSlots; ++r)
    std::fprintf(out, "%.3f ", state.conf[r]);
  std::fputs("\n\n", out);
}

}  // namespace offline
