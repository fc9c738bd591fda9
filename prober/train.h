// The packet train and the probe run.
//
// Send order: in UDP mode without -p five ICMP echo probes (indices
// 2e + l + 3 .. 2e + l + 7, TTL 100, 60 bytes); e head packets (index 2t, TTL
// t = 1..e, 60 bytes); l load packets (index 0, TTL 100, pkt_size bytes),
// each preceded by a non-waiting reply poll and followed, except the last,
// by delay steps that poll at every 20th step; e tail packets (index 2t + 1,
// TTL t = e..1); then one waiting poll.
#ifndef KOVRIN_PROBER_TRAIN_H_
#define KOVRIN_PROBER_TRAIN_H_

#include <cstdint>

namespace kovrin {

constexpr int kSummarySize = 256;

struct TrainState {
  double start_time = 0.0;  // after the pause, before the first probe
  // "%f %s %d %d": start time, destination, pkt_size, udp_pkt_num.
  char run_summary[kSummarySize] = {};
};
extern TrainState train_state;

// IP length of the echo probes and of the head and tail packets.
constexpr int kMeasureSize = 60;

// The bytes that cross a link between the arrivals of hop k's head and tail
// packet at router k + 1, on a link whose frames add `overhead` bytes to
// each IP packet: the head and tail packets of the deeper hops, the whole
// load block and the tail packet itself, as the train sends them.
int64_t bytes_between_head_and_tail(int k, int32_t overhead);

// Hop k's rate estimate in Mbit/s: those bytes (with the settings' link
// overhead) x 8 over the measured gap; 0.0 without a gap.  Unlike the
// report's bound, which counts only the load bytes, it also counts the
// packets queued between head and tail and the frames' overhead, so after a
// link of rate C it reads about C.
double rate_estimate_mbit(int k, double gap_sec);

// Sends the whole train to dest with delay steps between load packets and
// writes run_summary.
void send_train(uint32_t dest, int32_t delay);

// Empties the start time and the run summary.
void reset_train();

// One probe run: resets every per-run table, sends the train and, when a
// time-exceeded reply was stored, analyses the replies.
void probe_once();

}  // namespace kovrin

#endif  // KOVRIN_PROBER_TRAIN_H_
