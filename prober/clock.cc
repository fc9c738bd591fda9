#include "prober/clock.h"

#include "prober/common.h"
#include "prober/net.h"

namespace kovrin {

double get_time() {
  net::WallClock now;
  if (!net::read_clock(&now)) fatal(kClockFailure);
  return static_cast<double>(now.sec) + static_cast<double>(now.usec) / 1000000.0;
}

double monotonic_time() {
  double now;
  if (!net::read_monotonic(&now)) fatal(kClockFailure);
  return now;
}

}  // namespace kovrin
