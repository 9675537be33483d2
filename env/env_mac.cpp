// Reading and rewriting the board's Ethernet address in the boot environment.
//
// Every device step opens the flash device, does one thing and closes it.
// The calls share process-wide buffers, so a mutex keeps the threads of one
// process apart; a System V semaphore taken with SEM_UNDO keeps processes
// apart around the device steps (a rewrite is read, erase, wait, write, and
// nobody may see or start one half-way), and the kernel releases it if its
// holder dies.
#include "mfpsys/env.h"

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "env/env_internal.h"
#include "port/endian.h"
#include "port/flash_device.h"
#include "port/fork_guard.h"
#include "port/sysv_lock.h"

unsigned char env_buff[8192];
unsigned char env_tmp[8192];
char mac[30];

namespace {

using namespace mfpsys::env;
namespace port = mfpsys::port;

static_assert(sizeof(env_buff) == kSectorSize && sizeof(env_tmp) == kSectorSize);

constexpr key_t kLockKey = 0x4D504501;

constexpr char kAddrKey[] = "ethaddr=";
constexpr std::size_t kAddrKeyLen = sizeof(kAddrKey) - 1;
// mac holds "ethaddr=", at most 20 characters and a NUL, and the list's
// closing NUL must fit behind them; a value handed out fills it with its NUL.
constexpr std::size_t kMaxText = sizeof(mac) - kAddrKeyLen - 2;
constexpr std::size_t kMaxValue = sizeof(mac) - 1;
static_assert(kMaxText == 20 && kMaxValue == 29);

constexpr unsigned kEraseWaitSeconds = 2;

char* const kReadFailed = reinterpret_cast<char*>(~std::uintptr_t{0});

std::mutex g_mutex;
[[maybe_unused]] const bool g_forkSafe = port::guardAcrossFork(g_mutex, port::LockRank::envSector);

// The system-wide lock around the device steps. A lock that cannot be had is
// reported like the device's failures, and the call fails untouched.
class SectorLock : public port::SysvLock {
public:
    SectorLock() : SysvLock(port::sysvLockOpen(kLockKey)) {
        if (!held()) std::printf("nvram lock error\n");
    }
};

unsigned char* area(unsigned char* image) { return image + kAreaOffset; }

std::uint32_t area_checksum(unsigned char* image) {
    return env_checksum(area(image), static_cast<std::int32_t>(kAreaSize));
}

bool is_address_entry(const EntryWalker& w) {
    return w.size() > kAddrKeyLen && std::memcmp(w.text(), kAddrKey, kAddrKeyLen) == 0;
}

// Reads the checksum word and the entry area into env_buff. For a read a
// short transfer is no error: what was not read stays 0xFF, so the result is
// the stored text or a failed check. A rewrite needs the whole image: a
// partial one would fail its checksum and have the stored entries replaced
// by the defaults.
int read_sector(bool whole) {
    const port::FlashResult got = port::flashRead(kIoStart, env_buff + kWordOffset, kIoSize);
    if (got.fail == port::FlashFail::Open) {
        std::printf("nvram open error\n");
        return -1;
    }
    if (!got.ok() || (whole && !got.whole(kIoSize))) {
        std::printf("nvram read error\n");
        return -1;
    }
    return 0;
}

char* read_locked() {
    std::memset(env_buff, 0xFF, sizeof(env_buff));
    {
        SectorLock lock;
        if (!lock.held() || read_sector(false) != 0) return kReadFailed;
    }
    const Judgement j = judge(env_buff);
    if (j.verdict == Verdict::Blank) return nullptr;
    if (!j.stored()) return kReadFailed;

    // The first address entry the walk reaches is the answer, even in a list
    // damaged further on: the walk never gets to the damage.
    EntryWalker w(area(env_buff));
    for (;;) {
        switch (w.next()) {
            case EntryWalker::Step::Entry:
                if (is_address_entry(w)) {
                    const std::size_t value = w.size() - 1 - kAddrKeyLen;
                    if (value > kMaxValue) return kReadFailed;
                    std::memcpy(mac, w.text() + kAddrKeyLen, value + 1);
                    return mac;
                }
                continue;
            case EntryWalker::Step::TooLong:
                std::printf("env data is too long\n");
                return kReadFailed;
            case EntryWalker::Step::End:
            case EntryWalker::Step::Unterminated: return kReadFailed;
        }
    }
}

// Builds env_tmp from env_buff: every entry but the address entries, then the
// new address entry (already in mac) and the list's end. Returns false when
// the result would not be a valid environment.
bool build_image(std::size_t entry_size) {
    unsigned char* out = area(env_tmp);
    std::size_t pos = 0;
    EntryWalker w(area(env_buff));
    for (bool more = true; more;) {
        switch (w.next()) {
            case EntryWalker::Step::Entry:
                if (is_address_entry(w)) continue;
                if (pos + w.size() > kAreaSize) return false;
                std::memcpy(out + pos, w.text(), w.size());
                pos += w.size();
                continue;
            case EntryWalker::Step::End: more = false; break;
            case EntryWalker::Step::TooLong:
            case EntryWalker::Step::Unterminated: return false;
        }
    }
    if (pos + entry_size + 1 > kAreaSize) return false;
    std::memcpy(out + pos, mac, entry_size);
    pos += entry_size;
    out[pos] = 0;
    // What the boot loader and the read would reject must not be written.
    if (env_data_len(out) <= 0) return false;
    port::putBe(env_tmp + kWordOffset, area_checksum(env_tmp));
    return true;
}

// Prints the message of the stage at which a device step stopped.
void report(const port::FlashResult& r, const char* stepMessage) {
    std::printf("%s", r.fail == port::FlashFail::Open   ? "nvram open error\n"
                      : r.fail == port::FlashFail::Seek ? "nvram seek error\n"
                                                  : stepMessage);
}

int erase_sector() {
    const port::FlashResult r = port::flashRequest(kSectorStart, port::kFlashErase);
    if (!r.ok()) {
        report(r, "nvram ioctl error\n");
        return -1;
    }
    // The erase status is never asked for: the device is given this long.
    for (unsigned left = kEraseWaitSeconds; left != 0;) left = ::sleep(left);
    return 0;
}

int write_sector() {
    const port::FlashResult r = port::flashWrite(kIoStart, env_tmp + kWordOffset, kIoSize);
    // A short write leaves a torn environment behind: that is a failure too.
    if (!r.whole(kIoSize)) {
        report(r, "nvram write error\n");
        return -1;
    }
    return 0;
}

std::int32_t write_locked(const char* text, std::size_t text_len) {
    std::memset(env_buff, 0xFF, sizeof(env_buff));
    std::memset(env_tmp, 0xFF, sizeof(env_tmp));
    SectorLock lock;
    if (!lock.held() || read_sector(true) != 0) return -1;

    // Only an image that is no stored environment is replaced by the
    // defaults; one whose list cannot be walked is refused by the walk that
    // copies it, and the flash is not touched.
    const Judgement j = judge(env_buff);
    if (!j.stored()) {
        std::printf("checksum error : checksum %x:%x, len %d\n", static_cast<unsigned>(j.sum),
                    static_cast<unsigned>(j.word), static_cast<int>(j.dataLen));
        std::memset(env_buff, 0xFF, sizeof(env_buff));
        std::memcpy(area(env_buff), env_table, kDefaultSize);
        port::putBe(env_buff + kWordOffset, area_checksum(env_buff));
    }

    std::memset(mac, 0, sizeof(mac));
    std::memcpy(mac, kAddrKey, kAddrKeyLen);
    std::memcpy(mac + kAddrKeyLen, text, text_len);
    if (!build_image(kAddrKeyLen + text_len + 1)) {
        std::printf("env data is too long\n");
        return -1;
    }
    if (erase_sector() != 0) return -1;
    return write_sector();
}

int hex_value(unsigned char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return c;  // not validated: any other character counts as its own code
}

}  // namespace

char* env_mac_read(void) {
    std::lock_guard guard(g_mutex);
    return read_locked();
}

std::int32_t env_mac_write(const char* text) {
    if (text == nullptr) return -1;
    const std::size_t text_len = ::strnlen(text, kMaxText + 1);
    if (text_len > kMaxText) return -1;
    // A 0xFF byte would end the data in use there for the boot loader and cut
    // off the list: refused like a text that does not fit.
    if (std::memchr(text, 0xFF, text_len) != nullptr) return -1;
    std::lock_guard guard(g_mutex);
    return write_locked(text, text_len);
}

std::int32_t env_mac_read_n(unsigned char* bytes) {
    if (bytes == nullptr) return -1;
    std::lock_guard guard(g_mutex);
    const char* text = read_locked();
    if (text == kReadFailed) return -1;
    if (text == nullptr) {
        std::memset(bytes, 0xFF, 6);
        return 0;
    }
    // Positions past the end of a short value count as 0, like its NUL,
    // rather than whatever an earlier value left in mac.
    const std::size_t len = ::strnlen(text, sizeof(mac));
    auto digit = [&](std::size_t i) {
        return hex_value(i < len ? static_cast<unsigned char>(text[i]) : 0);
    };
    for (std::size_t i = 0; i < 6; ++i)
        bytes[i] = static_cast<unsigned char>((digit(3 * i) << 4) | digit(3 * i + 1));
    return 0;
}

std::int32_t env_mac_write_n(const unsigned char* bytes) {
    if (bytes == nullptr) return -1;
    static constexpr char kHex[] = "0123456789abcdef";
    char text[18];
    for (std::size_t i = 0; i < 6; ++i) {
        text[3 * i] = kHex[bytes[i] >> 4];
        text[3 * i + 1] = kHex[bytes[i] & 0x0F];
        text[3 * i + 2] = ':';
    }
    text[17] = '\0';
    return env_mac_write(text);
}
