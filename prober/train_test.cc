#include "prober/train.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "prober/test_util.h"

namespace kovrin {
namespace {

using testing_util::be16;
using testing_util::ip;

// The train as the platform saw it: one entry per packet ("udp 2 1 60":
// protocol, probe index, TTL, length) and one "poll" per receive that found
// nothing.  The polls of the final waiting call are cut off and counted.
struct Observed {
  std::vector<std::string> events;
  int waiting_polls = 0;
};

Observed observe() {
  Observed o;
  size_t next_sent = 0;
  for (const std::string& what : fake::fake_net.trace) {
    if (what == "send") {
      const auto& p = fake::fake_net.sent.at(next_sent++).bytes;
      const bool icmp = p[9] == 1;
      const int index = be16(p, icmp ? 26 : 22) - seq_base;
      o.events.push_back((icmp ? "icmp " : "udp ") + std::to_string(index) + " " +
                         std::to_string(p[8]) + " " + std::to_string(p.size()));
    } else if (what == "poll") {
      o.events.push_back("poll");
    }
  }
  while (!o.events.empty() && o.events.back() == "poll") {
    o.events.pop_back();
    ++o.waiting_polls;
  }
  return o;
}

// The schedule written out from its description: echo probes, head packets
// with rising TTLs, load packets each after one poll and, except the last,
// followed by one poll per started 20 delay steps, tail packets.
std::vector<std::string> schedule(int e, int l, int s, int y, bool icmp, bool planetlab,
                                  bool polls) {
  std::vector<std::string> out;
  const std::string proto = icmp ? "icmp " : "udp ";
  if (!icmp && !planetlab) {
    for (int k = 0; k < 5; ++k) out.push_back("icmp " + std::to_string(2 * e + l + 3 + k) + " 100 60");
  }
  for (int t = 1; t <= e; ++t) out.push_back(proto + std::to_string(2 * t) + " " + std::to_string(t) + " 60");
  for (int i = 0; i < l; ++i) {
    if (polls) out.push_back("poll");
    out.push_back(proto + "0 100 " + std::to_string(s));
    if (i < l - 1 && polls) {
      for (int j = 0; j < y; j += 20) out.push_back("poll");
    }
  }
  for (int t = e; t >= 1; --t) out.push_back(proto + std::to_string(2 * t + 1) + " " + std::to_string(t) + " 60");
  return out;
}

class TrainTest : public testing_util::ProberTest {
 protected:
  void prepare() override {
    settings.dst_ip = ip(192, 0, 2, 1);
  }
};

TEST_F(TrainTest, DefaultTrain) {
  testing_util::start_run();
  probe_once();
  const Observed o = observe();
  ASSERT_EQ(o.events.size(), 125u + 60u);
  EXPECT_EQ(o.events[0], "icmp 123 100 60");
  EXPECT_EQ(o.events[4], "icmp 127 100 60");
  EXPECT_EQ(o.events[5], "udp 2 1 60");
  EXPECT_EQ(o.events[34], "udp 60 30 60");
  EXPECT_EQ(o.events[35], "poll");
  EXPECT_EQ(o.events[36], "udp 0 100 500");
  EXPECT_EQ(o.events[155], "udp 61 30 60");
  EXPECT_EQ(o.events[184], "udp 3 1 60");
  EXPECT_GT(o.waiting_polls, 1);
  EXPECT_EQ(packet_layer.send_log_count, 125);
  EXPECT_STREQ(train_state.run_summary, "1000000000.500000 192.0.2.1 500 60");
  // The pause comes first, before the clock reading of the start time.
  EXPECT_EQ(fake::fake_net.trace[2], "pause");
  // After the echo probes the buffer is a UDP template again.
  EXPECT_EQ(settings.use_icmp, 0);
}

TEST_F(TrainTest, ScheduleByOptions) {
  struct Case {
    int e, l, s, y;
    bool icmp, planetlab;
  };
  const Case cases[] = {
      {30, 60, 500, 0, false, false},  // defaults
      {30, 60, 500, 0, true, false},   // -c: all ICMP, no echo probes
      {30, 60, 500, 0, false, true},   // -p: all UDP, no echo probes
      {30, 60, 500, 0, true, true},
      {3, 4, 100, 1, false, false},    // -y 1 to 20: one extra poll
      {3, 4, 100, 20, false, false},
      {3, 4, 100, 21, false, false},   // -y 21 to 40: two
      {3, 4, 100, 45, true, false},
      {5, 1, 1500, 30, false, false},  // -l 1: one poll, no delay loop
      {5, 0, 500, 30, false, false},   // -l 0: the tail follows the head
      {50, 1018, 28, 0, false, false}, // the largest train
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "e " << c.e << " l " << c.l << " s " << c.s << " y "
                                    << c.y << " c " << c.icmp << " p " << c.planetlab);
    fresh();
    settings.end_pkt_num = c.e;
    settings.udp_pkt_num = c.l;
    settings.pkt_size = c.s;
    settings.delay_num = c.y;
    settings.use_icmp = c.icmp;
    settings.planetlab_raw = c.planetlab;
    testing_util::start_run();
    probe_once();
    const Observed o = observe();
    EXPECT_EQ(o.events, schedule(c.e, c.l, c.s, c.y, c.icmp, c.planetlab, true));
    EXPECT_GT(o.waiting_polls, 1);
    EXPECT_EQ(settings.use_icmp, c.icmp ? 1 : 0);
  }
}

TEST_F(TrainTest, NoMeasurementPacketsMeansNoPolls) {
  settings.end_pkt_num = 0;
  testing_util::start_run();
  probe_once();
  const Observed o = observe();
  EXPECT_EQ(o.events, schedule(0, 60, 500, 0, false, false, false));
  EXPECT_EQ(o.waiting_polls, 0);
  EXPECT_EQ(analysis.max_hop, 0);
}

TEST_F(TrainTest, WaitingPollEndsAfterThreeQuietSeconds) {
  settings.end_pkt_num = 1;
  settings.udp_pkt_num = 0;
  // Clock readings a quarter second apart, exact in doubles.
  fake::fake_net.clock_step_usec = 250000;
  testing_util::start_run();
  probe_once();
  // One clock reading per empty poll: the call goes on at exactly 3.0 s and
  // gives up at the first poll more than 3.0 s after its start.
  EXPECT_EQ(observe().waiting_polls, 13);
}

TEST_F(TrainTest, SendLogKeepsGrowingAcrossRunsAndVerboseLine) {
  settings.verbose_mode = 1;
  settings.end_pkt_num = 2;
  settings.udp_pkt_num = 3;
  testing_util::start_run();
  testing::internal::CaptureStdout();
  probe_once();
  probe_once();
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "probe_once() with [3 0]\nprobe_once() with [3 0]\n");
  EXPECT_EQ(packet_layer.send_log_count, 2 * (5 + 4 + 3));
}

TEST_F(TrainTest, DebugPrintsLoadPacketNumbers) {
  settings.debug_mode = 1;
  settings.end_pkt_num = 1;
  settings.udp_pkt_num = 3;
  testing_util::start_run();
  testing::internal::CaptureStdout();
  probe_once();
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "0\n1\n2\n");
}

// The receive socket sees every ICMP message of the host.  A flood of
// unrelated ones costs each poll between load packets at most kPollBatch
// receives, and cannot keep the waiting poll going.
TEST_F(TrainTest, FloodOfUnrelatedDatagramsIsBounded) {
  const int64_t flood = 5000000;
  fake::fake_net.flood =
      testing_util::echo_reply(ip(203, 0, 113, 5), 7, false);  // not ours
  fake::fake_net.flood_count = flood;
  testing_util::start_run();
  const int64_t start = fake::fake_net.clock_usec;
  probe_once();
  const int64_t taken = flood - fake::fake_net.flood_count;
  // 60 polls in the load block, then the waiting poll, which reads its
  // clock every kTimerCheckEvery datagrams and gives up 3 s after its start.
  EXPECT_LE(taken, 60 * kPollBatch + (3000000 / 1000 + 2) * kTimerCheckEvery);
  EXPECT_GT(taken, 60 * kPollBatch);
  EXPECT_LT(fake::fake_net.clock_usec - start, 4000000);
  EXPECT_EQ(packet_layer.send_log_count, 125);
}

// Between two load packets, a poll reads at most kPollBatch datagrams.
TEST_F(TrainTest, EachLoadBlockPollStopsAtTheBatch) {
  settings.end_pkt_num = 2;
  settings.udp_pkt_num = 10;
  testing_util::start_run();
  for (int k = 0; k < 1000; ++k) {
    fake::fake_net.incoming.push_back({testing_util::echo_reply(ip(203, 0, 113, 5), 7, false)});
  }
  probe_once();
  int receives = 0;
  std::vector<int> per_gap;
  bool in_load = false;
  size_t sent = 0;
  for (const std::string& what : fake::fake_net.trace) {
    if (what == "recv") ++receives;
    if (what != "send") continue;
    const auto& p = fake::fake_net.sent.at(sent++).bytes;
    const bool load = p.size() == 500;
    if (load && in_load) per_gap.push_back(receives);
    if (load) in_load = true;
    receives = 0;
  }
  EXPECT_EQ(per_gap, std::vector<int>(9, kPollBatch));
}

TEST_F(TrainTest, ForeignIdentificationsAreReportedAfterTheTrain) {
  settings.end_pkt_num = 2;
  settings.udp_pkt_num = 1;
  testing_util::start_run();
  for (int index : {2, 3, 4}) {
    fake::fake_net.incoming.push_back(
        {testing_util::time_exceeded(ip(10, 0, 0, 1), settings.dst_ip, seq_base + index, false,
                                     20, 0x0102)});
  }
  testing::internal::CaptureStderr();
  probe_once();
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "kovrin: 3 time-exceeded replies passed over: the IP identification quoted is not "
            "this run's (another probe run, or a middlebox that rewrites it)\n");
  EXPECT_EQ(analysis.max_hop, 0);
}

TEST_F(TrainTest, RateEstimateCountsEverythingBetweenHeadAndTail) {
  // e 30, l 60, s 500: hop k has 2 (29 - k) deeper head and tail packets and
  // its own tail between its head and its tail, 60 bytes each.
  struct Case {
    int k;
    int32_t overhead;
    int64_t bytes;
  };
  const Case cases[] = {
      {0, 0, 60 * 500 + 59 * 60},
      {4, 14, 60 * 514 + 51 * 74},
      {29, 38, 60 * 538 + 1 * 98},
      {40, 0, 60 * 500 + 60},  // no deeper packets past the last head
  };
  for (const Case& c : cases) EXPECT_EQ(bytes_between_head_and_tail(c.k, c.overhead), c.bytes) << c.k;
  settings.link_overhead = 14;
  EXPECT_DOUBLE_EQ(rate_estimate_mbit(4, 0.027), (60 * 514 + 51 * 74) * 8.0 / 27000.0);
  EXPECT_EQ(rate_estimate_mbit(4, 0.0), 0.0);
}

}  // namespace
}  // namespace kovrin
