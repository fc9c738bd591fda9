// The prober's clocks: the wall clock of every time the report shows, and a
// monotonic clock for the one wait that must not follow steps of the wall
// clock.
#ifndef KOVRIN_PROBER_CLOCK_H_
#define KOVRIN_PROBER_CLOCK_H_

namespace kovrin {

// The perror label of a clock failure; the label ends the line itself.
inline constexpr const char* kClockFailure = "get_time() fails, exit\n";

// Wall clock in seconds since the epoch (microsecond resolution).  Does not
// return on failure.
double get_time();

// Monotonic clock in seconds from an arbitrary start.  Does not return on
// failure.
double monotonic_time();

}  // namespace kovrin

#endif  // KOVRIN_PROBER_CLOCK_H_
