// Reply capture: non-blocking polls of the receive socket that keep this
// run's time-exceeded messages and echo replies, each with its arrival time.
#ifndef KOVRIN_PROBER_CAPTURE_H_
#define KOVRIN_PROBER_CAPTURE_H_

#include <cstdint>

#include "prober/common.h"

namespace kovrin {

struct CaptureStore {
  // Time-exceeded messages quoting a packet to dst_ip, whole datagrams from
  // the IPv4 header on, cut to kSlotSize bytes; te_lengths holds the bytes
  // kept.  te_times are arrival times in seconds.
  uint8_t te_replies[kTeSlots][kSlotSize];
  int32_t te_lengths[kTeSlots];
  double te_times[kTeSlots];
  int32_t rec_i;
  // Echo replies carrying the echo marker.
  uint8_t echo_replies[kEchoSlots][kSlotSize];
  int32_t echo_lengths[kEchoSlots];
  double echo_times[kEchoSlots];
  int32_t echo_count;
};
extern CaptureStore capture_store;

enum class ReplyKind { kDrop, kTimeExceeded, kEchoReply };

// Classifies a datagram of n bytes that starts with its IPv4 header.  A
// time-exceeded message is kept only when the destination of the packet it
// quotes is dst_ip, an echo reply only when the echo marker follows its
// header.  Datagrams too short for the fields read are dropped.
ReplyKind classify_reply(const uint8_t* datagram, int n, uint32_t dst_ip);

// Empties both stores.
void reset_capture();

// Takes the waiting replies.  wait 0: returns as soon as a poll finds
// nothing.  wait 1: polls until nothing has come for 3 seconds.  Either way
// it stops after 2 * end_pkt_num time-exceeded replies in this call, or when
// that store is full.
void capture_replies(int32_t wait);

}  // namespace kovrin

#endif  // KOVRIN_PROBER_CAPTURE_H_
