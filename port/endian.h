// Big-endian fields, as the flash holds every multi-byte word: the one codec
// for whoever reads or writes them (NV sectors, the boot environment, the
// offline inspector). T is uint8_t, uint16_t or uint32_t.
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>

namespace mfpsys::port {

template <std::unsigned_integral T>
constexpr T getBe(const std::uint8_t* p) noexcept {
    T v = 0;
    for (std::size_t i = 0; i < sizeof(T); ++i) v = static_cast<T>((v << 8) | p[i]);
    return v;
}

template <std::unsigned_integral T>
constexpr void putBe(std::uint8_t* p, T v) noexcept {
    for (std::size_t i = sizeof(T); i-- > 0; v = static_cast<T>(v >> 8)) p[i] = static_cast<std::uint8_t>(v);
}

}  // namespace mfpsys::port
