// Feeds arbitrary bytes through the hop listing reader, the whole detection
// and the offline report, text and JSON (which must always parse).  The
// first four bytes, when present, choose the packet size and the load
// packet count.  The same bytes then go through the reader of saved kovrin
// reports (text and JSON), and what it reads through the detection and
// both reports again.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>

#include "detect/detection.h"
#include "offline/listing.h"
#include "offline/offline_report.h"
#include "offline/saved_report.h"
#include "tests/json_syntax.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static auto state = std::make_unique<detect::DetectionState>();
  static auto table = std::make_unique<detect::FitTable>();
  static FILE* sink = std::fopen("/dev/null", "w");

  int32_t pkt_size = 500, udp_pkt_num = 60;
  if (size >= 4) {
    int16_t a, b;
    std::memcpy(&a, data, 2);
    std::memcpy(&b, data + 2, 2);
    pkt_size = a;
    udp_pkt_num = b;
  }

  detect::reset_detection(*state);
  FILE* file = size > 0 ? fmemopen(const_cast<uint8_t*>(data), size, "r")
                        : std::fopen("/dev/null", "r");
  if (file == nullptr) return 0;
  offline::open_listing(file, "fuzz");
  const bool read_in_full = offline::load_hops(*state);
  std::fclose(file);
  detect::detect_chokes(*state, *table);
  offline::print_offline_report(sink, *state, pkt_size, udp_pkt_num);

  // The JSON report of every input must be one valid JSON document.
  json_syntax::require_valid([&](FILE* out) {
    offline::print_offline_json(out, *state, pkt_size, udp_pkt_num, read_in_full);
  });

  offline::SavedReport report;
  offline::ReportError error;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  if (!offline::parse_saved_report(text, report, error)) return 0;
  offline::load_saved_hops(report, "fuzz", *state);
  detect::detect_chokes(*state, *table);
  offline::print_offline_report(sink, *state, report.pkt_size, report.udp_pkt_num);
  json_syntax::require_valid([&](FILE* out) {
    offline::print_offline_json(out, *state, report.pkt_size, report.udp_pkt_num, true);
  });
  return 0;
}
