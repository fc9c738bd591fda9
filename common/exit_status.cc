#include "common/exit_status.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/version.h"

namespace common {

void fatal(const char* label) {
  std::perror(label);
  std::exit(kExitFailure);
}

int finish_output(const char* program, int status) {
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    const int error = errno;
    std::fprintf(stderr, "%s: write error: %s\n", program, std::strerror(error));
    return kExitFailure;
  }
  return status;
}

void print_version(const char* program) {
  if (KOVRIN_COMMIT[0] != '\0') {
    std::printf("%s %s (commit %s)\n", program, KOVRIN_VERSION, KOVRIN_COMMIT);
  } else {
    std::printf("%s %s\n", program, KOVRIN_VERSION);
  }
}

}  // namespace common
