// The boot-environment sector through the read and write paths: any sector
// image, any address text. Nothing may crash or read or write outside its
// buffers; a write that succeeds leaves an image the read accepts and that
// gives back the text; a refused write leaves the sector as it was.
//
// Input: the 8 KiB sector image (shorter inputs are padded with 0xFF), then
// the address text (up to its first NUL; none: a fixed address).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "board_once.h"
#include "mfpsys/env.h"

namespace {

constexpr uint32_t kSector = 0x7A000;
constexpr size_t kSize = 8192;

void require(bool ok) {
    if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    mfpsim::Board& b = fuzz::board();
    std::vector<uint8_t> image(kSize, 0xFF);
    std::memcpy(image.data(), data, size < kSize ? size : kSize);
    b.set_flash(kSector, image);

    char* m = env_mac_read();
    if (m != nullptr && m != ENV_MAC_READ_FAILED) require(std::strlen(m) <= 29 && m == mac);
    unsigned char bytes[6];
    int rn = env_mac_read_n(bytes);
    require(rn == 0 || rn == -1);

    std::string text = "00:1a:2b:3c:4d:5e";
    if (size > kSize) {
        const char* t = reinterpret_cast<const char*>(data + kSize);
        text.assign(t, strnlen(t, size - kSize));
    }
    int w = env_mac_write(text.c_str());
    if (w == 0) {
        char* back = env_mac_read();
        require(back != nullptr && back != ENV_MAC_READ_FAILED && text == back);
    } else {
        require(w == -1);
        require(b.flash(kSector, kSize) == image);
    }
    return 0;
}
