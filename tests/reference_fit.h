// A plain transcription of the step fit and the choke point selection over a
// full 50 x 50 x 50 table, kept obviously right rather than fast.  The tests
// check the production code against it and the benchmarks time it.
#ifndef KOVRIN_TESTS_REFERENCE_FIT_H_
#define KOVRIN_TESTS_REFERENCE_FIT_H_

#include "detect/detection.h"

namespace reference {

using detect::kMaxHops;

struct Table {
  detect::FitCell cell[kMaxHops][kMaxHops][kMaxHops];  // (i, j, k)
};

// Clears the table and fills it for the working table's steps.
void fit_steps(const detect::DetectionState& state, Table& table);

// Writes the choke point labels from a filled table.
void select_chokes(detect::DetectionState& state, const Table& table);

}  // namespace reference

#endif  // KOVRIN_TESTS_REFERENCE_FIT_H_
