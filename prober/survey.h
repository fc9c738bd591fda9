// Surveys (--trains N): several trains to one destination, each a whole
// train with its analysis and detection, and a report over them.  One train
// is one noisy sample; a hop counts as a choke point of the path when it
// carries a choke label in at least min_rate of the trains that worked (its
// detection rate) and the median confidence of those labels is at least
// min_conf.
//
// Statistics: medians are the middle value (the mean of the two middle
// values for an even count); the quartiles of the interquartile range
// interpolate linearly between the sorted values (position q x (n - 1)).
#ifndef KOVRIN_PROBER_SURVEY_H_
#define KOVRIN_PROBER_SURVEY_H_

#include <cstdint>
#include <cstdio>
#include <vector>

#include "common/json.h"

namespace kovrin {

// One hop of one train, as the survey keeps it.
struct TrainHop {
  uint32_t router = 0;   // network byte order; 0 when no router answered
  int32_t gap_us = 0;    // the measured gap
  int32_t step = 0;      // the cleaned gap; 0 for a hop that cleaning left out
  int32_t rank = 0;      // the choke label's rank, 0 for none
  double conf = 0.0;     // the label's confidence
  int32_t height = 0;    // the label's step: how far the cleaned gap moves there, µs
  double bound = 0.0;    // Mbit/s, from the measured gap; 0.0 for kind "uk"
  const char* kind = "uk";
  double rate = 0.0;     // the rate estimate, Mbit/s; 0.0 without a gap
};

// What one train gave.
struct TrainResult {
  const char* failure = nullptr;  // why the train counts as failed; nullptr when it worked
  std::vector<TrainHop> hops;     // hops 0 to max_hop (none for a failed train)
};

struct RouterCount {
  uint32_t router;
  int trains;
};

// One hop over the trains that worked.  A statistic without any value to
// take (a hop that never answered, one that never carried a label) is NaN.
struct SurveyHop {
  int hop = 0;
  std::vector<RouterCount> routers;  // the routers that answered, most trains first
  int answered = 0;                  // trains with a gap at this hop
  double gap_median = 0.0, gap_q1 = 0.0, gap_q3 = 0.0;  // µs, of those gaps
  double detection_rate = 0.0;       // share of the trains with any choke label here
  double rank1_rate = 0.0;           // share with rank 1 here
  double median_conf = 0.0;          // of the labels here
  double median_height = 0.0;        // of their steps, µs
  double median_bound = 0.0;         // Mbit/s, of the trains with a bound (kind ub or lb)
  double median_rate = 0.0;          // Mbit/s, the rate estimates of the trains with a gap
  bool choke = false;
};

struct FailedTrain {
  int train;  // from 1
  const char* reason;
};

struct SurveySummary {
  int trains = 0;
  int worked = 0;
  std::vector<FailedTrain> failed;
  std::vector<SurveyHop> hops;  // hop 0 to the deepest hop of any train that worked
  std::vector<int> chokes;      // the choke points' hop numbers: by detection
                                // rate, then median step height, highest first
};

// The survey over the trains, in train order.
SurveySummary summarize_survey(const std::vector<TrainResult>& trains, double min_rate,
                               double min_conf);

double median_of(std::vector<double> values);
// The q-quantile (0 <= q <= 1) by linear interpolation; NaN for no values.
double quantile_of(std::vector<double> values, double q);

// The survey's report on out: the hop table and the choke points for
// people, or with --csv the hop table as CSV.
void write_survey_text(FILE* out, const SurveySummary& summary);
void write_survey_csv(FILE* out, const SurveySummary& summary);

// The survey's trains to settings.dst_ip, one after another; after each
// the summary so far is in `summary` and, with w, the train (its number,
// failure and whole report) is written into w's open "trains" array.
// `label` names the survey in the progress lines (nullptr: none).  When a
// stop signal came (net::stop_requested) the survey ends after the train it
// came in and false is returned.
bool run_trains(const char* label, std::vector<TrainResult>& trains, SurveySummary& summary,
                common::JsonWriter* w);

// The kovrin-survey document as a value of w: begin_survey_document up to
// the open "trains" array, end_survey_document from its end on.
void begin_survey_document(common::JsonWriter& w);
void end_survey_document(common::JsonWriter& w, const SurveySummary& summary);

// The whole survey of settings.trains trains to settings.dst_ip, from the
// first train to the report; the sockets are open and the packet template
// made.  Returns the exit status.
int run_survey();

}  // namespace kovrin

#endif  // KOVRIN_PROBER_SURVEY_H_
