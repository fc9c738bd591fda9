// Exit statuses of kovrin-detect.
#ifndef KOVRIN_OFFLINE_EXIT_STATUS_H_
#define KOVRIN_OFFLINE_EXIT_STATUS_H_

namespace offline {

enum ExitStatus {
  kExitOk = 0,       // the report was printed
  kExitFailure = 1,  // the listing could not be opened or read, or output failed
  kExitUsage = 2,    // wrong command line
  kExitPartial = 3,  // the report covers only the lines before an over-long line
};

}  // namespace offline

#endif  // KOVRIN_OFFLINE_EXIT_STATUS_H_
