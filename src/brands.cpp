#include "brands.h"

const Brand& BrandForProgramName(const std::string& name) {
  for (const Brand& brand : kBrands)
    if (!name.empty() && name[0] == brand.letter) return brand;
  return kOtherNamesBrand;
}
