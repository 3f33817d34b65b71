// Stands in for the printing system's socket backend in tests: writes the
// argument vector and DEVICE_URI it was started with to the file named by
// FAKE_SOCKET_RECORD (one item per line: "argc=N", "argv[i]=...",
// "DEVICE_URI=..."), then exits with FAKE_SOCKET_STATUS (default 0).
#include <stdio.h>
#include <stdlib.h>

int main(int argc, char* argv[]) {
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
