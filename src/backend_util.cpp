#include "backend_util.h"

#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "kvt.h"
#include "safe_text.h"

void ReadUriScheme(std::string& scheme) {
  scheme.clear();
  const char* uri = getenv("DEVICE_URI");
  if (uri == nullptr) return;
  const char* colon = strstr(uri, "://");
  if (colon == nullptr)
    scheme.assign(uri);
  else
    scheme.assign(uri, static_cast<size_t>(colon - uri));
}

void ReadUriTarget(std::string& target) {
  target.clear();
  const char* uri = getenv("DEVICE_URI");
  if (uri == nullptr) return;
  const char* slashes = strstr(uri, "//");
  target.assign(slashes != nullptr ? slashes + 2 : uri);
}

bool IsIpAddress(const std::string& text) {
  int dots = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == '.')
      ++dots;
    else if (!isdigit(c))
      return false;
  }
  return dots == 3;
}

std::string DeviceLineText(const std::string& text) {
  return SafeUtf8(text, SafeStyle::kQuotedField);
}

namespace {

void WriteField(FILE* out, const std::string& text) {
  std::string field = DeviceLineText(text);
  fwrite(field.data(), 1, field.size(), out);
}

}  // namespace

void PrintDeviceLine(FILE* out, int number, const std::string& name, const DeviceRecord& record) {
  const std::string& brand = record.brand();
  const std::string& deviceId = record.deviceId();
  fputs("network ", out);
  WriteField(out, name);
  fputs("://", out);
  WriteField(out, record.macAddress());
  fputs(" \"", out);
  if (deviceId.find(brand) == std::string::npos) {
    WriteField(out, brand);
    fputc(' ', out);
  }
  WriteField(out, deviceId);
  fputs("\" \"", out);
  WriteField(out, brand);
  fprintf(out, " Network Printer #%d (", number);
  WriteField(out, record.macAddress());
  fputs(")\" \"", out);
  WriteField(out, record.ipAddress());
  fputs("\"\n", out);
  fflush(out);
}

void PrintDeviceLine(int number, const std::string& name, const DeviceRecord& record) {
  PrintDeviceLine(stdout, number, name, record);
}
