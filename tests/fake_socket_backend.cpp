// Stands in for the printing system's socket backend in tests: writes the
// argument vector and DEVICE_URI it was started with to the file named by
// FAKE_SOCKET_RECORD (one item per line: "argc=N", "argv[i]=...",
// "DEVICE_URI=..."), lists the descriptors above 2 that it inherited, with
// what they point at, in the file named by FAKE_SOCKET_FDS, then exits with
// FAKE_SOCKET_STATUS (default 0).
#include <dirent.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

static void ListDescriptors(const char* path) {
  FILE* out = fopen(path, "w");
  if (out == nullptr) return;
  int own = fileno(out);
  DIR* dir = opendir("/proc/self/fd");
  if (dir != nullptr) {
    while (dirent* entry = readdir(dir)) {
      int fd = atoi(entry->d_name);
      if (entry->d_name[0] == '.' || fd <= 2 || fd == own || fd == dirfd(dir)) continue;
      char link[64];
      char target[1024];
      snprintf(link, sizeof(link), "/proc/self/fd/%d", fd);
      ssize_t n = readlink(link, target, sizeof(target) - 1);
      target[n > 0 ? n : 0] = '\0';
      fprintf(out, "%d=%s\n", fd, target);
    }
    closedir(dir);
  }
  fclose(out);
}

int main(int argc, char* argv[]) {
  const char* fds = getenv("FAKE_SOCKET_FDS");
  if (fds != nullptr) ListDescriptors(fds);
  const char* path = getenv("FAKE_SOCKET_RECORD");
  FILE* out = path != nullptr ? fopen(path, "w") : stdout;
  if (out == nullptr) return 2;
  fprintf(out, "argc=%d\n", argc);
  for (int i = 0; i < argc; ++i) fprintf(out, "argv[%d]=%s\n", i, argv[i]);
  const char* uri = getenv("DEVICE_URI");
  fprintf(out, "DEVICE_URI=%s\n", uri != nullptr ? uri : "(unset)");
  if (out != stdout) fclose(out);
  const char* status = getenv("FAKE_SOCKET_STATUS");
  return status != nullptr ? atoi(status) : 0;
}
