#include "prober/report.h"

#include <cstdint>
#include <climits>
#include <cstring>

#include "prober/analysis.h"
#include "prober/common.h"
#include "prober/json_report.h"
#include "prober/net.h"
#include "prober/packet.h"
#include "prober/settings.h"
#include "prober/train.h"

namespace kovrin {

detect::DetectionState detection;

namespace {

detect::FitTable fit_table;

constexpr int kNameSize = net::kLookupNameSize;
static_assert(kHopCount <= net::kMaxLookups);

// The -x names of hops 0 to max_hop, as print_report looked them up.
char hop_names[kHopCount][kNameSize];

// Looks up the host names of the hops' routers, each distinct address once
// (0.0.0.0 of the silent hops too) and all at once; a router without a name
// keeps its dotted address.
void lookup_hop_names() {
  const AnalysisResults& a = analysis;
  uint32_t distinct[kHopCount];
  int slot[kHopCount];
  int count = 0;
  for (int k = 0; k <= a.max_hop; ++k) {
    const uint32_t router = a.probe_hops[k].router;
    int j = 0;
    while (j < count && distinct[j] != router) ++j;
    if (j == count) distinct[count++] = router;
    slot[k] = j;
  }
  char names[kHopCount][kNameSize];
  bool found[kHopCount];
  net::lookup_addresses(distinct, count, names, found);
  for (int k = 0; k <= a.max_hop; ++k) {
    if (found[slot[k]]) {
      std::memcpy(hop_names[k], names[slot[k]], kNameSize);
    } else {
      format_ip(a.probe_hops[k].router, hop_names[k]);
    }
  }
}

}  // namespace

// Seconds as whole microseconds, cut towards zero.  A gap beyond the 32-bit
// range (after a step of the clock between two replies) is held at the
// range's end; converting it would be undefined.
int32_t whole_microseconds(double seconds) {
  const double usec = seconds * 1000000.0;
  if (usec >= 2147483647.0) return INT32_MAX;
  if (usec <= -2147483648.0) return INT32_MIN;
  if (usec != usec) return 0;  // NaN
  return static_cast<int32_t>(usec);
}

const char* hop_name(int k) { return hop_names[k]; }

HopDetection hop_detection(int k, int* cursor) {
  const detect::DetectionState& d = detection;
  const int w = *cursor;
  if (w >= detect::kMaxHops || d.working_table[w].raw_index != k) {
    return HopDetection{0, detect::ChokeLabel{0, false}, 0.0, "uk"};
  }
  ++*cursor;
  const detect::HopEntry& entry = d.working_table[w];
  // The bound comes from the measured gap, not the cleaned one; a hop of
  // unknown kind shows none.
  const double bound = entry.status != 0
                           ? detect::bound_from_measured_gap(settings.pkt_size, settings.udp_pkt_num,
                                                             analysis.probe_hops[k].gap_sec)
                           : 0.0;
  return HopDetection{entry.step, d.labels[w], bound, detect::status_word(entry.status)};
}

void run_detection() {
  detect::DetectionState& d = detection;
  const AnalysisResults& a = analysis;
  detect::reset_detection(d);
  // A 51st hop (max_hop 50) has no room in the raw table and is left out.
  const int count = a.max_hop + 1 < detect::kMaxHops ? a.max_hop + 1 : detect::kMaxHops;
  for (int k = 0; k < count; ++k) {
    detect::HopEntry& entry = d.raw_table[k];
    entry.gap = whole_microseconds(a.probe_hops[k].gap_sec);
    format_ip(a.probe_hops[k].router, entry.hop_key);
  }
  d.raw_count = count;
  detect::detect_chokes(d, fit_table);
}

void prepare_report() {
  if (settings.online_detect) run_detection();
  // Without hop lines (no router answered) there is nothing to look up.
  const bool hop_lines = !(analysis.max_hop == 0 && analysis.probe_hops[0].router == 0);
  if (settings.dns_lookup && hop_lines) lookup_hop_names();
}

void print_report(FILE* out) {
  prepare_report();
  if (settings.json_output) {
    write_json_report(out);
  } else {
    write_report(out);
  }
}

void write_report(FILE* out) {
  const Settings& s = settings;
  const AnalysisResults& a = analysis;
  const detect::DetectionState& d = detection;
  std::fprintf(out, "%s %d\n", train_state.run_summary, s.delay_num);
  std::fprintf(out, "%s", a.anomaly_text);
  if (a.max_hop == 0 && a.probe_hops[0].router == 0) {
    std::fprintf(out, "# no hop reponses\n\n");
    return;
  }
  std::fprintf(out, "\n");

  int w = 0;
  for (int k = 0; k <= a.max_hop; ++k) {
    const ProbeHop& hop = a.probe_hops[k];
    char dotted[kDottedSize];
    format_ip(hop.router, dotted);
    const char* name = s.dns_lookup ? hop_name(k) : "";
    // A hop without a head reply has no round-trip time: 0.000.
    double rtt = 0.0;
    if (hop.head_reply >= 0) {
      const ReplyRecord& r = a.reply_records[hop.head_reply];
      rtt = (r.reply_time - r.probe_time) * 1000.0;
    }
    std::fprintf(out, "%02d %7.3f %15s %6d", k, rtt, dotted, whole_microseconds(hop.gap_sec));
    if (s.online_detect) {
      const HopDetection h = hop_detection(k, &w);
      const int rank = h.label.rank;
      std::fprintf(out, " %6d %c %7.3f %s", h.step,
                   rank != 0 ? static_cast<char>('0' + rank) : '.', h.bound, h.kind);
    }
    if (s.dns_lookup) std::fprintf(out, " %s", name);
    std::fprintf(out, "\n");
  }

  if (s.online_detect) {
    std::fprintf(out, "conf =");
    for (int r = 0; r < d.choke_count && r < detect::kConfSlots; ++r) {
      std::fprintf(out, " %.3f", d.conf[r]);
    }
    std::fprintf(out, "\n");
  }
  std::fprintf(out, "\n");
  if (a.avg_rtt != 0.0) {
    char dotted[kDottedSize];
    std::fprintf(out, "rtt = %.3f ( %s )\n\n", a.avg_rtt * 1000.0,
                 format_ip(a.echo_source, dotted));
  }
  if (s.dump_send_times) {
    for (int j = 0; j < packet_layer.send_log_count; ++j) {
      std::fprintf(out, "%03d %.6f\n", j, packet_layer.send_log[j]);
    }
    std::fprintf(out, "\n");
  }
}

}  // namespace kovrin
