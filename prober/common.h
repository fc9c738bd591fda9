// Shared vocabulary of the prober: the exit statuses and fatal helper of
// both programs, fixed capacities and small byte helpers used by every
// module.
#ifndef KOVRIN_PROBER_COMMON_H_
#define KOVRIN_PROBER_COMMON_H_

#include <cstdint>

#include "common/exit_status.h"

namespace kovrin {

using common::ExitStatus;
using common::kExitFailure;
using common::kExitInterrupted;
using common::kExitOk;
using common::kExitUsage;
using common::fatal;

// Capacities of the fixed tables.
constexpr int kPacketSize = 1500;      // the one packet buffer
constexpr int kProbeIndexCount = 1126;  // send_time and send_log slots
constexpr int kMaxProbeIndex = kProbeIndexCount - 1;
constexpr int kMaxEndPkts = 50;        // deepest hop count that -e may ask for
constexpr int kHopCount = 51;          // probe_hops entries, hops 0 to 50
constexpr int kTeSlots = 102;          // stored time-exceeded replies
constexpr int kEchoSlots = 5;          // stored echo replies
constexpr int kSlotSize = 256;         // bytes kept of each stored reply
constexpr int kReceiveSize = 1024;     // bytes read of each datagram
constexpr int kAnomalySize = 1024;     // anomaly text, NUL included
constexpr int kDottedSize = 16;        // "255.255.255.255" and its NUL

// Big-endian 16-bit field at p.
inline uint16_t read_be16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] << 8 | p[1]);
}

// Writes an address held in network byte order as dotted-decimal text into
// out (at least kDottedSize bytes) and returns out.  Unlike inet_ntoa it
// keeps no static buffer, so two addresses can be formatted for one line.
char* format_ip(uint32_t addr, char* out);

}  // namespace kovrin

#endif  // KOVRIN_PROBER_COMMON_H_
