// Helpers shared by the prober's unit tests: a fixture that starts every
// test from the program's start-up state on the recording platform layer,
// hex input, an independent checksum check and builders of reply datagrams.
#ifndef KOVRIN_PROBER_TEST_UTIL_H_
#define KOVRIN_PROBER_TEST_UTIL_H_

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "prober/analysis.h"
#include "prober/capture.h"
#include "prober/kovrin.h"
#include "prober/net_fake.h"
#include "prober/packet.h"
#include "prober/report.h"
#include "prober/settings.h"
#include "prober/train.h"

namespace kovrin::testing_util {

using Bytes = std::vector<uint8_t>;

// "45 00 3c00" -> bytes; blanks are ignored.
inline Bytes from_hex(const std::string& text) {
  Bytes out;
  std::string digits;
  for (char c : text) {
    if (c != ' ' && c != '\n') digits += c;
  }
  for (size_t i = 0; i + 1 < digits.size(); i += 2) {
    out.push_back(static_cast<uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
  }
  return out;
}

inline uint32_t ip(int a, int b, int c, int d) {
  const uint8_t bytes[4] = {static_cast<uint8_t>(a), static_cast<uint8_t>(b),
                            static_cast<uint8_t>(c), static_cast<uint8_t>(d)};
  uint32_t v;
  std::memcpy(&v, bytes, 4);
  return v;
}

inline int be16(const Bytes& b, size_t off) { return b.at(off) << 8 | b.at(off + 1); }

// Checks a checksummed region the way a receiver does, summing big-endian
// words: a correct region (checksum field included) folds to 0xFFFF.
inline bool checksum_verifies(const Bytes& region) {
  uint32_t sum = 0;
  for (size_t i = 0; i < region.size(); i += 2) {
    sum += static_cast<uint32_t>(region[i] << 8 | (i + 1 < region.size() ? region[i + 1] : 0));
  }
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return sum == 0xFFFF;
}

// The identification base that a run on the fake platform layer takes
// from its process id.
inline uint16_t fake_id_base() { return static_cast<uint16_t>(fake::FakeNet{}.pid | 0x8000); }

// A time-exceeded message from router quoting this run's probe to
// quoted_dst whose port (UDP) or sequence number (ICMP) is number, with the
// identification that probe carried (ip_id_base + index; id_base -1 takes
// packet_layer's).  header_len is the outer IPv4 header length (20 plus
// options).
inline Bytes time_exceeded(uint32_t router, uint32_t quoted_dst, int number, bool icmp,
                           int header_len = 20, int id_base = -1) {
  Bytes d(static_cast<size_t>(header_len) + 8 + 20 + 8, 0);
  d[0] = static_cast<uint8_t>(0x40 | header_len / 4);
  d[9] = 1;
  std::memcpy(&d[12], &router, 4);
  uint8_t* icmp_part = &d[static_cast<size_t>(header_len)];
  icmp_part[0] = 11;
  uint8_t* quoted = icmp_part + 8;
  quoted[0] = 0x45;
  quoted[9] = icmp ? 1 : 17;
  const uint16_t base = static_cast<uint16_t>(id_base < 0 ? packet_layer.ip_id_base : id_base);
  const uint16_t id = static_cast<uint16_t>(base + (number - seq_base));
  std::memcpy(quoted + 4, &id, 2);  // host byte order, as sent
  std::memcpy(quoted + 16, &quoted_dst, 4);
  uint8_t* transport = quoted + 20;
  if (icmp) {
    transport[0] = 8;
    transport[4] = probe_port >> 8;
    transport[5] = probe_port & 0xFF;
  } else {
    transport[0] = probe_port >> 8;
    transport[1] = probe_port & 0xFF;
  }
  const int number_at = icmp ? 6 : 2;
  transport[number_at] = static_cast<uint8_t>(number >> 8);
  transport[number_at + 1] = static_cast<uint8_t>(number);
  return d;
}

// An echo reply from source with sequence number seq, with or without the
// echo marker after its header, returning a request sent at sent_usec
// (microseconds since the epoch).
inline Bytes echo_reply(uint32_t source, int seq, bool marker = true, int64_t sent_usec = 0) {
  Bytes d(20 + 8 + 32, 0);
  d[0] = 0x45;
  d[9] = 1;
  std::memcpy(&d[12], &source, 4);
  d[20] = 0;
  d[24] = 0x7A;
  d[25] = 0xB7;
  d[26] = static_cast<uint8_t>(seq >> 8);
  d[27] = static_cast<uint8_t>(seq);
  if (marker) {
    d[28] = 0xAB;
    d[29] = 0xCD;
    d[30] = 0xEF;
    d[31] = 0x78;
  }
  const int64_t sec = sent_usec / 1000000;
  const int64_t usec = sent_usec % 1000000;
  std::memcpy(&d[36], &sec, 8);
  std::memcpy(&d[44], &usec, 8);
  return d;
}

// The sockets and the packet template as the start-up leaves them.
inline void start_run() {
  init_sockets();
  init_packet();
}

// Every test starts from the start-up state: default settings, empty
// tables, a fresh recording platform layer.  A test that runs several cases
// calls fresh() before each; a fixture adds its own start in prepare().
class ProberTest : public ::testing::Test {
 protected:
  void SetUp() override { fresh(); }
  void TearDown() override { reset_prober_state(); }
  void fresh() {
    fake::reset_fake_net();
    reset_prober_state();
    prepare();
  }
  virtual void prepare() {}
};

}  // namespace kovrin::testing_util

#endif  // KOVRIN_PROBER_TEST_UTIL_H_
