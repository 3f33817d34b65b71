// The brands one program file serves, in one table. The Discoverer takes
// its brand from it, the printer application its schemes; the install rules
// and the packages list the same names, which kvt_test checks.
// Threads: a constant table, read from any thread.
#ifndef NETBACKEND_BRANDS_H_
#define NETBACKEND_BRANDS_H_

#include <string>

struct Brand {
  const char* name;  // the backend's file name and its device URIs' scheme
  char letter;       // the first character of a program name that selects it
  const char* text;  // the brand of the printers it lists
};

// In the order the printer application tries them for a printer's scheme.
// clang-format off
inline constexpr Brand kBrands[] = {
    {"tamo",     't', "Tamo"},
    {"solena",   's', "SOLENA"},
    {"zalor",    'z', "ZALOR"},
    {"orbec",    'o', "Orbec"},    // also every name of no other brand's letter
    {"gprinter", 'g', "Printer"},  // every printer, whatever its brand
};
// clang-format on
inline constexpr int kBrandCount = sizeof(kBrands) / sizeof(kBrands[0]);
inline constexpr const Brand& kOtherNamesBrand = kBrands[3];
inline constexpr const Brand& kEveryBrand = kBrands[kBrandCount - 1];

// The row a program file called `name` serves, by its first character.
const Brand& BrandForProgramName(const std::string& name);

#endif  // NETBACKEND_BRANDS_H_
