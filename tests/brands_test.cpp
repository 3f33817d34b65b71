// The brand table: which row a program name selects, and the names that
// the install rules and the packages list, which must be the table's.
#include "brands.h"

#include <gtest/gtest.h>

#include <string>

#include "test_files.h"

namespace {

TEST(BrandsTest, TheFirstCharacterOfTheNameSelectsTheRow) {
  const struct {
    const char* name;
    const char* text;
  } rows[] = {
      {"tamo", "Tamo"},   {"t", "Tamo"},           {"solena", "SOLENA"}, {"zalor", "ZALOR"},
      {"orbec", "Orbec"}, {"gprinter", "Printer"}, {"g", "Printer"},     {"x-other", "Orbec"},
      {"Tamo", "Orbec"},  {"", "Orbec"},
  };
  for (const auto& row : rows)
    EXPECT_STREQ(row.text, BrandForProgramName(row.name).text) << row.name;
}

TEST(BrandsTest, TheInstallRulesAndPackagesNameTheTablesBrands) {
  std::string spaced, prose;  // "tamo solena zalor orbec", "tamo, solena, zalor and orbec"
  for (int i = 0; i < kBrandCount - 1; ++i) {
    spaced += std::string(i > 0 ? " " : "") + kBrands[i].name;
    prose += std::string(i == 0 ? "" : i == kBrandCount - 2 ? " and " : ", ") + kBrands[i].name;
  }
  const std::string every = kEveryBrand.name;
  const struct {
    const char* file;
    std::string text;
  } rows[] = {
      {"cmake/install.cmake", "set(NETBACKEND_BRAND_NAMES " + spaced + ")"},
      {"cmake/install.cmake", "netbackend_install_links(gprinter 0 " + every + ")"},
      {"pkg/build-deb.sh", "brand names " + prose + "\n"},
      {"pkg/build-deb.sh", "$BACKEND_DIR/" + every + "\""},
      {"pkg/control", "one per brand: " + prose + "."},
      {"pkg/control", "the backend name " + every + ","},
  };
  for (const auto& row : rows)
    EXPECT_NE(std::string::npos, ReadFile(std::string(SOURCE_DIR "/") + row.file).find(row.text))
        << row.file << " does not say: " << row.text;
}

}  // namespace
