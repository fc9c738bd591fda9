// The prober's settings, read from the command line, and the host lookup.
#ifndef KOVRIN_PROBER_SETTINGS_H_
#define KOVRIN_PROBER_SETTINGS_H_

#include <cstdint>
#include <cstdio>

namespace kovrin {

// One setting per option of the usage text; addresses in network byte order.
struct Settings {
  int32_t end_pkt_num = 30;   // -e: measurement packets at each end of the train
  int32_t udp_pkt_num = 60;   // -l: load packets
  int32_t pkt_size = 500;     // -s: bytes of each load packet, IP header included
  int32_t delay_num = 0;      // -y: delay loop steps between load packets
  uint32_t self_ip = 0;       // -i: source address; 0 lets the platform choose
  int32_t use_icmp = 0;       // -c; the train also sets it around the echo probes
  int32_t planetlab_raw = 0;  // -p: replies from a raw socket of protocol 117
  int32_t dns_lookup = 0;     // -x
  int32_t online_detect = 0;  // -o
  int32_t dump_send_times = 0;  // -t
  int32_t debug_mode = 0;     // -d
  int32_t verbose_mode = 0;   // -v
  int32_t json_output = 0;    // --json: the report as one JSON document
  // -f, --stable-flow: every packet of the train in one flow (fixed port or
  // sequence number, constant ICMP checksum), the probe index only in the
  // IP identification, so that per-flow load balancing keeps the train on
  // one branch.
  int32_t stable_flow = 0;
  uint32_t dst_ip = 0;        // the destination, from the operand
  // A survey (--trains) runs several trains to the destination, each with
  // the detection, and reports over them; 0 is the single train.
  int32_t trains = 0;         // --trains N
  double pause_sec = 0.0;     // --pause SECONDS: the wait between two trains
  double min_rate = 0.5;      // --min-rate: least detection rate of a choke point
  double min_conf = 0.1;      // --min-conf: least median confidence of one
  int32_t csv_output = 0;     // --csv: the survey's hop table as CSV
  int32_t progress = 0;       // --progress: progress lines also when stderr is no terminal
  // --link-overhead: bytes a link's frame adds to each IP packet, for the
  // rate estimate (Ethernet on the wire: preamble 8, header 14, FCS 4,
  // inter-frame gap 12).
  int32_t link_overhead = 38;
  // A campaign (--targets) runs a survey for every destination of a file,
  // in place of the operand; --resume names an earlier campaign's output.
  const char* targets_file = nullptr;  // --targets FILE ("-": standard input)
  const char* resume_file = nullptr;   // --resume FILE
};

// The bounds of the survey settings.
constexpr int32_t kMaxTrains = 10000;
constexpr double kMaxPauseSec = 86400.0;
constexpr int32_t kMaxLinkOverhead = 1000;
extern Settings settings;

// Where the debug (-d) and verbose (-v) lines go as the run makes them:
// standard output, ahead of the text report, or standard error with
// --json, so that standard output holds the JSON document alone.
FILE* debug_out();

enum class ParseResult {
  kRun,       // settings complete, *operand names the destination (nullptr
              // for a campaign, whose destinations come from its file)
  kHelp,      // -h: usage text, exit 0
  kLongHelp,  // --help: usage text and the long options, exit 0
  kVersion,   // --version: the version line, exit 0
  kUsage,     // wrong command line: usage text, exit 2
  kBadValue,  // a value the tables cannot hold: its stderr line is printed, exit 2
};

// Reads the options into s with getopt_long (options stop at the first operand)
// and checks every value against the fixed tables before anything is
// opened.  Prints nothing on kRun, kHelp and kUsage (getopt has printed its
// own diagnostic for a bad option), and one line on standard error for
// kBadValue.
ParseResult parse_command_line(int argc, char** argv, Settings& s,
                               const char** operand);

// The largest -l that keeps every probe index within the send-time table
// and every packet within the send log, for the other settings of s.
int32_t max_load_packets(const Settings& s);

// The usage text, on standard output.
void print_usage();

// What --help adds to the usage text: the options that have no place in
// it, on standard output.
void print_long_options();

// host is a dotted address or a host name.  Fills name_out (256 bytes) with
// the official name (or host itself when a reverse lookup finds nothing),
// *addr_out with the address and dotted_out with its dotted text.  Returns
// 0, or -1 after printing the ERROR line when a name does not resolve.
int resolve_host(const char* host, char* name_out, uint32_t* addr_out,
                 char* dotted_out);

}  // namespace kovrin

#endif  // KOVRIN_PROBER_SETTINGS_H_
