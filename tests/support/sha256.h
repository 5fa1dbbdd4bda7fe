// SHA-256, for comparing unpacked files with the digests the corpus records.
#pragma once

#include <string>

namespace fixture {

// Lower-case hexadecimal digest of `data`.
std::string sha256_hex(const std::string& data);

}  // namespace fixture
