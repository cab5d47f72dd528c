// The frame receiver interface: only its destructor lives here.
#include "kelvix/KelvixClient.h"

namespace zol {

// Out of line so that the interface's virtual table lives in (and is exported by) the library.
KelvixClient::~KelvixClient() {}

}  // namespace zol
