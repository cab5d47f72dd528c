// The export macros of libkelvix and libkelvixd, on every class and function the libraries
// give to applications.
#pragma once

// One macro marks everything the shared library exports; the rest stays hidden.
#if defined(KELVIX_BUILDING_LIBRARY)
#define KELVIX_API __attribute__((visibility("default")))
#else
#define KELVIX_API
#endif

// What only the debug library gives to applications (the extras of its build and the ways to
// reach them); the release library keeps all of it hidden.
#if defined(KELVIX_BUILDING_LIBRARY) && defined(KELVIX_DEBUG_BUILD)
#define KELVIX_DEBUG_API __attribute__((visibility("default")))
#else
#define KELVIX_DEBUG_API
#endif
