#include "prober/kovrin.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "common/version.h"
#include "prober/test_util.h"

namespace kovrin {
namespace {

using testing_util::be16;
using testing_util::ip;

struct Outcome {
  int status;
  std::string out;
  std::string err;
};

class KovrinTest : public testing_util::ProberTest {
 protected:
  Outcome run(std::vector<std::string> args) {
    args.insert(args.begin(), "kovrin");
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    const int status = run_kovrin(static_cast<int>(args.size()), argv.data());
    Outcome o{status, testing::internal::GetCapturedStdout(),
              testing::internal::GetCapturedStderr()};
    return o;
  }
};

bool is_usage(const std::string& out) { return out.rfind("Kovrin V1.2 Usage: \n\n", 0) == 0; }

TEST_F(KovrinTest, UsageErrorsAndHelp) {
  struct Case {
    std::vector<std::string> args;
    int status;
  };
  const Case cases[] = {
      {{}, 2},
      {{"192.0.2.1", "192.0.2.2"}, 2},
      {{"192.0.2.1", "-c"}, 2},  // options stop at the operand
      {{"-z", "192.0.2.1"}, 2},
      {{"-e"}, 2},
      {{"-h"}, 0},
      {{"--help"}, 0},
      {{"--help", "192.0.2.1"}, 0},
      {{"--bogus", "192.0.2.1"}, 2},
      {{"-h", "192.0.2.1"}, 0},
      {{"-c", "-h", "-z"}, 0},
  };
  for (const Case& c : cases) {
    fresh();
    const Outcome o = run(c.args);
    EXPECT_EQ(o.status, c.status) << testing::PrintToString(c.args);
    EXPECT_TRUE(is_usage(o.out)) << o.out;
    EXPECT_TRUE(fake::fake_net.trace.empty()) << "nothing opened or sent";
  }
}

TEST_F(KovrinTest, VersionLine) {
  const Outcome o = run({"--version", "192.0.2.1"});
  EXPECT_EQ(o.status, 0);
  EXPECT_EQ(o.out.rfind("kovrin " KOVRIN_VERSION, 0), 0u) << o.out;
  EXPECT_EQ(o.out.back(), '\n');
  EXPECT_TRUE(fake::fake_net.trace.empty());
}

TEST_F(KovrinTest, UsageTextEndsWithAnEmptyLine) {
  const Outcome o = run({"-h"});
  EXPECT_EQ(o.out.substr(o.out.size() - 34), "\t-h \t\tprint this message [0]\t\t\t\t\n\n");
  EXPECT_EQ(std::count(o.out.begin(), o.out.end(), '\n'), 23);
}

TEST_F(KovrinTest, SettingsOutsideTheTablesAreRefused) {
  struct Case {
    std::vector<std::string> args;
    const char* message;  // "" when accepted
  };
  const Case cases[] = {
      {{"-e", "51"}, "kovrin: -e 51: must be from 0 to 50\n"},
      {{"-e", "-1"}, "kovrin: -e -1: must be from 0 to 50\n"},
      {{"-e", "5x"}, "kovrin: -e 5x: must be a decimal number\n"},
      {{"-e", ""}, "kovrin: -e : must be a decimal number\n"},
      {{"-s", "abc"}, "kovrin: -s abc: must be a decimal number\n"},
      {{"-s", "27"}, "kovrin: -s 27: must be from 28 to 1500\n"},
      {{"-s", "1501"}, "kovrin: -s 1501: must be from 28 to 1500\n"},
      {{"-y", "-1"}, "kovrin: -y -1: must be from 0 to 1000000\n"},
      {{"-y", " 1"}, "kovrin: -y  1: must be a decimal number\n"},
      {{"-l", "99999999999"}, "kovrin: -l 99999999999: must be a decimal number\n"},
      {{"-l", "-1"},
       "kovrin: -l -1: must be from 0 to 1058 with -e 30 and the echo probes (probe "
       "indices up to 1125, at most 1126 packets)\n"},
      {{"-e", "50", "-l", "1019"},
       "kovrin: -l 1019: must be from 0 to 1018 with -e 50 and the echo probes (probe "
       "indices up to 1125, at most 1126 packets)\n"},
      {{"-c", "-e", "50", "-l", "1027"},
       "kovrin: -l 1027: must be from 0 to 1026 with -e 50 (probe indices up to 1125, at "
       "most 1126 packets)\n"},
      {{"-i", "10.1.2"}, "kovrin: -i 10.1.2: must be a dotted IPv4 address\n"},
      {{"-i", "host.example"}, "kovrin: -i host.example: must be a dotted IPv4 address\n"},
      {{"-e", "50", "-l", "1018"}, ""},
      {{"-p", "-e", "50", "-l", "1026"}, ""},
      {{"-e", "0", "-l", "0", "-s", "28", "-y", "0"}, ""},
      {{"-s", "1500", "-y", "+7"}, ""},
  };
  for (const Case& c : cases) {
    fresh();
    std::vector<std::string> args = c.args;
    args.push_back("192.0.2.1");
    const Outcome o = run(args);
    if (c.message[0] != '\0') {
      EXPECT_EQ(o.status, 2) << c.message;
      EXPECT_EQ(o.err, c.message);
      EXPECT_EQ(o.out, "");
      EXPECT_TRUE(fake::fake_net.trace.empty()) << c.message;
    } else {
      EXPECT_EQ(o.status, 0) << testing::PrintToString(c.args) << o.err;
      EXPECT_EQ(o.err, "");
    }
  }
}

// Checked by the parser alone: a delay that slipped through would make a
// train of hours.
TEST_F(KovrinTest, DelayHasAnUpperBound) {
  struct Case {
    const char* value;
    ParseResult result;
    const char* message;
  };
  const Case cases[] = {
      {"1000000", ParseResult::kRun, ""},
      {"1000001", ParseResult::kBadValue, "kovrin: -y 1000001: must be from 0 to 1000000\n"},
      {"2147483647", ParseResult::kBadValue,
       "kovrin: -y 2147483647: must be from 0 to 1000000\n"},
  };
  for (const Case& c : cases) {
    std::string a0 = "kovrin", a1 = "-y", a2 = c.value, a3 = "192.0.2.1";
    char* argv[] = {a0.data(), a1.data(), a2.data(), a3.data(), nullptr};
    Settings s;
    const char* operand = nullptr;
    testing::internal::CaptureStderr();
    EXPECT_EQ(parse_command_line(4, argv, s, &operand), c.result) << c.value;
    EXPECT_EQ(testing::internal::GetCapturedStderr(), c.message);
  }
}

TEST_F(KovrinTest, UnresolvedDestinationExits1) {
  const Outcome o = run({"no.such.host"});
  EXPECT_EQ(o.status, 1);
  EXPECT_EQ(o.out, "ERROR: couldn't obtain address for no.such.host\n");
  EXPECT_TRUE(fake::fake_net.sent.empty());
  EXPECT_EQ(fake::fake_net.trace, (std::vector<std::string>{"resume", "open", "open", "drop",
                                                             "lookup", "close", "close"}));
}

// The raw sockets are opened and the privilege given up before the
// destination's name is looked up, and before anything is sent.
TEST_F(KovrinTest, PrivilegeIsGoneBeforeTheLookup) {
  fake::fake_net.names["target.example"] = ip(198, 51, 100, 20);
  ASSERT_EQ(run({"-l", "1", "target.example"}).status, 0);
  const std::vector<std::string>& t = fake::fake_net.trace;
  ASSERT_GE(t.size(), 6u);
  EXPECT_EQ(std::vector<std::string>(t.begin(), t.begin() + 6),
            (std::vector<std::string>{"resume", "open", "open", "drop", "lookup", "pause"}));
  EXPECT_EQ(std::count(t.begin(), t.end(), "resume"), 1);
}

using KovrinDeathTest = KovrinTest;

int run_plain(const char* destination) {
  std::string arg0 = "kovrin", arg1 = destination;
  char* argv[] = {arg0.data(), arg1.data(), nullptr};
  return run_kovrin(2, argv);
}

TEST_F(KovrinDeathTest, FailedDropNamesTheCall) {
  EXPECT_EXIT(
      {
        fake::fake_net.drop_fails = "capset";
        run_plain("192.0.2.1");
      },
      testing::ExitedWithCode(1),
      "^kovrin: could not give up privilege: capset: Operation not permitted\n$");
  EXPECT_EXIT(
      {
        fake::fake_net.resume_fails = "capset";
        run_plain("192.0.2.1");
      },
      testing::ExitedWithCode(1), "^capset: Operation not permitted\n$");
}

// Started with raised privilege by a user who is not root, kovrin sends only
// from an address of this host.
TEST_F(KovrinTest, ForeignSourceAddressNeedsRoot) {
  struct Case {
    bool privileged_start;
    bool real_root;
    const char* source;
    const char* message;  // "" when the run goes ahead
  };
  const Case cases[] = {
      {true, false, "203.0.113.99",
       "kovrin: -i 203.0.113.99: not an address of this host (only root may send from another "
       "address)\n"},
      {true, false, "10.1.2.3", ""},  // the host's own address
      {true, false, "0.0.0.0", ""},   // not set: the platform chooses
      {true, true, "203.0.113.99", ""},
      {false, false, "203.0.113.99", ""},  // no raised privilege: the socket decides
  };
  for (const Case& c : cases) {
    fresh();
    fake::fake_net.privileged_start = c.privileged_start;
    fake::fake_net.real_root = c.real_root;
    fake::fake_net.local_addresses = {ip(127, 0, 0, 1), ip(10, 1, 2, 3)};
    const Outcome o = run({"-l", "1", "-i", c.source, "192.0.2.1"});
    if (c.message[0] != '\0') {
      EXPECT_EQ(o.status, 2) << c.source;
      EXPECT_EQ(o.err, c.message);
      EXPECT_EQ(o.out, "");
      EXPECT_TRUE(fake::fake_net.trace.empty()) << "nothing opened before the refusal";
    } else {
      EXPECT_EQ(o.status, 0) << c.source << " " << c.privileged_start << c.real_root;
      EXPECT_EQ(o.err, "");
      EXPECT_FALSE(fake::fake_net.sent.empty());
    }
  }
}

// A report that cannot be written is a failure, like any other.
TEST_F(KovrinTest, WriteErrorOnStandardOutput) {
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"-h"}, std::vector<std::string>{"-l", "1", "192.0.2.1"}}) {
    fresh();
    std::fflush(stdout);
    const int saved = dup(1);
    const int full = open("/dev/full", O_WRONLY);
    ASSERT_GE(full, 0);
    dup2(full, 1);
    close(full);
    std::vector<std::string> a = args;
    a.insert(a.begin(), "kovrin");
    std::vector<char*> argv;
    for (std::string& s : a) argv.push_back(s.data());
    argv.push_back(nullptr);
    testing::internal::CaptureStderr();
    const int status = run_kovrin(static_cast<int>(a.size()), argv.data());
    const std::string err = testing::internal::GetCapturedStderr();
    dup2(saved, 1);
    close(saved);
    std::clearerr(stdout);
    EXPECT_EQ(status, 1) << testing::PrintToString(args);
    EXPECT_EQ(err, "kovrin: write error: No space left on device\n");
  }
}

TEST_F(KovrinTest, DestinationBySettingsAndName) {
  fake::fake_net.names["target.example"] = ip(198, 51, 100, 20);
  const Outcome o = run({"-e", "5", "-e", "7", "-l", "2", "-c", "target.example"});
  EXPECT_EQ(o.status, 0);
  EXPECT_EQ(settings.dst_ip, ip(198, 51, 100, 20));
  EXPECT_EQ(settings.end_pkt_num, 7);
  EXPECT_EQ(fake::fake_net.sent.size(), 2u * 7 + 2);
  EXPECT_EQ(fake::fake_net.sent.front().dest, ip(198, 51, 100, 20));
  EXPECT_EQ(fake::fake_net.trace.back(), "close");
  EXPECT_EQ(o.out.rfind("1000000000.500000 198.51.100.20 500 2 0\n# no hop reponses\n\n"), 0u)
      << o.out;
}

TEST_F(KovrinTest, DottedDestinationNeedsNoLookup) {
  EXPECT_EQ(run({"-l", "1", "192.0.2.1"}).status, 0);
  EXPECT_EQ(fake::fake_net.forward_lookups + fake::fake_net.reverse_lookups, 0);
}

TEST_F(KovrinTest, SourceAddress) {
  struct Case {
    std::vector<std::string> args;
    uint32_t source;
  };
  const Case cases[] = {
      {{"192.0.2.1"}, 0},
      {{"-i", "0.0.0.0", "192.0.2.1"}, 0},
      {{"-i", "10.1.2.3", "192.0.2.1"}, ip(10, 1, 2, 3)},
  };
  for (const Case& c : cases) {
    fresh();
    ASSERT_EQ(run(c.args).status, 0);
    for (const auto& sent : fake::fake_net.sent) {
      uint32_t source;
      std::memcpy(&source, &sent.bytes[12], 4);
      ASSERT_EQ(source, c.source) << testing::PrintToString(c.args);
    }
  }
}

TEST_F(KovrinTest, WholeRunWithReplies) {
  // Routers answer head and tail of two hops; the destination answers the
  // echo probes.  The routers' replies wait until the train has been sent.
  const uint32_t dst = ip(192, 0, 2, 1);
  const int64_t later = fake::fake_net.clock_usec + 1000000;
  fake::fake_net.answer_echoes = true;
  fake::fake_net.echo_from = dst;
  auto arrive = [&](uint32_t router, int index) {
    fake::fake_net.incoming.push_back(
        {testing_util::time_exceeded(router, dst, seq_base + index, false, 20,
                                     testing_util::fake_id_base()),
         later, 0.0});
  };
  arrive(ip(10, 0, 0, 1), 2);
  arrive(ip(10, 0, 0, 2), 4);
  arrive(ip(10, 0, 0, 2), 5);
  arrive(ip(10, 0, 0, 1), 3);
  const Outcome o = run({"-e", "2", "-l", "3", "-t", "192.0.2.1"});
  EXPECT_EQ(o.status, 0);
  EXPECT_EQ(o.err, "");
  EXPECT_NE(o.out.find("\n00 "), std::string::npos) << o.out;
  EXPECT_NE(o.out.find("\n01 "), std::string::npos) << o.out;
  EXPECT_NE(o.out.find("\nrtt = 23.000 ( 192.0.2.1 )\n"), std::string::npos) << o.out;
  EXPECT_NE(o.out.find("\n011 "), std::string::npos) << o.out;  // 12 send times
  EXPECT_EQ(o.out.find("\n012 "), std::string::npos) << o.out;
  EXPECT_EQ(analysis.probe_hops[0].router, ip(10, 0, 0, 1));
  EXPECT_GT(analysis.probe_hops[0].gap_sec, analysis.probe_hops[1].gap_sec);
}

}  // namespace
}  // namespace kovrin
