// Peeling carriers off an archive wherever its bytes are (on disk, in
// memory, behind a caller's ByteSource): the reader's side of carrier.h.
#pragma once

#include <cstdint>
#include <vector>

#include "dravik/carrier.h"
#include "lib/common/source.h"

namespace dravik {

// Replaces `source` by what it carries, as many layers deep as it goes.
// Returns OpenError::none when `source` now starts with something that is
// no known carrier (a U8 archive, or bytes the U8 check will refuse). Adds
// Notice bits to `notices` for checksums that did not match; records the
// kinds peeled, outermost first, in `kinds`, and with their header bytes in
// `carriers`, when those are given.
OpenError carrier_peel_source(Source& source, std::uint32_t* notices,
                              std::vector<CarrierKind>* kinds = nullptr,
                              std::vector<Carrier>* carriers = nullptr);

}  // namespace dravik
