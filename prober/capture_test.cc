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

// The probes of a default UDP run to kDst: identification base 0x1200, 30
// measurement packets each way, and one send time in the log.
const double kSent[] = {1000000000.25};
RunProbes udp_run(bool icmp = false) {
  return RunProbes{kDst, icmp, false, 0x1200, 30, kSent, 1};
}

Bytes te(int index, bool icmp = false, int header_len = 20) {
  return time_exceeded(kRouter, kDst, seq_base + index, icmp, header_len, 0x1200);
}

// Byte `at` of the quoted header (0 = its first byte) set to value.
Bytes quoting(Bytes b, size_t at, uint8_t value) {
  b.at(20 + 8 + at) = value;
  return b;
}

struct KindCase {
  const char* what;
  Bytes datagram;
  ReplyKind kind;
  bool icmp = false;  // the run probes with ICMP
};

template <size_t N>
void expect_kinds(const KindCase (&cases)[N]) {
  for (const KindCase& c : cases) {
    EXPECT_EQ(classify_reply(c.datagram.data(), static_cast<int>(c.datagram.size()),
                             udp_run(c.icmp)),
              c.kind)
        << c.what;
  }
}

TEST(ClassifyReply, Table) {
  Bytes bad_ihl = te(2);
  bad_ihl[0] = 0x44;
  const int64_t sent_usec = 1000000000250000;
  const KindCase cases[] = {
      {"time exceeded for a head packet", te(2), ReplyKind::kTimeExceeded},
      {"time exceeded for the deepest tail packet", te(61), ReplyKind::kTimeExceeded},
      {"time exceeded, ICMP probe", te(7, true), ReplyKind::kTimeExceeded, true},
      {"time exceeded, another destination",
       time_exceeded(kRouter, ip(192, 0, 2, 2), seq_base + 2, false, 20, 0x1200), ReplyKind::kDrop},
      {"time exceeded, IP options", te(2, false, 32), ReplyKind::kTimeExceeded},
      {"time exceeded, options, quoted ports cut", cut(te(2, false, 32), 32 + 8 + 23),
       ReplyKind::kDrop},
      {"time exceeded up to the quoted port", cut(te(2), 48 + 4), ReplyKind::kTimeExceeded},
      {"time exceeded, quoted port cut", cut(te(2), 48 + 3), ReplyKind::kDrop},
      {"ICMP probe up to the quoted sequence number", cut(te(2, true), 56),
       ReplyKind::kTimeExceeded, true},
      {"ICMP probe, quoted sequence number cut", cut(te(2, true), 55), ReplyKind::kDrop, true},
      {"echo reply with marker and our send time", echo_reply(kDst, seq_base + 123, true, sent_usec),
       ReplyKind::kEchoReply},
      {"echo reply without marker", echo_reply(kDst, seq_base + 123, false, sent_usec),
       ReplyKind::kDrop},
      {"echo reply, send time not ours", echo_reply(kDst, seq_base + 123, true, sent_usec + 1),
       ReplyKind::kDrop},
      {"echo reply, another identifier",
       [&] {
         Bytes b = echo_reply(kDst, seq_base + 123, true, sent_usec);
         b[24] = 0x12;
         return b;
       }(),
       ReplyKind::kDrop},
      {"echo reply, send time cut", cut(echo_reply(kDst, seq_base + 123, true, sent_usec), 51),
       ReplyKind::kDrop},
      {"destination unreachable", with_type(te(2), 3), ReplyKind::kDrop},
      {"echo request", with_type(echo_reply(kDst, seq_base, true, sent_usec), 8), ReplyKind::kDrop},
      {"IP header only", cut(te(2), 20), ReplyKind::kDrop},
      {"shorter than an IP header", cut(te(2), 19), ReplyKind::kDrop},
      {"header length below 20", bad_ihl, ReplyKind::kDrop},
      {"empty", Bytes{}, ReplyKind::kDrop},
  };
  expect_kinds(cases);
}

// Replies that look like ours at first sight but do not answer a
// measurement packet of this run: another run's, forged ones, answers to the
// load packets and to the run's own echo probes.
TEST(ClassifyReply, ForeignAndForgedRepliesAreRefused) {
  Bytes other_id = te(4);
  other_id[20 + 8 + 4] ^= 1;  // another run's base, or a rewriting middlebox
  const KindCase cases[] = {
      {"identification of another run", other_id, ReplyKind::kForeignId},
      {"identification in network byte order",
       quoting(quoting(te(4), 4, 0x12), 5, 0x04), ReplyKind::kForeignId},
      {"another source port", quoting(te(4), 21, 0x00), ReplyKind::kDrop},
      {"quoted protocol ICMP in UDP mode (an echo probe of the run)", quoting(te(4), 9, 1),
       ReplyKind::kDrop},
      {"quoted protocol UDP in ICMP mode", quoting(te(4, true), 9, 17), ReplyKind::kDrop, true},
      {"ICMP probe with another identifier", quoting(te(4, true), 25, 0x00), ReplyKind::kDrop,
       true},
      {"ICMP probe quoted as an echo reply", quoting(te(4, true), 20, 0), ReplyKind::kDrop, true},
      {"quoted header with options", quoting(te(4), 0, 0x46), ReplyKind::kDrop},
      {"quoted IPv6 version", quoting(te(4), 0, 0x65), ReplyKind::kDrop},
      {"load packet (index 0)", te(0), ReplyKind::kDrop},
      {"index 1", te(1), ReplyKind::kDrop},
      {"beyond the deepest tail packet", te(62), ReplyKind::kDrop},
      {"echo probe of the run (index 123)", te(123), ReplyKind::kDrop},
      {"port below seq_base", time_exceeded(kRouter, kDst, seq_base - 2, false, 20, 0x1200),
       ReplyKind::kDrop},
  };
  expect_kinds(cases);
}

// The platform puts its own identification in place of 0, so the probe
// whose identification wraps to 0 cannot be checked by it.
TEST(ClassifyReply, IdentificationZeroIsTheKernels) {
  RunProbes run = udp_run();
  run.ip_id_base = 0xFFFE;  // index 2 is sent with identification 0
  Bytes b = time_exceeded(kRouter, kDst, seq_base + 2, false, 20, 0x1234);
  EXPECT_EQ(classify_reply(b.data(), static_cast<int>(b.size()), run), ReplyKind::kTimeExceeded);
  b = time_exceeded(kRouter, kDst, seq_base + 3, false, 20, 0x1234);
  EXPECT_EQ(classify_reply(b.data(), static_cast<int>(b.size()), run), ReplyKind::kForeignId);
}

// The flow-stable mode: every probe quotes seq_base, and the quoted
// identification alone names the probe, counted from ip_id_base modulo
// 65536 (the base 0xFFF0 wraps at index 16).
TEST(ClassifyReply, StableFlowMatchesByIdentification) {
  const auto stable = [](int index, bool icmp = false) {
    return time_exceeded(kRouter, kDst, seq_base, icmp, 20, (0xFFF0 + index) & 0xFFFF);
  };
  struct Case {
    const char* what;
    Bytes datagram;
    bool icmp;
    ReplyKind kind;
    uint32_t index;
  };
  const Case cases[] = {
      {"head of hop 0", stable(2), false, ReplyKind::kTimeExceeded, 2},
      {"last index before the wrap", stable(15), false, ReplyKind::kTimeExceeded, 15},
      {"identification 0x0000 (index 16)", stable(16), false, ReplyKind::kTimeExceeded, 16},
      {"deepest tail, past the wrap", stable(61), false, ReplyKind::kTimeExceeded, 61},
      {"ICMP probe past the wrap", stable(40, true), true, ReplyKind::kTimeExceeded, 40},
      {"load packet", stable(0), false, ReplyKind::kDrop, 0},
      {"an earlier train's head (1126 before)", stable(4 - kProbeIndexCount), false,
       ReplyKind::kForeignId, 0x10000 + 4 - kProbeIndexCount},
      {"beyond the deepest tail", stable(62), false, ReplyKind::kForeignId, 62},
      {"another flow (the default mode's port of index 4)",
       time_exceeded(kRouter, kDst, seq_base + 4, false, 20, 0xFFF0), false, ReplyKind::kDrop,
       kNoProbeIndex},
  };
  for (const Case& c : cases) {
    RunProbes run = udp_run(c.icmp);
    run.stable_flow = true;
    run.ip_id_base = 0xFFF0;
    EXPECT_EQ(classify_reply(c.datagram.data(), static_cast<int>(c.datagram.size()), run), c.kind)
        << c.what;
    EXPECT_EQ(quoted_probe_index(c.datagram.data() + 28, run), c.index) << c.what;
  }
}

class CaptureTest : public testing_util::ProberTest {
 protected:
  void prepare() override {
    settings.dst_ip = kDst;
    // One probe sent, at time 0: the send time that echo_reply returns by
    // default.
    packet_layer.send_log_count = 1;
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
  for (int k = 0; k < 6; ++k) arrive(time_exceeded(kRouter, kDst, seq_base + 2 + k % 4, false));
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
    fresh();
    fake::fake_net.clock_usec = start;
    fake::fake_net.clock_step_usec = 250000;
    if (!c.datagram.empty()) arrive(c.datagram, 0.0, two_seconds);
    capture_replies(1);
    EXPECT_EQ(fake::count_trace("poll"), c.polls) << c.what;
  }
}

// A routing loop makes every load packet expire too: their answers are read
// and passed over, so the measurement replies still find room.
TEST_F(CaptureTest, LoadPacketRepliesDoNotTakeTheStore) {
  settings.end_pkt_num = 30;
  for (int k = 0; k < 200; ++k) arrive(time_exceeded(kRouter, kDst, seq_base, false));
  for (int index = 2; index <= 61; ++index) {
    arrive(time_exceeded(kRouter, kDst, seq_base + index, false));
  }
  capture_replies(1);
  EXPECT_EQ(capture_store.rec_i, 60);
  EXPECT_EQ(fake::fake_net.receives, 260);
}

// Replies that match a measurement packet in all but the identification are
// counted, for the line after the train.
TEST_F(CaptureTest, ForeignIdentificationsAreCounted) {
  arrive(time_exceeded(kRouter, kDst, seq_base + 2, false, 20, 0x4321));
  arrive(time_exceeded(kRouter, kDst, seq_base + 3, false, 20, 0x4321));
  arrive(time_exceeded(kRouter, kDst, seq_base + 4, false));
  capture_replies(0);
  EXPECT_EQ(capture_store.rec_i, 1);
  EXPECT_EQ(capture_store.foreign_id_count, 2);
}

// The quiet wait runs on the monotonic clock: a step of the wall clock
// neither stretches it nor cuts it short.
TEST_F(CaptureTest, WallClockStepsDoNotMoveTheQuietWait) {
  const int64_t hour = 3600LL * 1000000;
  struct Case {
    const char* what;
    int64_t step;      // of the wall clock, when an unrelated datagram arrives
    int64_t step_at;   // microseconds after the start of the wait
    int64_t reply_at;  // the one reply
  };
  const Case cases[] = {
      // A wall-clock wait would go on for the hour and 3 s.
      {"back an hour after the reply", -hour, 1500000, 1000000},
      // A wall-clock wait would end at once and lose the reply.
      {"forward an hour before the reply", hour, 500000, 2000000},
  };
  for (const Case& c : cases) {
    fresh();
    fake::fake_net.clock_step_usec = 250000;
    const int64_t start = fake::fake_net.clock_usec;
    Bytes unrelated = with_type(time_exceeded(kRouter, kDst, seq_base, false), 3);
    const Bytes reply = time_exceeded(kRouter, kDst, seq_base + 2, false);
    if (c.step_at < c.reply_at) {
      fake::fake_net.incoming.push_back({unrelated, start + c.step_at, 0.0, c.step});
      arrive(reply, 0.0, start + c.reply_at);
    } else {
      arrive(reply, 0.0, start + c.reply_at);
      fake::fake_net.incoming.push_back({unrelated, start + c.step_at, 0.0, c.step});
    }
    capture_replies(1);
    EXPECT_EQ(capture_store.rec_i, 1) << c.what;
    // The wait ended about 3 s after the reply, by the monotonic clock.
    EXPECT_NEAR(fake::fake_net.clock_usec - start, c.reply_at + 3000000, 750000) << c.what;
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
        fresh();
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
