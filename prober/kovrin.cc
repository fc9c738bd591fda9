#include "prober/kovrin.h"

#include <arpa/inet.h>

#include <cstdio>

#include "prober/common.h"
#include "prober/net.h"
#include "prober/packet.h"
#include "prober/report.h"
#include "prober/settings.h"
#include "prober/train.h"

namespace kovrin {

namespace {

constexpr int kNameSize = 256;

}  // namespace

int run_kovrin(int argc, char** argv) {
  // A set-user-ID start keeps its raised ids out of the way until the raw
  // sockets are opened: name lookups run with the real ids.
  if (!net::suspend_privilege()) fatal("seteuid");

  const char* operand = nullptr;
  switch (parse_command_line(argc, argv, settings, &operand)) {
    case ParseResult::kRun: break;
    case ParseResult::kHelp: print_usage(); return kExitOk;
    case ParseResult::kUsage: print_usage(); return kExitUsage;
    case ParseResult::kBadValue: return kExitUsage;
  }

  in_addr dotted_addr;
  if (inet_aton(operand, &dotted_addr) != 0) {
    settings.dst_ip = dotted_addr.s_addr;
  } else {
    char name[kNameSize];
    char dotted[kNameSize];
    uint32_t addr = 0;
    if (resolve_host(operand, name, &addr, dotted) != 0) return kExitFailure;
    settings.dst_ip = addr;
  }

  if (settings.self_ip == 0) {
    // The name itself is not used; a host without one is broken enough to stop.
    char host[kNameSize];
    if (!net::host_name(host, kNameSize)) fatal("gethostname() failed");
    // An unbound stream socket reports the wildcard address: the probes then
    // leave with source 0.0.0.0 and the platform fills in the interface's.
    settings.self_ip = net::unbound_stream_address();
  }

  init_sockets();
  probe_once();
  print_report();
  close_sockets();
  std::fflush(stdout);
  return kExitOk;
}

}  // namespace kovrin
