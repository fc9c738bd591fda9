// A recording platform layer for the unit tests: no sockets, a scripted
// clock, scripted incoming datagrams, and a trace of everything the probe
// logic asked of the platform.
#ifndef KOVRIN_PROBER_NET_FAKE_H_
#define KOVRIN_PROBER_NET_FAKE_H_

#include <cstdint>
#include <deque>
#include <map>
#include <optional>
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

// A simulated path for runs of the whole program: each packet that send()
// is given travels it, and what the routers and the destination answer is
// queued in incoming, in order of readiness, with the kernel arrival time
// equal to the ready time.
//
// Hop h is the router at which TTL h runs out (routers[h - 1]); a packet
// whose TTL outlasts the routers reaches the destination, one link after the
// last router.  Every link takes link_delay_usec one way; the link behind
// router bottleneck_after (1-based; 0 for none) also sends at bottleneck_bps
// bits a second from a single queue, and packets that cross it wait for it
// in send order.  Answers travel back without a queue, one link delay per
// hop.  A router answers a packet whose TTL runs out there with a
// time-exceeded message quoting the packet's first 28 bytes, from addr (from
// second_addr once it has answered once, when that is set); a silent one
// never answers.  The destination answers echo requests with echo replies
// and UDP datagrams with port-unreachable messages.  With loop_after > 0 the
// packets past router loop_after go back to router loop_to and round the
// routers loop_to..loop_after until their TTL runs out; the destination is
// out of reach and the bottleneck, if any, is crossed once at most.
// Checksums of the answers are not kept.
struct FakeRouter {
  uint32_t addr = 0;
  uint32_t second_addr = 0;
  bool silent = false;
  int answers = 0;  // time-exceeded messages sent so far
};

struct FakePath {
  std::vector<FakeRouter> routers;
  uint32_t destination = 0;  // 0: nothing answers beyond the routers
  int64_t link_delay_usec = 100;
  int bottleneck_after = 0;
  int64_t bottleneck_bps = 0;
  double busy_until_usec = 0.0;  // the bottleneck's queue empties then
  int loop_after = 0;
  int loop_to = 0;
};

// What happened, in order: "send", "poll" (a receive that found nothing),
// "recv", "pause", "open", "close", "resume", "drop", "lookup" (forward or
// reverse; one per address of a batch of reverse lookups).  With record off,
// sends and receives leave no trace (the fuzzer runs many trains).
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
  bool stderr_terminal = false;
  // stop_requested() turns true for good once it has been asked this many
  // times (a simulated SIGINT); -1: never.
  int stop_after_checks = -1;
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
  std::optional<FakePath> path;  // when set, sends travel it
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
