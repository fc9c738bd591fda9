#include "prober/net_fake.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>

#include "prober/net.h"

namespace kovrin {

namespace fake {

FakeNet fake_net;

void reset_fake_net() { fake_net = FakeNet{}; }

int count_trace(const std::string& what) {
  return static_cast<int>(std::count(fake_net.trace.begin(), fake_net.trace.end(), what));
}

}  // namespace fake

namespace net {

using fake::fake_net;

bool read_clock(WallClock* now) {
  if (fake_net.clock_fails) {
    errno = EINVAL;
    return false;
  }
  const int64_t wall = fake_net.clock_usec + fake_net.wall_offset_usec;
  now->sec = wall / 1000000;
  now->usec = wall % 1000000;
  fake_net.clock_usec += fake_net.clock_step_usec;
  return true;
}

bool read_monotonic(double* seconds) {
  if (fake_net.clock_fails) {
    errno = EINVAL;
    return false;
  }
  ++fake_net.monotonic_reads;
  *seconds = static_cast<double>(fake_net.clock_usec) / 1e6;
  fake_net.clock_usec += fake_net.clock_step_usec;
  return true;
}

int process_id() { return fake_net.pid; }

void pause_usec(int) { fake_net.trace.push_back("pause"); }

int open_raw(int protocol) {
  if (fake_net.open_errno != 0) {
    errno = fake_net.open_errno;
    return -1;
  }
  fake_net.trace.push_back("open");
  fake_net.opened_protocols.push_back(protocol);
  return fake_net.next_fd++;
}

bool include_header(int) {
  if (fake_net.hdrincl_errno == 0) return true;
  errno = fake_net.hdrincl_errno;
  return false;
}

bool bind_port(int, int) { return true; }

void request_timestamps(int) {}

namespace {

// Queues a datagram behind every one that is ready no later.
void queue_incoming(fake::Incoming reply) {
  auto at = std::find_if(fake_net.incoming.begin(), fake_net.incoming.end(),
                         [&](const fake::Incoming& in) { return in.ready_usec > reply.ready_usec; });
  fake_net.incoming.insert(at, std::move(reply));
}

// An echo reply from `from` returning the request: its bytes with type 0.
std::vector<uint8_t> echo_answer(const uint8_t* packet, int length, uint32_t from) {
  std::vector<uint8_t> reply(packet, packet + length);
  reply[20] = 0;
  std::memcpy(&reply[12], &from, 4);
  return reply;
}

// Queues the destination's answer to an echo request, in order of readiness.
void answer_echo(const uint8_t* packet, int length) {
  fake::Incoming reply;
  reply.bytes = echo_answer(packet, length, fake_net.echo_from);
  reply.ready_usec = fake_net.clock_usec + fake_net.echo_delay_usec;
  queue_incoming(std::move(reply));
}

// An ICMP error message from `from` to the packet's source, quoting the
// packet's IP header and first 8 payload bytes.
std::vector<uint8_t> icmp_error(uint8_t type, uint8_t code, uint32_t from, const uint8_t* packet) {
  constexpr int kQuoted = 28;
  std::vector<uint8_t> d(20 + 8 + kQuoted, 0);
  d[0] = 0x45;
  d[3] = static_cast<uint8_t>(d.size());
  d[8] = 64;
  d[9] = 1;
  std::memcpy(&d[12], &from, 4);
  std::memcpy(&d[16], packet + 12, 4);
  d[20] = type;
  d[21] = code;
  std::memcpy(&d[28], packet, kQuoted);
  return d;
}

// The router that hop h (1-based) reaches: an index into routers, or -1
// for the destination.
int router_at(const fake::FakePath& path, int h) {
  if (path.loop_after > 0 && h > path.loop_after) {
    const int cycle = path.loop_after - path.loop_to + 1;
    return path.loop_to - 1 + (h - path.loop_after - 1) % cycle;
  }
  return h <= static_cast<int>(path.routers.size()) ? h - 1 : -1;
}

// Sends the packet along the path and queues the answer it draws, if any.
void travel(fake::FakePath& path, const uint8_t* packet, int length) {
  if (length < 28) return;
  const int ttl = packet[8];
  const int end = router_at(path, ttl);
  const int links = end >= 0 ? ttl : static_cast<int>(path.routers.size()) + 1;
  const double sent = static_cast<double>(fake_net.clock_usec);
  const double delay = static_cast<double>(path.link_delay_usec);
  double reached = sent + links * delay;  // where the TTL runs out, or the destination
  if (path.bottleneck_after > 0 && links > path.bottleneck_after) {
    const double queued = sent + path.bottleneck_after * delay;
    const double start = std::max(queued, path.busy_until_usec);
    path.busy_until_usec =
        start + length * 8.0 * 1e6 / static_cast<double>(path.bottleneck_bps);
    reached += path.busy_until_usec - queued;
  }
  fake::Incoming answer;
  answer.ready_usec = std::llround(reached + links * delay);
  answer.arrival = static_cast<double>(answer.ready_usec) / 1e6;
  if (end >= 0) {
    fake::FakeRouter& router = path.routers[static_cast<size_t>(end)];
    if (router.silent) return;
    const uint32_t from =
        router.second_addr != 0 && router.answers > 0 ? router.second_addr : router.addr;
    ++router.answers;
    answer.bytes = icmp_error(11, 0, from, packet);
  } else if (path.destination == 0) {
    return;
  } else if (packet[9] == 1 && packet[20] == 8) {
    answer.bytes = echo_answer(packet, length, path.destination);
    std::memcpy(&answer.bytes[16], packet + 12, 4);
  } else if (packet[9] == 17) {
    answer.bytes = icmp_error(3, 3, path.destination, packet);
  } else {
    return;
  }
  queue_incoming(std::move(answer));
}

}  // namespace

bool send(int fd, uint8_t* packet, int length, uint32_t dest) {
  if (fake_net.path) travel(*fake_net.path, packet, length);
  if (fake_net.answer_echoes && length >= 52 && packet[9] == 1 && packet[20] == 8) {
    answer_echo(packet, length);
  }
  if (fake_net.record) {
    fake_net.trace.push_back("send");
    fake_net.sent.push_back({fd, dest, std::vector<uint8_t>(packet, packet + length)});
  }
  if (fake_net.send_errno == 0) return true;
  errno = fake_net.send_errno;
  return false;
}

int receive(int, uint8_t* buffer, int capacity, double* arrival) {
  *arrival = 0.0;
  const bool ready = !fake_net.incoming.empty() &&
                     fake_net.incoming.front().ready_usec <= fake_net.clock_usec;
  if (!ready && fake_net.flood_count > 0) {
    --fake_net.flood_count;
    ++fake_net.receives;
    const int n = std::min(capacity, static_cast<int>(fake_net.flood.size()));
    if (n > 0) std::memcpy(buffer, fake_net.flood.data(), static_cast<size_t>(n));
    return n;
  }
  if (!ready) {
    if (fake_net.record) fake_net.trace.push_back("poll");
    return 0;
  }
  if (fake_net.record) fake_net.trace.push_back("recv");
  ++fake_net.receives;
  const fake::Incoming in = std::move(fake_net.incoming.front());
  fake_net.incoming.pop_front();
  fake_net.wall_offset_usec += in.wall_step_usec;
  const int n = std::min(capacity, static_cast<int>(in.bytes.size()));
  if (n > 0) std::memcpy(buffer, in.bytes.data(), static_cast<size_t>(n));
  *arrival = in.arrival;
  return n;
}

bool keeps_identification(uint16_t id) { return id != 0; }

void close_socket(int) { fake_net.trace.push_back("close"); }

bool host_name(char* name, int size) {
  std::strncpy(name, "testhost", static_cast<size_t>(size));
  return true;
}

uint32_t unbound_stream_address() { return fake_net.stream_address; }

bool lookup_name(const char* host, char* name, int size, uint32_t* addr) {
  ++fake_net.forward_lookups;
  fake_net.trace.push_back("lookup");
  const auto it = fake_net.names.find(host);
  if (it == fake_net.names.end()) return false;
  std::strncpy(name, host, static_cast<size_t>(size) - 1);
  name[size - 1] = '\0';
  *addr = it->second;
  return true;
}

bool lookup_address(uint32_t addr, char* name, int size) {
  ++fake_net.reverse_lookups;
  fake_net.trace.push_back("lookup");
  const auto it = fake_net.addresses.find(addr);
  if (it == fake_net.addresses.end()) return false;
  std::strncpy(name, it->second.c_str(), static_cast<size_t>(size) - 1);
  name[size - 1] = '\0';
  return true;
}

void lookup_addresses(const uint32_t* addrs, int count, char (*names)[kLookupNameSize],
                      bool* found) {
  for (int i = 0; i < count && i < kMaxLookups; ++i) {
    found[i] = lookup_address(addrs[i], names[i], kLookupNameSize);
  }
}

const char* suspend_privilege() { return nullptr; }

const char* resume_privilege() {
  fake_net.trace.push_back("resume");
  if (fake_net.resume_fails != nullptr) errno = EPERM;
  return fake_net.resume_fails;
}

const char* drop_privilege() {
  fake_net.trace.push_back("drop");
  if (fake_net.drop_fails != nullptr) errno = EPERM;
  return fake_net.drop_fails;
}

bool started_privileged() { return fake_net.privileged_start; }

bool stderr_is_terminal() { return fake_net.stderr_terminal; }

bool stdout_is_file(const char*) { return false; }

void catch_stop_signals() {}

bool stop_requested() {
  if (fake_net.stop_after_checks < 0) return false;
  if (fake_net.stop_after_checks == 0) return true;
  --fake_net.stop_after_checks;
  return false;
}

bool real_user_is_root() { return fake_net.real_root; }

bool is_local_address(uint32_t addr) {
  return std::find(fake_net.local_addresses.begin(), fake_net.local_addresses.end(), addr) !=
         fake_net.local_addresses.end();
}

}  // namespace net
}  // namespace kovrin
