// Checksum, data length and entry walk of the boot-environment entry area,
// and the judgement of a stored image built from them.
#include "env/env_internal.h"

#include <algorithm>
#include <cstring>

#include "port/endian.h"

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

Judgement judge(const unsigned char* image) {
    const unsigned char* area = image + kAreaOffset;
    Judgement j{};
    j.dataLen = env_data_len(area);
    j.sum = env_checksum(area, static_cast<std::int32_t>(kAreaSize));
    j.word = port::getBe<std::uint32_t>(image + kWordOffset);
    j.listEnd = EntryWalker::Step::End;
    if (j.dataLen != 0) {
        EntryWalker w(area);
        do j.listEnd = w.next(); while (j.listEnd == EntryWalker::Step::Entry);
    }
    using enum Verdict;
    using Step = EntryWalker::Step;
    j.verdict = j.dataLen == 0                ? Blank
                : j.dataLen < 0               ? NoDataEnd
                : j.sum != j.word             ? ChecksumMismatch
                : j.listEnd == Step::TooLong  ? EntryTooLong
                : j.listEnd != Step::End      ? Unterminated
                                              : Accepted;
    return j;
}

}  // namespace mfpsys::env
