#include "common/exit_status.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

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

}  // namespace common
