// Reply analysis: the captured replies turned into one result per hop, the
// route anomaly lines, and the path's round-trip time.
#ifndef KOVRIN_PROBER_ANALYSIS_H_
#define KOVRIN_PROBER_ANALYSIS_H_

#include <cstdint>

#include "prober/common.h"

namespace kovrin {

// One accepted time-exceeded reply.
struct ReplyRecord {
  double probe_time;  // send time of the probe it answers, seconds
  double reply_time;  // its arrival time, seconds
};

// The result of one hop; hop n is the router where TTL n + 1 ran out.
struct ProbeHop {
  int32_t head_reply;  // position in reply_records, or -1
  int32_t tail_reply;  // position in reply_records, or -1
  double gap_sec;      // tail arrival minus head arrival, when both exist in that order
  uint32_t router;     // source of the first reply for the hop; 0 = none
};

// A route anomaly, as a record beside its line in anomaly_text.
enum class AnomalyKind {
  kLoop,          // "HOP ROUTER loop": a router seen again further along
  kTwoAddresses,  // "HOP SECOND FIRST": a hop answered from a second address
};
struct Anomaly {
  AnomalyKind kind;
  int32_t hop;
  uint32_t router;  // the repeated router, or the second address
  uint32_t first;   // kTwoAddresses: the hop's first router
};
// Every line of anomaly_text has its record: a line needs at least 15 bytes.
constexpr int kMaxAnomalies = kAnomalySize / 15 + 1;

struct AnalysisResults {
  ReplyRecord reply_records[kTeSlots];
  int32_t record_count;
  ProbeHop probe_hops[kHopCount];
  int32_t max_hop;  // highest hop that a reply named; 0 when none did
  char anomaly_text[kAnomalySize];  // "loop" and route-change lines
  Anomaly anomalies[kMaxAnomalies];  // the same, one record a line
  int32_t anomaly_count;
  double avg_rtt;        // mean echo round-trip time, seconds; 0.0 = none
  uint32_t echo_source;  // source of the last echo reply used
};
extern AnalysisResults analysis;

// The reset state: no records, every hop without replies, router or gap.
void reset_analysis();

// Builds the per-hop results from the stored time-exceeded replies (the
// capture's stores are only read) and ends with compute_rtt.
void analyse_replies();

// Mean round-trip time of the stored echo replies.
void compute_rtt();

}  // namespace kovrin

#endif  // KOVRIN_PROBER_ANALYSIS_H_
