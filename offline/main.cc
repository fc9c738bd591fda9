// kovrin-detect: the gap-step detection over a hop listing measured earlier.
//
//   kovrin-detect LISTING PKT_SIZE LOAD_PACKETS
//   kovrin-detect --json LISTING PKT_SIZE LOAD_PACKETS
//   kovrin-detect [--json] --report REPORT
//   kovrin-detect --help | --version
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/exit_status.h"
#include "detect/detection.h"
#include "offline/listing.h"
#include "offline/offline_report.h"
#include "offline/saved_report.h"

namespace {

detect::DetectionState state;
detect::FitTable fit_table;

// atoi's reading of a number, held within the 32-bit range.
int32_t parse_count(const char* text) {
  const long long value = std::strtoll(text, nullptr, 10);
  if (value > INT32_MAX) return INT32_MAX;
  if (value < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(value);
}

void print_help() {
  std::fputs(
      "Usage: kovrin-detect LISTING PKT_SIZE LOAD_PACKETS\n"
      "       kovrin-detect --json LISTING PKT_SIZE LOAD_PACKETS\n"
      "       kovrin-detect [--json] --report REPORT\n"
      "       kovrin-detect --help | --version\n"
      "\n"
      "Runs the gap-step detection on a hop listing (one hop a line: rtt, gap in\n"
      "microseconds, addr, extra, hop key, separated by single spaces; at most 50\n"
      "lines) and prints each hop's cleaned gap, choke point label, bandwidth bound\n"
      "in Mbit/s (LOAD_PACKETS x PKT_SIZE x 8 / cleaned gap) and kind, then the\n"
      "confidences.  With --json the report is one JSON document.\n"
      "\n"
      "--report REPORT reads a saved kovrin report instead (its text or its --json\n"
      "document; - for standard input), with the packet size and load packet count\n"
      "of that run, and gives the cleaned gaps, labels and confidences of kovrin -o.\n"
      "\n"
      "Exit status: 0 report printed, 1 listing or report unreadable or output\n"
      "failed, 2 wrong command line, 3 reading stopped at a line longer than 64 KiB.\n",
      stdout);
}

bool is_report_option(const char* arg) {
  return std::strcmp(arg, "--report") == 0 || std::strncmp(arg, "--report=", 9) == 0;
}

int usage_error(const char* what) {
  std::fprintf(stderr, "kovrin-detect: %s\nTry 'kovrin-detect --help'.\n", what);
  return common::kExitUsage;
}

// kovrin-detect [--json] --report REPORT: the detection over a saved report.
int run_on_report(int argc, char** argv) {
  bool json = false;
  const char* name = nullptr;
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (std::strcmp(arg, "--json") == 0) {
      json = true;
    } else if (is_report_option(arg) && name == nullptr) {
      if (arg[8] == '=') {
        name = arg + 9;
      } else if (i + 1 < argc) {
        name = argv[++i];
      } else {
        return usage_error("--report needs a REPORT (- for standard input)");
      }
    } else {
      char what[160];
      std::snprintf(what, sizeof what, "with --report, '%.100s' is not understood", arg);
      return usage_error(what);
    }
  }
  if (name == nullptr || *name == '\0') return usage_error("--report needs a REPORT (- for standard input)");

  const bool standard_input = std::strcmp(name, "-") == 0;
  FILE* file = standard_input ? stdin : std::fopen(name, "r");
  if (file == nullptr) {
    std::fprintf(stderr, "kovrin-detect: %s: %s\n", name, std::strerror(errno));
    return common::kExitFailure;
  }
  const char* shown = standard_input ? "(standard input)" : name;
  offline::SavedReport report;
  const bool read = offline::read_saved_report(file, shown, report);
  if (!standard_input) std::fclose(file);
  if (!read) return common::kExitFailure;

  offline::load_saved_hops(report, shown, state);
  detect::detect_chokes(state, fit_table);
  if (json) {
    offline::print_offline_json(stdout, state, report.pkt_size, report.udp_pkt_num, true);
  } else {
    offline::print_offline_report(stdout, state, report.pkt_size, report.udp_pkt_num);
  }
  return common::finish_output("kovrin-detect", common::kExitOk);
}

}  // namespace

int main(int argc, char** argv) {
  // The long options stand alone; any other command line is read as the
  // three operands, exactly as it always was.
  if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
    print_help();
    return common::finish_output("kovrin-detect", common::kExitOk);
  }
  if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
    common::print_version("kovrin-detect");
    return common::finish_output("kovrin-detect", common::kExitOk);
  }
  // The report form starts with its options; a listing whose name starts
  // with "--" is given as ./--name.
  if (argc >= 2 && (is_report_option(argv[1]) ||
                    (argc >= 3 && std::strcmp(argv[1], "--json") == 0 && is_report_option(argv[2])))) {
    return run_on_report(argc, argv);
  }
  // "--json" first, then the three operands as always.
  const bool json = argc == 5 && std::strcmp(argv[1], "--json") == 0;
  if (json) {
    --argc;
    ++argv;
  }
  if (argc != 4) {
    std::printf("wrong command line\n");
    return common::kExitUsage;
  }
  FILE* file = std::fopen(argv[1], "r");
  if (file == nullptr) common::fatal("file open error");
  const int32_t pkt_size = parse_count(argv[2]);
  const int32_t udp_pkt_num = parse_count(argv[3]);

  offline::open_listing(file, argv[1]);
  const bool read_in_full = offline::load_hops(state);
  detect::detect_chokes(state, fit_table);
  if (json) {
    offline::print_offline_json(stdout, state, pkt_size, udp_pkt_num, read_in_full);
  } else {
    offline::print_offline_report(stdout, state, pkt_size, udp_pkt_num);
  }

  return common::finish_output("kovrin-detect",
                               read_in_full ? common::kExitOk : common::kExitPartial);
}
