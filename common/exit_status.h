// What both programs share about ending: one vocabulary of exit statuses,
// the fatal-error helper, and the check that standard output was written.
#ifndef KOVRIN_COMMON_EXIT_STATUS_H_
#define KOVRIN_COMMON_EXIT_STATUS_H_

namespace common {

enum ExitStatus : int {
  kExitOk = 0,       // a completed run or report, or kovrin -h
  kExitFailure = 1,  // a failed system call, a destination or listing that
                     // cannot be had, or standard output that cannot be written
  kExitUsage = 2,    // wrong command line, or a setting out of range
  kExitPartial = 3,  // kovrin-detect: the report covers only the lines before
                     // an over-long line
  kExitInterrupted = 4,  // kovrin: a campaign stopped by SIGINT or SIGTERM
};

// perror(label) and exit with kExitFailure.
[[noreturn]] void fatal(const char* label);

// Flushes standard output.  When it or an earlier write failed, prints
// "PROGRAM: write error: ..." on standard error and returns kExitFailure;
// otherwise returns status.
int finish_output(const char* program, int status);

// Prints "PROGRAM VERSION" and, when built from a checkout, " (commit C)",
// on standard output.
void print_version(const char* program);

}  // namespace common

#endif  // KOVRIN_COMMON_EXIT_STATUS_H_
