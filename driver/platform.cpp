#include "driver/platform.h"

#include <cstdlib>

namespace notavero {

// The build gives each platform its fixed log path (driver/CMakeLists.txt).
LogPath LogFilePath() {
  const char* path = std::getenv("NOTAVERO_LOG");  // NOLINT(concurrency-mt-unsafe): read once per driver
  return LogPath{path != nullptr && *path != '\0' ? path : NOTAVERO_DEFAULT_LOG_PATH};
}

}  // namespace notavero
