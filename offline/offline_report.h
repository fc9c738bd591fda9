// The result table of kovrin-detect.
#ifndef KOVRIN_OFFLINE_OFFLINE_REPORT_H_
#define KOVRIN_OFFLINE_OFFLINE_REPORT_H_

#include <cstdint>
#include <cstdio>

#include "detect/detection.h"

namespace offline {

// Prints one line per raw hop (measured gap, cleaned gap, label, rtt, addr,
// extra, bandwidth bound, status word, hop key) and the confidence line,
// from the state as the detection pass left it.  The bound divides by the
// cleaned gap (bound_from_cleaned_gap); a raw hop that cleaning removed
// shows 0.000 and "uk".
void print_offline_report(FILE* out, const detect::DetectionState& state,
                          int32_t pkt_size, int32_t udp_pkt_num);

// The same report as one JSON document (--json): the listing's own fields
// and the detection's for every hop, the confidences, and whether the
// listing was read in full.  Schema: schema/kovrin-report.schema.json.
void print_offline_json(FILE* out, const detect::DetectionState& state, int32_t pkt_size,
                        int32_t udp_pkt_num, bool read_in_full);

}  // namespace offline

#endif  // KOVRIN_OFFLINE_OFFLINE_REPORT_H_
