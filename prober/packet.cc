#include "prober/packet.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "prober/clock.h"
#include "prober/net.h"
#include "prober/settings.h"

namespace kovrin {

PacketLayer packet_layer;

namespace {

// The send time ends here, in every probe long enough to hold it.
constexpr int kSendTimeEnd = 52;

// Ones-complement partial sum of 16-bit words in memory order.  Eight bytes
// are taken at a time as two 32-bit halves: 2^16 = 1 modulo 0xFFFF, so the
// folded result equals the word-by-word sum.
uint64_t checksum_add(uint64_t sum, const uint8_t* data, int length) {
  while (length >= 8) {
    uint64_t w;
    std::memcpy(&w, data, 8);
    sum += (w & 0xFFFFFFFFu) + (w >> 32);
    data += 8;
    length -= 8;
  }
  while (length >= 2) {
    uint16_t w;
    std::memcpy(&w, data, 2);
    sum += w;
    data += 2;
    length -= 2;
  }
  if (length == 1) {
    // The left-over byte comes first in memory, the other byte is zero.
    const uint8_t last[2] = {data[0], 0};
    uint16_t w;
    std::memcpy(&w, last, 2);
    sum += w;
  }
  return sum;
}

uint16_t checksum_finish(uint64_t sum) {
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<uint16_t>(~sum & 0xFFFF);
}

// Stores a checksum at p; 0 goes on the wire as 0xFFFF, its other form.
void store_checksum(uint8_t* p, uint16_t sum) {
  if (sum == 0) sum = 0xFFFF;
  std::memcpy(p, &sum, 2);
}

void put_be16(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 8);
  p[1] = static_cast<uint8_t>(v);
}

}  // namespace

uint16_t internet_checksum(const uint8_t* data, int length) {
  return checksum_finish(checksum_add(0, data, length));
}

int open_raw_socket(int port, int protocol) {
  const int fd = net::open_raw(protocol);
  if (fd < 0) {
    const int error = errno;
    std::perror("socket");
    if (error == EPERM || error == EACCES) {
      std::fprintf(stderr,
                   "kovrin needs root or the CAP_NET_RAW capability to open "
                   "raw sockets\n");
    }
    std::exit(kExitFailure);
  }
  if (!net::include_header(fd)) fatal("IP_HDRINCL");
  if (port > 0 && !net::bind_port(fd, port)) fatal("bind");
  return fd;
}

void init_sockets() {
  PacketLayer& p = packet_layer;
  p.send_sock = open_raw_socket(probe_port, settings.use_icmp ? kProtoIcmp : kProtoUdp);
  p.recv_sock = open_raw_socket(probe_port,
                                settings.planetlab_raw ? kProtoPlanetlab : kProtoIcmp);
  net::request_timestamps(p.recv_sock);
}

void init_packet() {
  PacketLayer& p = packet_layer;
  p.packet = static_cast<uint8_t*>(std::calloc(kPacketSize, 1));
  if (p.packet == nullptr) fatal("malloc");
  p.ip_id_base = static_cast<uint16_t>(net::process_id() | 0x8000);
  if (settings.stable_flow) p.ip_id_base = stable_id_base(p.ip_id_base);
}

uint16_t stable_id_base(uint16_t base) {
  if (base != 0 && base <= 0x10000 - kProbeIndexCount) return base;
  return static_cast<uint16_t>(base + kProbeIndexCount);
}

int build_probe(uint8_t* p, Protocol protocol, int32_t index, int32_t length, uint8_t ttl,
                uint32_t dest, const ProbeOrigin& origin, const net::WallClock& send_time) {
  const bool icmp = protocol == Protocol::kIcmp;
  std::memset(p, 0, static_cast<size_t>(length));

  // IP header.  Total length and identification go in host byte order, as
  // the raw-socket interface of the platform this was written for takes
  // them; the platform layer turns them into what its raw sockets want.
  p[0] = 0x45;
  const uint16_t total = static_cast<uint16_t>(length);
  std::memcpy(p + 2, &total, 2);
  const uint16_t id = static_cast<uint16_t>(origin.ip_id_base + index);
  std::memcpy(p + 4, &id, 2);
  p[8] = ttl;
  p[9] = icmp ? kProtoIcmp : kProtoUdp;
  std::memcpy(p + 12, &origin.source, 4);
  std::memcpy(p + 16, &dest, 4);
  store_checksum(p + 10, internet_checksum(p, 20));

  // The send time, for whoever looks at the payload; it is summed into the
  // transport checksum.
  std::memcpy(p + 36, &send_time.sec, 8);
  std::memcpy(p + 44, &send_time.usec, 8);

  const uint32_t number = static_cast<uint32_t>(seq_base + (origin.stable_flow ? 0 : index));
  const int transport_length = length - 20;
  if (icmp) {
    p[20] = 8;  // echo request, code 0
    put_be16(p + 24, probe_port);
    put_be16(p + 26, number);
    std::memcpy(p + 28, kEchoMarkerBytes, 4);
    if (origin.stable_flow) {
      // The balancing word is the ones' complement negative of the payload
      // words that vary (index and send time), so that they add up to zero
      // in the checksum.  A load packet too short to hold the word holds
      // nothing that varies either: its index is 0 and its send time is cut.
      uint8_t* varying = p + 20 + kStableIndexAt;
      uint8_t* balance_at = p + 20 + kStableBalanceAt;
      put_be16(varying, static_cast<uint32_t>(index));
      const int varying_end = length < kSendTimeEnd ? length : kSendTimeEnd;
      if (p + varying_end > balance_at + 2) {
        const uint16_t balance = internet_checksum(varying, static_cast<int>(p + varying_end - varying));
        std::memcpy(balance_at, &balance, 2);
      }
    }
    store_checksum(p + 22, internet_checksum(p + 20, transport_length));
  } else {
    put_be16(p + 20, probe_port);
    put_be16(p + 22, number);
    put_be16(p + 24, static_cast<uint32_t>(transport_length));
    p[28] = static_cast<uint8_t>(index);
    p[29] = ttl;
    // RFC 768 pseudo-header: source, destination, zero, protocol, length.
    uint8_t pseudo[12];
    std::memcpy(pseudo, p + 12, 8);
    pseudo[8] = 0;
    pseudo[9] = kProtoUdp;
    put_be16(pseudo + 10, static_cast<uint32_t>(transport_length));
    const uint64_t sum = checksum_add(checksum_add(0, pseudo, 12), p + 20, transport_length);
    store_checksum(p + 26, checksum_finish(sum));
  }
  return length;
}

void send_probe(Protocol protocol, int32_t index, int32_t length, uint8_t ttl, uint32_t dest) {
  PacketLayer& layer = packet_layer;
  net::WallClock now;
  if (!net::read_clock(&now)) fatal(kClockFailure);
  const int n = build_probe(layer.packet, protocol, index, length, ttl, dest,
                            ProbeOrigin{settings.self_ip, layer.ip_id_base, settings.stable_flow != 0},
                            now);
  const double t = static_cast<double>(now.sec) + static_cast<double>(now.usec) / 1000000.0;
  if (static_cast<uint32_t>(index) < static_cast<uint32_t>(kProbeIndexCount)) {
    layer.send_time[index] = t;
  }
  if (layer.send_log_count < kProbeIndexCount) {
    layer.send_log[layer.send_log_count++] = t;
  }
  if (!net::send(layer.send_sock, layer.packet, n, dest)) {
    ++layer.send_failures;
    char dotted[kDottedSize];
    std::perror(format_ip(settings.dst_ip, dotted));
  }
}

void reset_packet_layer() {
  std::free(packet_layer.packet);
  packet_layer = PacketLayer{};
}

void start_next_train() {
  packet_layer.ip_id_base = static_cast<uint16_t>(packet_layer.ip_id_base + kProbeIndexCount);
  if (settings.stable_flow) packet_layer.ip_id_base = stable_id_base(packet_layer.ip_id_base);
  packet_layer.send_log_count = 0;
  packet_layer.send_failures = 0;
}

void reset_send_times() {
  std::memset(packet_layer.send_time, 0, sizeof packet_layer.send_time);
}

void close_sockets() {
  net::close_socket(packet_layer.send_sock);
  net::close_socket(packet_layer.recv_sock);
}

}  // namespace kovrin
