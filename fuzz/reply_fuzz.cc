// Feeds arbitrary bytes as received datagrams, with the times they become
// ready and the kernel arrival times they carry, through a whole probe run
// on the fake platform layer: the train, the reply classification and
// stores, the analysis, the round-trip time and the report.
//
// Input: two bytes of settings, then records.
//   byte 0, option bits: 1 -o, 2 -x, 4 -d, 8 -t, 16 -c, 32 -p, 64 the
//           destination answers the echo requests
//   byte 1: end_pkt_num (mod 51); udp_pkt_num is 60 unless it is 0 (then 3)
//   record: length (2 bytes, big-endian), ready after the run's start in
//           milliseconds (2), kernel arrival time in microseconds after the
//           run's start (4; 0 = none), then the datagram.
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "prober/analysis.h"
#include "prober/capture.h"
#include "prober/json_report.h"
#include "prober/kovrin.h"
#include "prober/net_fake.h"
#include "prober/packet.h"
#include "prober/report.h"
#include "prober/settings.h"
#include "prober/train.h"
#include "tests/json_syntax.h"

namespace {

uint32_t read_be(const uint8_t* p, int n) {
  uint32_t v = 0;
  for (int i = 0; i < n; ++i) v = v << 8 | p[i];
  return v;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The debug lines of -d go to standard output.
  if (std::freopen("/dev/null", "w", stdout) == nullptr) std::abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace kovrin;
  static FILE* sink = std::fopen("/dev/null", "w");
  if (size < 2) return 0;

  fake::reset_fake_net();
  fake::FakeNet& net = fake::fake_net;
  net.record = false;
  // A coarse clock: the waiting poll's 3 quiet seconds pass in 300 readings.
  net.clock_step_usec = 10000;
  const int64_t start = net.clock_usec;

  reset_prober_state();
  settings.dst_ip = 0x0102000a;  // 10.0.2.1
  const uint8_t options = data[0];
  settings.online_detect = options & 1;
  settings.dns_lookup = (options >> 1) & 1;
  settings.debug_mode = (options >> 2) & 1;
  settings.dump_send_times = (options >> 3) & 1;
  settings.use_icmp = (options >> 4) & 1;
  settings.planetlab_raw = (options >> 5) & 1;
  net.answer_echoes = (options >> 6) & 1;
  settings.stable_flow = (options >> 7) & 1;
  net.echo_from = settings.dst_ip;
  settings.end_pkt_num = data[1] % (kMaxEndPkts + 1);
  settings.udp_pkt_num = settings.end_pkt_num == 0 ? 3 : 60;

  for (size_t at = 2; at + 8 <= size;) {
    const uint32_t length = read_be(data + at, 2);
    const uint32_t ready_ms = read_be(data + at + 2, 2);
    const uint32_t arrival_us = read_be(data + at + 4, 4);
    at += 8;
    const size_t n = length < size - at ? length : size - at;
    fake::Incoming in;
    in.bytes.assign(data + at, data + at + n);
    in.ready_usec = start + static_cast<int64_t>(ready_ms) * 1000;
    in.arrival = arrival_us == 0 ? 0.0 : static_cast<double>(start + arrival_us) / 1e6;
    net.incoming.push_back(std::move(in));
    at += n;
  }

  init_sockets();
  init_packet();
  probe_once();
  print_report(sink);
  // The same results as a JSON document, which must parse.
  json_syntax::require_valid([](FILE* out) { write_json_report(out); });
  close_sockets();
  return 0;
}
