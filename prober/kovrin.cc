#include "prober/kovrin.h"

#include <arpa/inet.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "prober/analysis.h"
#include "prober/campaign.h"
#include "prober/capture.h"
#include "prober/common.h"
#include "prober/net.h"
#include "prober/packet.h"
#include "prober/report.h"
#include "prober/settings.h"
#include "prober/survey.h"
#include "prober/train.h"

namespace kovrin {

namespace {

constexpr int kNameSize = 256;

// Started set-user-ID, set-group-ID or with a file capability by a user
// who is not root, kovrin may send only from an address of this host:
// otherwise any user could have the answers to a train sent to a third
// party.
bool source_allowed(uint32_t self_ip) {
  if (self_ip == 0 || !net::started_privileged() || net::real_user_is_root()) return true;
  return net::is_local_address(self_ip);
}

// The one step that needs privilege: open the raw sockets, then give up the
// privilege for good and check that it is gone, before anything else is
// done with what the user gave (the destination's lookup included).
void open_sockets_and_drop_privilege() {
  if (const char* call = net::resume_privilege()) fatal(call);
  init_sockets();
  if (const char* call = net::drop_privilege()) {
    const int error = errno;
    std::fprintf(stderr, "kovrin: could not give up privilege: %s: %s\n", call,
                 std::strerror(error));
    std::exit(kExitFailure);
  }
}

// The operand's address into settings.dst_ip; false (after the ERROR line)
// when a name does not resolve.
bool look_up_destination(const char* operand) {
  in_addr dotted_addr;
  if (inet_aton(operand, &dotted_addr) != 0) {
    settings.dst_ip = dotted_addr.s_addr;
    return true;
  }
  char name[kNameSize];
  char dotted[kNameSize];
  uint32_t addr = 0;
  if (resolve_host(operand, name, &addr, dotted) != 0) return false;
  settings.dst_ip = addr;
  return true;
}

// Everything kovrin prints goes to standard output: a write that failed
// there must not end in a success.
int finish_output(int status) { return common::finish_output("kovrin", status); }

}  // namespace

void reset_prober_state() {
  settings = Settings{};
  reset_packet_layer();
  reset_train();
  reset_capture();
  reset_analysis();
  detect::reset_detection(detection);
}

int run_kovrin(int argc, char** argv) {
  // A privileged start keeps its raised ids and capabilities out of use
  // until the raw sockets are opened.
  if (const char* call = net::suspend_privilege()) fatal(call);

  const char* operand = nullptr;
  switch (parse_command_line(argc, argv, settings, &operand)) {
    case ParseResult::kRun: break;
    case ParseResult::kHelp: print_usage(); return finish_output(kExitOk);
    case ParseResult::kLongHelp:
      print_usage();
      print_long_options();
      return finish_output(kExitOk);
    case ParseResult::kVersion: common::print_version("kovrin"); return finish_output(kExitOk);
    case ParseResult::kUsage: print_usage(); return finish_output(kExitUsage);
    case ParseResult::kBadValue: return kExitUsage;
  }
  if (!source_allowed(settings.self_ip)) {
    char dotted[kDottedSize];
    std::fprintf(stderr,
                 "kovrin: -i %s: not an address of this host (only root may send from "
                 "another address)\n",
                 format_ip(settings.self_ip, dotted));
    return kExitUsage;
  }

  open_sockets_and_drop_privilege();

  // A campaign's destinations come from its file, looked up one by one.
  const bool campaign = settings.targets_file != nullptr;
  if (!campaign && !look_up_destination(operand)) {
    close_sockets();
    return finish_output(kExitFailure);
  }

  if (settings.self_ip == 0) {
    // The name itself is not used; a host without one is broken enough to stop.
    char host[kNameSize];
    if (!net::host_name(host, kNameSize)) fatal("gethostname() failed");
    // An unbound stream socket reports the wildcard address: the probes then
    // leave with source 0.0.0.0 and the platform fills in the interface's.
    settings.self_ip = net::unbound_stream_address();
  }

  init_packet();
  if (campaign || settings.trains > 0) {
    const int status = campaign ? run_campaign() : run_survey();
    close_sockets();
    return finish_output(status);
  }
  probe_once();
  print_report();
  close_sockets();
  return finish_output(kExitOk);
}

}  // namespace kovrin
