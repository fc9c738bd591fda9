// The run sequence of kovrin: options, destination, source address, sockets,
// one probe run, the report.
#ifndef KOVRIN_PROBER_KOVRIN_H_
#define KOVRIN_PROBER_KOVRIN_H_

namespace kovrin {

// Runs kovrin once and returns its exit status.  Failed system calls do not
// return: they end the process with kExitFailure.
int run_kovrin(int argc, char** argv);

// Every module of the prober back to its state at program start: default
// settings, no sockets or packet buffer, empty tables.  For the tests and
// the fuzzer, which run the prober many times in one process.
void reset_prober_state();

}  // namespace kovrin

#endif  // KOVRIN_PROBER_KOVRIN_H_
