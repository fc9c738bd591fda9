#include "offline/saved_report.h"

#include <arpa/inet.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "common/json_read.h"

namespace offline {

namespace {

// A router's text in the form the prober keys hops by, or false when it is
// not a dotted IPv4 address.
bool dotted_address(std::string_view text, std::string* out) {
  if (text.empty() || text.size() > 15) return false;
  const std::string copy(text);
  in_addr addr;
  char dotted[INET_ADDRSTRLEN];
  if (inet_pton(AF_INET, copy.c_str(), &addr) != 1) return false;
  if (inet_ntop(AF_INET, &addr, dotted, sizeof dotted) == nullptr) return false;
  *out = dotted;
  return true;
}

// A whole decimal integer from `low` to `high`: an optional '-' and digits.
bool whole(std::string_view text, int64_t low, int64_t high, int64_t* value) {
  size_t i = text.size() > 0 && text[0] == '-' ? 1 : 0;
  if (i == text.size() || text.size() > 12) return false;
  for (size_t j = i; j < text.size(); ++j) {
    if (text[j] < '0' || text[j] > '9') return false;
  }
  const int64_t v = std::strtoll(std::string(text).c_str(), nullptr, 10);
  if (v < low || v > high) return false;
  *value = v;
  return true;
}

// A number as printf's %f prints it (inf and nan included).
bool real(std::string_view text, double* value) {
  if (text.empty() || text.size() > 400) return false;
  const std::string copy(text);
  char* end = nullptr;
  *value = std::strtod(copy.c_str(), &end);
  return end == copy.c_str() + copy.size();
}

// ---------------------------------------------------------------- text

// The report's lines; a last line without its newline counts as a line.
std::vector<std::string_view> split_lines(std::string_view text) {
  std::vector<std::string_view> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.push_back(line);
    start = end + 1;
  }
  return lines;
}

// Fields of a line apart at runs of spaces; `rest` gets what follows the
// `limit`th field (after one space), for a hop's host name.
std::vector<std::string_view> fields(std::string_view line, size_t limit, std::string_view* rest) {
  std::vector<std::string_view> out;
  size_t i = 0;
  while (out.size() < limit) {
    while (i < line.size() && line[i] == ' ') ++i;
    if (i == line.size()) break;
    const size_t start = i;
    while (i < line.size() && line[i] != ' ') ++i;
    out.push_back(line.substr(start, i - start));
  }
  if (rest != nullptr) *rest = i < line.size() ? line.substr(i + 1) : std::string_view();
  return out;
}

// Summary line: start time, destination, packet size, load packets, delay.
bool summary_line(std::string_view line, SavedReport& report) {
  const std::vector<std::string_view> f = fields(line, 6, nullptr);
  double start;
  std::string dst;
  int64_t size, load, delay;
  if (f.size() != 5 || !real(f[0], &start) || !dotted_address(f[1], &dst) ||
      !whole(f[2], INT32_MIN, INT32_MAX, &size) || !whole(f[3], INT32_MIN, INT32_MAX, &load) ||
      !whole(f[4], INT32_MIN, INT32_MAX, &delay)) {
    return false;
  }
  report.pkt_size = static_cast<int32_t>(size);
  report.udp_pkt_num = static_cast<int32_t>(load);
  return true;
}

// "HOP ROUTER loop" or "HOP FIRST SECOND".
bool anomaly_line(std::string_view line) {
  const std::vector<std::string_view> f = fields(line, 4, nullptr);
  int64_t hop;
  std::string a, b;
  return f.size() == 3 && whole(f[0], 0, INT32_MAX, &hop) && dotted_address(f[1], &a) &&
         (f[2] == "loop" || dotted_address(f[2], &b));
}

// " STEP LABEL BOUND KIND", the columns -o adds.
bool detection_columns(const std::vector<std::string_view>& f) {
  int64_t step;
  double bound;
  return whole(f[4], INT32_MIN, INT32_MAX, &step) && f[5].size() == 1 &&
         (f[5] == "." || (f[5][0] >= '1' && f[5][0] <= '9')) && real(f[6], &bound) &&
         (f[7] == "ub" || f[7] == "lb" || f[7] == "uk");
}

bool hop_line(std::string_view line, int k, bool detection, SavedHop* hop) {
  std::string_view rest;
  const size_t columns = detection ? 8 : 4;
  const std::vector<std::string_view> f = fields(line, columns, &rest);
  int64_t number, gap;
  if (f.size() != columns || f[0].size() < 2 || f[0][0] == '-' || !whole(f[0], 0, INT32_MAX, &number) ||
      number != k || !real(f[1], &hop->rtt_ms) || !dotted_address(f[2], &hop->router) ||
      !whole(f[3], INT32_MIN, INT32_MAX, &gap) || (detection && !detection_columns(f))) {
    return false;
  }
  hop->gap_us = static_cast<int32_t>(gap);
  hop->name = std::string(rest);
  return true;
}

bool parse_text(std::string_view text, SavedReport& report, ReportError& error) {
  const std::vector<std::string_view> lines = split_lines(text);
  auto at = [&](size_t i, const char* what) {
    error = ReportError{static_cast<int>(i + 1), what};
    return false;
  };
  size_t i = 0;
  while (i < lines.size() && !summary_line(lines[i], report)) ++i;
  if (i == lines.size()) {
    error.what = "no summary line (start time, destination, packet size, load packets, delay): "
                 "not a kovrin report";
    return false;
  }
  for (++i; i < lines.size() && !lines[i].empty() && lines[i] != "# no hop reponses"; ++i) {
    if (!anomaly_line(lines[i])) return at(i, "neither an anomaly line nor the end of them");
  }
  if (i == lines.size()) return at(i, "the report ends before its hop lines");
  if (lines[i] == "# no hop reponses") return true;

  // The hop lines run up to the conf line (-o) or the empty line.
  const size_t first = ++i;
  while (i < lines.size() && !lines[i].empty() && lines[i].substr(0, 6) != "conf =") ++i;
  if (i == lines.size()) return at(i, "the report ends inside its hop lines (cut short?)");
  const bool detection = lines[i].substr(0, 6) == "conf =";
  if (detection && (i + 1 == lines.size() || !lines[i + 1].empty())) {
    return at(i + 1, "the empty line after the conf line is missing");
  }
  if (i == first) return at(i, "no hop lines");
  for (size_t j = first; j < i; ++j) {
    SavedHop hop;
    if (!hop_line(lines[j], static_cast<int>(j - first), detection, &hop)) {
      return at(j, detection ? "not the hop line that comes next (hop, rtt, router, gap, "
                               "detection columns, name)"
                             : "not the hop line that comes next (hop, rtt, router, gap, name)");
    }
    report.hops.push_back(std::move(hop));
  }
  return true;
}

// ---------------------------------------------------------------- JSON

using common::JsonValue;

bool whole_member(const JsonValue* object, const char* key, int64_t low, int64_t high,
                  int64_t* value) {
  const JsonValue* v = object != nullptr ? object->member(key) : nullptr;
  return v != nullptr && v->whole_number(low, high, value);
}

bool parse_json(std::string_view text, SavedReport& report, ReportError& error) {
  JsonValue doc;
  if (!common::json_parse(text, doc, error.what)) return false;
  auto wrong = [&](const std::string& what) {
    error.what = what;
    return false;
  };
  const JsonValue* schema = doc.member("schema");
  if (schema == nullptr || schema->type != JsonValue::Type::kString || schema->text != "kovrin-report") {
    return wrong("not a kovrin report (its \"schema\" is not \"kovrin-report\")");
  }
  int64_t version;
  if (!whole_member(&doc, "schema_version", 1, INT32_MAX, &version)) {
    return wrong("\"schema_version\" is missing or not a whole number");
  }
  if (version != 1) return wrong("schema version " + std::to_string(version) + " is newer than this program reads (1)");
  int64_t size, load;
  const JsonValue* settings = doc.member("settings");
  if (!whole_member(settings, "pkt_size", INT32_MIN, INT32_MAX, &size) ||
      !whole_member(settings, "udp_pkt_num", INT32_MIN, INT32_MAX, &load)) {
    return wrong("\"settings\" lacks \"pkt_size\" or \"udp_pkt_num\"");
  }
  report.pkt_size = static_cast<int32_t>(size);
  report.udp_pkt_num = static_cast<int32_t>(load);
  const JsonValue* hops = doc.member("hops");
  if (hops == nullptr || hops->type != JsonValue::Type::kArray) return wrong("no \"hops\" array");
  for (size_t k = 0; k < hops->items.size(); ++k) {
    const JsonValue& h = hops->items[k];
    const std::string where = "hops[" + std::to_string(k) + "]: ";
    int64_t number, gap;
    if (!whole_member(&h, "hop", 0, INT32_MAX, &number) || number != static_cast<int64_t>(k)) {
      return wrong(where + "\"hop\" is not " + std::to_string(k));
    }
    if (!whole_member(&h, "gap_us", INT32_MIN, INT32_MAX, &gap)) {
      return wrong(where + "\"gap_us\" is missing or not a 32-bit whole number");
    }
    SavedHop hop;
    hop.gap_us = static_cast<int32_t>(gap);
    const JsonValue* router = h.member("router");
    if (router != nullptr && router->type == JsonValue::Type::kNull) {
      hop.router = "0.0.0.0";
    } else if (router == nullptr || router->type != JsonValue::Type::kString ||
               !dotted_address(router->text, &hop.router)) {
      return wrong(where + "\"router\" is neither null nor a dotted address");
    }
    const JsonValue* rtt = h.member("head_rtt_ms");
    if (rtt != nullptr && rtt->type == JsonValue::Type::kNumber) hop.rtt_ms = rtt->number;
    const JsonValue* name = h.member("name");
    if (name != nullptr && name->type == JsonValue::Type::kString) hop.name = name->text;
    report.hops.push_back(std::move(hop));
  }
  return true;
}

}  // namespace

bool parse_saved_report(std::string_view text, SavedReport& report, ReportError& error) {
  report = SavedReport{};
  error = ReportError{};
  const size_t first = text.find_first_not_of(" \t\r\n");
  if (first != std::string_view::npos && text[first] == '{') return parse_json(text, report, error);
  return parse_text(text, report, error);
}

bool read_saved_report(FILE* file, const char* name, SavedReport& report) {
  std::string text;
  char buffer[1 << 16];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
    if (text.size() + n > kMaxReportBytes) {
      std::fprintf(stderr, "kovrin-detect: %s: longer than %zu bytes: not a kovrin report\n", name,
                   kMaxReportBytes);
      return false;
    }
    text.append(buffer, n);
  }
  if (std::ferror(file)) {
    std::fprintf(stderr, "kovrin-detect: %s: %s\n", name, std::strerror(errno));
    return false;
  }
  ReportError error;
  if (!parse_saved_report(text, report, error)) {
    if (error.line > 0) {
      std::fprintf(stderr, "kovrin-detect: %s:%d: %s\n", name, error.line, error.what.c_str());
    } else {
      std::fprintf(stderr, "kovrin-detect: %s: %s\n", name, error.what.c_str());
    }
    return false;
  }
  return true;
}

void load_saved_hops(const SavedReport& report, const char* name, detect::DetectionState& state) {
  detect::reset_detection(state);
  const size_t count = report.hops.size() < static_cast<size_t>(detect::kMaxHops)
                           ? report.hops.size()
                           : static_cast<size_t>(detect::kMaxHops);
  for (size_t k = 0; k < count; ++k) {
    const SavedHop& hop = report.hops[k];
    detect::HopEntry& entry = state.raw_table[k];
    entry.gap = hop.gap_us;
    entry.rtt = hop.rtt_ms;
    std::snprintf(entry.addr, sizeof entry.addr, "%s", hop.router.c_str());
    std::snprintf(entry.hop_key, sizeof entry.hop_key, "%s", hop.router.c_str());
    std::snprintf(entry.extra, sizeof entry.extra, "%s", hop.name.c_str());
    if (hop.name.size() >= sizeof entry.extra) {
      std::fprintf(stderr, "kovrin-detect: %s: hop %zu: host name cut to %zu bytes\n", name, k,
                   sizeof entry.extra - 1);
    }
  }
  if (report.hops.size() > count) {
    std::fprintf(stderr, "kovrin-detect: %s: hops %zu to %zu left out: the detection takes %d hops\n",
                 name, count, report.hops.size() - 1, detect::kMaxHops);
  }
  if (count == 0) {
    // No router answered: the prober's detection still ran over one empty hop.
    std::snprintf(state.raw_table[0].hop_key, sizeof state.raw_table[0].hop_key, "0.0.0.0");
    state.raw_count = 1;
    return;
  }
  state.raw_count = static_cast<int>(count);
}

}  // namespace offline
