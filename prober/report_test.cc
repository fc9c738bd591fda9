#include "prober/report.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "prober/test_util.h"

namespace kovrin {
namespace {

using testing_util::ip;

class ReportTest : public testing_util::ProberTest {
 protected:
  void prepare() override {
    std::snprintf(train_state.run_summary, kSummarySize, "1700000000.250000 192.0.2.9 500 60");
  }
  // Sets hop k: its router, its head reply's round-trip time and its gap.
  void set_hop(int k, uint32_t router, double rtt_sec, double gap_sec) {
    AnalysisResults& a = analysis;
    ProbeHop& hop = a.probe_hops[k];
    hop.router = router;
    hop.gap_sec = gap_sec;
    a.reply_records[a.record_count] = ReplyRecord{100.0, 100.0 + rtt_sec};
    hop.head_reply = a.record_count++;
    if (k > a.max_hop) a.max_hop = k;
  }
  std::string report(bool run = true) {
    char* text = nullptr;
    size_t size = 0;
    FILE* out = open_memstream(&text, &size);
    if (run) {
      print_report(out);
    } else {
      write_report(out);
    }
    std::fclose(out);
    std::string result(text, size);
    std::free(text);
    return result;
  }
};

TEST_F(ReportTest, PlainReport) {
  std::strcpy(analysis.anomaly_text, "7 192.0.2.3 loop\n");
  settings.delay_num = 4;
  set_hop(0, ip(192, 0, 2, 1), 0.000512, 0.0000009);  // gap below 1 us prints 0
  analysis.max_hop = 2;                                 // hop 1 silent
  set_hop(2, ip(192, 0, 2, 3), 0.001301, 0.0123456);
  analysis.avg_rtt = 0.0123;
  analysis.echo_source = ip(192, 0, 2, 9);
  EXPECT_EQ(report(),
            "1700000000.250000 192.0.2.9 500 60 4\n"
            "7 192.0.2.3 loop\n"
            "\n"
            "00   0.512       192.0.2.1      0\n"
            "01   0.000         0.0.0.0      0\n"
            "02   1.301       192.0.2.3  12345\n"
            "\n"
            "rtt = 12.300 ( 192.0.2.9 )\n"
            "\n");
}

TEST_F(ReportTest, NoRttLineWithoutEchoesAndSendLogWithT) {
  settings.dump_send_times = 1;
  set_hop(0, ip(192, 0, 2, 1), 0.001, 0.0);
  packet_layer.send_log[0] = 1700000000.25;
  packet_layer.send_log[1] = 1700000000.2500035;
  packet_layer.send_log_count = 2;
  EXPECT_EQ(report(),
            "1700000000.250000 192.0.2.9 500 60 0\n"
            "\n"
            "00   1.000       192.0.2.1      0\n"
            "\n"
            "000 1700000000.250000\n"
            "001 1700000000.250004\n"
            "\n");
}

TEST_F(ReportTest, NoHopResponses) {
  for (int online = 0; online <= 1; ++online) {
    fresh();
    settings.online_detect = online;
    settings.dump_send_times = 1;
    packet_layer.send_log_count = 1;
    std::strcpy(analysis.anomaly_text, "3 10.0.0.1 loop\n");
    analysis.avg_rtt = 0.01;
    EXPECT_EQ(report(),
              "1700000000.250000 192.0.2.9 500 60 0\n"
              "3 10.0.0.1 loop\n"
              "# no hop reponses\n"
              "\n");
  }
}

// The detection columns from a detection state made by hand: an unmatched
// hop, a matched "lb" hop, a labelled "ub" hop (the worked example: a gap of
// 412.345 us under 60 x 500-byte load packets), a labelled "uk" hop.
TEST_F(ReportTest, DetectionColumns) {
  settings.online_detect = 1;
  set_hop(0, ip(192, 0, 2, 1), 0.001, 0.0);
  set_hop(1, ip(192, 0, 2, 5), 0.0011, 0.0003);
  set_hop(2, ip(192, 0, 2, 2), 0.001234, 0.000412345);
  set_hop(3, ip(192, 0, 2, 3), 0.001301, 0.0002);
  detect::DetectionState& d = detection;
  d.working_count = 3;
  d.working_table[0] = detect::HopEntry{};
  d.working_table[0].raw_index = 1;
  d.working_table[0].step = 300;
  d.working_table[0].status = -1;
  d.working_table[1].raw_index = 2;
  d.working_table[1].step = 412;
  d.working_table[1].status = 1;
  d.labels[1] = detect::ChokeLabel{1, true};
  d.working_table[2].raw_index = 3;
  d.working_table[2].step = 200;
  d.working_table[2].status = 0;
  d.labels[2] = detect::ChokeLabel{2, false};
  d.choke_count = 2;
  d.conf[0] = 0.5;
  d.conf[1] = 0.25;
  EXPECT_EQ(report(false),
            "1700000000.250000 192.0.2.9 500 60 0\n"
            "\n"
            "00   1.000       192.0.2.1      0      0 .   0.000 uk\n"
            "01   1.100       192.0.2.5    300    300 . 800.000 lb\n"
            "02   1.234       192.0.2.2    412    412 1 582.037 ub\n"
            "03   1.301       192.0.2.3    200    200 2   0.000 uk\n"
            "conf = 0.500 0.250\n"
            "\n");
}

TEST_F(ReportTest, HostNamesWithX) {
  settings.dns_lookup = 1;
  fake::fake_net.addresses[ip(192, 0, 2, 1)] = "r1.example.net";
  set_hop(0, ip(192, 0, 2, 1), 0.001, 0.0);
  set_hop(1, ip(192, 0, 2, 2), 0.001, 0.0);
  EXPECT_EQ(report(),
            "1700000000.250000 192.0.2.9 500 60 0\n"
            "\n"
            "00   1.000       192.0.2.1      0 r1.example.net\n"
            "01   1.000       192.0.2.2      0 192.0.2.2\n"
            "\n");
  EXPECT_EQ(fake::fake_net.reverse_lookups, 2);
  EXPECT_EQ(fake::fake_net.forward_lookups, 0);
}

// Each distinct router is looked up once, the silent hops' 0.0.0.0 too, and
// the names come out in path order; without hop lines nothing is looked up.
TEST_F(ReportTest, HostNamesLookedUpOncePerAddress) {
  settings.dns_lookup = 1;
  fake::fake_net.addresses[ip(192, 0, 2, 1)] = "r1.example.net";
  fake::fake_net.addresses[ip(192, 0, 2, 3)] = "r3.example.net";
  set_hop(0, ip(192, 0, 2, 1), 0.001, 0.0);
  analysis.max_hop = 2;  // hop 1 silent
  set_hop(2, ip(192, 0, 2, 1), 0.001, 0.0);
  set_hop(3, ip(192, 0, 2, 4), 0.001, 0.0);
  set_hop(5, ip(192, 0, 2, 3), 0.001, 0.0);  // hop 4 silent
  EXPECT_EQ(report(),
            "1700000000.250000 192.0.2.9 500 60 0\n"
            "\n"
            "00   1.000       192.0.2.1      0 r1.example.net\n"
            "01   0.000         0.0.0.0      0 0.0.0.0\n"
            "02   1.000       192.0.2.1      0 r1.example.net\n"
            "03   1.000       192.0.2.4      0 192.0.2.4\n"
            "04   0.000         0.0.0.0      0 0.0.0.0\n"
            "05   1.000       192.0.2.3      0 r3.example.net\n"
            "\n");
  EXPECT_EQ(fake::fake_net.reverse_lookups, 4);
  EXPECT_EQ(fake::count_trace("lookup"), 4);

  fake::reset_fake_net();
  reset_analysis();
  EXPECT_EQ(report(), "1700000000.250000 192.0.2.9 500 60 0\n# no hop reponses\n\n");
  EXPECT_EQ(fake::fake_net.reverse_lookups, 0);
}

// A run too short to clean leaves an empty working table; hop 0 is then
// paired with position 0, whose status is 1, and its zero gap gives an
// infinite bound.  The conf line is empty.
TEST_F(ReportTest, InfiniteBoundWithOXAndT) {
  settings.online_detect = 1;
  settings.dns_lookup = 1;
  settings.dump_send_times = 1;
  set_hop(0, ip(10, 0, 0, 1), 0.002, 0.0);
  EXPECT_EQ(report(),
            "1700000000.250000 192.0.2.9 500 60 0\n"
            "\n"
            "00   2.000        10.0.0.1      0      0 .     inf ub 10.0.0.1\n"
            "conf =\n"
            "\n"
            "\n");
}

TEST_F(ReportTest, RunDetectionLoadsTheRawTable) {
  set_hop(0, ip(10, 0, 0, 1), 0.001, 0.0012349);
  analysis.max_hop = 50;
  set_hop(50, ip(10, 0, 0, 51), 0.001, 0.5);
  run_detection();
  const detect::DetectionState& d = detection;
  EXPECT_EQ(d.raw_count, 50);  // the 51st hop has no room
  EXPECT_EQ(d.raw_table[0].gap, 1234);
  EXPECT_STREQ(d.raw_table[0].hop_key, "10.0.0.1");
  EXPECT_STREQ(d.raw_table[1].hop_key, "0.0.0.0");
  EXPECT_EQ(d.raw_table[1].gap, 0);
}

// A path whose gaps jump from about 100 to about 900 us at hop 4: the
// detection ranks that hop first, and its bound is the load over its gap.
TEST_F(ReportTest, DetectionFindsTheStep) {
  settings.online_detect = 1;
  const double gaps[] = {100e-6, 110e-6, 105e-6, 100e-6, 900e-6, 910e-6, 905e-6, 900e-6};
  for (int k = 0; k < 8; ++k) set_hop(k, ip(10, 0, 0, k + 1), 0.001, gaps[k]);
  const std::string text = report();
  EXPECT_NE(text.find("\n04   1.000        10.0.0.5    900    900 1 266.667 ub\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("\nconf = "), std::string::npos) << text;
  EXPECT_EQ(detection.labels[4].rank, 1);
}

// A step of the clock between a hop's two replies can give a gap beyond
// the 32-bit count of microseconds: it is held at the limit.
TEST_F(ReportTest, GapsBeyondThe32BitRangeAreHeldAtTheLimit) {
  settings.online_detect = 1;
  set_hop(0, ip(10, 0, 0, 1), 0.001, 3600.0);
  set_hop(1, ip(10, 0, 0, 2), 0.001, -3600.0);
  set_hop(2, ip(10, 0, 0, 3), 0.001, 2147.4000004);
  const std::string r = report();
  EXPECT_NE(r.find("\n00   1.000        10.0.0.1 2147483647"), std::string::npos) << r;
  EXPECT_NE(r.find("\n01   1.000        10.0.0.2 -2147483648"), std::string::npos) << r;
  EXPECT_EQ(detection.raw_table[0].gap, 2147483647);
  EXPECT_EQ(detection.raw_table[1].gap, -2147483647 - 1);
  EXPECT_EQ(detection.raw_table[2].gap, 2147400000);  // cut towards zero
}

}  // namespace
}  // namespace kovrin
