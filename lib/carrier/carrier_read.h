// Carriers: the containers that U8 archives travel in (Yaz0 compression,
// channel-banner headers, IMD5 and LZ77). The reader peels them off before it
// looks for the U8 header.
#pragma once

#include <cstdint>

#include "lib/u8/u8_read.h"

namespace dravik {

// Replaces `source` by the archive it carries, as many layers deep as it
// goes. Returns OpenFailure::none when `source` now starts with something
// that is no known carrier (a U8 archive, or garbage that the U8 check will
// refuse). Adds OpenNotice bits to `notices` for checksums that did not match.
// Records the layers, outermost first, in `layers` when it is given, and
// with their header bytes in `headers` when that is given.
OpenFailure carrier_peel(ArchiveSource& source, std::uint32_t* notices,
                         OpenStatus* layers = nullptr, std::vector<WrapLayer>* headers = nullptr);

}  // namespace dravik
