#pragma once

// One macro marks everything the shared library exports; the rest stays hidden.
#if defined(KELVIX_BUILDING_LIBRARY)
#define KELVIX_API __attribute__((visibility("default")))
#else
#define KELVIX_API
#endif
