// Checksum, data length and entry walk of the boot-environment entry area.
#include "env/env_internal.h"

#include <algorithm>
#include <cstring>

std::uint32_t env_checksum(const unsigned char* p, std::int32_t len) {
    std::uint32_t sum = 0;
    for (std::int32_t i = 0; i < len; ++i) sum += p[i];
    return ~sum;
}

std::int32_t env_data_len(const unsigned char* area) {
    if (area[0] == 0xFF) return 0;
    const void* ff = std::memchr(area + 1, 0xFF, mfpsys::env::kMaxDataLen);
    if (ff == nullptr) return -1;
    return static_cast<std::int32_t>(static_cast<const unsigned char*>(ff) - area);
}

std::int32_t env_entry_len_within(const unsigned char* entry, std::size_t avail) {
    // A text of kMaxEntrySize characters is already too long, so look at one
    // byte more than the longest entry.
    const std::size_t look = std::min(avail, mfpsys::env::kMaxEntrySize + 1);
    const void* nul = std::memchr(entry, 0, look);
    if (nul == nullptr) return look > mfpsys::env::kMaxEntrySize ? -1 : 0;
    const auto text = static_cast<std::size_t>(static_cast<const unsigned char*>(nul) - entry);
    if (text >= mfpsys::env::kMaxEntrySize) return -1;
    return static_cast<std::int32_t>(text + 1);
}

namespace mfpsys::env {

EntryWalker::Step EntryWalker::next() {
    start_ = pos_;
    const std::int32_t n = env_entry_len_within(area_ + pos_, size_ - pos_);
    if (n < 0) return Step::TooLong;
    if (n == 0) return Step::Unterminated;
    if (n == 1) return Step::End;
    len_ = static_cast<std::size_t>(n);
    pos_ += len_;
    return Step::Entry;
}

}  // namespace mfpsys::env
