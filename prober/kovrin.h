// The run sequence of kovrin: options, destination, source address, sockets,
// one probe run, the report.
#ifndef KOVRIN_PROBER_KOVRIN_H_
#define KOVRIN_PROBER_KOVRIN_H_

namespace kovrin {

// Runs kovrin once and returns its exit status.  Failed system calls do not
// return: they end the process with kExitFailure.
int run_kovrin(int argc, char** argv);

}  // namespace kovrin

#endif  // KOVRIN_PROBER_KOVRIN_H_
