// The platform layer: the only code that talks to the socket API, the clock,
// the host and address services and the process credentials.  The probe
// logic above it works on byte buffers and plain values, so the unit tests
// link it with a recording implementation (net_fake.cc) instead of the real
// one (net_posix.cc) and need no privilege.
//
// Functions that can fail leave errno as the failing call set it, so the
// caller can report it with perror and its own label.
#ifndef KOVRIN_PROBER_NET_H_
#define KOVRIN_PROBER_NET_H_

#include <cstdint>

namespace kovrin::net {

// A wall-clock reading, as gettimeofday gives it.
struct WallClock {
  int64_t sec;
  int64_t usec;
};

// Reads the wall clock; false on failure.
bool read_clock(WallClock* now);

// Reads a monotonic clock in seconds from an arbitrary start; false on
// failure.
bool read_monotonic(double* seconds);

// The process id.
int process_id();

// Pauses for usec microseconds (the pause before the train).  An interrupted
// pause is not resumed.
void pause_usec(int usec);

// Opens an IPv4 raw socket of the given protocol; -1 on failure.
int open_raw(int protocol);

// Sets IP_HDRINCL: the program supplies every IP header itself.
bool include_header(int fd);

// Binds fd to the IPv4 wildcard address and port.
bool bind_port(int fd, int port);

// Asks for kernel arrival times on fd where the platform offers them.
// Failure is harmless: receive() then reports no time.
void request_timestamps(int fd);

// Sends the first length bytes of packet, an IPv4 datagram whose header has
// the total length and identification in host byte order, to dest (network
// byte order).  Adapts the header to what the platform's raw sockets expect,
// so it may rewrite header bytes in place.  False when the send failed.
bool send(int fd, uint8_t* packet, int length, uint32_t dest);

// One non-blocking receive: a single system call whether or not a datagram
// is waiting.  Returns the datagram's length (at most capacity bytes are
// stored), or 0 when nothing was read.  *arrival is the kernel's arrival
// time in seconds when the platform gave one, else 0.0.
int receive(int fd, uint8_t* buffer, int capacity, double* arrival);

// False when the platform's raw sockets put an identification of their own
// in place of id (they do for 0), so that a reply cannot quote it.
bool keeps_identification(uint16_t id);

void close_socket(int fd);

// gethostname into name (size bytes); false on failure.
bool host_name(char* name, int size);

// The local address that an unbound, unconnected stream socket reports
// through getsockname: the wildcard address on the usual platforms.  0 when
// either call fails.
uint32_t unbound_stream_address();

// Forward lookup of a host name: its official name (size bytes, always
// terminated) and its first IPv4 address.  False when nothing was found.
bool lookup_name(const char* host, char* name, int size, uint32_t* addr);

// Reverse lookup of an address: the official name of its entry.  False when
// nothing was found.
bool lookup_address(uint32_t addr, char* name, int size);

// Room for a name of lookup_addresses, terminator included (longer names
// are cut), and the most addresses it takes at once.
constexpr int kLookupNameSize = 256;
constexpr int kMaxLookups = 51;

// Reverse lookups of count addresses (network byte order; count at most
// kMaxLookups, the caller passes each address once), run concurrently and
// all finished on return: found[i] tells whether a name was found for
// addrs[i], and names[i] then holds it.  Costs about as long as the slowest
// single lookup, not their sum.
void lookup_addresses(const uint32_t* addrs, int count, char (*names)[kLookupNameSize],
                      bool* found);

// Privilege.  A set-user-ID or set-group-ID start runs with the real ids as
// the effective ones (suspend) except around the opening of the raw sockets
// (resume); once they are open, drop_privilege gives up the raised ids (and,
// on Linux, every capability of a non-root user) for good, checks that they
// cannot be regained and marks the process as not dumpable.  Each returns
// nullptr on success, or the name of the system call that failed, with
// errno as that call left it.
const char* suspend_privilege();
const char* resume_privilege();
const char* drop_privilege();

// True when the program was started with raised privilege: from a
// set-user-ID or set-group-ID file, or with file capabilities.
bool started_privileged();

// True when the real user is root.
bool real_user_is_root();

// True when addr (network byte order) is an address of one of this host's
// interfaces.  False also when the interfaces cannot be listed.
bool is_local_address(uint32_t addr);

// True when standard error is a terminal (a survey's progress goes there).
bool stderr_is_terminal();

// True when standard output is the file at path (a campaign appending to
// the output it resumes).
bool stdout_is_file(const char* path);

// From now on SIGINT and SIGTERM only ask the program to stop: it does so
// at its next stop_requested() check (a campaign, between trains).
void catch_stop_signals();
bool stop_requested();

}  // namespace kovrin::net

#endif  // KOVRIN_PROBER_NET_H_
