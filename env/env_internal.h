// Layout of the boot-environment sector, the operations that check and walk
// it, and the one rule that judges a stored image. Internal to the library
// (and compiled into the offline inspector).
#pragma once

#include <cstddef>
#include <cstdint>

namespace mfpsys::env {

// Device offsets of the sector and of the part that is read and written.
inline constexpr std::uint32_t kSectorStart = 0x7A000;
inline constexpr std::size_t kSectorSize = 8192;
// Sector offsets: the checksum word, then the entry area up to the end.
inline constexpr std::size_t kWordOffset = 512;
inline constexpr std::size_t kAreaOffset = 516;
inline constexpr std::size_t kAreaSize = kSectorSize - kAreaOffset;   // 7676
inline constexpr std::size_t kIoSize = kSectorSize - kWordOffset;     // 7680
inline constexpr std::uint32_t kIoStart = kSectorStart + kWordOffset; // 0x7A200

// The boot loader finds the end of the data within this many bytes.
inline constexpr std::int32_t kMaxDataLen = 2000;
// An entry's text is at most 499 characters, so with its NUL 500 bytes.
inline constexpr std::size_t kMaxEntrySize = 500;
inline constexpr std::size_t kDefaultSize = 1078;

static_assert(kAreaSize == 7676 && kIoSize == 7680 && kIoStart == 0x7A200);

}  // namespace mfpsys::env

// Complement of the 32-bit byte sum of len bytes (0xFFFFFFFF for none).
std::uint32_t env_checksum(const unsigned char* p, std::int32_t len);

// Offset of the first 0xFF byte of an entry area: 0 for a blank area, 1 to
// 2000 for data in use, -1 when none of the first 2001 bytes is 0xFF.
std::int32_t env_data_len(const unsigned char* area);

// Size of the entry at p with its NUL: 1 for the empty entry that ends the
// list, 2 to 500 for a text of 1 to 499 characters, -1 for a longer text;
// 0 when the avail bytes it may read end before the entry's NUL (or avail
// is 0): an entry cut off by the area's end.
std::int32_t env_entry_len_within(const unsigned char* entry, std::size_t avail);

namespace mfpsys::env {

// Visits the entries of an entry area in their stored order without ever
// reading past its end.
class EntryWalker {
public:
    enum class Step { Entry, End, TooLong, Unterminated };

    explicit EntryWalker(const unsigned char* area, std::size_t size = kAreaSize)
        : area_(area), size_(size) {}

    // Entry: the entry in hand is at text(), size() bytes with its NUL.
    // End: the empty entry was found. TooLong: an entry of 500 characters or
    // more. Unterminated: the area ended before the list did.
    Step next();

    const unsigned char* text() const { return area_ + start_; }
    std::size_t size() const { return len_; }

private:
    const unsigned char* area_;
    std::size_t size_;
    std::size_t start_ = 0;
    std::size_t pos_ = 0;
    std::size_t len_ = 0;
};

// What a stored sector image is, in the order it is tested. Blank, NoDataEnd
// and ChecksumMismatch fail the format's own test (the end of the data within
// 2000 bytes, the checksum word); EntryTooLong and Unterminated pass it, but
// their list cannot be walked to its end.
enum class Verdict { Accepted, Blank, NoDataEnd, ChecksumMismatch, EntryTooLong, Unterminated };

struct Judgement {
    Verdict verdict;
    std::int32_t dataLen;      // env_data_len of the entry area
    std::uint32_t sum;         // env_checksum of the entry area
    std::uint32_t word;        // the stored checksum word
    EntryWalker::Step listEnd; // where the walk stopped (End for a blank area)

    // The data end and the checksum hold: this is an environment as it was
    // written, whether or not its list can be walked.
    bool stored() const { return verdict == Verdict::Accepted || listDamaged(); }
    bool listDamaged() const { return verdict == Verdict::EntryTooLong || verdict == Verdict::Unterminated; }
};

// The one acceptance rule, for the read, the rewrite and the inspector alike.
// image is a whole sector image, indexed by sector offset.
Judgement judge(const unsigned char* image);

}  // namespace mfpsys::env
