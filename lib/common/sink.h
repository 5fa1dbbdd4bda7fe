// Where writers and encoders send their output: a function that takes the
// next bytes in order. It returns false when they could not be stored (a
// full disk, a closed pipe); the producer then stops and reports failure.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

namespace dravik {

using ByteSink = std::function<bool(const std::uint8_t* data, std::size_t size)>;

}  // namespace dravik
