#include "offline/saved_report.h"

#include <gtest/gtest.h>

#include <string>

namespace offline {
namespace {

SavedReport parsed(const std::string& text) {
  SavedReport report;
  ReportError error;
  EXPECT_TRUE(parse_saved_report(text, report, error)) << error.line << ": " << error.what;
  return report;
}

TEST(SavedReport, TextReportWithDebugLinesAnomaliesDetectionAndNames) {
  const SavedReport r = parsed(
      "probe_once() with [40 0]\n"
      "3 0 1700000000.250100 10.73.3.2\n"
      "1700000000.250000 192.0.2.9 1000 40 0\n"
      "7 192.0.2.3 loop\n"
      "2 192.0.2.77 192.0.2.2\n"
      "\n"
      "00   1.234       192.0.2.1    412    412 . 582.037 ub gw.example\n"
      "01   0.000         0.0.0.0      0      0 .   0.000 uk 0.0.0.0\n"
      "02   1.301       192.0.2.3 2147483647 2147483647 1     inf lb r3\n"
      "conf = 0.956\n"
      "\n"
      "rtt = 1.734 ( 192.0.2.9 )\n"
      "\n");
  EXPECT_EQ(r.pkt_size, 1000);
  EXPECT_EQ(r.udp_pkt_num, 40);
  ASSERT_EQ(r.hops.size(), 3u);
  EXPECT_EQ(r.hops[0].gap_us, 412);
  EXPECT_DOUBLE_EQ(r.hops[0].rtt_ms, 1.234);
  EXPECT_EQ(r.hops[0].router, "192.0.2.1");
  EXPECT_EQ(r.hops[0].name, "gw.example");
  EXPECT_EQ(r.hops[1].router, "0.0.0.0");
  EXPECT_EQ(r.hops[2].gap_us, 2147483647);
  EXPECT_EQ(r.hops[2].name, "r3");
}

TEST(SavedReport, TextReportWithoutDetectionColumns) {
  // A name is all that follows the gap; CR LF line endings are read too.
  const SavedReport r = parsed(
      "1.500000 192.0.2.9 500 60 3\r\n\r\n"
      "00   0.210        10.0.1.1   1189 10.0.1.1\r\n"
      "01   0.410        10.0.1.2   -12 r2.example\r\n\r\n");
  ASSERT_EQ(r.hops.size(), 2u);
  EXPECT_EQ(r.hops[1].gap_us, -12);
  EXPECT_EQ(r.hops[1].name, "r2.example");
  EXPECT_EQ(parsed("1.5 192.0.2.9 500 60 0\n\n00 0.2 10.0.1.1 1189\n\n").hops[0].name, "");
}

TEST(SavedReport, NoHopAnsweredGivesTheDetectionOneEmptyHop) {
  const SavedReport r = parsed("1.500000 192.0.2.9 500 60 0\n# no hop reponses\n\n");
  EXPECT_TRUE(r.hops.empty());
  detect::DetectionState state;
  load_saved_hops(r, "r", state);
  EXPECT_EQ(state.raw_count, 1);
  EXPECT_EQ(state.raw_table[0].gap, 0);
  EXPECT_STREQ(state.raw_table[0].hop_key, "0.0.0.0");
}

TEST(SavedReport, TextThatIsNoReportIsRefusedWithItsLine) {
  const std::string head = "1.500000 192.0.2.9 500 60 0\n";
  struct Case {
    std::string text;
    int line;
    const char* what;
  };
  const Case cases[] = {
      {"", 0, "no summary line (start time, destination, packet size, load packets, delay): not a kovrin report"},
      {"1 100 a b k\n", 0, "no summary line (start time, destination, packet size, load packets, delay): not a kovrin report"},
      {head + "7 192.0.2.3 lop\n\n", 2, "neither an anomaly line nor the end of them"},
      {head, 2, "the report ends before its hop lines"},
      {head + "\n00 0.2 10.0.1.1 1189\n", 4, "the report ends inside its hop lines (cut short?)"},
      {head + "\n00 0.2 10.0.1.1 1189 1189 . 1.0 ub\nconf = 1.000\n", 5, "the empty line after the conf line is missing"},
      {head + "\n\n", 3, "no hop lines"},
      {head + "\n01 0.2 10.0.1.1 1189\n\n", 3, "not the hop line that comes next (hop, rtt, router, gap, name)"},
      {head + "\n00 0.2 10.0.1.1 1189\n00 0.2 10.0.1.1 1189\n\n", 4, "not the hop line that comes next (hop, rtt, router, gap, name)"},
      {head + "\n00 0.2 10.0.1.x 1189\n\n", 3, "not the hop line that comes next (hop, rtt, router, gap, name)"},
      {head + "\n00 0.2 10.0.1.1 2147483648\n\n", 3, "not the hop line that comes next (hop, rtt, router, gap, name)"},
      {head + "\n0 0.2 10.0.1.1 1189\n\n", 3, "not the hop line that comes next (hop, rtt, router, gap, name)"},
      {head + "\n00 0.2 10.0.1.1 1189 1189 . 1.0 xx\nconf =\n\n", 3,
       "not the hop line that comes next (hop, rtt, router, gap, detection columns, name)"},
      {head + "\n00 0.2 10.0.1.1 1189\nconf =\n\n", 3,
       "not the hop line that comes next (hop, rtt, router, gap, detection columns, name)"},
  };
  for (const Case& c : cases) {
    SavedReport r;
    ReportError error;
    EXPECT_FALSE(parse_saved_report(c.text, r, error)) << c.text;
    EXPECT_EQ(error.line, c.line) << c.text;
    EXPECT_EQ(error.what, c.what) << c.text;
  }
}

const char* const kJson =
    R"({"schema": "kovrin-report", "schema_version": 1,
        "settings": {"pkt_size": 1000, "udp_pkt_num": 40},
        "hops": [{"hop": 0, "router": "10.0.1.1", "name": "gw\udcff", "head_rtt_ms": 0.21, "gap_us": 1189},
                 {"hop": 1, "router": null, "head_rtt_ms": null, "gap_us": 0}]})";

TEST(SavedReport, JsonReport) {
  const SavedReport r = parsed(std::string("\n ") + kJson);
  EXPECT_EQ(r.pkt_size, 1000);
  EXPECT_EQ(r.udp_pkt_num, 40);
  ASSERT_EQ(r.hops.size(), 2u);
  EXPECT_EQ(r.hops[0].name, "gw\xff");
  EXPECT_DOUBLE_EQ(r.hops[0].rtt_ms, 0.21);
  EXPECT_EQ(r.hops[1].router, "0.0.0.0");
  EXPECT_EQ(r.hops[1].rtt_ms, 0.0);
}

TEST(SavedReport, JsonThatIsNoReportIsRefused) {
  auto with = [](const std::string& from, const std::string& to) {
    std::string text = kJson;
    text.replace(text.find(from), from.size(), to);
    return text;
  };
  struct Case {
    std::string text;
    const char* what;
  };
  const Case cases[] = {
      {"{", "a member name should be here at byte 2"},
      {with("kovrin-report", "kovrin-detect-report"), "not a kovrin report (its \"schema\" is not \"kovrin-report\")"},
      {with("\"schema_version\": 1", "\"schema_version\": 2"), "schema version 2 is newer than this program reads (1)"},
      {with("\"schema_version\": 1", "\"schema_version\": \"1\""), "\"schema_version\" is missing or not a whole number"},
      {with("\"pkt_size\": 1000", "\"pkt_size\": 1000.5"), "\"settings\" lacks \"pkt_size\" or \"udp_pkt_num\""},
      {with("\"hops\": [", "\"hop\": ["), "no \"hops\" array"},
      {with("\"hop\": 1", "\"hop\": 2"), "hops[1]: \"hop\" is not 1"},
      {with("\"gap_us\": 0", "\"gap_us\": 2147483648"), "hops[1]: \"gap_us\" is missing or not a 32-bit whole number"},
      {with("\"router\": null", "\"router\": \"10.0.1\""), "hops[1]: \"router\" is neither null nor a dotted address"},
  };
  for (const Case& c : cases) {
    SavedReport r;
    ReportError error;
    EXPECT_FALSE(parse_saved_report(c.text, r, error)) << c.text;
    EXPECT_EQ(error.line, 0);
    EXPECT_EQ(error.what, c.what) << c.text;
  }
}

TEST(SavedReport, LoadingKeepsFiftyHopsAndCutsLongNamesAloud) {
  SavedReport r;
  for (int k = 0; k < 51; ++k) {
    SavedHop hop;
    hop.gap_us = 100 + k;
    hop.router = "10.0.0." + std::to_string(k + 1);
    r.hops.push_back(hop);
  }
  r.hops[3].name = std::string(200, 'n');
  detect::DetectionState state;
  testing::internal::CaptureStderr();
  load_saved_hops(r, "saved.txt", state);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "kovrin-detect: saved.txt: hop 3: host name cut to 127 bytes\n"
            "kovrin-detect: saved.txt: hops 50 to 50 left out: the detection takes 50 hops\n");
  EXPECT_EQ(state.raw_count, 50);
  EXPECT_EQ(state.raw_table[49].gap, 149);
  EXPECT_STREQ(state.raw_table[49].hop_key, "10.0.0.50");
  EXPECT_STREQ(state.raw_table[49].addr, "10.0.0.50");
  EXPECT_EQ(std::string(state.raw_table[3].extra), std::string(127, 'n'));
}

}  // namespace
}  // namespace offline
