// kovrin-detect: the gap-step detection over a hop listing measured earlier.
//
//   kovrin-detect LISTING PKT_SIZE LOAD_PACKETS
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "common/exit_status.h"
#include "detect/detection.h"
#include "offline/listing.h"
#include "offline/offline_report.h"

namespace {

detect::DetectionState state;
detect::FitTable fit_table;

// atoi's reading of a number, held within the 32-bit range.
int32_t parse_count(const char* text) {
  const long long value = std::strtoll(text, nullptr, 10);
  if (value > INT32_MAX) return INT32_MAX;
  if (value < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(value);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::printf("wrong command line\n");
    return common::kExitUsage;
  }
  FILE* file = std::fopen(argv[1], "r");
  if (file == nullptr) common::fatal("file open error");
  const int32_t pkt_size = parse_count(argv[2]);
  const int32_t udp_pkt_num = parse_count(argv[3]);

  offline::open_listing(file, argv[1]);
  const bool read_in_full = offline::load_hops(state);
  detect::detect_chokes(state, fit_table);
  offline::print_offline_report(stdout, state, pkt_size, udp_pkt_num);

  return common::finish_output("kovrin-detect",
                               read_in_full ? common::kExitOk : common::kExitPartial);
}
