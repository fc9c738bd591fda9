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
};

// What happened, in order: "send", "poll" (a receive that found nothing),
// "recv", "pause", "open", "close", "resume", "drop".
struct FakeNet {
  int64_t clock_usec = 1000000000500000;  // the next clock reading
  int64_t clock_step_usec = 1000;         // added after every reading
  bool clock_fails = false;
  int pid = 0x12345;
  int open_errno = 0;     // open_raw fails with this errno when nonzero
  int hdrincl_errno = 0;  // include_header fails with this errno when nonzero
  int send_errno = 0;     // send fails with this errno when nonzero
  bool drop_fails = false;
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
