#include "prober/analysis.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "prober/test_util.h"

namespace kovrin {
namespace {

using testing_util::Bytes;
using testing_util::echo_reply;
using testing_util::ip;
using testing_util::time_exceeded;

const uint32_t kDst = ip(192, 0, 2, 1);
const uint32_t kA = ip(10, 0, 0, 1);
const uint32_t kB = ip(10, 0, 0, 2);
const uint32_t kC = ip(10, 0, 0, 3);

class AnalysisTest : public testing_util::ProberTest {
 protected:
  void prepare() override {
    settings.dst_ip = kDst;
    for (int i = 0; i < kProbeIndexCount; ++i) packet_layer.send_time[i] = 100.0 + i / 1000.0;
  }
  // Stores a time-exceeded reply from router for probe index `index` that
  // arrived at `time`, as the capture would.
  void te(uint32_t router, int index, double time, int header_len = 20) {
    store_te(time_exceeded(router, kDst, (seq_base + index) & 0xFFFF, settings.use_icmp != 0,
                           header_len),
             time);
  }
  void store_te(const Bytes& b, double time) {
    CaptureStore& c = capture_store;
    std::memcpy(c.te_replies[c.rec_i], b.data(), b.size());
    c.te_lengths[c.rec_i] = static_cast<int32_t>(b.size());
    c.te_times[c.rec_i++] = time;
  }
  void echo(uint32_t source, int seq, double time) {
    CaptureStore& c = capture_store;
    const Bytes b = echo_reply(source, seq);
    std::memcpy(c.echo_replies[c.echo_count], b.data(), b.size());
    c.echo_lengths[c.echo_count] = static_cast<int32_t>(b.size());
    c.echo_times[c.echo_count++] = time;
  }
  const ProbeHop& hop(int k) { return analysis.probe_hops[k]; }
};

TEST_F(AnalysisTest, HeadAndTailRepliesGiveTheGap) {
  for (int use_icmp = 0; use_icmp <= 1; ++use_icmp) {
    fresh();
    settings.use_icmp = use_icmp;
    te(kA, 2, 200.0);
    te(kB, 4, 200.5, 24);  // outer header with options
    te(kB, 5, 200.75);
    te(kA, 3, 201.0);
    analyse_replies();
    const AnalysisResults& a = analysis;
    EXPECT_EQ(a.max_hop, 1);
    EXPECT_EQ(a.record_count, 4);
    EXPECT_EQ(capture_store.rec_i, 4);  // the capture's store is only read
    EXPECT_EQ(hop(0).router, kA);
    EXPECT_EQ(hop(1).router, kB);
    EXPECT_EQ(hop(0).head_reply, 0);
    EXPECT_EQ(hop(0).tail_reply, 3);
    EXPECT_DOUBLE_EQ(hop(0).gap_sec, 1.0);
    EXPECT_DOUBLE_EQ(hop(1).gap_sec, 0.25);
    EXPECT_DOUBLE_EQ(a.reply_records[1].probe_time, packet_layer.send_time[4]);
    EXPECT_DOUBLE_EQ(a.reply_records[1].reply_time, 200.5);
    EXPECT_STREQ(a.anomaly_text, "");
  }
}

TEST_F(AnalysisTest, GapNeedsBothRepliesInOrder) {
  te(kA, 2, 200.0);   // hop 0: head only
  te(kB, 5, 200.0);   // hop 1: tail only
  te(kC, 7, 200.1);   // hop 2: tail before head
  te(kC, 6, 200.2);
  te(kA, 14, 200.3);  // hop 6 from hop 0's router: a loop, not stored
  analyse_replies();
  for (int k = 0; k <= 2; ++k) EXPECT_EQ(hop(k).gap_sec, 0.0) << k;
  EXPECT_EQ(analysis.max_hop, 2);
  EXPECT_EQ(hop(2).head_reply, 3);
  EXPECT_EQ(hop(2).tail_reply, 2);
}

TEST_F(AnalysisTest, LoopRouteChangeAndDuplicate) {
  settings.debug_mode = 1;
  te(kA, 2, 200.0);
  te(kB, 4, 200.1);
  te(kA, 6, 200.2);   // hop 2 beyond max_hop from a known router: loop, dropped
  te(kC, 5, 200.3);   // hop 1 tail from another router: route change
  te(kA, 3, 200.4);
  te(kA, 3, 200.6);   // duplicate: replaces the earlier tail
  te(kB, 2, 200.7);   // hop 0 at or below max_hop: no loop test, route change
  testing::internal::CaptureStdout();
  analyse_replies();
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "0 0 200.000000 10.0.0.1\n"
            "1 0 200.100000 10.0.0.2\n"
            "1 1 200.300000 10.0.0.3\n"
            "0 1 200.400000 10.0.0.1\n"
            "0 1 200.600000 10.0.0.1\n"
            "0 0 200.700000 10.0.0.2\n");
  EXPECT_STREQ(analysis.anomaly_text,
               "2 10.0.0.1 loop\n"
               "1 10.0.0.3 10.0.0.2\n"
               "0 10.0.0.2 10.0.0.1\n");
  EXPECT_EQ(analysis.max_hop, 1);
  EXPECT_EQ(analysis.record_count, 6);
  EXPECT_EQ(hop(1).router, kB);
  EXPECT_NEAR(hop(1).gap_sec, 0.2, 1e-9);
  EXPECT_EQ(hop(0).router, kA);
  EXPECT_EQ(hop(0).tail_reply, 4);
  EXPECT_EQ(hop(0).head_reply, 5);
  EXPECT_EQ(hop(0).gap_sec, 0.0);  // the newer head came after the tail
}

TEST_F(AnalysisTest, RepliesOutsideTheTablesAreSkipped) {
  te(kA, 0, 200.0);        // a load packet: hop -1
  te(kA, 1, 200.0);
  te(kA, 104, 200.0);      // hop 51
  te(kA, 1126, 200.0);     // past the send-time table
  store_te(time_exceeded(kA, kDst, seq_base - 1, false), 200.0);  // below seq_base
  Bytes cut = time_exceeded(kA, kDst, seq_base + 2, false);
  cut.resize(20 + 8 + 20 + 3);  // the quoted port is not all there
  store_te(cut, 200.0);
  te(kB, 103, 200.0);      // hop 50, the last entry
  analyse_replies();
  EXPECT_EQ(analysis.record_count, 1);
  EXPECT_EQ(analysis.max_hop, 50);
  EXPECT_EQ(hop(50).router, kB);
  EXPECT_EQ(hop(0).router, 0u);
  EXPECT_EQ(hop(0).head_reply, -1);
}

TEST_F(AnalysisTest, AnomalyTextNeverOverflows) {
  te(kA, 2, 200.0);
  for (int k = 2; k < 50; ++k) {
    te(ip(10, 1, 1, k), 2 * k, 200.0);
    te(ip(10, 2, 2, k), 2 * k + 1, 200.0);  // a route-change line each
  }
  te(kA, 102, 200.0);
  analyse_replies();
  const std::string text = analysis.anomaly_text;
  EXPECT_LT(text.size(), static_cast<size_t>(kAnomalySize));
  EXPECT_GT(text.size(), 1000u);
  // Whole lines only: the line that did not fit was left out, not cut.
  EXPECT_EQ(text.back(), '\n');
  EXPECT_EQ(text.find("\n48 10.2.2.49 10.1.1.49\n"), std::string::npos);
  size_t start = 0;
  for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    const std::string line = text.substr(start, end - start);
    EXPECT_TRUE(line.find(" 10.2.2.") != std::string::npos || line.find(" loop") != std::string::npos)
        << line;
  }
}

TEST_F(AnalysisTest, RoundTripTime) {
  settings.debug_mode = 1;
  te(kA, 2, 200.0);
  echo(kDst, seq_base + 123, packet_layer.send_time[123] + 0.010);
  echo(kDst, seq_base - 2, 300.0);                               // negative index
  echo(ip(192, 0, 2, 9), seq_base + 1200, 300.0);                // no send time
  echo(ip(192, 0, 2, 8), seq_base, packet_layer.send_time[0] - 0.004);  // negative rtt counts
  testing::internal::CaptureStdout();
  analyse_replies();
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "0 0 200.000000 10.0.0.1\n"
            "123 rtt: 10.000, 192.0.2.1\n"
            "wrong seq number in the echo reply pkt: j = -2\n"
            " 0 rtt: -4.000, 192.0.2.8\n");
  EXPECT_NEAR(analysis.avg_rtt, 0.003, 1e-9);
  EXPECT_EQ(analysis.echo_source, ip(192, 0, 2, 8));
}

// The flow-stable mode: hops from the quoted identifications, also where
// they wrap past 0 within the train, and the round-trip time from the index
// that an echo reply returns in its payload.
TEST_F(AnalysisTest, StableFlowByIdentification) {
  for (int use_icmp = 0; use_icmp <= 1; ++use_icmp) {
    fresh();
    settings.use_icmp = use_icmp;
    settings.stable_flow = 1;
    packet_layer.ip_id_base = 0xFFFC;  // index 4 has the identification 0
    const auto stable_te = [&](uint32_t router, int index, double time) {
      store_te(time_exceeded(router, kDst, seq_base, use_icmp != 0, 20,
                             (0xFFFC + index) & 0xFFFF),
               time);
    };
    stable_te(kA, 2, 200.0);
    stable_te(kB, 4, 200.5);
    stable_te(kB, 5, 200.75);
    stable_te(kA, 3, 201.0);
    stable_te(kC, 0, 201.5);  // a load packet names no hop
    Bytes echo_back = echo_reply(kDst, seq_base);
    echo_back[20 + kStableIndexAt] = 0;
    echo_back[20 + kStableIndexAt + 1] = 7;  // index 7
    CaptureStore& c = capture_store;
    std::memcpy(c.echo_replies[0], echo_back.data(), echo_back.size());
    c.echo_lengths[0] = static_cast<int32_t>(echo_back.size());
    c.echo_times[0] = packet_layer.send_time[7] + 0.020;
    c.echo_count = 1;
    analyse_replies();
    SCOPED_TRACE(use_icmp);
    EXPECT_EQ(analysis.max_hop, 1);
    EXPECT_EQ(hop(0).router, kA);
    EXPECT_EQ(hop(1).router, kB);
    EXPECT_DOUBLE_EQ(hop(0).gap_sec, 1.0);
    EXPECT_DOUBLE_EQ(hop(1).gap_sec, 0.25);
    EXPECT_EQ(analysis.anomaly_text[0], '\0');
    EXPECT_NEAR(analysis.avg_rtt, 0.020, 1e-9);
  }
}

TEST_F(AnalysisTest, EchoRepliesWithoutHopRepliesGiveNoRtt) {
  settings.end_pkt_num = 1;
  settings.udp_pkt_num = 0;
  settings.dst_ip = kDst;
  testing_util::start_run();
  fake::fake_net.answer_echoes = true;
  fake::fake_net.echo_from = kDst;
  probe_once();
  EXPECT_EQ(capture_store.echo_count, 5);
  EXPECT_EQ(analysis.avg_rtt, 0.0);
}

}  // namespace
}  // namespace kovrin
