#include "prober/settings.h"

#include <arpa/inet.h>
#include <getopt.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "prober/common.h"
#include "prober/net.h"

namespace kovrin {

Settings settings;

FILE* debug_out() { return settings.json_output ? stderr : stdout; }

namespace {

constexpr int kMinPktSize = 28;  // IP header and transport header
constexpr int kMinStableIcmpSize = 32;  // and the echo marker
// Delay steps between two load packets.  A step that polls costs about a
// microsecond, so the limit spaces load packets by some 50 ms at most; far
// larger values only keep the prober busy for hours.
constexpr int32_t kMaxDelayNum = 1000000;
constexpr int kNameSize = 256;
// getopt_long's values for the long options that have no letter.
constexpr int kVersionOption = 256;
constexpr int kJsonOption = 257;
constexpr int kTrainsOption = 258;
constexpr int kPauseOption = 259;
constexpr int kMinRateOption = 260;
constexpr int kMinConfOption = 261;
constexpr int kCsvOption = 262;
constexpr int kProgressOption = 263;
constexpr int kTargetsOption = 264;
constexpr int kResumeOption = 265;
constexpr int kLinkOverheadOption = 266;
constexpr int kHelpOption = 267;

// Reads text as a whole decimal number that fits 32 bits.
bool parse_decimal(const char* text, int32_t* value) {
  const char* p = text;
  if (*p == '+' || *p == '-') ++p;
  if (*p < '0' || *p > '9') return false;
  errno = 0;
  char* end = nullptr;
  const long v = std::strtol(text, &end, 10);
  if (*end != '\0' || errno == ERANGE || v < INT32_MIN || v > INT32_MAX) return false;
  *value = static_cast<int32_t>(v);
  return true;
}

// "kovrin: OPTION VALUE: ALLOWED" on standard error.
__attribute__((format(printf, 3, 0)))
ParseResult vrefuse(const char* option, const char* value, const char* allowed, va_list args) {
  char text[160];
  std::vsnprintf(text, sizeof text, allowed, args);
  std::fprintf(stderr, "kovrin: %s %s: %s\n", option, value, text);
  return ParseResult::kBadValue;
}

__attribute__((format(printf, 3, 4)))
ParseResult refuse(char option, const char* value, const char* allowed, ...) {
  const char name[] = {'-', option, '\0'};
  va_list args;
  va_start(args, allowed);
  const ParseResult result = vrefuse(name, value, allowed, args);
  va_end(args);
  return result;
}

// The same for a long option: "kovrin: --NAME VALUE: ...".
__attribute__((format(printf, 3, 4)))
ParseResult refuse_long(const char* name, const char* value, const char* allowed, ...) {
  const std::string option = std::string("--") + name;
  va_list args;
  va_start(args, allowed);
  const ParseResult result = vrefuse(option.c_str(), value, allowed, args);
  va_end(args);
  return result;
}

// Reads text as a finite decimal number from low to high.
bool parse_real(const char* text, double low, double high, double* value) {
  if (*text == '\0' || std::strlen(text) > 32) return false;
  char* end = nullptr;
  errno = 0;
  const double v = std::strtod(text, &end);
  if (*end != '\0' || errno == ERANGE || !(v >= low && v <= high)) return false;
  for (const char* p = text; *p != '\0'; ++p) {
    if (!((*p >= '0' && *p <= '9') || *p == '.' || *p == '+' || *p == '-')) return false;
  }
  *value = v;
  return true;
}

// The text of a value for a message: as given, or the default's digits.
const char* shown(const char* text, int32_t value) {
  static char digits[16];
  if (text != nullptr) return text;
  std::snprintf(digits, sizeof digits, "%d", value);
  return digits;
}

bool sends_echo_probes(const Settings& s) {
  return s.use_icmp == 0 && s.planetlab_raw == 0;
}

}  // namespace

int32_t max_load_packets(const Settings& s) {
  const int32_t e = s.end_pkt_num;
  if (sends_echo_probes(s)) {
    // The last echo probe has index 2e + l + 7, and a run sends 2e + l + 5
    // packets: the index is the tighter bound.
    return kMaxProbeIndex - 7 - 2 * e;
  }
  // Indices stop at 2e + 1; the run sends 2e + l packets.
  return kProbeIndexCount - 2 * e;
}

ParseResult parse_command_line(int argc, char** argv, Settings& s,
                               const char** operand) {
  // The texts as given, for the messages of the range checks below.
  const char* text_e = nullptr;
  const char* text_l = nullptr;
  const char* text_s = nullptr;
  const char* text_y = nullptr;
#ifdef __GLIBC__
  // 0 re-initialises glibc's getopt completely; "+" stops at the first
  // operand as POSIX asks instead of permuting the arguments.
  optind = 0;
  const char* optstring = "+e:i:l:s:y:coptxdvhf";
#else
  optreset = 1;
  optind = 1;
  const char* optstring = "e:i:l:s:y:coptxdvhf";
#endif
  // Long options only add to the letters; "--" still ends the options.
  static const option long_options[] = {
      {"help", no_argument, nullptr, kHelpOption},
      {"stable-flow", no_argument, nullptr, 'f'},
      {"version", no_argument, nullptr, kVersionOption},
      {"json", no_argument, nullptr, kJsonOption},
      {"trains", required_argument, nullptr, kTrainsOption},
      {"pause", required_argument, nullptr, kPauseOption},
      {"min-rate", required_argument, nullptr, kMinRateOption},
      {"min-conf", required_argument, nullptr, kMinConfOption},
      {"csv", no_argument, nullptr, kCsvOption},
      {"progress", no_argument, nullptr, kProgressOption},
      {"targets", required_argument, nullptr, kTargetsOption},
      {"resume", required_argument, nullptr, kResumeOption},
      {"link-overhead", required_argument, nullptr, kLinkOverheadOption},
      {nullptr, 0, nullptr, 0},
  };
  // The survey options that only go with --trains, for the check below.
  const char* survey_only = nullptr;
  int c;
  while ((c = getopt_long(argc, argv, optstring, long_options, nullptr)) != -1) {
    int32_t* number = nullptr;
    const char** text = nullptr;
    switch (c) {
      case 'e': number = &s.end_pkt_num; text = &text_e; break;
      case 'l': number = &s.udp_pkt_num; text = &text_l; break;
      case 's': number = &s.pkt_size; text = &text_s; break;
      case 'y': number = &s.delay_num; text = &text_y; break;
      case 'i': {
        in_addr addr;
        if (inet_pton(AF_INET, optarg, &addr) != 1) {
          return refuse('i', optarg, "must be a dotted IPv4 address");
        }
        s.self_ip = addr.s_addr;
        break;
      }
      case 'c': s.use_icmp = 1; break;
      case 'p': s.planetlab_raw = 1; break;
      case 'x': s.dns_lookup = 1; break;
      case 'o': s.online_detect = 1; break;
      case 't': s.dump_send_times = 1; break;
      case 'd': s.debug_mode = 1; break;
      case 'v': s.verbose_mode = 1; break;
      case 'f': s.stable_flow = 1; break;
      case 'h': return ParseResult::kHelp;
      case kHelpOption: return ParseResult::kLongHelp;
      case kVersionOption: return ParseResult::kVersion;
      case kJsonOption: s.json_output = 1; break;
      case kTrainsOption:
        if (!parse_decimal(optarg, &s.trains) || s.trains < 1 || s.trains > kMaxTrains) {
          return refuse_long("trains", optarg, "must be a whole number from 1 to %d", kMaxTrains);
        }
        break;
      case kPauseOption:
        if (!parse_real(optarg, 0.0, kMaxPauseSec, &s.pause_sec)) {
          return refuse_long("pause", optarg, "must be seconds from 0 to %.0f", kMaxPauseSec);
        }
        survey_only = "--pause";
        break;
      case kMinRateOption:
        if (!parse_real(optarg, 0.0, 1.0, &s.min_rate)) {
          return refuse_long("min-rate", optarg, "must be a share from 0 to 1");
        }
        survey_only = "--min-rate";
        break;
      case kMinConfOption:
        if (!parse_real(optarg, 0.0, 1000.0, &s.min_conf)) {
          return refuse_long("min-conf", optarg, "must be a number from 0 to 1000");
        }
        survey_only = "--min-conf";
        break;
      case kCsvOption: s.csv_output = 1; survey_only = "--csv"; break;
      case kProgressOption: s.progress = 1; survey_only = "--progress"; break;
      case kLinkOverheadOption:
        if (!parse_decimal(optarg, &s.link_overhead) || s.link_overhead < 0 ||
            s.link_overhead > kMaxLinkOverhead) {
          return refuse_long("link-overhead", optarg, "must be bytes from 0 to %d", kMaxLinkOverhead);
        }
        break;
      case kTargetsOption: s.targets_file = optarg; survey_only = "--targets"; break;
      case kResumeOption: s.resume_file = optarg; survey_only = "--resume"; break;
      default: return ParseResult::kUsage;
    }
    if (number != nullptr) {
      if (!parse_decimal(optarg, number)) {
        return refuse(static_cast<char>(c), optarg, "must be a decimal number");
      }
      *text = optarg;
    }
  }
  // A campaign takes its destinations from its file, never an operand.
  if (argc - optind != (s.targets_file != nullptr ? 0 : 1)) return ParseResult::kUsage;
  *operand = s.targets_file != nullptr ? nullptr : argv[optind];
  if (survey_only != nullptr && s.trains == 0) {
    std::fprintf(stderr, "kovrin: %s goes with --trains\n", survey_only);
    return ParseResult::kBadValue;
  }
  if (s.csv_output && s.json_output) {
    std::fprintf(stderr, "kovrin: --csv and --json exclude each other\n");
    return ParseResult::kBadValue;
  }
  if (s.resume_file != nullptr && s.targets_file == nullptr) {
    std::fprintf(stderr, "kovrin: --resume goes with --targets\n");
    return ParseResult::kBadValue;
  }
  if (s.targets_file != nullptr && s.csv_output) {
    std::fprintf(stderr, "kovrin: a campaign writes JSON Lines; --csv is for one destination\n");
    return ParseResult::kBadValue;
  }
  // Every train of a survey runs the detection.
  if (s.trains > 0) s.online_detect = 1;

  if (s.end_pkt_num < 0 || s.end_pkt_num > kMaxEndPkts) {
    return refuse('e', shown(text_e, s.end_pkt_num), "must be from 0 to %d", kMaxEndPkts);
  }
  const int32_t max_load = max_load_packets(s);
  if (s.udp_pkt_num < 0 || s.udp_pkt_num > max_load) {
    return refuse('l', shown(text_l, s.udp_pkt_num),
                  "must be from 0 to %d with -e %d%s (probe indices up to %d, "
                  "at most %d packets)",
                  max_load, s.end_pkt_num,
                  sends_echo_probes(s) ? " and the echo probes" : "",
                  kMaxProbeIndex, kProbeIndexCount);
  }
  if (s.pkt_size < kMinPktSize || s.pkt_size > kPacketSize) {
    return refuse('s', shown(text_s, s.pkt_size), "must be from %d to %d", kMinPktSize, kPacketSize);
  }
  if (s.stable_flow && s.use_icmp && s.pkt_size < kMinStableIcmpSize) {
    // Shorter echo requests cannot hold the marker, and their checksum
    // then differs from that of the rest of the train.
    return refuse('s', shown(text_s, s.pkt_size), "must be from %d with -f and -c", kMinStableIcmpSize);
  }
  if (s.delay_num < 0 || s.delay_num > kMaxDelayNum) {
    return refuse('y', shown(text_y, s.delay_num), "must be from 0 to %d", kMaxDelayNum);
  }
  return ParseResult::kRun;
}

void print_usage() {
  std::puts(
      "Kovrin V1.2 Usage: \n"
      "\n"
      "    \t./kovrin [-e end_pkt_num] [-l udp_pkt_num] [-s pkt_size] \t\n"
      "\t\t   [-i self_ip] [-y delay_num] [-coptx] [-dvh]\t\t\n"
      "\t\t   <dst_ip | dst_hostname>\t\t\t\t\n"
      "\n"
      "[probing configuration]\n"
      "\t-e end_pkt_num\tnumber of measurement packets [30]\t\t\n"
      "\t-l udp_pkt_num\tnumber of load packets [60]\t\t\t\n"
      "\t-s pkt_size\tthe load packet size in byte [500]\t\t\n"
      "\t-c\t\tuse ICMP probing packets, [UDP]\t\t\t\n"
      "    \t-p \t\tuse the planetlab raw socket interface [0]\t\n"
      "\t-y delay_num\tspecify the src gap within the packet train [0]\t\n"
      "\t-i self_ip\tsproof the probing pkt source ip [not set]\t\n"
      "\n"
      "[output setting] \n"
      "\t-x\t\tenable the DNS lookup [0]\t\t\t\n"
      "\t-o \t\tenable on-line detection processing [0]\t\t\n"
      "\t-t\t\tdump the packet sending times [0]\t\t\n"
      "\t-d \t\tdebug mode [0]\t\t\t\t\t\n"
      "\t-v \t\tverbose mode [0]\t\t\t\t\n"
      "\t-h \t\tprint this message [0]\t\t\t\t\n");
}

void print_long_options() {
  std::fputs(
      "[long options]\n"
      "  -f, --stable-flow      keep every packet of the train in one flow, the probe\n"
      "                         index in the IP identification only (per-flow load\n"
      "                         balancing then cannot split the train)\n"
      "  --json                 the report as one JSON document\n"
      "  --trains N             a survey: N trains, each with the detection (-o)\n"
      "  --pause SECONDS        with --trains: the wait between two trains [0]\n"
      "  --min-rate SHARE       with --trains: detection rate of a choke point [0.5]\n"
      "  --min-conf C           with --trains: its median confidence [0.1]\n"
      "  --csv                  with --trains: the survey's hop table as CSV\n"
      "  --progress             with --trains: progress lines also off a terminal\n"
      "  --targets FILE         with --trains: a campaign over the destinations in\n"
      "                         FILE (- for standard input), as JSON Lines\n"
      "  --resume FILE          with --targets: skip what FILE has complete\n"
      "  --link-overhead BYTES  frame bytes a link adds per packet, for the rate\n"
      "                         estimate [38]\n"
      "  --help                 this text\n"
      "  --version              the version\n",
      stdout);
}

int resolve_host(const char* host, char* name_out, uint32_t* addr_out,
                 char* dotted_out) {
  // inet_addr's error value is itself an address, so 255.255.255.255 takes
  // the host-name way below.
  *addr_out = inet_addr(host);
  if (*addr_out != INADDR_NONE) {
    std::strcpy(dotted_out, host);
    if (!net::lookup_address(*addr_out, name_out, kNameSize)) {
      std::snprintf(name_out, kNameSize, "%s", host);
    }
    return 0;
  }
  uint32_t addr = 0;
  if (!net::lookup_name(host, name_out, kNameSize, &addr)) {
    std::printf("ERROR: couldn't obtain address for %s\n", host);
    return -1;
  }
  *addr_out = addr;
  format_ip(addr, dotted_out);
  return 0;
}

}  // namespace kovrin
