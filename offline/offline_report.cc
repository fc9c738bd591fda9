// The result table of kovrin-detect.
#include "offline/offline_report.h"

#include "common/json.h"
#include "detect/detection_json.h"

namespace offline {

namespace {

// The detection columns of raw hop i, as both reports show them.
struct OfflineHop {
  bool kept;                 // cleaning kept the hop
  int32_t step;              // the cleaned gap (the raw entry's 0 when not kept)
  detect::ChokeLabel label;  // rank 0 for none
  double bound;              // Mbit/s from the cleaned gap; 0.0 when not kept
  const char* kind;
};

// Hops are taken in order with one cursor into the working table, from 0.
OfflineHop offline_hop(const detect::DetectionState& state, int i, int32_t pkt_size,
                       int32_t udp_pkt_num, int* cursor) {
  const int w = *cursor;
  if (!detect::working_matches(state, w, i)) {
    return OfflineHop{false, state.raw_table[i].step, detect::ChokeLabel{0, false}, 0.0, "uk"};
  }
  *cursor = detect::advance_cursor(state, w);
  const detect::HopEntry& entry = state.working_table[w];
  // A step of 0 (a failed cleaning) gives an infinite bound, as the
  // division says.
  return OfflineHop{true, entry.step, state.labels[w],
                    detect::bound_from_cleaned_gap(pkt_size, udp_pkt_num, entry.step),
                    detect::status_word(entry.status)};
}

}  // namespace

void print_offline_report(FILE* out, const detect::DetectionState& state,
                          int32_t pkt_size, int32_t udp_pkt_num) {
  int w = 0;
  for (int i = 0; i < state.raw_count; ++i) {
    const detect::HopEntry& raw = state.raw_table[i];
    const OfflineHop h = offline_hop(state, i, pkt_size, udp_pkt_num, &w);
    char label[detect::kLabelSize];
    std::fprintf(out, "%-5d %-5d %-3s %7.3f %-15s %6s %7.3f %s %s\n", raw.gap, h.step,
                 detect::format_label(h.label, label), raw.rtt, raw.addr, raw.extra, h.bound,
                 h.kind, raw.hop_key);
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
  json_document_head(w, "kovrin-detect-report", 1);
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
    const OfflineHop h = offline_hop(state, i, pkt_size, udp_pkt_num, &c);
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
    json_bool(w, h.kept);
    detect::write_detection_json(w, h.step, h.label, h.bound, h.kind);
    json_end_object(w);
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
