// The real platform layer's batch of reverse lookups, on the loopback
// address only: its name comes from the host's own tables, never from a
// name server.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>

#include "prober/net.h"

namespace kovrin::net {
namespace {

TEST(NetPosix, BatchOfLookupsMatchesTheSingleLookup) {
  const uint32_t loopback = htonl(INADDR_LOOPBACK);
  char single[kLookupNameSize];
  if (!lookup_address(loopback, single, kLookupNameSize)) {
    GTEST_SKIP() << "127.0.0.1 has no name on this host";
  }
  // Every slot of a full batch is filled, each by whichever thread took it.
  uint32_t addrs[kMaxLookups];
  char names[kMaxLookups][kLookupNameSize];
  bool found[kMaxLookups];
  for (int i = 0; i < kMaxLookups; ++i) {
    addrs[i] = loopback;
    std::strcpy(names[i], "unset");
    found[i] = false;
  }
  lookup_addresses(addrs, kMaxLookups, names, found);
  for (int i = 0; i < kMaxLookups; ++i) {
    EXPECT_TRUE(found[i]) << i;
    EXPECT_STREQ(names[i], single) << i;
  }
  lookup_addresses(addrs, 0, names, found);  // nothing to do, no thread started
}

}  // namespace
}  // namespace kovrin::net
