#include "prober/common.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace kovrin {

char* format_ip(uint32_t addr, char* out) {
  uint8_t b[4];
  std::memcpy(b, &addr, 4);  // network order: first byte first
  std::snprintf(out, kDottedSize, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
  return out;
}

}  // namespace kovrin
