#include "prober/train.h"

#include <cstdio>
#include <cstring>

#include "prober/analysis.h"
#include "prober/capture.h"
#include "prober/clock.h"
#include "prober/common.h"
#include "prober/net.h"
#include "prober/packet.h"
#include "prober/settings.h"

namespace kovrin {

TrainState train_state;

namespace {

constexpr int kPauseUsec = 300000;
constexpr int kEchoProbes = 5;
constexpr uint8_t kLoadTtl = 100;
constexpr int kPollEvery = 20;

}  // namespace

void send_train(uint32_t dest, int32_t delay) {
  const Settings& s = settings;
  net::pause_usec(kPauseUsec);
  train_state.start_time = get_time();

  const Protocol protocol = s.use_icmp ? Protocol::kIcmp : Protocol::kUdp;
  if (s.use_icmp == 0 && s.planetlab_raw == 0) {
    // The round-trip time comes from ICMP echoes even in UDP mode; they
    // leave through the UDP socket, the header's protocol byte decides.
    const int32_t first = 2 * s.end_pkt_num + s.udp_pkt_num + 3;
    for (int k = 0; k < kEchoProbes; ++k) {
      send_probe(Protocol::kIcmp, first + k, kMeasureSize, kLoadTtl, dest);
    }
  }

  for (int32_t t = 1; t <= s.end_pkt_num; ++t) {
    send_probe(protocol, 2 * t, kMeasureSize, static_cast<uint8_t>(t), dest);
  }

  // The load block: back to back, the only work between two packets being
  // a reply poll that returns at once when nothing is waiting.
  for (int32_t i = 0; i < s.udp_pkt_num; ++i) {
    if (s.debug_mode) std::fprintf(debug_out(), "%d\n", i);
    capture_replies(0);
    send_probe(protocol, 0, s.pkt_size, kLoadTtl, dest);
    if (i == s.udp_pkt_num - 1) break;
    for (int32_t j = 0; j < delay; ++j) {
      if (j % kPollEvery == 0) capture_replies(0);
    }
  }

  for (int32_t t = s.end_pkt_num; t >= 1; --t) {
    send_probe(protocol, 2 * t + 1, kMeasureSize, static_cast<uint8_t>(t), dest);
  }

  capture_replies(1);

  char dotted[kDottedSize];
  std::snprintf(train_state.run_summary, kSummarySize, "%f %s %d %d",
                train_state.start_time, format_ip(dest, dotted), s.pkt_size,
                s.udp_pkt_num);
}

int64_t bytes_between_head_and_tail(int k, int32_t overhead) {
  const Settings& s = settings;
  const int64_t ttl = k + 1;
  const int64_t deeper = s.end_pkt_num > ttl ? s.end_pkt_num - ttl : 0;
  return static_cast<int64_t>(s.udp_pkt_num) * (s.pkt_size + overhead) +
         (2 * deeper + 1) * (kMeasureSize + overhead);
}

double rate_estimate_mbit(int k, double gap_sec) {
  if (!(gap_sec > 0.0)) return 0.0;
  return static_cast<double>(bytes_between_head_and_tail(k, settings.link_overhead)) * 8.0 /
         (gap_sec * 1000000.0);
}

void reset_train() { train_state = TrainState{}; }

void probe_once() {
  if (settings.verbose_mode) {
    std::fprintf(debug_out(), "probe_once() with [%d %d]\n", settings.udp_pkt_num, settings.delay_num);
  }
  // Each module empties its own per-run state; the send log lives on.
  reset_send_times();
  reset_capture();
  reset_analysis();
  reset_train();

  send_train(settings.dst_ip, settings.delay_num);
  if (capture_store.foreign_id_count > 0) {
    // Another probe run to the same destination, or a middlebox that
    // rewrites identifications (which silences every hop).
    const int32_t n = capture_store.foreign_id_count;
    std::fprintf(stderr,
                 "kovrin: %d time-exceeded %s passed over: the IP identification quoted is "
                 "not this run's (another probe run, or a middlebox that rewrites it)\n",
                 n, n == 1 ? "reply" : "replies");
  }

  // The round-trip time is computed at the end of the analysis, so echo
  // replies alone give none: a run that no router answered reports no path.
  if (capture_store.rec_i > 0) analyse_replies();
}

}  // namespace kovrin
