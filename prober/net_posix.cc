// The platform layer on POSIX systems with BSD sockets: Linux, and FreeBSD
// behind #ifdef.
#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/types.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <system_error>
#include <thread>

#ifdef __linux__
#include <linux/capability.h>
#include <sys/auxv.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#endif
#ifdef __FreeBSD__
#include <sys/param.h>
#include <sys/procctl.h>
#endif

#include "prober/net.h"

namespace kovrin::net {

bool read_clock(WallClock* now) {
  timeval tv;
  if (gettimeofday(&tv, nullptr) != 0) return false;
  now->sec = tv.tv_sec;
  now->usec = tv.tv_usec;
  return true;
}

bool read_monotonic(double* seconds) {
  timespec ts;
  if (clock_gettime(CLOCK_MONOTONIC, &ts) != 0) return false;
  *seconds = static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
  return true;
}

int process_id() { return static_cast<int>(getpid()); }

void pause_usec(int usec) {
  timeval timeout = {usec / 1000000, usec % 1000000};
  select(0, nullptr, nullptr, nullptr, &timeout);
}

int open_raw(int protocol) { return socket(AF_INET, SOCK_RAW, protocol); }

bool include_header(int fd) {
  int on = 1;
  return setsockopt(fd, IPPROTO_IP, IP_HDRINCL, &on, sizeof on) == 0;
}

bool bind_port(int fd, int port) {
  sockaddr_in addr;
  std::memset(&addr, 0, sizeof addr);
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  return bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
}

void request_timestamps(int fd) {
#ifdef SO_TIMESTAMP
  int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_TIMESTAMP, &on, sizeof on);
#else
  (void)fd;
#endif
}

bool send(int fd, uint8_t* packet, int length, uint32_t dest) {
#if defined(__FreeBSD__) && __FreeBSD_version >= 1100030
  // From 11.0 on, FreeBSD takes the total length and the fragment field of a
  // supplied header in network byte order; before, in host order as written.
  uint16_t total, frag;
  std::memcpy(&total, packet + 2, 2);
  std::memcpy(&frag, packet + 6, 2);
  total = htons(total);
  frag = htons(frag);
  std::memcpy(packet + 2, &total, 2);
  std::memcpy(packet + 6, &frag, 2);
#endif
  // Linux needs nothing: with IP_HDRINCL it always writes the total length
  // and the header checksum itself, and fills in the identification and
  // the source address when they are 0.
  sockaddr_in to;
  std::memset(&to, 0, sizeof to);
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = dest;
  return sendto(fd, packet, static_cast<size_t>(length), 0,
                reinterpret_cast<sockaddr*>(&to), sizeof to) >= 0;
}

int receive(int fd, uint8_t* buffer, int capacity, double* arrival) {
  // recvmsg rather than recvfrom only to get the arrival time; when nothing
  // is waiting it returns EAGAIN at the same cost.
  sockaddr_in from;
  iovec iov = {buffer, static_cast<size_t>(capacity)};
  alignas(cmsghdr) char control[64];
  msghdr msg;
  std::memset(&msg, 0, sizeof msg);
  msg.msg_name = &from;
  msg.msg_namelen = sizeof from;
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  msg.msg_control = control;
  msg.msg_controllen = sizeof control;
  const ssize_t n = recvmsg(fd, &msg, MSG_DONTWAIT);
  *arrival = 0.0;
  if (n <= 0) return 0;
#ifdef SCM_TIMESTAMP
  for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
    if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMP &&
        c->cmsg_len >= CMSG_LEN(sizeof(timeval))) {
      timeval tv;
      std::memcpy(&tv, CMSG_DATA(c), sizeof tv);
      *arrival = static_cast<double>(tv.tv_sec) +
                 static_cast<double>(tv.tv_usec) / 1000000.0;
    }
  }
#endif
  return n > capacity ? capacity : static_cast<int>(n);
}

bool keeps_identification(uint16_t id) {
  // Linux and FreeBSD both fill in an identification of their own when a
  // supplied header carries 0.
  return id != 0;
}

void close_socket(int fd) { close(fd); }

bool host_name(char* name, int size) {
  return gethostname(name, static_cast<size_t>(size)) == 0;
}

uint32_t unbound_stream_address() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return 0;
  sockaddr_in addr;
  std::memset(&addr, 0, sizeof addr);
  socklen_t len = sizeof addr;
  uint32_t result = 0;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0) {
    result = addr.sin_addr.s_addr;
  }
  close(fd);
  return result;
}

namespace {

void copy_name(const char* from, char* name, int size) {
  std::strncpy(name, from, static_cast<size_t>(size) - 1);
  name[size - 1] = '\0';
}

}  // namespace

bool lookup_name(const char* host, char* name, int size, uint32_t* addr) {
  const hostent* entry = gethostbyname(host);
  if (entry == nullptr || entry->h_addrtype != AF_INET ||
      entry->h_addr_list[0] == nullptr) {
    return false;
  }
  copy_name(entry->h_name, name, size);
  const int len = entry->h_length < 4 ? entry->h_length : 4;
  *addr = 0;
  std::memcpy(addr, entry->h_addr_list[0], static_cast<size_t>(len));
  return true;
}

bool lookup_address(uint32_t addr, char* name, int size) {
  const hostent* entry = gethostbyaddr(&addr, 4, AF_INET);
  if (entry == nullptr || entry->h_name == nullptr) return false;
  copy_name(entry->h_name, name, size);
  return true;
}

namespace {

// One reverse lookup through getnameinfo, which is safe to call from several
// threads at once; only a name counts, never the address as text.
bool lookup_one(uint32_t addr, char* name, int size) {
  sockaddr_in sa;
  std::memset(&sa, 0, sizeof sa);
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = addr;
  char host[NI_MAXHOST];
  if (getnameinfo(reinterpret_cast<const sockaddr*>(&sa), sizeof sa, host, sizeof host, nullptr,
                  0, NI_NAMEREQD) != 0) {
    return false;
  }
  copy_name(host, name, size);
  return true;
}

}  // namespace

void lookup_addresses(const uint32_t* addrs, int count, char (*names)[kLookupNameSize],
                      bool* found) {
  if (count > kMaxLookups) count = kMaxLookups;
  // Each worker takes the next address not yet taken until none is left:
  // with a helper thread per address beyond the first (this thread takes a
  // share too), every lookup starts at once; when a thread cannot be
  // started, the running ones share the rest.
  std::atomic<int> next{0};
  const auto work = [&] {
    for (int i = next.fetch_add(1); i < count; i = next.fetch_add(1)) {
      found[i] = lookup_one(addrs[i], names[i], kLookupNameSize);
    }
  };
  std::thread helpers[kMaxLookups - 1];
  int started = 0;
  for (; started < count - 1; ++started) {
    try {
      helpers[started] = std::thread(work);
    } catch (const std::system_error&) {
      break;
    }
  }
  work();
  for (int t = 0; t < started; ++t) helpers[t].join();
}

namespace {

// Ids at start-up: the real ones and the effective ones a set-user-ID or
// set-group-ID file gave.
struct Ids {
  bool known = false;
  uid_t real_uid = 0;
  uid_t start_euid = 0;
  gid_t real_gid = 0;
  gid_t start_egid = 0;
};
Ids ids;

#ifdef __linux__
// Makes the effective capabilities those permitted (raise) or none (lower).
// A file capability (cap_net_raw) thus stays out of use, like a set-user-ID
// root, until the raw sockets are opened.
const char* set_effective_capabilities(bool raise) {
  __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3];
  if (syscall(SYS_capget, &header, data) != 0) return "capget";
  for (auto& d : data) d.effective = raise ? d.permitted : 0;
  if (syscall(SYS_capset, &header, data) != 0) return "capset";
  return nullptr;
}

// Clears every capability of the process: what a file capability granted
// is needed only to open the raw sockets.
const char* clear_capabilities() {
  __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3];
  std::memset(data, 0, sizeof data);
  if (syscall(SYS_capset, &header, data) != 0) return "capset";
  std::memset(data, 0xff, sizeof data);
  if (syscall(SYS_capget, &header, data) != 0) return "capget";
  for (const auto& d : data) {
    if (d.effective != 0 || d.permitted != 0) {
      errno = EPERM;
      return "capget (capabilities left after capset)";
    }
  }
  return nullptr;
}
#endif

// After the drop nothing may be dumped or traced that still holds what the
// privileged start read or opened.
const char* forbid_dumps() {
#if defined(__linux__)
  if (prctl(PR_SET_DUMPABLE, 0, 0, 0, 0) != 0) return "prctl";
#elif defined(__FreeBSD__)
  int mode = PROC_TRACE_CTL_DISABLE;
  if (procctl(P_PID, getpid(), PROC_TRACE_CTL, &mode) != 0) return "procctl";
#endif
  return nullptr;
}

}  // namespace

const char* suspend_privilege() {
  ids.known = true;
  ids.real_uid = getuid();
  ids.start_euid = geteuid();
  ids.real_gid = getgid();
  ids.start_egid = getegid();
  // Group first: lowering the user id could take the right to change it.
  if (ids.start_egid != ids.real_gid && setegid(ids.real_gid) != 0) return "setegid";
  if (ids.start_euid != ids.real_uid && seteuid(ids.real_uid) != 0) return "seteuid";
#ifdef __linux__
  if (ids.real_uid != 0) return set_effective_capabilities(false);
#endif
  return nullptr;
}

const char* resume_privilege() {
  if (!ids.known) return nullptr;
  if (ids.start_euid != ids.real_uid && seteuid(ids.start_euid) != 0) return "seteuid";
  if (ids.start_egid != ids.real_gid && setegid(ids.start_egid) != 0) return "setegid";
#ifdef __linux__
  if (ids.real_uid != 0) return set_effective_capabilities(true);
#endif
  return nullptr;
}

const char* drop_privilege() {
  if (!ids.known) {
    if (const char* call = suspend_privilege()) return call;
  }
  const uid_t uid = ids.real_uid;
  const gid_t gid = ids.real_gid;
  // Setting real, effective and saved ids to the real one is allowed
  // without privilege, and it leaves nothing to return to.
  if (ids.start_egid != gid && setresgid(gid, gid, gid) != 0) return "setresgid";
  if (ids.start_euid != uid && setresuid(uid, uid, uid) != 0) return "setresuid";
#ifdef __linux__
  if (uid != 0) {
    if (const char* call = clear_capabilities()) return call;
  }
#endif
  // Check that the drop took and cannot be undone.
  uid_t r, e, saved;
  if (getresuid(&r, &e, &saved) != 0) return "getresuid";
  if (r != uid || e != uid || saved != uid) {
    errno = EPERM;
    return "getresuid (a raised user id is left)";
  }
  gid_t gr, ge, gsaved;
  if (getresgid(&gr, &ge, &gsaved) != 0) return "getresgid";
  if (gr != gid || ge != gid || gsaved != gid) {
    errno = EPERM;
    return "getresgid (a raised group id is left)";
  }
  if (ids.start_euid != uid && (setuid(ids.start_euid) == 0 || seteuid(ids.start_euid) == 0)) {
    errno = EPERM;
    return "seteuid (the raised user id could be taken back)";
  }
  if (uid != 0 && ids.start_egid != gid &&
      (setgid(ids.start_egid) == 0 || setegid(ids.start_egid) == 0)) {
    errno = EPERM;
    return "setegid (the raised group id could be taken back)";
  }
  return forbid_dumps();
}

bool started_privileged() {
#if defined(__linux__)
  // Set by the kernel at exec for set-user-ID, set-group-ID and
  // file-capability starts alike.
  return getauxval(AT_SECURE) != 0;
#else
  return issetugid() != 0;
#endif
}

bool real_user_is_root() { return (ids.known ? ids.real_uid : getuid()) == 0; }

bool is_local_address(uint32_t addr) {
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return false;
  bool found = false;
  for (const ifaddrs* i = list; i != nullptr && !found; i = i->ifa_next) {
    if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_INET) continue;
    sockaddr_in sin;
    std::memcpy(&sin, i->ifa_addr, sizeof sin);
    found = sin.sin_addr.s_addr == addr;
  }
  freeifaddrs(list);
  return found;
}

bool stderr_is_terminal() { return isatty(STDERR_FILENO) == 1; }

bool stdout_is_file(const char* path) {
  struct stat out, file;
  return fstat(STDOUT_FILENO, &out) == 0 && stat(path, &file) == 0 && out.st_dev == file.st_dev &&
         out.st_ino == file.st_ino;
}

namespace {
volatile sig_atomic_t stop_signal = 0;
extern "C" void note_stop_signal(int signo) { stop_signal = signo; }
}  // namespace

void catch_stop_signals() {
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_handler = note_stop_signal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

bool stop_requested() { return stop_signal != 0; }

}  // namespace kovrin::net
