// What the fuzz targets share: a check that ends the run with a report the
// fuzzer keeps as a finding, and the program names that select each brand.
#ifndef NETBACKEND_FUZZ_FUZZ_CHECK_H_
#define NETBACKEND_FUZZ_FUZZ_CHECK_H_

#include <stdio.h>
#include <stdlib.h>

#define FUZZ_CHECK(condition)                                                       \
  do {                                                                              \
    if (!(condition)) {                                                             \
      fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
      abort();                                                                      \
    }                                                                               \
  } while (0)

// Tamo, Printer, SOLENA, ZALOR, Orbec.
static const char* const kPrograms[] = {"t", "g", "s", "z", "o"};

#endif  // NETBACKEND_FUZZ_FUZZ_CHECK_H_
