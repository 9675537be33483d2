// Big-endian words of a flash image, read independently of the library's
// codec so that tests check its bytes rather than repeat it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace mfpsys::test {
inline uint16_t be16(const std::vector<uint8_t>& v, std::size_t at) { return uint16_t(v[at] << 8 | v[at + 1]); }
inline uint32_t be32(const std::vector<uint8_t>& v, std::size_t at) { return uint32_t(be16(v, at)) << 16 | be16(v, at + 2); }
}  // namespace mfpsys::test
