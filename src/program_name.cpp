#include "program_name.h"

#include <stdio.h>
#include <string.h>
#include <unistd.h>

void ReadProgramName(std::string& name) {
  name.clear();
  char link[80];
  char target[1024];
  memset(link, 0, sizeof(link));
  memset(target, 0, sizeof(target));
  snprintf(link, sizeof(link), "/proc/%i/exe", static_cast<int>(getpid()));
  ssize_t n = readlink(link, target, sizeof(target) - 1);
  target[n > 0 ? n : 0] = '\0';
  const char* slash = strrchr(target, '/');
  name.assign(slash != nullptr ? slash + 1 : target);
}
