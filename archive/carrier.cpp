#include "archive/carrier.h"

namespace dravik {

OpenFailure carrier_peel(ArchiveSource&, std::uint32_t*) { return OpenFailure::none; }

}  // namespace dravik
