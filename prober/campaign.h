// Campaigns (--trains N --targets FILE): a survey of every destination of
// a file, in the file's order, written as JSON Lines on standard output —
// one line, one object, per destination:
//
//   {"schema": "kovrin-campaign", "schema_version": 1, "target": TEXT,
//    "destination": ADDR or null, "error": null or TEXT,
//    "survey": the kovrin-survey document or null, "complete": BOOL}
//
// The targets file holds one destination (dotted address or host name) a
// line; blank lines and everything from a '#' on are passed over.  A name
// that does not resolve gets its line with "error" and no survey, and the
// campaign goes on.  SIGINT or SIGTERM ends the campaign after the train
// it comes in: the destination's line is written with the trains run so
// far and "complete": false, and kovrin exits with kExitInterrupted.  With
// --resume FILE the destinations whose line in FILE (an earlier campaign's
// output) says "complete": true are passed over.
#ifndef KOVRIN_PROBER_CAMPAIGN_H_
#define KOVRIN_PROBER_CAMPAIGN_H_

#include <cstdio>
#include <set>
#include <string>
#include <vector>

namespace kovrin {

// The most characters a destination may have.
constexpr size_t kMaxTargetLength = 255;

// Reads the destinations of a targets file.  On a line too long, returns
// false with *error saying so ("LINE: ..."), on a failed read with " " and
// the system's message.
bool read_targets(FILE* file, std::vector<std::string>* targets, std::string* error);

// The targets an earlier campaign's output lists as complete; lines that
// are not complete campaign objects (a line cut short) count for none.
// *cut tells whether the file ends inside a line (a campaign killed while
// writing); *read_error is the errno of a failed read, else 0.
std::set<std::string> complete_targets(FILE* file, bool* cut = nullptr, int* read_error = nullptr);

// The whole campaign; the sockets are open.  Returns the exit status.
int run_campaign();

}  // namespace kovrin

#endif  // KOVRIN_PROBER_CAMPAIGN_H_
