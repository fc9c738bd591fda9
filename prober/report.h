// The probe report and the hand-off of the measured gaps to the gap-step
// detection.
#ifndef KOVRIN_PROBER_REPORT_H_
#define KOVRIN_PROBER_REPORT_H_

#include <cstdint>
#include <cstdio>

#include "detect/detection.h"

namespace kovrin {

// The detection's state of this run.  Its fit scratch table lives in static
// storage inside report.cc (about 1 MB, never on the stack).
extern detect::DetectionState detection;

// Loads the raw table from the per-hop results (hops 0 to max_hop, at most
// the table's 50) and runs the detection.
void run_detection();

// Writes the report to out: summary, anomaly lines, hop lines (with the
// detection columns for -o and host names for -x), the conf line, the rtt
// line and, for -t, the send log.  Runs the detection first with -o, and
// with -x looks up the routers' names first, concurrently.
void print_report(FILE* out = stdout);

// What print_report does before it writes: the detection with -o, the
// names with -x.
void prepare_report();

// The report alone, from the detection state as it stands.
void write_report(FILE* out);

// Seconds as whole microseconds, cut towards zero; beyond the 32-bit range
// held at its ends (a clock step between a hop's two replies).
int32_t whole_microseconds(double seconds);

// The detection columns of one hop, as both reports show them.
struct HopDetection {
  int32_t step;              // cleaned gap; 0 for a hop the cleaning left out
  detect::ChokeLabel label;  // rank 0 for none
  double bound;              // Mbit/s from the measured gap; 0.0 for kind "uk"
  const char* kind;          // "ub", "lb" or "uk"
};

// The detection columns of hop k.  Hops are taken in path order with one
// cursor into the working table, which starts at 0; the cursor walks
// positions past working_count too (they are zero) and never passes the
// table's end.
HopDetection hop_detection(int k, int* cursor);

// The host name shown for hop k with -x: the reverse lookup of its router,
// or its dotted address when that finds nothing, as print_report looked it
// up (all hops at once, before writing).
const char* hop_name(int k);

}  // namespace kovrin

#endif  // KOVRIN_PROBER_REPORT_H_
