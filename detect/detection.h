// Gap-step detection: the hop tables, their cleaning, the step fit, the choke
// point labels and the hop statuses.  Shared by kovrin and kovrin-detect.
//
// One detection run: reset_detection (the prober), a loader fills
// raw_table/raw_count, then detect_chokes runs the whole pass — clean_hops;
// only if that succeeded fit_steps and select_chokes on one FitTable; then,
// in every case, the status pass assess_hops.  The reports print from the
// state as the pass left it.
#ifndef KOVRIN_DETECT_DETECTION_H_
#define KOVRIN_DETECT_DETECTION_H_

#include <cstdint>

namespace detect {

// Capacity of the raw and the working hop table.
constexpr int kMaxHops = 50;
// Field sizes of the HopEntry texts, NUL included.
constexpr int kAddrSize = 16;
constexpr int kExtraSize = 128;
constexpr int kHopKeySize = 256;
// A label's printed form ("(1)", "[3]") fits kLabelSize bytes, NUL included.
constexpr int kLabelSize = 10;
// Confidence slots; the rank r uses slot r - 1.
constexpr int kConfSlots = 6;
// Two neighbouring steps must differ by more than this many microseconds.
constexpr double kMinStep = 100.0;

// One hop of the detection.  Entries are copied whole when they move.
struct HopEntry {
  double rtt;                  // round-trip time as loaded; only printed
  int32_t gap;                 // measured gap, microseconds
  int32_t step;                // cleaned gap, microseconds (0 until cleaned)
  int32_t status;              // 1 "ub", 0 "uk", -1 "lb"
  char addr[kAddrSize];        // only printed
  char extra[kExtraSize];      // only printed
  char hop_key[kHopKeySize];   // identifies the router
  int32_t raw_index;           // working entries: position in raw_table
};

// The choke point label of a working entry: the rank 1 to 3 of the step that
// begins there (0: no label) and its form.  "(r)" marks a step at the last
// entry or one directly followed by another ranked step, "[r]" a step that
// stands alone.
struct ChokeLabel {
  int32_t rank;  // 0 = none
  bool paired;   // printed "(r)" rather than "[r]"
};

// Everything one detection run reads and writes.  A zero-initialised value is
// the empty state that every program starts from.
struct DetectionState {
  HopEntry raw_table[kMaxHops];
  int32_t raw_count;
  HopEntry working_table[kMaxHops];
  int32_t working_count;
  // Slot w labels working entry w.
  ChokeLabel labels[kMaxHops];
  int32_t choke_count;
  double conf[kConfSlots];
};

// Empties the whole state: entries zero, texts empty, no labels, counts 0,
// confidences 0.0.
void reset_detection(DetectionState& state);

// Fills order[0..n-1] with the indices of values[0..n-1] by descending key,
// the key being the value truncated to a 32-bit integer; equal keys keep
// ascending index order.  1 <= n <= kMaxHops; every key must be 0 or more.
void rank_descending(const double* values, int n, int* order);

// Rebuilds the working table from the raw table: repeated routers and gaps
// below 1 removed, then small gaps lifted and single spikes and dips
// flattened into `step`.  Returns false when fewer than 4 entries are
// available (before or after the removals); fitting must then be skipped.
bool clean_hops(DetectionState& state);

// One step function over a range of consecutive working entries.
struct FitCell {
  double cost;        // sum of |value - mean of its segment|
  double last_mean;   // mean of the last segment
  double first_mean;  // mean of the first segment
  uint64_t changes;   // bit s: a segment ends at entry s, the next starts at s+1
};

// Scratch table of the step fit.  Logically a 50 x 50 x 50 array of FitCell
// indexed (first entry i, last entry j, change budget k).  A range of c
// entries never gains from a budget above c - 1, so only budgets k <= j - i
// are stored and fit_cell() answers larger budgets from k = j - i.  The cells
// are kept as structure of arrays, and the two numbers that the fit's inner
// loop reads of right-hand parts once more in an order where consecutive
// start entries lie side by side: about 1 MB.  Allocate it once.
struct FitTable {
  // Cells (i, j, k) with k <= j - i < kMaxHops, plus padding so that vector
  // loads past a row's end stay inside the arrays.
  static constexpr int kCells = kMaxHops * (kMaxHops + 1) * (kMaxHops + 2) / 6;
  static constexpr int kPad = 8;

  // Rows (i, k) over j.
  double cost[kCells + kPad];
  double last_mean[kCells + kPad];
  double first_mean[kCells + kPad];
  uint64_t changes[kCells + kPad];
  // Rows (j, k) over i.
  double right_cost[kCells + kPad];
  double right_first_mean[kCells + kPad];
};

// Fills `table` with the step fits of every range of the working table's
// steps and every useful budget.  Requires 4 <= working_count <= 50 (that is,
// a successful clean_hops).  Allocates nothing.
void fit_steps(const DetectionState& state, FitTable& table);

// Cell (i, j, k) of the fit, 0 <= i <= j < kMaxHops, 0 <= k < kMaxHops, as
// filled by the last fit_steps over a table of at least j + 1 entries.
FitCell fit_cell(const FitTable& table, int i, int j, int k);

// Ranks the change positions of the final fit by step height and labels the
// three highest; slot 0 gets rank 1 alone ("[1]") when the fit has no change.
// Expects every label slot empty.
void select_chokes(DetectionState& state, const FitTable& table);

// The printed form of a label, "(r)" or "[r]", or "" for none, written into
// out (kLabelSize bytes); returns out.
const char* format_label(const ChokeLabel& label, char* out);

// The walk that pairs raw entries with working entries.  Start with cursor 0;
// raw entry i is matched when working_matches(state, w, i), and after a
// matched entry the cursor moves on with advance_cursor().  The cursor never
// passes working_count - 1 and stays at 0 for an empty working table.
bool working_matches(const DetectionState& state, int w, int raw_position);
int advance_cursor(const DetectionState& state, int w);

// The status pass: every working entry met by the walk gets its status
// (1 the first, else 1 where the cleaned gap rises at a label, 0 where it
// falls there, -1 elsewhere), every labelled one its confidence in
// conf[rank - 1], and choke_count counts them.  Expects choke_count 0 and
// conf all 0.0.
void assess_hops(DetectionState& state);

// The whole detection pass over a loaded raw table.
void detect_chokes(DetectionState& state, FitTable& table);

// "ub" (1), "lb" (-1) or "uk" (anything else): a status as the reports show it.
const char* status_word(int32_t status);

// Bandwidth bounds in Mbit/s: the load block's bits, udp_pkt_num x pkt_size
// x 8, over the time it took to pass the hop.  kovrin divides by the gap it
// measured (in seconds, as the analysis keeps it); kovrin-detect, which only
// has a listing, by the cleaned gap (in microseconds).  The two differ where
// cleaning changed the gap (a lifted small gap, a flattened spike or dip),
// and a cleaned gap of 0 gives an infinite bound.
double bound_from_measured_gap(int32_t pkt_size, int32_t udp_pkt_num, double gap_sec);
double bound_from_cleaned_gap(int32_t pkt_size, int32_t udp_pkt_num, int32_t step);

}  // namespace detect

#endif  // KOVRIN_DETECT_DETECTION_H_
