// Raw sockets and probe packets: the two sockets of a run, the probe
// builder, the one packet buffer in which every probe is built, and the
// send-time records.
//
// Layout of a probe of L bytes: IPv4 header at 0 (total length and
// identification in host byte order), UDP or ICMP echo header at 20, payload
// at 28.  UDP payload: probe index (low 8 bits), TTL, 6 zero bytes, then the
// send time as two 64-bit host-order integers (seconds at 36, microseconds at
// 44).  ICMP payload: the echo marker, 4 zero bytes, the same send time.
//
// In the flow-stable mode every probe of a train belongs to one flow: the
// UDP destination port (or the ICMP sequence number) is seq_base for all of
// them and the probe index travels only in the IP identification, which
// every time-exceeded message quotes.  An ICMP probe then also carries its
// index at 32 (big-endian, for the echo reply that returns it) and at 34 a
// balancing word that holds the ICMP checksum at the value it has for a
// zero payload, so that the checksum, which balancers hash like a port,
// stays the same across the train while the send time changes.
#ifndef KOVRIN_PROBER_PACKET_H_
#define KOVRIN_PROBER_PACKET_H_

#include <cstdint>

#include "prober/common.h"
#include "prober/net.h"

namespace kovrin {

// IP protocol numbers of the probes and of the -p receive socket.
constexpr uint8_t kProtoIcmp = 1;
constexpr uint8_t kProtoUdp = 17;
constexpr uint8_t kProtoPlanetlab = 117;

// UDP destination port or ICMP sequence number of probe index 0.
constexpr int seq_base = 43434;
// UDP source port, ICMP identifier, and the port the raw sockets are bound to.
constexpr int probe_port = 31415;
// Follows the header of every ICMP probe, least significant byte first.
constexpr uint32_t echo_marker = 0x78EFCDAB;
constexpr uint8_t kEchoMarkerBytes[4] = {
    echo_marker & 0xFF, echo_marker >> 8 & 0xFF, echo_marker >> 16 & 0xFF, echo_marker >> 24};
// Flow-stable ICMP probes: where the probe index and the balancing word
// sit, counted from the ICMP header.
constexpr int kStableIndexAt = 12;
constexpr int kStableBalanceAt = 14;

// The transport of a probe; the IP header's protocol byte follows it, and
// so, on the wire, does everything else: the echo probes of a UDP run leave
// through the UDP socket.
enum class Protocol { kUdp, kIcmp };

// What a probe carries besides its own index, length and TTL.
struct ProbeOrigin {
  uint32_t source;      // self_ip, network byte order; 0 lets the platform choose
  uint16_t ip_id_base;  // identification of probe index 0
  bool stable_flow = false;  // one flow for the whole train (see above)
};

struct PacketLayer {
  int send_sock = -1;
  int recv_sock = -1;
  uint16_t ip_id_base = 0;     // (pid | 0x8000) mod 65536
  uint8_t* packet = nullptr;   // kPacketSize bytes, every probe is built in it
  // Send time of the probe last sent with each index; 0 for unused indices.
  double send_time[kProbeIndexCount] = {};
  // Send time of every probe in send order; not reset between runs.
  double send_log[kProbeIndexCount] = {};
  int32_t send_log_count = 0;
  int32_t send_failures = 0;   // sends that failed since the run began
};
extern PacketLayer packet_layer;

// Opens an IPv4 raw socket with IP_HDRINCL, bound to port when port > 0.
// Does not return on failure.
int open_raw_socket(int port, int protocol);

// Opens send_sock (protocol of settings.use_icmp) and recv_sock (ICMP, or
// protocol 117 with -p).  The only step that needs privilege; does not
// return on failure.
void init_sockets();

// Allocates the packet buffer and takes ip_id_base.
void init_packet();

// Builds a whole probe of the given protocol, index (0..1125), total length
// (28..1500) and TTL to dest in buffer (at least length bytes), with
// send_time in its payload: every byte of the layout above, the rest of the
// length zero.  Returns the length.  Reads nothing but its arguments.
int build_probe(uint8_t* buffer, Protocol protocol, int32_t index, int32_t length, uint8_t ttl,
                uint32_t dest, const ProbeOrigin& origin, const net::WallClock& send_time);

// Reads the clock, builds the probe in the packet buffer, records its send
// time under its index and in the send log, and sends it to dest.  A failed
// send is reported and passed over.
void send_probe(Protocol protocol, int32_t index, int32_t length, uint8_t ttl, uint32_t dest);

// Before every train of a survey but the first: an empty send log and
// failure count, and identifications that move on by kProbeIndexCount, so
// that a late reply to an earlier train quotes none of this train's.
void start_next_train();

// The identification of probe index 0 for the flow-stable mode: base, or,
// when one of the indices 0..1125 would give the identification 0 (which
// the platform replaces by one of its own, so no reply could be matched),
// the base moved on past the wrap.
uint16_t stable_id_base(uint16_t base);

// Clears the send time of every index; the send log keeps growing.
void reset_send_times();

// The state at program start: no sockets, no packet buffer (a buffer is
// freed), empty send-time tables and send log.
void reset_packet_layer();

// RFC 1071 checksum of length bytes, in memory order: store the result
// with memcpy, no byte swap.
uint16_t internet_checksum(const uint8_t* data, int length);

// Closes send_sock, then recv_sock.
void close_sockets();

}  // namespace kovrin

#endif  // KOVRIN_PROBER_PACKET_H_
