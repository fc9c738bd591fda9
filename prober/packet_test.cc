#include "prober/packet.h"

#include <gtest/gtest.h>

#include <bit>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>

#include "prober/test_util.h"

namespace kovrin {
namespace {

using testing_util::Bytes;
using testing_util::be16;
using testing_util::checksum_verifies;
using testing_util::from_hex;
using testing_util::ip;

TEST(InternetChecksum, Table) {
  struct Case {
    const char* data;
    const char* stored;  // the result as stored in memory order
  };
  const Case cases[] = {
      {"0001 f203 f4f5 f6f7", "220d"},  // the RFC 1071 example
      {"", "ffff"},
      {"0000 0000", "ffff"},
      {"ffff", "0000"},   // a sum of 0xFFFF complements to 0
      {"ab", "54ff"},     // odd length: the left-over byte comes first
      {"0102 03", "fbfd"},
      {"ffff ffff 0001", "fffe"},  // carries folded back in
      {"4500 003c 1c46 4000 4006 0000 ac10 0a63 ac10 0a0c", "b1e6"},
  };
  for (const Case& c : cases) {
    const Bytes data = from_hex(c.data);
    const uint16_t sum = internet_checksum(data.data(), static_cast<int>(data.size()));
    uint8_t stored[2];
    std::memcpy(stored, &sum, 2);
    EXPECT_EQ(Bytes(stored, stored + 2), from_hex(c.stored)) << c.data;
  }
}

TEST(InternetChecksum, LongBuffersMatchWordByWordSum) {
  // The eight-bytes-at-a-time loop against the receiver's view of every
  // length and alignment up to a full packet.
  Bytes data(kPacketSize + 8);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 37 + 11);
  for (int offset = 0; offset < 4; ++offset) {
    for (int length = 0; length <= kPacketSize; length += (length < 40 ? 1 : 97)) {
      Bytes region(data.begin() + offset, data.begin() + offset + length);
      if (region.size() % 2) region.push_back(0);
      const uint16_t sum = internet_checksum(data.data() + offset, length);
      uint8_t stored[2];
      std::memcpy(stored, &sum, 2);
      region.push_back(stored[0]);
      region.push_back(stored[1]);
      EXPECT_TRUE(checksum_verifies(region)) << "offset " << offset << " length " << length;
    }
  }
}

class PacketTest : public testing_util::ProberTest {
 protected:
  void prepare() override {
    settings.dst_ip = ip(192, 0, 2, 1);
  }
  // The last packet sent.
  const Bytes& last() { return fake::fake_net.sent.back().bytes; }
};

// The builder alone: a probe's bytes from its arguments.
Bytes build(Protocol protocol, int32_t index, int32_t length, uint8_t ttl, uint32_t dest,
            uint32_t source, uint16_t id_base, net::WallClock when, bool stable_flow = false) {
  Bytes buffer(kPacketSize, 0xEE);  // whatever a previous probe left
  const int n = build_probe(buffer.data(), protocol, index, length, ttl, dest,
                            ProbeOrigin{source, id_base, stable_flow}, when);
  EXPECT_EQ(n, length);
  buffer.resize(static_cast<size_t>(n));
  return buffer;
}

constexpr net::WallClock kHalfPast = {1000000000, 500000};

// Worked examples at clock 1000000000.5 with identification base 0xA345.
// The total length and the identification are in host order, written here
// for a little-endian host.
TEST(BuildProbe, WorkedExamples) {
  if (std::endian::native != std::endian::little) GTEST_SKIP() << "host-order fields";
  struct Case {
    Protocol protocol;
    int32_t index;
    int32_t length;
    uint8_t ttl;
    const char* hex;
  };
  const Case cases[] = {
      {Protocol::kUdp, 7, 60, 3,
       "45003c00 4ca30000 03116d49 00000000 c0000201 7ab7a9b1 00284f8a 07030000"
       "00000000 00ca9a3b 00000000 20a10700 00000000 00000000 00000000"},
      {Protocol::kIcmp, 7, 60, 3,
       "45003c00 4ca30000 03016d59 00000000 c0000201 080075a9 7ab7a9b1 abcdef78"
       "00000000 00ca9a3b 00000000 20a10700 00000000 00000000 00000000"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(build(c.protocol, c.index, c.length, c.ttl, ip(192, 0, 2, 1), 0, 0xA345, kHalfPast),
              from_hex(c.hex))
        << "icmp " << (c.protocol == Protocol::kIcmp);
  }
}

// Every length, both protocols, built one after the other in one buffer:
// fields at their offsets, all three checksums valid, the rest zero.
TEST(BuildProbe, FieldsAndChecksumsForEveryLength) {
  const uint32_t dest = ip(192, 0, 2, 1);
  for (Protocol protocol : {Protocol::kUdp, Protocol::kIcmp, Protocol::kUdp}) {
    const bool icmp = protocol == Protocol::kIcmp;
    for (int32_t length = 28; length <= kPacketSize; length += (length < 70 ? 1 : 61)) {
      const int32_t index = length % 3 == 0 ? 0 : 1125 - length % 7;
      const uint8_t ttl = static_cast<uint8_t>(length % 255 + 1);
      const Bytes p = build(protocol, index, length, ttl, dest, ip(10, 9, 8, 7), 0xA345,
                            net::WallClock{1000000000 + length, length * 7});
      SCOPED_TRACE(testing::Message() << "icmp " << icmp << " length " << length);
      uint16_t total, id;
      std::memcpy(&total, &p[2], 2);
      std::memcpy(&id, &p[4], 2);
      EXPECT_EQ(total, length);
      EXPECT_EQ(id, static_cast<uint16_t>(0xA345 + index));
      EXPECT_EQ(p[8], ttl);
      EXPECT_EQ(p[9], icmp ? 1 : 17);
      EXPECT_TRUE(checksum_verifies(Bytes(p.begin(), p.begin() + 20)));
      EXPECT_EQ(be16(p, 20 + (icmp ? 6 : 2)), seq_base + index);
      const Bytes transport(p.begin() + 20, p.end());
      if (icmp) {
        EXPECT_EQ(be16(p, 20), 0x0800);  // type 8, code 0
        EXPECT_EQ(be16(p, 24), probe_port);
        EXPECT_TRUE(checksum_verifies(transport));
      } else {
        EXPECT_EQ(be16(p, 20), probe_port);
        EXPECT_EQ(be16(p, 24), length - 20);
        if (length >= 30) {
          EXPECT_EQ(p[28], static_cast<uint8_t>(index));
          EXPECT_EQ(p[29], ttl);
        }
        Bytes pseudo(p.begin() + 12, p.begin() + 20);
        pseudo.insert(pseudo.end(), {0, 17, static_cast<uint8_t>((length - 20) >> 8),
                                     static_cast<uint8_t>(length - 20)});
        pseudo.insert(pseudo.end(), transport.begin(), transport.end());
        EXPECT_TRUE(checksum_verifies(pseudo));
      }
      for (int32_t i = 52; i < length; ++i) ASSERT_EQ(p[i], 0) << "byte " << i;
    }
  }
}

// The flow-stable builder for every length, index and send time: one port
// or sequence number, and an ICMP checksum that never changes, all
// checksums valid, the index in the identification (and, for ICMP, in the
// payload), the send time still there.
TEST(BuildProbe, StableFlowHoldsTheFlowFieldsForEveryLength) {
  const uint32_t dest = ip(192, 0, 2, 1);
  int icmp_checksum = -1;
  for (Protocol protocol : {Protocol::kUdp, Protocol::kIcmp}) {
    const bool icmp = protocol == Protocol::kIcmp;
    for (int32_t length = 28; length <= kPacketSize; length += (length < 70 ? 1 : 61)) {
      // Short packets are load packets (index 0); the measurement packets
      // and echo probes are 60 bytes long.
      const int32_t index = length < 60 ? 0 : 1125 - length % 13;
      const net::WallClock when{1000000000 + length * 977, (length * 7919) % 1000000};
      const Bytes p = build(protocol, index, length, 9, dest, ip(10, 9, 8, 7), 0xA345, when, true);
      SCOPED_TRACE(testing::Message() << "icmp " << icmp << " length " << length);
      uint16_t id;
      std::memcpy(&id, &p[4], 2);
      EXPECT_EQ(id, static_cast<uint16_t>(0xA345 + index));
      EXPECT_TRUE(checksum_verifies(Bytes(p.begin(), p.begin() + 20)));
      EXPECT_EQ(be16(p, 20 + (icmp ? 6 : 2)), seq_base);
      if (length >= 52) {
        int64_t sec;
        std::memcpy(&sec, &p[36], 8);
        EXPECT_EQ(sec, when.sec);
      }
      if (!icmp) continue;
      EXPECT_TRUE(checksum_verifies(Bytes(p.begin() + 20, p.end())));
      if (length >= 34) EXPECT_EQ(be16(p, 20 + kStableIndexAt), index);
      // Below 32 bytes the echo marker itself is cut (the command line
      // refuses such load packets in this mode).
      if (length < 32) continue;
      if (icmp_checksum < 0) icmp_checksum = be16(p, 22);
      EXPECT_EQ(be16(p, 22), icmp_checksum);
    }
  }
}

// Finds a probe whose checksum in the field at `field` would come out 0 by
// trying send times (summed into the transport checksums) or destinations
// (summed into all three), and checks that it goes out as 0xFFFF.
TEST(BuildProbe, ZeroChecksumIsSentAsFFFF) {
  struct Case {
    Protocol protocol;
    int field;
    bool vary_dest;
  };
  const Case cases[] = {{Protocol::kUdp, 10, true}, {Protocol::kUdp, 26, false},
                        {Protocol::kIcmp, 22, false}};
  for (const Case& c : cases) {
    bool found = false;
    for (uint32_t k = 0; k < 0x20000 && !found; ++k) {
      const uint32_t dest = c.vary_dest ? ip(192, 0, static_cast<int>(k >> 8 & 0xFF), static_cast<int>(k & 0xFF))
                                        : ip(192, 0, 2, 1);
      const net::WallClock when =
          c.vary_dest ? kHalfPast : net::WallClock{1000000000 + k / 1000000, k % 1000000};
      const Bytes p = build(c.protocol, 9, 60, 5, dest, 0, 0xA345, when);
      found = be16(p, static_cast<size_t>(c.field)) == 0xFFFF;
      if (found) {
        EXPECT_TRUE(checksum_verifies(Bytes(p.begin(), p.begin() + 20)));
      }
    }
    EXPECT_TRUE(found) << "field " << c.field;
  }
}

// send_probe stamps the probe with the clock, logs it and sends it.
TEST_F(PacketTest, SendProbeStampsLogsAndSends) {
  settings.self_ip = ip(10, 9, 8, 7);
  testing_util::start_run();
  send_probe(Protocol::kIcmp, 7, 60, 3, settings.dst_ip);
  const net::WallClock when = {1000000000, 500000};
  EXPECT_EQ(last(), build(Protocol::kIcmp, 7, 60, 3, settings.dst_ip, settings.self_ip,
                          packet_layer.ip_id_base, when));
  EXPECT_EQ(packet_layer.ip_id_base, 0xA345);
  EXPECT_EQ(fake::fake_net.sent.back().dest, settings.dst_ip);
  EXPECT_DOUBLE_EQ(packet_layer.send_time[7], 1000000000.5);
  EXPECT_DOUBLE_EQ(packet_layer.send_log[0], 1000000000.5);
}

TEST_F(PacketTest, LoadPacketsShareIndexZero) {
  testing_util::start_run();
  for (int i = 0; i < 3; ++i) send_probe(Protocol::kUdp, 0, 500, 100, settings.dst_ip);
  for (const auto& sent : fake::fake_net.sent) {
    EXPECT_EQ(be16(sent.bytes, 22), seq_base);
    uint16_t id;
    std::memcpy(&id, &sent.bytes[4], 2);
    EXPECT_EQ(id, packet_layer.ip_id_base);
  }
  EXPECT_EQ(packet_layer.send_log_count, 3);
  EXPECT_DOUBLE_EQ(packet_layer.send_time[0], packet_layer.send_log[2]);
  EXPECT_LT(packet_layer.send_log[0], packet_layer.send_log[2]);
}

TEST_F(PacketTest, FailedSendIsReportedAndPassedOver) {
  testing_util::start_run();
  fake::fake_net.send_errno = ENETUNREACH;
  testing::internal::CaptureStderr();
  send_probe(Protocol::kUdp, 2, 60, 1, settings.dst_ip);
  send_probe(Protocol::kUdp, 3, 60, 1, settings.dst_ip);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "192.0.2.1: Network is unreachable\n192.0.2.1: Network is unreachable\n");
  EXPECT_EQ(fake::fake_net.sent.size(), 2u);
  EXPECT_EQ(packet_layer.send_log_count, 2);
  EXPECT_NE(packet_layer.send_time[2], 0.0);
}

TEST_F(PacketTest, SocketsByMode) {
  struct Case {
    int use_icmp;
    int planetlab_raw;
    std::vector<int> protocols;
  };
  const Case cases[] = {{0, 0, {17, 1}}, {1, 0, {1, 1}}, {0, 1, {17, 117}}, {1, 1, {1, 117}}};
  for (const Case& c : cases) {
    fresh();
    settings.use_icmp = c.use_icmp;
    settings.planetlab_raw = c.planetlab_raw;
    testing_util::start_run();
    EXPECT_EQ(fake::fake_net.opened_protocols, c.protocols);
  }
}

// One row of a train's packet table: the probe index the identification
// names, TTL and length, then the bytes that per-flow balancers hash, in
// hex: protocol, addresses, and the UDP ports or the ICMP type, code,
// checksum, identifier and sequence number; last whether every checksum of
// the packet verifies.
std::string flow_row(const Bytes& p, uint16_t id_base) {
  uint16_t id;
  std::memcpy(&id, &p[4], 2);
  const bool icmp = p[9] == 1;
  char row[96];
  std::snprintf(row, sizeof row, "%4u %3u %4zu  %02x %02x%02x%02x%02x %02x%02x%02x%02x ",
                static_cast<uint16_t>(id - id_base), p[8], p.size(), p[9], p[12], p[13], p[14],
                p[15], p[16], p[17], p[18], p[19]);
  std::string out = row;
  for (int i = 20; i < 20 + (icmp ? 8 : 4); ++i) {
    std::snprintf(row, sizeof row, "%02x", p[static_cast<size_t>(i)]);
    out += row;
    if (icmp && (i == 21 || i == 23 || i == 25)) out += ' ';
  }
  const Bytes transport(p.begin() + 20, p.end());
  bool valid = checksum_verifies(Bytes(p.begin(), p.begin() + 20));
  if (icmp) {
    valid = valid && checksum_verifies(transport);
  } else {
    Bytes pseudo(p.begin() + 12, p.begin() + 20);
    pseudo.insert(pseudo.end(), {0, 17, static_cast<uint8_t>(transport.size() >> 8),
                                 static_cast<uint8_t>(transport.size())});
    pseudo.insert(pseudo.end(), transport.begin(), transport.end());
    valid = valid && checksum_verifies(pseudo);
  }
  return out + (valid ? "  ok\n" : "  BAD\n");
}

// Whole trains (-e 3 -l 3) in both protocols, as they leave: in the
// flow-stable mode every packet, echo probes, heads, load and tails, shows
// the same flow fields, and only the identification tells them apart.
TEST_F(PacketTest, StableFlowTrainTables) {
  struct Case {
    int use_icmp;
    const char* table;
  };
  const Case cases[] = {
      {0,
       // index ttl len  protocol, source, destination, then UDP source and
       // destination port or ICMP type+code, checksum, identifier, sequence
       "  12 100   60  01 00000000 c0000201 0800 3857 7ab7 a9aa  ok\n"
       "  13 100   60  01 00000000 c0000201 0800 3857 7ab7 a9aa  ok\n"
       "  14 100   60  01 00000000 c0000201 0800 3857 7ab7 a9aa  ok\n"
       "  15 100   60  01 00000000 c0000201 0800 3857 7ab7 a9aa  ok\n"
       "  16 100   60  01 00000000 c0000201 0800 3857 7ab7 a9aa  ok\n"
       "   2   1   60  11 00000000 c0000201 7ab7a9aa  ok\n"
       "   4   2   60  11 00000000 c0000201 7ab7a9aa  ok\n"
       "   6   3   60  11 00000000 c0000201 7ab7a9aa  ok\n"
       "   0 100  500  11 00000000 c0000201 7ab7a9aa  ok\n"
       "   0 100  500  11 00000000 c0000201 7ab7a9aa  ok\n"
       "   0 100  500  11 00000000 c0000201 7ab7a9aa  ok\n"
       "   7   3   60  11 00000000 c0000201 7ab7a9aa  ok\n"
       "   5   2   60  11 00000000 c0000201 7ab7a9aa  ok\n"
       "   3   1   60  11 00000000 c0000201 7ab7a9aa  ok\n"},
      {1,
       "   2   1   60  01 00000000 c0000201 0800 3857 7ab7 a9aa  ok\n"
       "   4   2   60  01 00000000 c0000201 0800 3857 7ab7 a9aa  ok\n"
       "   6   3   60  01 00000000 c0000201 0800 3857 7ab7 a9aa  ok\n"
       "   0 100  500  01 00000000 c0000201 0800 3857 7ab7 a9aa  ok\n"
       "   0 100  500  01 00000000 c0000201 0800 3857 7ab7 a9aa  ok\n"
       "   0 100  500  01 00000000 c0000201 0800 3857 7ab7 a9aa  ok\n"
       "   7   3   60  01 00000000 c0000201 0800 3857 7ab7 a9aa  ok\n"
       "   5   2   60  01 00000000 c0000201 0800 3857 7ab7 a9aa  ok\n"
       "   3   1   60  01 00000000 c0000201 0800 3857 7ab7 a9aa  ok\n"},
  };
  for (const Case& c : cases) {
    fresh();
    settings.use_icmp = c.use_icmp;
    settings.stable_flow = 1;
    settings.end_pkt_num = 3;
    settings.udp_pkt_num = 3;
    testing_util::start_run();
    send_train(settings.dst_ip, 0);
    std::string table;
    for (const auto& sent : fake::fake_net.sent) table += flow_row(sent.bytes, packet_layer.ip_id_base);
    EXPECT_EQ(table, c.table) << "use_icmp " << c.use_icmp;
  }
  // By default each measurement packet is a flow of its own.
  fresh();
  settings.end_pkt_num = 3;
  settings.udp_pkt_num = 3;
  testing_util::start_run();
  send_train(settings.dst_ip, 0);
  std::set<int> ports;
  for (const auto& sent : fake::fake_net.sent) {
    if (sent.bytes[9] == 17) ports.insert(be16(sent.bytes, 22));
  }
  EXPECT_EQ(ports.size(), 7u);  // six measurement packets and the load
}

// Identifications of the flow-stable mode never pass 0, which the
// platform would replace by one of its own.
TEST(StableIdBase, KeepsEveryIndexClearOfZero) {
  const struct {
    uint16_t base, want;
  } cases[] = {{0x8000, 0x8000}, {0xFB9A, 0xFB9A}, {0xFB9B, 1}, {0xFFFF, 1125}, {0, 1126}, {1, 1}};
  for (const auto& c : cases) {
    const uint16_t got = stable_id_base(c.base);
    EXPECT_EQ(got, c.want) << c.base;
    EXPECT_LE(got + kMaxProbeIndex, 0xFFFF) << c.base;
    EXPECT_NE(got, 0) << c.base;
  }
}

// A survey's later trains move the identifications on; in the flow-stable
// mode past the wrap when they would reach 0.
TEST_F(PacketTest, NextTrainKeepsStableIdentificationsClearOfZero) {
  settings.stable_flow = 1;
  testing_util::start_run();
  packet_layer.ip_id_base = 0xF000;
  start_next_train();
  EXPECT_EQ(packet_layer.ip_id_base, 0xF466);  // 0xF000 + 1126 leaves room
  start_next_train();
  EXPECT_EQ(packet_layer.ip_id_base, 0xF8CC);
  start_next_train();
  EXPECT_EQ(packet_layer.ip_id_base, (0xF8CC + 2 * kProbeIndexCount) & 0xFFFF);  // moved past 0
}

using PacketDeathTest = PacketTest;

TEST_F(PacketDeathTest, SystemCallFailuresExit1) {
  EXPECT_EXIT(
      {
        fake::fake_net.open_errno = EPERM;
        testing_util::start_run();
      },
      testing::ExitedWithCode(1),
      "^socket: Operation not permitted\nkovrin needs root or the CAP_NET_RAW "
      "capability to open raw sockets\n$");
  EXPECT_EXIT(
      {
        fake::fake_net.open_errno = EMFILE;
        testing_util::start_run();
      },
      testing::ExitedWithCode(1), "^socket: Too many open files\n$");
  EXPECT_EXIT(
      {
        fake::fake_net.hdrincl_errno = EINVAL;
        testing_util::start_run();
      },
      testing::ExitedWithCode(1), "^IP_HDRINCL: Invalid argument\n$");
  EXPECT_EXIT(
      {
        testing_util::start_run();
        fake::fake_net.clock_fails = true;
        send_probe(Protocol::kUdp, 2, 60, 1, settings.dst_ip);
      },
      testing::ExitedWithCode(1), "^get_time\\(\\) fails, exit\n: Invalid argument\n$");
}

}  // namespace
}  // namespace kovrin
