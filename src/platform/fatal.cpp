#include "platform/fatal.h"

#include <cstdio>
#include <cstdlib>

namespace kavor {

void fatal(const char* what) {
  std::fprintf(stderr, "kavor-agent: fatal: %s\n", what);
  std::fflush(stderr);
  std::abort();
}

}  // namespace kavor
