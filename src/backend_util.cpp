#include "backend_util.h"

#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "kvt.h"

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

size_t Utf8Length(const unsigned char* p, size_t left) {
  unsigned char c = p[0];
  size_t n;
  unsigned char low = 0x80, high = 0xBF;  // bounds of the second byte
  if (c >= 0xC2 && c <= 0xDF) {
    n = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    n = 3;
    if (c == 0xE0) low = 0xA0;
    if (c == 0xED) high = 0x9F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    n = 4;
    if (c == 0xF0) low = 0x90;
    if (c == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (left < n || p[1] < low || p[1] > high) return 0;
  for (size_t i = 2; i < n; ++i)
    if (p[i] < 0x80 || p[i] > 0xBF) return 0;
  return n;
}

namespace {

// Marks that change how text around them is shown without being shown
// themselves: the bidirectional controls (U+200E, U+200F, U+202A to U+202E,
// U+2066 to U+2069), the line and paragraph separators (U+2028, U+2029)
// and the byte order mark (U+FEFF). In a device line they would make the
// listing read differently from what it holds.
bool IsFormatMark(const unsigned char* p, size_t n) {
  if (n != 3) return false;
  unsigned code = ((p[0] & 0x0Fu) << 12) | ((p[1] & 0x3Fu) << 6) | (p[2] & 0x3Fu);
  return code == 0x200E || code == 0x200F || (code >= 0x2028 && code <= 0x202E) ||
         (code >= 0x2066 && code <= 0x2069) || code == 0xFEFF;
}

}  // namespace

std::string DeviceLineText(const std::string& text) {
  std::string field;
  field.reserve(text.size());
  const unsigned char* p = reinterpret_cast<const unsigned char*>(text.data());
  size_t size = text.size();
  for (size_t i = 0; i < size;) {
    unsigned char c = p[i];
    if (c < 0x80) {
      if (c == '"' || c == '\\') field += '\\';
      field += c < 0x20 || c == 0x7F ? ' ' : static_cast<char>(c);
      ++i;
      continue;
    }
    size_t n = Utf8Length(p + i, size - i);
    if (n == 0) {
      field += '?';
      ++i;
    } else if ((c == 0xC2 && p[i + 1] < 0xA0) || IsFormatMark(p + i, n)) {
      field += ' ';
      i += n;
    } else {
      field.append(text, i, n);
      i += n;
    }
  }
  return field;
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
