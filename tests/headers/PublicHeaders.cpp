// Compiled with strict warnings as errors: the installed headers must stay quiet in the
// applications that include them.
#include "kelvix/kelvix.h"
