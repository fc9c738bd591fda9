// kovrin-fake: the whole kovrin program on the recording platform layer,
// its probes travelling a simulated path (FakePath in net_fake.h), for the
// golden runs in tests/golden-kovrin.  The fake clock makes every run
// reproducible.
//
//   kovrin-fake PATH_FILE -- [kovrin arguments...]
//
// The path file holds one directive a line; `#` starts a comment line:
//   router ADDR                 the next router of the path (hop 1 first)
//   destination ADDR            the host beyond the last router
//   delay_us N                  one-way delay of every link (default 100)
//   bottleneck_after K BPS      the link behind router K sends BPS bits a second
//   silent K                    router K never answers
//   second_address K ADDR       router K answers from ADDR after its first answer
//   loop_after K J              past router K the packets go back to router J
//   name ADDR HOSTNAME          the reverse lookup of ADDR finds HOSTNAME, and
//                               the lookup of HOSTNAME finds ADDR
//   clock_step_us N             the fake clock's advance per reading
//   stop_after_checks N         a stop signal arrives after N checks for one
// Router numbers count from 1.  A bad path file or command line ends the
// run with status 99 before kovrin starts.
#include <arpa/inet.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "prober/kovrin.h"
#include "prober/net_fake.h"

namespace {

constexpr int kSetupFailure = 99;

[[noreturn]] void fail(const std::string& message) {
  std::fprintf(stderr, "kovrin-fake: %s\n", message.c_str());
  std::exit(kSetupFailure);
}

class PathReader {
 public:
  PathReader(const char* file, kovrin::fake::FakeNet& net) : file_(file), net_(net) {}

  void read() {
    std::ifstream in(file_);
    if (!in) fail(file_ + ": cannot be read");
    net_.path.emplace();
    std::string line;
    while (std::getline(in, line)) {
      ++line_number_;
      std::istringstream words(line);
      std::string directive;
      if (!(words >> directive) || directive[0] == '#') continue;
      apply(directive, words);
      std::string extra;
      if (words >> extra) error("unexpected '" + extra + "'");
    }
    kovrin::fake::FakePath& p = *net_.path;
    const int routers = static_cast<int>(p.routers.size());
    if (p.bottleneck_after > routers) error_at_end("bottleneck_after names no router");
    if (p.loop_after > routers) error_at_end("loop_after names no router");
  }

 private:
  void apply(const std::string& directive, std::istringstream& words) {
    kovrin::fake::FakePath& p = *net_.path;
    if (directive == "router") {
      kovrin::fake::FakeRouter r;
      r.addr = address(words);
      p.routers.push_back(r);
    } else if (directive == "destination") {
      p.destination = address(words);
    } else if (directive == "delay_us") {
      p.link_delay_usec = number(words, 0);
    } else if (directive == "bottleneck_after") {
      p.bottleneck_after = static_cast<int>(number(words, 1));
      p.bottleneck_bps = number(words, 1);
    } else if (directive == "silent") {
      router(words).silent = true;
    } else if (directive == "second_address") {
      kovrin::fake::FakeRouter& r = router(words);
      r.second_addr = address(words);
    } else if (directive == "loop_after") {
      p.loop_after = static_cast<int>(number(words, 1));
      p.loop_to = static_cast<int>(number(words, 1));
      if (p.loop_to > p.loop_after) error("loop_after must go back");
    } else if (directive == "name") {
      const uint32_t addr = address(words);
      std::string host;
      if (!(words >> host)) error("name needs a host name");
      net_.addresses[addr] = host;
      net_.names[host] = addr;
    } else if (directive == "clock_step_us") {
      net_.clock_step_usec = number(words, 1);
    } else if (directive == "stop_after_checks") {
      net_.stop_after_checks = static_cast<int>(number(words, 0));
    } else {
      error("unknown directive '" + directive + "'");
    }
  }

  uint32_t address(std::istringstream& words) {
    std::string text;
    in_addr addr;
    if (!(words >> text) || inet_pton(AF_INET, text.c_str(), &addr) != 1) {
      error("expected a dotted IPv4 address");
    }
    return addr.s_addr;
  }

  int64_t number(std::istringstream& words, int64_t least) {
    long long value;
    if (!(words >> value) || value < least) {
      error("expected a number of at least " + std::to_string(least));
    }
    return value;
  }

  kovrin::fake::FakeRouter& router(std::istringstream& words) {
    const int64_t k = number(words, 1);
    std::vector<kovrin::fake::FakeRouter>& routers = net_.path->routers;
    if (k > static_cast<int64_t>(routers.size())) error("no router " + std::to_string(k) + " yet");
    return routers[static_cast<size_t>(k - 1)];
  }

  [[noreturn]] void error(const std::string& what) {
    fail(file_ + ":" + std::to_string(line_number_) + ": " + what);
  }
  [[noreturn]] void error_at_end(const std::string& what) { fail(file_ + ": " + what); }

  std::string file_;
  kovrin::fake::FakeNet& net_;
  int line_number_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3 || std::string(argv[2]) != "--") {
    fail("usage: kovrin-fake PATH_FILE -- [kovrin arguments...]");
  }
  kovrin::fake::reset_fake_net();
  // Sends and receives leave no trace: the quiet wait after the train polls
  // hundreds of thousands of times.
  kovrin::fake::fake_net.record = false;
  PathReader(argv[1], kovrin::fake::fake_net).read();

  // kovrin sees its own name first, then its arguments.
  std::vector<char*> args;
  static char name[] = "kovrin";
  args.push_back(name);
  for (int i = 3; i < argc; ++i) args.push_back(argv[i]);
  args.push_back(nullptr);
  return kovrin::run_kovrin(static_cast<int>(args.size()) - 1, args.data());
}
