#include "prober/capture.h"

#include <cstdio>
#include <cstring>

#include "prober/clock.h"
#include "prober/net.h"
#include "prober/packet.h"
#include "prober/settings.h"

namespace kovrin {

CaptureStore capture_store;

namespace {

constexpr uint8_t kTimeExceeded = 11;
constexpr uint8_t kEchoReply = 0;
constexpr uint8_t kEchoRequest = 8;
constexpr double kQuietSeconds = 3.0;

// Receive buffer.  It is not cleared before each receive: every read below
// is checked against the received length instead.
uint8_t receive_buffer[kReceiveSize];

int copy_slot(uint8_t* slot, const uint8_t* datagram, int n) {
  const int kept = n < kSlotSize ? n : kSlotSize;
  std::memcpy(slot, datagram, static_cast<size_t>(kept));
  return kept;
}

// A time-exceeded message: 8 bytes of ICMP header, then the header of the
// packet that expired and at least its first 8 payload bytes.
ReplyKind classify_time_exceeded(const uint8_t* icmp, int available, const RunProbes& run) {
  const uint8_t* quoted = icmp + 8;
  // Our probes carry no IP options, so their transport header follows at 20;
  // the analysis reads the probe number there.  The UDP ports take 4 bytes,
  // the echo header up to its sequence number 8.
  const int transport = 20;
  if (available < 8 + transport + (run.icmp ? 8 : 4) || quoted[0] != 0x45) {
    return ReplyKind::kDrop;
  }
  if (quoted[9] != (run.icmp ? kProtoIcmp : kProtoUdp)) return ReplyKind::kDrop;
  if (std::memcmp(quoted + 16, &run.dst_ip, 4) != 0) return ReplyKind::kDrop;
  const uint8_t* t = quoted + transport;
  if (run.icmp ? t[0] != kEchoRequest || read_be16(t + 4) != probe_port
               : read_be16(t) != probe_port) {
    return ReplyKind::kDrop;
  }
  const uint32_t index = quoted_probe_index(quoted, run);
  // Only measurement packets name a hop; load packets (index 0) expire too
  // in a routing loop, and their answers must not take the store's slots.
  if (index < 2 || index == kNoProbeIndex) return ReplyKind::kDrop;
  const bool measurement = index <= 2 * static_cast<uint32_t>(run.end_pkt_num) + 1;
  if (run.stable_flow) {
    // The identification is all that tells the probes of the one flow
    // apart: one that names no measurement packet answers another run, or
    // a middlebox rewrote it.
    return measurement ? ReplyKind::kTimeExceeded : ReplyKind::kForeignId;
  }
  if (!measurement) return ReplyKind::kDrop;
  // The identification goes on the wire as written, in host byte order, so
  // it is compared as bytes.
  const uint16_t id = static_cast<uint16_t>(run.ip_id_base + index);
  if (net::keeps_identification(id) && std::memcmp(quoted + 4, &id, 2) != 0) {
    return ReplyKind::kForeignId;
  }
  return ReplyKind::kTimeExceeded;
}

// An echo reply returns the request's payload: the marker at 8 and the send
// time at 16 (seconds) and 24 (microseconds), in host byte order.
ReplyKind classify_echo_reply(const uint8_t* icmp, int available, const RunProbes& run) {
  if (available < 32 || read_be16(icmp + 4) != probe_port ||
      std::memcmp(icmp + 8, kEchoMarkerBytes, 4) != 0) {
    return ReplyKind::kDrop;
  }
  int64_t sec, usec;
  std::memcpy(&sec, icmp + 16, 8);
  std::memcpy(&usec, icmp + 24, 8);
  if (usec < 0 || usec >= 1000000) return ReplyKind::kDrop;
  const double sent = static_cast<double>(sec) + static_cast<double>(usec) / 1000000.0;
  for (int32_t k = 0; k < run.send_log_count; ++k) {
    if (run.send_log[k] == sent) return ReplyKind::kEchoReply;
  }
  return ReplyKind::kDrop;
}

}  // namespace

uint32_t quoted_probe_index(const uint8_t* quoted, const RunProbes& run) {
  const uint32_t number = read_be16(quoted + 20 + (run.icmp ? 6 : 2));
  if (!run.stable_flow) {
    // Unsigned: numbers below seq_base wrap far above any probe index.
    return number - static_cast<uint32_t>(seq_base);
  }
  if (number != static_cast<uint32_t>(seq_base)) return kNoProbeIndex;
  // Written in host byte order, so read back the same way.
  uint16_t id;
  std::memcpy(&id, quoted + 4, 2);
  return static_cast<uint16_t>(id - run.ip_id_base);
}

RunProbes this_run() {
  const PacketLayer& p = packet_layer;
  return RunProbes{settings.dst_ip, settings.use_icmp != 0, settings.stable_flow != 0, p.ip_id_base,
                   settings.end_pkt_num, p.send_log, p.send_log_count};
}

ReplyKind classify_reply(const uint8_t* datagram, int n, const RunProbes& run) {
  if (n < 20) return ReplyKind::kDrop;
  const int h = 4 * (datagram[0] & 0x0F);
  if (h < 20 || n <= h) return ReplyKind::kDrop;
  const uint8_t* icmp = datagram + h;
  if (icmp[0] == kTimeExceeded) return classify_time_exceeded(icmp, n - h, run);
  if (icmp[0] == kEchoReply) return classify_echo_reply(icmp, n - h, run);
  return ReplyKind::kDrop;
}

void reset_capture() {
  CaptureStore& c = capture_store;
  c.rec_i = 0;
  c.echo_count = 0;
  c.foreign_id_count = 0;
  std::memset(c.te_times, 0, sizeof c.te_times);
  std::memset(c.te_lengths, 0, sizeof c.te_lengths);
  std::memset(c.echo_times, 0, sizeof c.echo_times);
  std::memset(c.echo_lengths, 0, sizeof c.echo_lengths);
}

void capture_replies(int32_t wait) {
  CaptureStore& c = capture_store;
  const int32_t end_pkts = settings.end_pkt_num;
  if (end_pkts <= 0) return;
  const RunProbes run = this_run();
  // The quiet timer runs on the monotonic clock: a step of the wall clock
  // must neither end the wait early nor stretch it.  A non-waiting poll
  // needs no timer, so between load packets it costs one receive call.
  double last = wait ? monotonic_time() : 0.0;
  int32_t accepted = 0;
  int reads = 0;
  for (;;) {
    double arrival = 0.0;
    const int n = net::receive(packet_layer.recv_sock, receive_buffer, kReceiveSize, &arrival);
    if (n > 0) {
      ++reads;
      switch (classify_reply(receive_buffer, n, run)) {
        case ReplyKind::kTimeExceeded: {
          if (c.rec_i >= kTeSlots) return;
          c.te_lengths[c.rec_i] = copy_slot(c.te_replies[c.rec_i], receive_buffer, n);
          // The kernel's arrival time, when the platform gives one, is not
          // delayed by the sends between two polls.
          c.te_times[c.rec_i] = arrival > 0.0 ? arrival : get_time();
          if (wait) last = monotonic_time();
          ++c.rec_i;
          if (c.rec_i >= kTeSlots) return;
          if (settings.debug_mode) std::fprintf(debug_out(), "rec_i = %d\n", c.rec_i);
          ++accepted;
          break;
        }
        case ReplyKind::kEchoReply:
          if (c.echo_count >= kEchoSlots) break;
          c.echo_lengths[c.echo_count] =
              copy_slot(c.echo_replies[c.echo_count], receive_buffer, n);
          c.echo_times[c.echo_count] = arrival > 0.0 ? arrival : get_time();
          if (wait) last = monotonic_time();
          ++c.echo_count;
          break;
        case ReplyKind::kForeignId:
          ++c.foreign_id_count;
          break;
        case ReplyKind::kDrop:
          break;
      }
      if (accepted >= 2 * end_pkts) return;
      if (wait == 0) {
        if (reads >= kPollBatch) return;
      } else if (reads % kTimerCheckEvery == 0 && monotonic_time() - last > kQuietSeconds) {
        return;
      }
    } else {
      if (wait == 0) return;
      // The wait polls busily rather than sleeping: where the platform gives
      // no kernel arrival time, a reply's time is the clock reading right
      // after its receive, and a sleep would make it late by up to its length.
      if (monotonic_time() - last > kQuietSeconds) return;
    }
  }
}

}  // namespace kovrin
