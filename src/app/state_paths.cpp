#include "state_paths.h"

#include <stdlib.h>
#include <unistd.h>

std::string StateFile(const std::string& name) {
  const char* snap = getenv("SNAP_COMMON");
  if (snap != nullptr && *snap != '\0') return std::string(snap) + "/" + name + ".state";
  if (getuid() == 0) return "/var/lib/" + name + ".state";
  const char* tmp = getenv("TMPDIR");
  std::string dir = tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
  return dir + "/" + name + std::to_string(getuid()) + ".state";
}
