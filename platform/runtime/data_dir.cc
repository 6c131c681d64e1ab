// The data directory: where relative database paths and the task registry
// live.

#include <cstdlib>

#include "tavlo/runtime.h"

const char* TavloDataDirectory(void) {
  // Read on every call: tests (and tools that run several queues) point
  // $TAVLO_DATA elsewhere between calls.
  const char* dir = std::getenv("TAVLO_DATA");
  return (dir != nullptr && dir[0] != '\0') ? dir : ".";
}
