// The result table of kovrin-detect.
#include "offline/offline_report.h"

#include "common/json.h"
#include "common/version.h"

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

void print_offline_json(FILE* out, const detect::DetectionState& state, int32_t pkt_size,
                        int32_t udp_pkt_num, bool read_in_full) {
  using namespace common;
  JsonWriter w;
  json_start(w, out);
  json_begin_object(w);
  json_key(w, "schema");
  json_string(w, "kovrin-detect-report");
  json_key(w, "schema_version");
  json_int(w, 1);
  json_key(w, "program_version");
  json_string(w, KOVRIN_VERSION);
  json_key(w, "pkt_size");
  json_int(w, pkt_size);
  json_key(w, "udp_pkt_num");
  json_int(w, udp_pkt_num);
  json_key(w, "read_in_full");
  json_bool(w, read_in_full);
  json_key(w, "hops");
  json_begin_array(w);
  int c = 0;
  for (int i = 0; i < state.raw_count; ++i) {
    const detect::HopEntry& raw = state.raw_table[i];
    const bool kept = detect::working_matches(state, c, i);
    json_begin_object(w);
    json_key(w, "rtt");
    json_number(w, raw.rtt, "%.3f");
    json_key(w, "gap_us");
    json_int(w, raw.gap);
    json_key(w, "addr");
    json_string(w, raw.addr);
    json_key(w, "extra");
    json_string(w, raw.extra);
    json_key(w, "hop_key");
    json_string(w, raw.hop_key);
    json_key(w, "kept");
    json_bool(w, kept);
    json_key(w, "detection");
    json_begin_object(w);
    const detect::HopEntry& entry = kept ? state.working_table[c] : raw;
    const detect::ChokeLabel none = {0, false};
    const detect::ChokeLabel& label = kept ? state.labels[c] : none;
    json_key(w, "cleaned_gap_us");
    json_int(w, entry.step);
    json_key(w, "rank");
    if (label.rank == 0) json_null(w); else json_int(w, label.rank);
    json_key(w, "bracket");
    if (label.rank == 0) json_null(w); else json_string(w, label.paired ? "round" : "square");
    json_key(w, "bound_mbit");
    json_number(w, kept ? detect::bound_from_cleaned_gap(pkt_size, udp_pkt_num, entry.step) : 0.0,
                "%.3f");
    json_key(w, "kind");
    json_string(w, kept ? detect::status_word(entry.status) : "uk");
    json_end_object(w);
    json_end_object(w);
    if (kept) c = detect::advance_cursor(state, c);
  }
  json_end_array(w);
  json_key(w, "confidences");
  json_begin_array(w);
  for (int r = 0; r < state.choke_count && r < detect::kConfSlots; ++r) {
    json_number(w, state.conf[r], "%.3f");
  }
  json_end_array(w);
  json_end_object(w);
  json_finish(w);
}

}  // namespace offline
