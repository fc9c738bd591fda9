#include "prober/capture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "prober/test_util.h"

namespace kovrin {
namespace {

using testing_util::Bytes;
using testing_util::echo_reply;
using testing_util::ip;
using testing_util::time_exceeded;

const uint32_t kDst = ip(192, 0, 2, 1);
const uint32_t kRouter = ip(198, 51, 100, 7);

Bytes cut(Bytes b, size_t n) {
  b.resize(n);
  return b;
}

Bytes with_type(Bytes b, uint8_t type) {
  b[20] = type;
  return b;
}

TEST(ClassifyReply, Table) {
  Bytes bad_ihl = time_exceeded(kRouter, kDst, seq_base + 2, false);
  bad_ihl[0] = 0x44;
  struct Case {
    const char* what;
    Bytes datagram;
    ReplyKind kind;
  };
  const Case cases[] = {
      {"time exceeded, our destination", time_exceeded(kRouter, kDst, seq_base + 2, false),
       ReplyKind::kTimeExceeded},
      {"time exceeded, another destination",
       time_exceeded(kRouter, ip(192, 0, 2, 2), seq_base + 2, false), ReplyKind::kDrop},
      {"time exceeded, IP options", time_exceeded(kRouter, kDst, seq_base + 2, false, 32),
       ReplyKind::kTimeExceeded},
      {"time exceeded, options, quoted destination cut",
       cut(time_exceeded(kRouter, kDst, seq_base + 2, false, 32), 32 + 27), ReplyKind::kDrop},
      {"time exceeded up to the quoted destination",
       cut(time_exceeded(kRouter, kDst, seq_base + 2, false), 48), ReplyKind::kTimeExceeded},
      {"time exceeded, quoted destination cut",
       cut(time_exceeded(kRouter, kDst, seq_base + 2, false), 47), ReplyKind::kDrop},
      {"echo reply with marker", echo_reply(kDst, seq_base + 123), ReplyKind::kEchoReply},
      {"echo reply without marker", echo_reply(kDst, seq_base + 123, false), ReplyKind::kDrop},
      {"echo reply, marker cut", cut(echo_reply(kDst, seq_base + 123), 31), ReplyKind::kDrop},
      {"destination unreachable", with_type(time_exceeded(kRouter, kDst, seq_base, false), 3),
       ReplyKind::kDrop},
      {"echo request", with_type(echo_reply(kDst, seq_base), 8), ReplyKind::kDrop},
      {"IP header only", cut(echo_reply(kDst, seq_base), 20), ReplyKind::kDrop},
      {"shorter than an IP header", cut(echo_reply(kDst, seq_base), 19), ReplyKind::kDrop},
      {"header length below 20", bad_ihl, ReplyKind::kDrop},
      {"empty", Bytes{}, ReplyKind::kDrop},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(classify_reply(c.datagram.data(), static_cast<int>(c.datagram.size()), kDst), c.kind)
        << c.what;
  }
}

class CaptureTest : public testing_util::ProberTest {
 protected:
  void SetUp() override {
    ProberTest::SetUp();
    settings.dst_ip = kDst;
  }
  void arrive(const Bytes& b, double arrival = 0.0, int64_t ready_usec = 0) {
    fake::fake_net.incoming.push_back({b, ready_usec, arrival});
  }
};

TEST_F(CaptureTest, StoresOursDropsTheRest) {
  arrive(time_exceeded(kRouter, kDst, seq_base + 2, false));
  arrive(time_exceeded(kRouter, ip(192, 0, 2, 99), seq_base + 3, false));
  arrive(echo_reply(kDst, seq_base + 1));
  arrive(echo_reply(kDst, seq_base + 2, false));
  arrive(time_exceeded(kRouter, kDst, seq_base + 3, false), 1234.5);
  capture_replies(0);
  const CaptureStore& c = capture_store;
  EXPECT_TRUE(fake::fake_net.incoming.empty());
  ASSERT_EQ(c.rec_i, 2);
  EXPECT_EQ(c.te_replies[0][20 + 8 + 22 + 1], (seq_base + 2) & 0xFF);
  EXPECT_EQ(c.te_lengths[0], 56);
  // The kernel's arrival time when there is one, else the clock after the copy.
  EXPECT_GT(c.te_times[0], 1000000000.0);
  EXPECT_DOUBLE_EQ(c.te_times[1], 1234.5);
  ASSERT_EQ(c.echo_count, 1);
  EXPECT_EQ(c.echo_lengths[0], 60);
}

TEST_F(CaptureTest, SixthEchoReplyIsDropped) {
  for (int k = 0; k < 6; ++k) arrive(echo_reply(ip(10, 0, 0, k), seq_base + k));
  arrive(time_exceeded(kRouter, kDst, seq_base + 2, false));
  capture_replies(0);
  EXPECT_EQ(capture_store.echo_count, 5);
  EXPECT_EQ(capture_store.echo_replies[4][15], 4);  // the fifth one's source
  EXPECT_EQ(capture_store.rec_i, 1);  // the poll went on after the sixth
}

TEST_F(CaptureTest, OverlongDatagramKeepsItsFirstSlotBytes) {
  const Bytes te = time_exceeded(kRouter, kDst, seq_base + 2, false);
  Bytes big(900, 0x5A);
  std::memcpy(big.data(), te.data(), te.size());
  arrive(big);
  capture_replies(0);
  ASSERT_EQ(capture_store.rec_i, 1);
  EXPECT_EQ(capture_store.te_lengths[0], kSlotSize);
  EXPECT_EQ(capture_store.te_replies[0][kSlotSize - 1], 0x5A);
}

TEST_F(CaptureTest, StopsAfterTwiceEndPktsReplies) {
  settings.end_pkt_num = 2;
  for (int k = 0; k < 6; ++k) arrive(time_exceeded(kRouter, kDst, seq_base + 2 + k, false));
  capture_replies(0);
  EXPECT_EQ(capture_store.rec_i, 4);
  EXPECT_EQ(fake::fake_net.incoming.size(), 2u);
  // Each call counts its own replies.
  capture_replies(0);
  EXPECT_EQ(capture_store.rec_i, 6);
}

TEST_F(CaptureTest, FullStore) {
  settings.debug_mode = 1;
  settings.end_pkt_num = 50;
  capture_store.rec_i = kTeSlots - 2;
  for (int k = 0; k < 3; ++k) arrive(time_exceeded(kRouter, kDst, seq_base + 2 + k, false));
  testing::internal::CaptureStdout();
  capture_replies(1);
  // The 101st is reported; the call returns right after storing the 102nd,
  // without its debug line.
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "rec_i = 101\n");
  EXPECT_EQ(capture_store.rec_i, kTeSlots);
  EXPECT_EQ(fake::fake_net.incoming.size(), 1u);
  // A reply that finds the store full is not stored, and the call returns.
  capture_replies(1);
  EXPECT_EQ(capture_store.rec_i, kTeSlots);
  EXPECT_TRUE(fake::fake_net.incoming.empty());
  EXPECT_EQ(fake::count_trace("poll"), 0);
}

TEST_F(CaptureTest, NothingIsTakenWithoutMeasurementPackets) {
  settings.end_pkt_num = 0;
  arrive(time_exceeded(kRouter, kDst, seq_base + 2, false));
  capture_replies(1);
  EXPECT_EQ(capture_store.rec_i, 0);
  EXPECT_EQ(fake::fake_net.incoming.size(), 1u);
}

// The quiet timer restarts at a stored reply but not at a dropped datagram.
TEST_F(CaptureTest, QuietTimerMovesOnlyWithStoredReplies) {
  fake::fake_net.clock_step_usec = 250000;
  const int64_t start = fake::fake_net.clock_usec;
  const int64_t two_seconds = start + 2000000;
  struct Case {
    const char* what;
    Bytes datagram;
    int polls;
  };
  const Case cases[] = {
      {"nothing", Bytes{}, 13},
      {"another destination", time_exceeded(kRouter, ip(9, 9, 9, 9), seq_base + 2, false), 13},
      {"no marker", echo_reply(kDst, seq_base, false), 13},
      {"time exceeded", time_exceeded(kRouter, kDst, seq_base + 2, false), 20},
      {"echo reply", echo_reply(kDst, seq_base), 20},
  };
  for (const Case& c : cases) {
    SetUp();
    fake::fake_net.clock_usec = start;
    fake::fake_net.clock_step_usec = 250000;
    if (!c.datagram.empty()) arrive(c.datagram, 0.0, two_seconds);
    capture_replies(1);
    EXPECT_EQ(fake::count_trace("poll"), c.polls) << c.what;
  }
}

}  // namespace
}  // namespace kovrin

namespace kovrin {
namespace {

// Every cut of valid replies, with and without IP options, in both modes,
// goes through capture and analysis without reading past what arrived (the
// sanitizer build checks the reads); what is kept is never longer than what
// arrived.
TEST_F(CaptureTest, TruncatedRepliesThroughCaptureAndAnalysis) {
  for (int use_icmp = 0; use_icmp <= 1; ++use_icmp) {
    for (int header_len : {20, 24, 60}) {
      const Bytes te = time_exceeded(kRouter, kDst, seq_base + 4, use_icmp != 0, header_len);
      Bytes echo = echo_reply(kDst, seq_base + 70);
      for (size_t n = 0; n <= te.size(); ++n) {
        SetUp();
        settings.use_icmp = use_icmp;
        arrive(cut(te, n));
        arrive(cut(echo, std::min(n, echo.size())));
        capture_replies(0);
        ASSERT_LE(capture_store.rec_i, 1);
        if (capture_store.rec_i == 1) {
          EXPECT_EQ(capture_store.te_lengths[0], static_cast<int32_t>(n));
        }
        analyse_replies();
        // The quoted number is readable only from a whole quoted header.
        const bool whole = n >= static_cast<size_t>(header_len + (use_icmp ? 36 : 32));
        EXPECT_EQ(analysis.probe_hops[1].router, whole ? kRouter : 0u)
            << "cut at " << n << " header " << header_len << " icmp " << use_icmp;
      }
    }
  }
}

}  // namespace
}  // namespace kovrin
