// The boot-environment sector through read and write: no crash or access outside a
// buffer; a write that succeeds reads back as its text, a refused one changes nothing.
// Input: the 8 KiB sector image (padded with 0xFF), then the address text (or a fixed one).
#include <cstring>
#include <string>
#include <vector>
#include "board_once.h"
#include "mfpsys/env.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using fuzz::require;
    constexpr uint32_t kSector = 0x7A000;
    constexpr size_t kSize = 8192;
    std::vector<uint8_t> image(kSize, 0xFF);
    std::memcpy(image.data(), data, std::min(size, kSize));
    fuzz::board().set_flash(kSector, image);
    char* m = env_mac_read();
    require(m == nullptr || m == ENV_MAC_READ_FAILED || (std::strlen(m) <= 29 && m == mac));
    unsigned char bytes[6];
    require(unsigned(env_mac_read_n(bytes) + 1) <= 1);  // 0 or -1
    std::string text = "00:1a:2b:3c:4d:5e";
    if (size > kSize) text = std::string(reinterpret_cast<const char*>(data + kSize), size - kSize).c_str();
    int w = env_mac_write(text.c_str());
    char* back = w == 0 ? env_mac_read() : nullptr;
    require(w == 0 ? back != nullptr && back != ENV_MAC_READ_FAILED && text == back
                   : w == -1 && fuzz::board().flash(kSector, kSize) == image);
    return 0;
}
