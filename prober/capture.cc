#include "prober/capture.h"

#include <cstdio>
#include <cstring>

#include "prober/net.h"
#include "prober/packet.h"
#include "prober/settings.h"
#include "prober/train.h"

namespace kovrin {

CaptureStore capture_store;

namespace {

constexpr uint8_t kTimeExceeded = 11;
constexpr uint8_t kEchoReply = 0;
constexpr double kQuietSeconds = 3.0;

// Receive buffer.  It is not cleared before each receive: every read below
// is checked against the received length instead.
uint8_t receive_buffer[kReceiveSize];

int copy_slot(uint8_t* slot, const uint8_t* datagram, int n) {
  const int kept = n < kSlotSize ? n : kSlotSize;
  std::memcpy(slot, datagram, static_cast<size_t>(kept));
  return kept;
}

}  // namespace

ReplyKind classify_reply(const uint8_t* datagram, int n, uint32_t dst_ip) {
  if (n < 20) return ReplyKind::kDrop;
  const int h = 4 * (datagram[0] & 0x0F);
  if (h < 20 || n <= h) return ReplyKind::kDrop;
  const uint8_t* icmp = datagram + h;
  if (icmp[0] == kTimeExceeded) {
    // 8 bytes of ICMP header, then the quoted IPv4 header, whose
    // destination sits at its offset 16.
    if (n < h + 28 || std::memcmp(icmp + 24, &dst_ip, 4) != 0) return ReplyKind::kDrop;
    return ReplyKind::kTimeExceeded;
  }
  if (icmp[0] == kEchoReply) {
    if (n < h + 12 || std::memcmp(icmp + 8, kEchoMarkerBytes, 4) != 0) {
      return ReplyKind::kDrop;
    }
    return ReplyKind::kEchoReply;
  }
  return ReplyKind::kDrop;
}

void reset_capture() {
  CaptureStore& c = capture_store;
  c.rec_i = 0;
  c.echo_count = 0;
  std::memset(c.te_times, 0, sizeof c.te_times);
  std::memset(c.te_lengths, 0, sizeof c.te_lengths);
  std::memset(c.echo_times, 0, sizeof c.echo_times);
  std::memset(c.echo_lengths, 0, sizeof c.echo_lengths);
}

void capture_replies(int32_t wait) {
  CaptureStore& c = capture_store;
  const int32_t end_pkts = settings.end_pkt_num;
  if (end_pkts <= 0) return;
  // The quiet timer matters only when waiting; a non-waiting poll skips the
  // clock read, so between load packets it costs one receive call.
  double last = wait ? get_time() : 0.0;
  int32_t accepted = 0;
  for (;;) {
    double arrival = 0.0;
    const int n = net::receive(packet_layer.recv_sock, receive_buffer, kReceiveSize, &arrival);
    if (n > 0) {
      switch (classify_reply(receive_buffer, n, settings.dst_ip)) {
        case ReplyKind::kTimeExceeded: {
          if (c.rec_i >= kTeSlots) return;
          c.te_lengths[c.rec_i] = copy_slot(c.te_replies[c.rec_i], receive_buffer, n);
          // The kernel's arrival time, when the platform gives one, is not
          // delayed by the sends between two polls.
          last = get_time();
          c.te_times[c.rec_i] = arrival > 0.0 ? arrival : last;
          ++c.rec_i;
          if (c.rec_i >= kTeSlots) return;
          if (settings.debug_mode) std::printf("rec_i = %d\n", c.rec_i);
          ++accepted;
          break;
        }
        case ReplyKind::kEchoReply:
          if (c.echo_count >= kEchoSlots) break;
          c.echo_lengths[c.echo_count] =
              copy_slot(c.echo_replies[c.echo_count], receive_buffer, n);
          last = get_time();
          c.echo_times[c.echo_count] = arrival > 0.0 ? arrival : last;
          ++c.echo_count;
          break;
        case ReplyKind::kDrop:
          break;
      }
    } else {
      if (wait == 0) return;
      if (get_time() - last > kQuietSeconds) return;
    }
    if (accepted >= 2 * end_pkts) return;
  }
}

}  // namespace kovrin
