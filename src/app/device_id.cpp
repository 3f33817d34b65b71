#include "device_id.h"

#include <strings.h>

#include <vector>

#include "safe_text.h"

const DriverInfo kDrivers[kDriverCount] = {
    {kLanguagePcl, "pcl", "Network printer, PCL", "application/vnd.hp-pcl"},
    {kLanguagePclXl, "pclxl", "Network printer, PCL XL and PCL raster", "application/vnd.hp-pclxl"},
    {kLanguagePostScript, "postscript", "Network printer, PostScript and PCL raster",
     "application/postscript"},
    {kLanguageNone, "raster", "Network printer, PCL raster only", nullptr},
};

namespace {

const char* const kCommandSetKeys[] = {"CMD", "COMMAND SET", nullptr};
const char* const kMakeKeys[] = {"MFG", "MANUFACTURER", nullptr};
const char* const kModelKeys[] = {"MDL", "MODEL", nullptr};

std::string Trim(const std::string& text) {
  size_t begin = text.find_first_not_of(" \t");
  if (begin == std::string::npos) return std::string();
  size_t end = text.find_last_not_of(" \t");
  return text.substr(begin, end - begin + 1);
}

bool SameText(const std::string& a, const char* b) { return strcasecmp(a.c_str(), b) == 0; }

std::vector<std::string> Split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find(separator, start);
    if (end == std::string::npos) end = text.size();
    parts.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

}  // namespace

std::string DeviceIdField(const std::string& deviceId, const char* const* keys) {
  for (const std::string& field : Split(deviceId, ';')) {
    size_t colon = field.find(':');
    if (colon == std::string::npos) continue;
    std::string key = Trim(field.substr(0, colon));
    for (const char* const* k = keys; *k != nullptr; ++k)
      if (SameText(key, *k)) return Trim(field.substr(colon + 1));
  }
  return std::string();
}

PageLanguage LanguageFromDeviceId(const std::string& deviceId) {
  bool pcl = false, pclxl = false, postscript = false;
  for (const std::string& item : Split(DeviceIdField(deviceId, kCommandSetKeys), ',')) {
    std::string language = Trim(item);
    // PCL 5 goes by several names; "PCL" alone is the usual one.
    if (SameText(language, "PCL") || SameText(language, "PCL5") || SameText(language, "PCL5E") ||
        SameText(language, "PCL5C"))
      pcl = true;
    else if (SameText(language, "PCLXL") || SameText(language, "PCL6") ||
             SameText(language, "PCL XL"))
      pclxl = true;
    else if (SameText(language, "POSTSCRIPT") || SameText(language, "PS") ||
             SameText(language, "BR-SCRIPT3"))
      postscript = true;
  }
  if (pcl) return kLanguagePcl;
  if (pclxl) return kLanguagePclXl;
  if (postscript) return kLanguagePostScript;
  return kLanguageNone;
}

bool SpeaksPjl(const std::string& deviceId) {
  for (const std::string& item : Split(DeviceIdField(deviceId, kCommandSetKeys), ','))
    if (SameText(Trim(item), "PJL")) return true;
  return false;
}

const DriverInfo& DriverForLanguage(PageLanguage language) {
  for (const DriverInfo& driver : kDrivers)
    if (driver.language == language) return driver;
  return kDrivers[kDriverCount - 1];
}

const DriverInfo* DriverByName(const std::string& name) {
  for (const DriverInfo& driver : kDrivers)
    if (name == driver.name) return &driver;
  return nullptr;
}

std::string MakeAndModel(const std::string& deviceId) {
  std::string make = DeviceIdField(deviceId, kMakeKeys);
  std::string model = DeviceIdField(deviceId, kModelKeys);
  if (model.empty()) return std::string();
  if (make.empty() || strncasecmp(model.c_str(), make.c_str(), make.size()) == 0) return model;
  return make + " " + model;
}

std::string PrintableText(const std::string& text, size_t maxBytes) {
  return SafeUtf8(std::string_view(text).substr(0, maxBytes), SafeStyle::kPlain);
}
