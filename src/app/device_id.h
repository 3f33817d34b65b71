// What the printer application reads from a printer's IEEE 1284 device ID:
// its page language (the "CMD:" or "COMMAND SET:" field), which chooses the
// driver and the format it takes as it is, and its make and model for the
// printer's description.
#ifndef NETBACKEND_APP_DEVICE_ID_H_
#define NETBACKEND_APP_DEVICE_ID_H_

#include <string>

// The page languages a driver passes through unchanged. Raster always goes
// out as PCL 5.
enum PageLanguage {
  kLanguageNone,  // none that we know: raster only
  kLanguagePcl,
  kLanguagePclXl,
  kLanguagePostScript,
};

// One driver per page language.
struct DriverInfo {
  PageLanguage language;
  const char* name;         // the driver's name, as the state file keeps it
  const char* description;  // what an administrator chooses from
  const char* format;       // the MIME type passed through; null for none
};
extern const DriverInfo kDrivers[4];
const int kDriverCount = 4;

// The value of the first field of `deviceId` whose key is one of `keys`
// (compared without regard to case, blanks around keys ignored), up to its
// ";" or the end; empty when there is none. `keys` ends with a null.
std::string DeviceIdField(const std::string& deviceId, const char* const* keys);

// The language the driver passes through for a printer with this ID: of
// those the command set lists, PCL before PCL XL before PostScript, since
// the raster the driver writes is PCL 5 and a printer that reads it should
// get its other jobs in the same language.
PageLanguage LanguageFromDeviceId(const std::string& deviceId);

// Whether the printer says it speaks PJL: "PJL" in its command set.
bool SpeaksPjl(const std::string& deviceId);

// The driver for `language`, or for `name`; null for an unknown name.
const DriverInfo& DriverForLanguage(PageLanguage language);
const DriverInfo* DriverByName(const std::string& name);

// "<manufacturer> <model>" from the ID's MFG/MANUFACTURER and MDL/MODEL
// fields (the model alone when it already starts with the manufacturer);
// empty when the ID names no model.
std::string MakeAndModel(const std::string& deviceId);

// `text` from the network made fit for PAPPL's pages, listings and state
// file: cut to at most `maxBytes`, control characters as blanks (no line
// of the state file can be forged) and bytes that are not UTF-8 as '?'.
std::string PrintableText(const std::string& text, size_t maxBytes);

#endif  // NETBACKEND_APP_DEVICE_ID_H_
