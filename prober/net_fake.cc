#include "prober/net_fake.h"

#include <algorithm>
#include <cerrno>
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

// Queues the destination's answer to an echo request, in order of readiness.
void answer_echo(const uint8_t* packet, int length) {
  fake::Incoming reply;
  reply.bytes.assign(packet, packet + length);
  reply.bytes[20] = 0;  // echo reply
  std::memcpy(&reply.bytes[12], &fake_net.echo_from, 4);
  reply.ready_usec = fake_net.clock_usec + fake_net.echo_delay_usec;
  auto at = std::find_if(fake_net.incoming.begin(), fake_net.incoming.end(),
                         [&](const fake::Incoming& in) { return in.ready_usec > reply.ready_usec; });
  fake_net.incoming.insert(at, std::move(reply));
}

}  // namespace

bool send(int fd, uint8_t* packet, int length, uint32_t dest) {
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

bool real_user_is_root() { return fake_net.real_root; }

bool is_local_address(uint32_t addr) {
  return std::find(fake_net.local_addresses.begin(), fake_net.local_addresses.end(), addr) !=
         fake_net.local_addresses.end();
}

}  // namespace net
}  // namespace kovrin
