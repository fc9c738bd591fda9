// Reply capture: non-blocking polls of the receive socket that keep this
// run's time-exceeded messages and echo replies, each with its arrival time.
#ifndef KOVRIN_PROBER_CAPTURE_H_
#define KOVRIN_PROBER_CAPTURE_H_

#include <cstdint>

#include "prober/common.h"

namespace kovrin {

// A non-waiting poll reads at most this many datagrams, so that a stream of
// unrelated ICMP (the receive socket sees every ICMP message of the host)
// cannot hold the load block inside one gap.
constexpr int kPollBatch = 8;
// The waiting poll looks at its quiet timer at least every this many
// datagrams, so that such a stream cannot keep it polling either.
constexpr int kTimerCheckEvery = 8;

struct CaptureStore {
  // Time-exceeded messages that answer a measurement packet of this run,
  // whole datagrams from the IPv4 header on, cut to kSlotSize bytes;
  // te_lengths holds the bytes kept.  te_times are arrival times in seconds.
  uint8_t te_replies[kTeSlots][kSlotSize];
  int32_t te_lengths[kTeSlots];
  double te_times[kTeSlots];
  int32_t rec_i;
  // Echo replies to this run's echo requests.
  uint8_t echo_replies[kEchoSlots][kSlotSize];
  int32_t echo_lengths[kEchoSlots];
  double echo_times[kEchoSlots];
  int32_t echo_count;
  // Time-exceeded messages that matched one of this run's measurement
  // packets in everything but the quoted IP identification.
  int32_t foreign_id_count;
};
extern CaptureStore capture_store;

// What identifies this run's probes in the replies they draw.
struct RunProbes {
  uint32_t dst_ip;          // every probe's destination, network byte order
  bool icmp;                // measurement packets are echo requests (-c), else UDP
  bool stable_flow;         // one flow for the train: the index is in the identification
  uint16_t ip_id_base;      // identification of probe index 0
  int32_t end_pkt_num;      // measurement indices are 2 .. 2 * end_pkt_num + 1
  const double* send_log;   // send times of the probes sent so far
  int32_t send_log_count;
};

// The probes of the run as the settings and the packet layer stand.
RunProbes this_run();

enum class ReplyKind {
  kDrop,          // not an answer to this run
  kForeignId,     // a time-exceeded message that is ours but for the identification
  kTimeExceeded,  // answers one of this run's measurement packets
  kEchoReply,     // answers one of this run's echo requests
};

// The probe index named by the header of one of run's probes quoted in a
// time-exceeded message (quoted points at its IPv4 header; the caller has
// checked that 28 bytes are there): its UDP destination port or ICMP
// sequence number less seq_base, or in the flow-stable mode its
// identification less ip_id_base (modulo 65536, so identifications that
// wrap past 0 still count up from ip_id_base).  A quoted number
// outside the flow of a flow-stable train gives kNoProbeIndex.
constexpr uint32_t kNoProbeIndex = 0xFFFFFFFF;
uint32_t quoted_probe_index(const uint8_t* quoted, const RunProbes& run);

// Classifies a datagram of n bytes that starts with its IPv4 header.  A
// time-exceeded message is kept only when the header it quotes is one of
// run's measurement packets: no IP options, the probe protocol, the
// destination, source port (UDP) or echo type and identifier (ICMP)
// probe_port, a probe number naming a measurement packet, and the
// identification that this probe carried (in the flow-stable mode: the
// train's one port or sequence number, and an identification naming a
// measurement packet).  An echo reply is kept when it
// carries probe_port as identifier, the echo marker, and a send time that
// this run recorded.  Datagrams too short for the fields read are dropped.
ReplyKind classify_reply(const uint8_t* datagram, int n, const RunProbes& run);

// Empties both stores and the count of foreign identifications.
void reset_capture();

// Takes the waiting replies.  wait 0: returns as soon as a poll finds
// nothing, or after kPollBatch datagrams.  wait 1: polls until no reply has
// been stored for 3 seconds by the monotonic clock.  Either way it stops
// after 2 * end_pkt_num time-exceeded replies in this call, or when that
// store is full.
void capture_replies(int32_t wait);

}  // namespace kovrin

#endif  // KOVRIN_PROBER_CAPTURE_H_
