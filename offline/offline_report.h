// The result table of kovrin-detect.
#ifndef KOVRIN_OFFLINE_OFFLINE_REPORT_H_
#define KOVRIN_OFFLINE_OFFLINE_REPORT_H_

#include <cstdint>
#include <cstdio>

#include "detect/detection.h"

namespace offline {

// Prints one line per raw hop (measured gap, cleaned gap, label, rtt, addr,
// extra, bandwidth bound, "ub"/"lb"/"uk", hop key) and the confidence line.
// Runs the status pass itself, with a count and confidences of its own, and
// writes the status of every working entry it meets.  The bound is
// udp_pkt_num x pkt_size x 8 / step, in Mbit/s.
void print_offline_report(FILE* out, detect::DetectionState& state,
                          int32_t pkt_size, int32_t udp_pkt_num);

}  // namespace offline

#endif  // KOVRIN_OFFLINE_OFFLINE_REPORT_H_
