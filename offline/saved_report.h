// Reading a saved kovrin report back for the detection: the report as
// kovrin prints it, or its --json document.
//
// The detection gets what the prober's -o gave it for the same run: each
// hop's gap in whole microseconds and its router as the hop key (0.0.0.0 for
// a hop no router answered), at most kMaxHops hops, and the packet size and
// load packet count of the run.  The head round-trip time, the router and a
// -x host name come along for the table (rtt, addr and extra).
#ifndef KOVRIN_OFFLINE_SAVED_REPORT_H_
#define KOVRIN_OFFLINE_SAVED_REPORT_H_

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "detect/detection.h"

namespace offline {

// A report is read whole; a larger input is no report of kovrin's (one,
// debug lines and send log included, is well under 1 MiB).
constexpr size_t kMaxReportBytes = 4 << 20;

struct SavedHop {
  int32_t gap_us = 0;
  double rtt_ms = 0.0;  // the head reply's round trip; 0.0 for none
  std::string router;   // dotted; 0.0.0.0 when no router answered
  std::string name;     // the -x host name; empty without -x
};

struct SavedReport {
  int32_t pkt_size = 0;
  int32_t udp_pkt_num = 0;
  std::vector<SavedHop> hops;  // hop k at position k; none for "no hop reponses"
};

// What makes a report unreadable, and on which line of a text report (0 for
// none, and for JSON, whose messages end in "at byte N" where they can).
struct ReportError {
  int line = 0;
  std::string what;
};

// Parses a report held in `text`: JSON when its first byte other than white
// space is '{', else the text report, where the lines ahead of the summary
// line (what -d and -v print first) are passed over.  Returns false with
// `error` set when it is no report this program reads.
bool parse_saved_report(std::string_view text, SavedReport& report, ReportError& error);

// Reads the whole report from `file` (named `name` in messages) and parses
// it.  What is wrong is reported on standard error as
// "kovrin-detect: NAME[:LINE]: ..."; returns false then.
bool read_saved_report(FILE* file, const char* name, SavedReport& report);

// Fills raw_table and raw_count as the prober fills them for its -o: one
// entry per hop, or a single empty hop when the report has none.  A hop name
// longer than the extra field is cut, and hops past kMaxHops are left out,
// each said on standard error ("kovrin-detect: NAME: ...").
void load_saved_hops(const SavedReport& report, const char* name, detect::DetectionState& state);

}  // namespace offline

#endif  // KOVRIN_OFFLINE_SAVED_REPORT_H_
