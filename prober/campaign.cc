#include "prober/campaign.h"

#include <arpa/inet.h>

#include <cerrno>
#include <cstring>
#include <string_view>

#include "common/json.h"
#include "common/json_read.h"
#include "prober/common.h"
#include "prober/json_report.h"
#include "prober/net.h"
#include "prober/packet.h"
#include "prober/settings.h"
#include "prober/survey.h"

namespace kovrin {

namespace {

constexpr char kLinePrefix[] = "{\"schema\":\"kovrin-campaign\",\"schema_version\":1,\"program_version\":";
constexpr char kCompleteEnd[] = ",\"complete\":true}";
// What a resume keeps of a line: its start (up to the target's end, the
// program version before it included) and its end.
constexpr size_t kKeptPrefix = sizeof kLinePrefix + 6 * kMaxTargetLength + 64;
constexpr size_t kKeptEnd = sizeof kCompleteEnd;

FILE* open_input(const char* name) { return std::strcmp(name, "-") == 0 ? stdin : std::fopen(name, "r"); }

// The JSON string that starts text (at its quote), decoded; returns the
// bytes it takes, or 0 when text starts with none.
size_t leading_string(std::string_view text, std::string* out) {
  if (text.empty() || text[0] != '"') return 0;
  for (size_t i = 1; i < text.size(); ++i) {
    if (text[i] == '\\') {
      ++i;
    } else if (text[i] == '"') {
      common::JsonValue v;
      std::string error;
      if (!common::json_parse(text.substr(0, i + 1), v, error)) return 0;
      *out = v.text;
      return i + 1;
    }
  }
  return 0;
}

// The target of a campaign line's start: the head members up to it, then
// the target's string.
bool line_target(std::string_view start, std::string* target) {
  constexpr std::string_view kTargetKey = ",\"target\":";
  if (start.substr(0, sizeof kLinePrefix - 1) != kLinePrefix) return false;
  start.remove_prefix(sizeof kLinePrefix - 1);
  std::string version;
  const size_t n = leading_string(start, &version);
  if (n == 0 || start.substr(n, kTargetKey.size()) != kTargetKey) return false;
  return leading_string(start.substr(n + kTargetKey.size()), target) > 0;
}

// A campaign line for one destination, its survey run in it.  Returns false
// when a stop signal cut the survey short.
bool survey_line(const std::string& target, uint32_t addr, const char* error, const char* label) {
  common::JsonWriter w;
  common::json_start(w, stdout, true);
  common::json_begin_object(w);
  common::json_document_head(w, "kovrin-campaign", 1);
  common::json_key(w, "target");
  common::json_string(w, target.c_str());
  json_address(w, "destination", addr);
  common::json_key(w, "error");
  if (error == nullptr) {
    common::json_null(w);
  } else {
    common::json_string(w, error);
  }
  common::json_key(w, "survey");
  bool complete = true;
  if (addr == 0) {
    common::json_null(w);
  } else {
    settings.dst_ip = addr;
    std::vector<TrainResult> trains;
    SurveySummary summary;
    begin_survey_document(w);
    complete = run_trains(label, trains, summary, &w);
    end_survey_document(w, summary);
  }
  common::json_key(w, "complete");
  common::json_bool(w, complete);
  common::json_end_object(w);
  common::json_finish(w);
  std::fflush(stdout);
  return complete;
}

}  // namespace

bool read_targets(FILE* file, std::vector<std::string>* targets, std::string* error) {
  std::string line;
  int number = 0;
  int c = 0;
  while (c != EOF) {
    line.clear();
    bool too_long = false;
    while ((c = std::getc(file)) != EOF && c != '\n') {
      if (line.size() < 4 * kMaxTargetLength) {
        line += static_cast<char>(c);
      } else {
        too_long = true;
      }
    }
    ++number;
    if (c == EOF && line.empty() && !too_long) break;
    const size_t hash = line.find('#');
    if (hash != std::string::npos) line.erase(hash);
    const size_t first = line.find_first_not_of(" \t\r");
    if (first == std::string::npos) continue;
    const size_t last = line.find_last_not_of(" \t\r");
    line = line.substr(first, last - first + 1);
    if (too_long || line.size() > kMaxTargetLength) {
      *error = std::to_string(number) + ": a destination of more than " + std::to_string(kMaxTargetLength) +
               " characters";
      return false;
    }
    targets->push_back(line);
  }
  if (std::ferror(file)) {
    *error = std::string(" ") + std::strerror(errno);
    return false;
  }
  return true;
}

std::set<std::string> complete_targets(FILE* file, bool* cut, int* read_error) {
  std::set<std::string> done;
  if (cut != nullptr) *cut = false;
  if (read_error != nullptr) *read_error = 0;
  std::string start, end;
  int c = 0;
  while (c != EOF) {
    start.clear();
    end.clear();
    bool any = false;
    while ((c = std::getc(file)) != EOF && c != '\n') {
      any = true;
      if (start.size() < kKeptPrefix) start += static_cast<char>(c);
      end += static_cast<char>(c);
      if (end.size() > kKeptEnd) end.erase(0, end.size() - kKeptEnd);
    }
    // Only a whole line ends in its newline; one cut short by a crash does not count.
    if (any && c != '\n' && cut != nullptr) *cut = true;
    if (!any || c != '\n') continue;
    std::string target;
    if (end.size() >= sizeof kCompleteEnd - 1 &&
        end.compare(end.size() - (sizeof kCompleteEnd - 1), std::string::npos, kCompleteEnd) == 0 &&
        line_target(start, &target)) {
      done.insert(target);
    }
  }
  if (std::ferror(file) && read_error != nullptr) *read_error = errno;
  return done;
}

int run_campaign() {
  const Settings& s = settings;
  std::vector<std::string> targets;
  FILE* file = open_input(s.targets_file);
  if (file == nullptr) {
    std::fprintf(stderr, "kovrin: %s: %s\n", s.targets_file, std::strerror(errno));
    return kExitFailure;
  }
  std::string error;
  const bool read = read_targets(file, &targets, &error);
  if (file != stdin) std::fclose(file);
  if (!read) {
    std::fprintf(stderr, "kovrin: %s:%s\n", s.targets_file, error.c_str());
    return kExitFailure;
  }
  std::set<std::string> done;
  if (s.resume_file != nullptr) {
    FILE* earlier = open_input(s.resume_file);
    if (earlier == nullptr) {
      std::fprintf(stderr, "kovrin: %s: %s\n", s.resume_file, std::strerror(errno));
      return kExitFailure;
    }
    bool cut = false;
    int read_error = 0;
    done = complete_targets(earlier, &cut, &read_error);
    if (earlier != stdin) std::fclose(earlier);
    if (read_error != 0) {
      std::fprintf(stderr, "kovrin: %s: %s\n", s.resume_file, std::strerror(read_error));
      return kExitFailure;
    }
    // Appending to an output that a killed campaign left inside a line: the
    // next line must not run on from that piece.
    if (cut && net::stdout_is_file(s.resume_file)) std::fputc('\n', stdout);
  }

  net::catch_stop_signals();
  bool first = true;
  for (size_t i = 0; i < targets.size(); ++i) {
    const std::string& target = targets[i];
    if (done.count(target) != 0) continue;
    if (net::stop_requested()) return kExitInterrupted;
    in_addr dotted;
    uint32_t addr = 0;
    const char* why = nullptr;
    if (inet_aton(target.c_str(), &dotted) != 0) {
      addr = dotted.s_addr;
      if (addr == 0) why = "0.0.0.0 is no destination";
    } else {
      char name[net::kLookupNameSize];
      if (!net::lookup_name(target.c_str(), name, sizeof name, &addr)) why = "name does not resolve";
    }
    if (addr != 0 && !first) start_next_train();
    if (addr != 0) first = false;
    char label[64 + kMaxTargetLength];
    std::snprintf(label, sizeof label, "target %zu of %zu (%s)", i + 1, targets.size(), target.c_str());
    if (!survey_line(target, addr, why, label) || net::stop_requested()) return kExitInterrupted;
  }
  return kExitOk;
}

}  // namespace kovrin
