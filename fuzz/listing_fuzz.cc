// Feeds arbitrary bytes through the hop listing reader, the whole detection
// and the offline report.  The first four bytes, when present, choose the
// packet size and the load packet count.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>

#include "detect/detection.h"
#include "offline/listing.h"
#include "offline/offline_report.h"

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
  offline::load_hops(*state);
  std::fclose(file);
  detect::detect_chokes(*state, *table);
  offline::print_offline_report(sink, *state, pkt_size, udp_pkt_num);
  return 0;
}
