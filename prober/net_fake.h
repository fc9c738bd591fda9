// A recording platform layer for the unit tests: no sockets, a scripted
// clock, scripted incoming datagrams, and a trace of everything the probe
// logic asked of the platform.
#ifndef KOVRIN_PROBER_NET_FAKE_H_
#define KOVRIN_PROBER_NET_FAKE_H_

#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <vector>

namespace kovrin::fake {

struct Sent {
  int fd;
  uint32_t dest;
  std::vector<uint8_t> bytes;
};

struct Incoming {
  std::vector<uint8_t> bytes;
  int64_t ready_usec = 0;  // not delivered before the clock reaches this
  double arrival = 0.0;    // kernel arrival time reported with it (0: none)
  int64_t wall_step_usec = 0;  // the wall clock steps by this when it is delivered
};

// What happened, in order: "send", "poll" (a receive that found nothing),
// "recv", "pause", "open", "close", "resume", "drop", "lookup" (forward or
// reverse).  With record off, sends and receives leave no trace (the fuzzer
// runs many trains).
struct FakeNet {
  // Both clocks advance together by clock_step_usec after every reading of
  // either; the wall clock reads clock_usec + wall_offset_usec, the
  // monotonic clock clock_usec.
  int64_t clock_usec = 1000000000500000;  // the next clock reading
  int64_t clock_step_usec = 1000;         // added after every reading
  int64_t wall_offset_usec = 0;
  int monotonic_reads = 0;
  bool record = true;
  // Delivered after incoming runs dry, flood_count times: unrelated traffic.
  std::vector<uint8_t> flood;
  int64_t flood_count = 0;
  int receives = 0;  // datagrams delivered
  // With answer_echoes, every echo request sent is answered from echo_from
  // echo_delay_usec later (the reply returns the request's payload).
  bool answer_echoes = false;
  uint32_t echo_from = 0;
  int64_t echo_delay_usec = 20000;
  bool clock_fails = false;
  int pid = 0x12345;
  int open_errno = 0;     // open_raw fails with this errno when nonzero
  int hdrincl_errno = 0;  // include_header fails with this errno when nonzero
  int send_errno = 0;     // send fails with this errno when nonzero
  const char* resume_fails = nullptr;  // resume_privilege reports this call as failed
  const char* drop_fails = nullptr;    // drop_privilege reports this call as failed
  bool privileged_start = false;
  bool real_root = true;
  std::vector<uint32_t> local_addresses;
  uint32_t stream_address = 0;
  int next_fd = 3;
  std::deque<Incoming> incoming;
  std::vector<Sent> sent;
  std::vector<std::string> trace;
  std::vector<int> opened_protocols;
  std::map<std::string, uint32_t> names;       // forward lookups
  std::map<uint32_t, std::string> addresses;   // reverse lookups
  int reverse_lookups = 0;
  int forward_lookups = 0;
};
extern FakeNet fake_net;

// Back to a fresh FakeNet.
void reset_fake_net();

// Number of trace entries equal to what.
int count_trace(const std::string& what);

}  // namespace kovrin::fake

#endif  // KOVRIN_PROBER_NET_FAKE_H_
