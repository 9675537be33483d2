// Where the fields of an NV sector lie and how its big-endian words read.
// Shared by the store and by the offline flash inspector, so that both read
// the flash the same way.
#pragma once

#include <cstdint>

namespace mfpsys::nv {

// Control entry i lies at kCtlBase + kCtlSize * i; its fields at these offsets.
inline constexpr uint32_t kCtlBase = 16;
inline constexpr uint32_t kCtlSize = 16;
inline constexpr uint32_t kCtlDataCksm = 2;
inline constexpr uint32_t kCtlDataOfst = 4;
inline constexpr uint32_t kCtlBlockAddr = 8;
inline constexpr uint32_t kCtlCtrlCksm = 14;

inline uint16_t be16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }
inline uint32_t be32(const uint8_t* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

}  // namespace mfpsys::nv
