#include "prober/json_report.h"

#include <cstdint>

#include "common/json.h"
#include "detect/detection.h"
#include "detect/detection_json.h"
#include "prober/analysis.h"
#include "prober/common.h"
#include "prober/packet.h"
#include "prober/report.h"
#include "prober/settings.h"
#include "prober/train.h"

namespace kovrin {

namespace {

using common::JsonWriter;


// Round-trip time of reply record `position` in ms, or null for none.
void round_trip(JsonWriter& w, const char* key, int32_t position) {
  common::json_key(w, key);
  if (position < 0) return common::json_null(w);
  const ReplyRecord& r = analysis.reply_records[position];
  common::json_number(w, (r.reply_time - r.probe_time) * 1000.0, "%.3f");
}

void write_settings(JsonWriter& w) {
  const Settings& s = settings;
  common::json_key(w, "settings");
  common::json_begin_object(w);
  common::json_key(w, "end_pkt_num");
  common::json_int(w, s.end_pkt_num);
  common::json_key(w, "udp_pkt_num");
  common::json_int(w, s.udp_pkt_num);
  common::json_key(w, "pkt_size");
  common::json_int(w, s.pkt_size);
  common::json_key(w, "delay_num");
  common::json_int(w, s.delay_num);
  common::json_key(w, "protocol");
  common::json_string(w, s.use_icmp ? "icmp" : "udp");
  common::json_key(w, "planetlab_raw");
  common::json_bool(w, s.planetlab_raw != 0);
  json_address(w, "self_ip", s.self_ip);
  common::json_key(w, "dns_lookup");
  common::json_bool(w, s.dns_lookup != 0);
  common::json_key(w, "online_detect");
  common::json_bool(w, s.online_detect != 0);
  common::json_key(w, "dump_send_times");
  common::json_bool(w, s.dump_send_times != 0);
  common::json_key(w, "link_overhead");
  common::json_int(w, s.link_overhead);
  common::json_key(w, "stable_flow");
  common::json_bool(w, s.stable_flow != 0);
  common::json_end_object(w);
}

void write_anomalies(JsonWriter& w) {
  const AnalysisResults& a = analysis;
  common::json_key(w, "anomalies");
  common::json_begin_array(w);
  for (int i = 0; i < a.anomaly_count; ++i) {
    const Anomaly& an = a.anomalies[i];
    common::json_begin_object(w);
    common::json_key(w, "kind");
    common::json_string(w, an.kind == AnomalyKind::kLoop ? "loop" : "two_addresses");
    common::json_key(w, "hop");
    common::json_int(w, an.hop);
    if (an.kind == AnomalyKind::kLoop) {
      json_address(w, "router", an.router);
    } else {
      json_address(w, "first", an.first);
      json_address(w, "second", an.router);
    }
    common::json_end_object(w);
  }
  common::json_end_array(w);
}

// The detection fields of hop k, walking the working table as the text
// report does.
void write_detection(JsonWriter& w, int k, int* cursor) {
  const HopDetection h = hop_detection(k, cursor);
  detect::write_detection_json(w, h.step, h.label, h.bound, h.kind);
}

void write_hops(JsonWriter& w) {
  const AnalysisResults& a = analysis;
  common::json_key(w, "hops");
  common::json_begin_array(w);
  const bool none = a.max_hop == 0 && a.probe_hops[0].router == 0;
  int cursor = 0;
  for (int k = 0; !none && k <= a.max_hop; ++k) {
    const ProbeHop& hop = a.probe_hops[k];
    common::json_begin_object(w);
    common::json_key(w, "hop");
    common::json_int(w, k);
    json_address(w, "router", hop.router);
    if (settings.dns_lookup) {
      common::json_key(w, "name");
      common::json_string(w, hop_name(k));
    }
    round_trip(w, "head_rtt_ms", hop.head_reply);
    round_trip(w, "tail_rtt_ms", hop.tail_reply);
    common::json_key(w, "gap_us");
    common::json_int(w, whole_microseconds(hop.gap_sec));
    common::json_key(w, "rate_estimate_mbit");
    if (hop.gap_sec > 0.0) {
      common::json_number(w, rate_estimate_mbit(k, hop.gap_sec), "%.3f");
    } else {
      common::json_null(w);
    }
    if (settings.online_detect) write_detection(w, k, &cursor);
    common::json_end_object(w);
  }
  common::json_end_array(w);
}

}  // namespace

void json_address(JsonWriter& w, const char* key, uint32_t addr) {
  char dotted[kDottedSize];
  common::json_key(w, key);
  if (addr == 0) {
    common::json_null(w);
  } else {
    common::json_string(w, format_ip(addr, dotted));
  }
}

void write_json_report(FILE* out) {
  JsonWriter w;
  common::json_start(w, out);
  write_json_report_value(w);
  common::json_finish(w);
}

void write_json_report_value(JsonWriter& w) {
  const AnalysisResults& a = analysis;
  common::json_begin_object(w);
  common::json_document_head(w, "kovrin-report", 1);
  write_settings(w);
  common::json_key(w, "start_time");
  common::json_number(w, train_state.start_time, "%.6f");
  json_address(w, "destination", settings.dst_ip);
  write_anomalies(w);
  write_hops(w);
  if (settings.online_detect) {
    common::json_key(w, "confidences");
    common::json_begin_array(w);
    for (int r = 0; r < detection.choke_count && r < detect::kConfSlots; ++r) {
      common::json_number(w, detection.conf[r], "%.3f");
    }
    common::json_end_array(w);
  }
  common::json_key(w, "rtt_ms");
  if (a.avg_rtt != 0.0) {
    common::json_number(w, a.avg_rtt * 1000.0, "%.3f");
  } else {
    common::json_null(w);
  }
  json_address(w, "rtt_source", a.avg_rtt != 0.0 ? a.echo_source : 0);
  if (settings.dump_send_times) {
    common::json_key(w, "send_log");
    common::json_begin_array(w);
    for (int j = 0; j < packet_layer.send_log_count; ++j) {
      common::json_number(w, packet_layer.send_log[j], "%.6f");
    }
    common::json_end_array(w);
  }
  common::json_end_object(w);
}

}  // namespace kovrin
