#include "prober/survey.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <utility>

#include "common/json.h"
#include "detect/detection.h"
#include "prober/analysis.h"
#include "prober/clock.h"
#include "prober/common.h"
#include "prober/json_report.h"
#include "prober/net.h"
#include "prober/packet.h"
#include "prober/report.h"
#include "prober/settings.h"
#include "prober/train.h"

namespace kovrin {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// The hops of the train just run, after prepare_report.
TrainResult collect_train() {
  TrainResult r;
  const AnalysisResults& a = analysis;
  if (packet_layer.send_failures > 0) {
    r.failure = "send error";
  } else if (a.max_hop == 0 && a.probe_hops[0].router == 0) {
    r.failure = "no hop answered";
  }
  if (r.failure != nullptr) return r;
  int cursor = 0;
  bool kept_before = false;
  int32_t step_before = 0;
  for (int k = 0; k <= a.max_hop; ++k) {
    const int was = cursor;
    const HopDetection h = hop_detection(k, &cursor);
    TrainHop t;
    t.router = a.probe_hops[k].router;
    t.gap_us = whole_microseconds(a.probe_hops[k].gap_sec);
    t.step = h.step;
    t.rank = h.label.rank;
    t.bound = h.bound;
    t.kind = h.kind;
    t.rate = rate_estimate_mbit(k, a.probe_hops[k].gap_sec);
    if (t.rank > 0) {
      t.conf = detection.conf[t.rank - 1];
      t.height = kept_before ? std::abs(h.step - step_before) : 0;
    }
    if (cursor != was) {  // the hop is one the cleaning kept
      kept_before = true;
      step_before = h.step;
    }
    r.hops.push_back(t);
  }
  return r;
}

// `none` for NaN, else the number with that many decimals.
const char* shown(double value, int decimals, char* buffer, size_t size, const char* none = "-") {
  if (std::isnan(value)) return none;
  std::snprintf(buffer, size, "%.*f", decimals, value);
  return buffer;
}

void json_statistic(common::JsonWriter& w, const char* key, double value, const char* format) {
  common::json_key(w, key);
  if (std::isnan(value)) {
    common::json_null(w);
  } else {
    common::json_number(w, value, format);
  }
}

// The statistics a hop has in the hop table and among the choke points.
void write_hop_statistics(common::JsonWriter& w, const SurveyHop& h) {
  json_statistic(w, "detection_rate", h.detection_rate, "%.3f");
  json_statistic(w, "rank1_rate", h.rank1_rate, "%.3f");
  json_statistic(w, "median_conf", h.median_conf, "%.3f");
  json_statistic(w, "median_step_us", h.median_height, "%.1f");
  json_statistic(w, "median_bound_mbit", h.median_bound, "%.3f");
  json_statistic(w, "median_rate_estimate_mbit", h.median_rate, "%.3f");
}

void write_survey_json(common::JsonWriter& w, const SurveySummary& s) {
  using namespace common;
  json_begin_object(w);
  json_key(w, "trains");
  json_int(w, s.trains);
  json_key(w, "worked");
  json_int(w, s.worked);
  json_key(w, "failed");
  json_begin_array(w);
  for (const FailedTrain& f : s.failed) {
    json_begin_object(w);
    json_key(w, "train");
    json_int(w, f.train);
    json_key(w, "reason");
    json_string(w, f.reason);
    json_end_object(w);
  }
  json_end_array(w);
  json_key(w, "min_rate");
  json_number(w, settings.min_rate, "%g");
  json_key(w, "min_conf");
  json_number(w, settings.min_conf, "%g");
  json_key(w, "hops");
  json_begin_array(w);
  for (const SurveyHop& h : s.hops) {
    json_begin_object(w);
    json_key(w, "hop");
    json_int(w, h.hop);
    json_address(w, "router", h.routers.empty() ? 0 : h.routers[0].router);
    json_key(w, "routers");
    json_begin_array(w);
    for (const RouterCount& r : h.routers) {
      json_begin_object(w);
      json_address(w, "router", r.router);
      json_key(w, "trains");
      json_int(w, r.trains);
      json_end_object(w);
    }
    json_end_array(w);
    json_key(w, "answered");
    json_int(w, h.answered);
    json_statistic(w, "gap_median_us", h.gap_median, "%.1f");
    json_statistic(w, "gap_q1_us", h.gap_q1, "%.1f");
    json_statistic(w, "gap_q3_us", h.gap_q3, "%.1f");
    write_hop_statistics(w, h);
    json_key(w, "choke");
    json_bool(w, h.choke);
    json_end_object(w);
  }
  json_end_array(w);
  json_key(w, "chokes");
  json_begin_array(w);
  int rank = 0;
  for (int hop : s.chokes) {
    const SurveyHop& h = s.hops[hop];
    json_begin_object(w);
    json_key(w, "rank");
    json_int(w, ++rank);
    json_key(w, "hop");
    json_int(w, h.hop);
    json_address(w, "router", h.routers.empty() ? 0 : h.routers[0].router);
    write_hop_statistics(w, h);
    json_end_object(w);
  }
  json_end_array(w);
  json_end_object(w);
}

void write_survey_settings(common::JsonWriter& w) {
  using namespace common;
  json_key(w, "survey_settings");
  json_begin_object(w);
  json_key(w, "trains");
  json_int(w, settings.trains);
  json_key(w, "pause_s");
  json_number(w, settings.pause_sec, "%g");
  json_key(w, "min_rate");
  json_number(w, settings.min_rate, "%g");
  json_key(w, "min_conf");
  json_number(w, settings.min_conf, "%g");
  json_key(w, "link_overhead");
  json_int(w, settings.link_overhead);
  json_end_object(w);
}

// Progress on standard error: on a terminal one line rewritten in place,
// with --progress elsewhere one line a train.
class Progress {
 public:
  explicit Progress(const char* label)
      : label_(label),
        terminal_(net::stderr_is_terminal()),
        on_(terminal_ || settings.progress != 0),
        start_(monotonic_time()) {}

  void train(int i, const SurveySummary* so_far) {
    if (!on_) return;
    char leading[64] = "";
    if (so_far != nullptr) {
      const SurveyHop* best = nullptr;
      for (const SurveyHop& h : so_far->hops) {
        if (h.detection_rate > 0.0 && (best == nullptr || h.rank1_rate > best->rank1_rate)) best = &h;
      }
      if (best != nullptr) {
        char dotted[kDottedSize];
        std::snprintf(leading, sizeof leading, ", leading hop %02d %s (rank 1 in %.2f)", best->hop,
                      format_ip(best->routers.empty() ? 0 : best->routers[0].router, dotted),
                      best->rank1_rate);
      }
    }
    std::fprintf(stderr, "%skovrin: %s%strain %d of %d, %.1f s%s%s", terminal_ ? "\r\033[K" : "",
                 label_ != nullptr ? label_ : "", label_ != nullptr ? ", " : "", i, settings.trains,
                 monotonic_time() - start_, leading, terminal_ ? "" : "\n");
    std::fflush(stderr);
  }

  void done() {
    if (on_ && terminal_) std::fputs("\r\033[K", stderr);
  }

 private:
  const char* label_;  // what the survey is of, in a campaign
  bool terminal_;
  bool on_;
  double start_;
};

void pause_between_trains() {
  double left = settings.pause_sec;
  while (left > 0.0) {
    const double now = left < 1.0 ? left : 1.0;
    net::pause_usec(static_cast<int>(now * 1000000.0));
    left -= now;
  }
}

}  // namespace

double median_of(std::vector<double> values) { return quantile_of(std::move(values), 0.5); }

double quantile_of(std::vector<double> values, double q) {
  if (values.empty()) return kNaN;
  std::sort(values.begin(), values.end());
  const double position = q * static_cast<double>(values.size() - 1);
  const size_t below = static_cast<size_t>(std::floor(position));
  const size_t above = below + 1 < values.size() ? below + 1 : below;
  const double share = position - static_cast<double>(below);
  return values[below] + (values[above] - values[below]) * share;
}

SurveySummary summarize_survey(const std::vector<TrainResult>& trains, double min_rate,
                               double min_conf) {
  SurveySummary s;
  s.trains = static_cast<int>(trains.size());
  size_t hop_count = 0;
  for (size_t i = 0; i < trains.size(); ++i) {
    if (trains[i].failure != nullptr) {
      s.failed.push_back(FailedTrain{static_cast<int>(i + 1), trains[i].failure});
    } else {
      ++s.worked;
      hop_count = std::max(hop_count, trains[i].hops.size());
    }
  }
  for (size_t k = 0; k < hop_count; ++k) {
    SurveyHop h;
    h.hop = static_cast<int>(k);
    std::vector<double> gaps, confs, heights, bounds, rates;
    int labelled = 0, first = 0;
    for (const TrainResult& t : trains) {
      if (t.failure != nullptr || k >= t.hops.size()) continue;
      const TrainHop& th = t.hops[k];
      if (th.router != 0) {
        auto seen = std::find_if(h.routers.begin(), h.routers.end(),
                                 [&](const RouterCount& r) { return r.router == th.router; });
        if (seen == h.routers.end()) {
          h.routers.push_back(RouterCount{th.router, 1});
        } else {
          ++seen->trains;
        }
      }
      if (th.gap_us > 0) {
        gaps.push_back(th.gap_us);
        rates.push_back(th.rate);
      }
      if (th.rank > 0) {
        ++labelled;
        confs.push_back(th.conf);
        heights.push_back(th.height);
      }
      if (th.rank == 1) ++first;
      if (th.kind[0] != 'u' || th.kind[1] != 'k') bounds.push_back(th.bound);
    }
    std::stable_sort(h.routers.begin(), h.routers.end(),
                     [](const RouterCount& a, const RouterCount& b) { return a.trains > b.trains; });
    h.answered = static_cast<int>(gaps.size());
    h.gap_median = median_of(gaps);
    h.gap_q1 = quantile_of(gaps, 0.25);
    h.gap_q3 = quantile_of(gaps, 0.75);
    h.detection_rate = static_cast<double>(labelled) / s.worked;
    h.rank1_rate = static_cast<double>(first) / s.worked;
    h.median_conf = median_of(confs);
    h.median_height = median_of(heights);
    h.median_bound = median_of(bounds);
    h.median_rate = median_of(rates);
    // NaN (never labelled) compares false.
    h.choke = h.detection_rate >= min_rate && h.median_conf >= min_conf;
    if (h.choke) s.chokes.push_back(h.hop);
    s.hops.push_back(std::move(h));
  }
  std::stable_sort(s.chokes.begin(), s.chokes.end(), [&](int a, int b) {
    const SurveyHop& x = s.hops[a];
    const SurveyHop& y = s.hops[b];
    if (x.detection_rate != y.detection_rate) return x.detection_rate > y.detection_rate;
    return x.median_height > y.median_height;
  });
  return s;
}

void write_survey_text(FILE* out, const SurveySummary& s) {
  char dotted[kDottedSize];
  std::fprintf(out, "survey of %s: %d train%s, %d worked, %zu failed; %d load packets of %d bytes, delay %d\n",
               format_ip(settings.dst_ip, dotted), s.trains, s.trains == 1 ? "" : "s", s.worked,
               s.failed.size(), settings.udp_pkt_num, settings.pkt_size, settings.delay_num);
  if (!s.failed.empty()) {
    std::fputs("failed trains:", out);
    for (size_t i = 0; i < s.failed.size(); ++i) {
      std::fprintf(out, "%s %d (%s)", i > 0 ? "," : "", s.failed[i].train, s.failed[i].reason);
    }
    std::fputs("\n", out);
  }
  std::fputs("\nhop router              answered gap_median  gap_iqr  rate rank1 conf_median step_median bound_median"
             " rate_estimate\n",
             out);
  for (const SurveyHop& h : s.hops) {
    char router[32];
    if (h.routers.empty()) {
      std::snprintf(router, sizeof router, "0.0.0.0");
    } else if (h.routers.size() == 1) {
      std::snprintf(router, sizeof router, "%s", format_ip(h.routers[0].router, dotted));
    } else {
      std::snprintf(router, sizeof router, "%s+%zu", format_ip(h.routers[0].router, dotted),
                    h.routers.size() - 1);
    }
    char b[6][32];
    std::fprintf(out, "%02d  %-19s %4d/%-4d %10s %8s %5.2f %5.2f %11s %11s %12s %13s\n", h.hop, router,
                 h.answered, s.worked, shown(h.gap_median, 0, b[0], 32),
                 shown(h.gap_q3 - h.gap_q1, 0, b[1], 32), h.detection_rate, h.rank1_rate,
                 shown(h.median_conf, 3, b[2], 32), shown(h.median_height, 0, b[3], 32),
                 shown(h.median_bound, 3, b[4], 32), shown(h.median_rate, 3, b[5], 32));
  }
  std::fprintf(out, "\nchoke points (detection rate >= %.2f, median confidence >= %.3f):", settings.min_rate,
               settings.min_conf);
  if (s.chokes.empty()) std::fputs(" none", out);
  std::fputs("\n", out);
  int rank = 0;
  for (int hop : s.chokes) {
    const SurveyHop& h = s.hops[hop];
    char b[32], r[32];
    std::fprintf(out,
                 "%d. hop %02d %s: detection rate %.2f, rank 1 in %.2f, median confidence %.3f, "
                 "median step %.0f us, median bound %s Mbit/s, rate estimate %s Mbit/s\n",
                 ++rank, h.hop, format_ip(h.routers.empty() ? 0 : h.routers[0].router, dotted),
                 h.detection_rate, h.rank1_rate, h.median_conf, h.median_height,
                 shown(h.median_bound, 3, b, sizeof b), shown(h.median_rate, 3, r, sizeof r));
  }
}

void write_survey_csv(FILE* out, const SurveySummary& s) {
  std::fputs("hop,router,routers,answered,worked,gap_median_us,gap_q1_us,gap_q3_us,detection_rate,"
             "rank1_rate,median_conf,median_step_us,median_bound_mbit,median_rate_estimate_mbit,choke\n",
             out);
  for (const SurveyHop& h : s.hops) {
    char dotted[kDottedSize];
    std::fprintf(out, "%d,%s,", h.hop, h.routers.empty() ? "" : format_ip(h.routers[0].router, dotted));
    for (size_t i = 0; i < h.routers.size(); ++i) {
      std::fprintf(out, "%s%s", i > 0 ? ";" : "", format_ip(h.routers[i].router, dotted));
    }
    char b[7][32];
    auto field = [&](int i, double v, int decimals) { return shown(v, decimals, b[i], sizeof b[i], ""); };
    std::fprintf(out, ",%d,%d,%s,%s,%s,%.3f,%.3f,%s,%s,%s,%s,%d\n", h.answered, s.worked,
                 field(0, h.gap_median, 1), field(1, h.gap_q1, 1), field(2, h.gap_q3, 1),
                 h.detection_rate, h.rank1_rate, field(3, h.median_conf, 3),
                 field(4, h.median_height, 1), field(5, h.median_bound, 3), field(6, h.median_rate, 3),
                 h.choke ? 1 : 0);
  }
}

void begin_survey_document(common::JsonWriter& w) {
  common::json_begin_object(w);
  common::json_document_head(w, "kovrin-survey", 1);
  write_survey_settings(w);
  json_address(w, "destination", settings.dst_ip);
  common::json_key(w, "trains");
  common::json_begin_array(w);
}

void write_train(common::JsonWriter& w, int train, const TrainResult& result) {
  common::json_begin_object(w);
  common::json_key(w, "train");
  common::json_int(w, train);
  common::json_key(w, "failure");
  if (result.failure == nullptr) {
    common::json_null(w);
  } else {
    common::json_string(w, result.failure);
  }
  common::json_key(w, "report");
  write_json_report_value(w);
  common::json_end_object(w);
}

void end_survey_document(common::JsonWriter& w, const SurveySummary& summary) {
  common::json_end_array(w);
  common::json_key(w, "survey");
  write_survey_json(w, summary);
  common::json_end_object(w);
}

bool run_trains(const char* label, std::vector<TrainResult>& trains, SurveySummary& summary,
                common::JsonWriter* w) {
  Progress progress(label);
  for (int i = 0; i < settings.trains; ++i) {
    progress.train(i + 1, i > 0 ? &summary : nullptr);
    if (i > 0) {
      pause_between_trains();
      start_next_train();
    }
    probe_once();
    prepare_report();
    trains.push_back(collect_train());
    if (w != nullptr) write_train(*w, i + 1, trains.back());
    summary = summarize_survey(trains, settings.min_rate, settings.min_conf);
    // A stop signal ends the survey after the train it came in.
    if (net::stop_requested() && i + 1 < settings.trains) {
      progress.done();
      return false;
    }
  }
  progress.done();
  return true;
}

int run_survey() {
  common::JsonWriter w;
  if (settings.json_output) {
    common::json_start(w, stdout);
    begin_survey_document(w);
  }
  std::vector<TrainResult> trains;
  SurveySummary summary;
  run_trains(nullptr, trains, summary, settings.json_output ? &w : nullptr);
  if (settings.json_output) {
    end_survey_document(w, summary);
    common::json_finish(w);
  } else if (settings.csv_output) {
    write_survey_csv(stdout, summary);
  } else {
    write_survey_text(stdout, summary);
  }
  return kExitOk;
}

}  // namespace kovrin
