#include "prober/analysis.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "prober/capture.h"
#include "prober/packet.h"
#include "prober/settings.h"

namespace kovrin {

AnalysisResults analysis;

namespace {

// Appends one whole line to the anomaly text; a line that does not fit is
// dropped rather than cut.  True when it was appended.
__attribute__((format(printf, 1, 2)))
bool append_line(const char* format, ...) {
  char line[kAnomalySize];
  va_list args;
  va_start(args, format);
  const int n = std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  const size_t used = std::strlen(analysis.anomaly_text);
  if (n < 0 || used + static_cast<size_t>(n) >= sizeof analysis.anomaly_text) return false;
  std::memcpy(analysis.anomaly_text + used, line, static_cast<size_t>(n) + 1);
  return true;
}

// Keeps the record of a line that was appended.
void record_anomaly(bool appended, const Anomaly& anomaly) {
  if (!appended || analysis.anomaly_count >= kMaxAnomalies) return;
  analysis.anomalies[analysis.anomaly_count++] = anomaly;
}

uint32_t source_of(const uint8_t* datagram) {
  uint32_t addr;
  std::memcpy(&addr, datagram + 12, 4);
  return addr;
}

}  // namespace

void reset_analysis() {
  AnalysisResults& a = analysis;
  a.record_count = 0;
  std::memset(a.reply_records, 0, sizeof a.reply_records);
  for (ProbeHop& hop : a.probe_hops) hop = ProbeHop{-1, -1, 0.0, 0};
  a.max_hop = 0;
  a.anomaly_text[0] = '\0';
  a.anomaly_count = 0;
  a.avg_rtt = 0.0;
  a.echo_source = 0;
}

void analyse_replies() {
  AnalysisResults& a = analysis;
  const CaptureStore& c = capture_store;
  char dotted[kDottedSize];
  char dotted2[kDottedSize];
  // Quoted headers: 8 bytes of ICMP header and a 20-byte IPv4 header come
  // before the quoted UDP or ICMP header, whose port or sequence number
  // carries the probe index (in the flow-stable mode the quoted
  // identification does).  Quoted IPv4 options are not allowed for.
  const RunProbes run = this_run();
  const int quoted_end = 8 + 20 + (run.icmp ? 8 : 4);

  for (int i = 0; i < c.rec_i; ++i) {
    const uint8_t* reply = c.te_replies[i];
    const int h = 4 * (reply[0] & 0x0F);
    if (c.te_lengths[i] < h + quoted_end) continue;
    const uint32_t source = source_of(reply);
    const uint32_t index = quoted_probe_index(reply + h + 8, run);
    if (index > static_cast<uint32_t>(kMaxProbeIndex)) continue;
    // Indices 0 and 1 (load packets) and above 103 name no hop of the table.
    const int hop = static_cast<int>(index) / 2 - 1;
    const int side = static_cast<int>(index) % 2;
    if (hop < 0 || hop >= kHopCount) continue;

    ReplyRecord& record = a.reply_records[a.record_count];
    record.reply_time = c.te_times[i];
    record.probe_time = packet_layer.send_time[index];

    if (hop > a.max_hop) {
      bool seen = false;
      for (int k = 0; k <= a.max_hop; ++k) seen = seen || a.probe_hops[k].router == source;
      if (seen) {
        record_anomaly(append_line("%d %s loop\n", hop, format_ip(source, dotted)),
                       Anomaly{AnomalyKind::kLoop, hop, source, 0});
        continue;
      }
    }
    if (settings.debug_mode) {
      std::fprintf(debug_out(), "%d %d %f %s\n", hop, side, record.reply_time, format_ip(source, dotted));
    }
    ProbeHop& probe_hop = a.probe_hops[hop];
    (side == 0 ? probe_hop.head_reply : probe_hop.tail_reply) = a.record_count;
    if (probe_hop.router == 0) {
      probe_hop.router = source;
    } else if (probe_hop.router != source) {
      record_anomaly(append_line("%d %s %s\n", hop, format_ip(source, dotted),
                                 format_ip(probe_hop.router, dotted2)),
                     Anomaly{AnomalyKind::kTwoAddresses, hop, source, probe_hop.router});
    }
    if (hop > a.max_hop) a.max_hop = hop;
    ++a.record_count;
  }

  for (int k = 0; k <= a.max_hop; ++k) {
    ProbeHop& hop = a.probe_hops[k];
    if (hop.head_reply >= 0 && hop.tail_reply >= hop.head_reply) {
      hop.gap_sec = a.reply_records[hop.tail_reply].reply_time -
                    a.reply_records[hop.head_reply].reply_time;
    }
  }
  compute_rtt();
}

void compute_rtt() {
  AnalysisResults& a = analysis;
  const CaptureStore& c = capture_store;
  if (c.echo_count == 0) return;
  double sum = 0.0;
  int used = 0;
  char dotted[kDottedSize];
  for (int j = 0; j < c.echo_count; ++j) {
    const uint8_t* reply = c.echo_replies[j];
    const int h = 4 * (reply[0] & 0x0F);
    // A flow-stable probe carries its index in the payload that the reply
    // returns; its sequence number is the same for every probe.
    const int index_at = settings.stable_flow ? kStableIndexAt : 6;
    if (c.echo_lengths[j] < h + index_at + 2) continue;
    const int32_t index = static_cast<int32_t>(read_be16(reply + h + index_at)) -
                          (settings.stable_flow ? 0 : seq_base);
    if (index < 0) {
      if (settings.debug_mode) {
        std::fprintf(debug_out(), "wrong seq number in the echo reply pkt: j = %d\n", index);
      }
      continue;
    }
    if (index > kMaxProbeIndex) continue;  // no send time to measure from
    const double rtt = c.echo_times[j] - packet_layer.send_time[index];
    a.echo_source = source_of(reply);
    sum += rtt;
    if (settings.debug_mode) {
      std::fprintf(debug_out(), "%2d rtt: %.3f, %s\n", index, rtt * 1000.0, format_ip(a.echo_source, dotted));
    }
    ++used;
  }
  if (used > 0) a.avg_rtt = sum / used;
}

}  // namespace kovrin
