// The simulated board: control API for tests and tools.
//
// A board is a directory holding the flash image, the physical-memory backing
// and a small state file shared by every process that uses the board. Client
// processes reach it through the device paths "/dev/mfp_flashrom" and
// "/dev/mfp_devmem" once the environment variable MFPSIM_BOARD names the
// directory (libmfpsim interposes the C library's calls on those paths).
// This API prepares boards, arms faults and power cuts and inspects what the
// devices saw. docs/simulator.md describes the model.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#define MFPSIM_API __attribute__((visibility("default")))

namespace mfpsim {

inline constexpr const char* kBoardEnv = "MFPSIM_BOARD";
inline constexpr const char* kFlashPath = "/dev/mfp_flashrom";
inline constexpr const char* kDevmemPath = "/dev/mfp_devmem";

// Flash geometry: 512 KiB; 64 KiB sectors 0x00000-0x6FFFF, one 32 KiB sector
// at 0x70000, 8 KiB sectors 0x78000-0x7FFFF. Sector numbers count in device order.
inline constexpr uint32_t kFlashSize = 0x80000;
inline constexpr int kSectorCount = 12;
struct Sector {
    uint32_t start;
    uint32_t size;
};
constexpr Sector sector(int index) {
    if (index < 7) return {uint32_t(index) * 0x10000u, 0x10000u};
    if (index == 7) return {0x70000u, 0x8000u};
    return {0x78000u + uint32_t(index - 8) * 0x2000u, 0x2000u};
}
// The sector holding a device offset, or -1 beyond the flash.
constexpr int sector_index(uint32_t offset) {
    if (offset >= kFlashSize) return -1;
    if (offset < 0x70000u) return int(offset / 0x10000u);
    if (offset < 0x78000u) return 7;
    return 8 + int((offset - 0x78000u) / 0x2000u);
}

// Physical memory that the board backs: the two download areas.
inline constexpr uint32_t kPhysBase = 0x0EC00000;
inline constexpr uint32_t kPhysSize = 0x20000;

// What an interrupted operation leaves: nothing, a leading part, or a
// random subset of its bit changes (chosen by a generator started from the salt).
enum class Tear { None, Prefix, Random };
// A power cut at the k-th program operation (flash write call) or the k-th
// accepted erase request.
enum class CutAt { Program, Erase };
// Device faults, each for the n-th matching call.
enum class Fault {
    Open,            // an open of either device fails (ENXIO)
    Lseek,           // an lseek on a device descriptor fails (EINVAL)
    ReadFail,        // a flash read returns -1 (EIO)
    ReadShort,       // a flash read transfers fewer bytes (half, or a given count)
    WriteFail,       // a flash write returns -1 (EIO), nothing programmed
    WriteShort,      // a flash write programs and reports half the bytes
    EraseFail,       // an erase request returns -1, nothing erased
    EraseNeverEnds,  // an erase request is accepted but never finishes
    Mmap,            // an mmap of the physical-memory device fails (EAGAIN)
};
inline constexpr int kFaultKinds = 9;

struct Counters {
    uint64_t opens, closes, open_fds;        // device descriptors, both devices
    uint64_t reads, read_bytes;              // flash read calls and bytes returned
    uint64_t writes, write_bytes;            // flash write calls and bytes accepted
    uint64_t programmed_bytes;               // bytes whose stored value changed
    uint64_t erase_requests, status_requests;
    uint64_t violations;                     // writes that asked to raise a 0 bit
    uint64_t erasing_writes;                 // writes refused: their sector was erasing
    uint64_t seeks, maps, unmaps;
    uint64_t faults_fired, power_cuts;
    std::array<uint64_t, kSectorCount> erases;  // completed erases per sector
};

struct JournalEntry {
    char kind;  // 'r' read, 'w' write, 'e' erase request, 's' status request
    uint32_t offset, length;
    bool operator==(const JournalEntry&) const = default;
};

// What the last power cut did.
struct CutReport {
    bool fired = false;
    CutAt at = CutAt::Program;
    Tear tear = Tear::None;
    uint64_t salt = 0;
    uint32_t offset = 0, length = 0;  // the interrupted write or erased sector
    uint32_t done = 0;                // Prefix: bytes of it that took effect
};

namespace detail { class BoardFiles; }

class MFPSIM_API Board {
public:
    // A new board in dir (created if missing): flash all 0xFF, physical
    // memory zero, virtual clock, erase timing defaults, nothing armed.
    static Board create(const std::string& dir);
    // An existing board; throws std::runtime_error if dir holds none.
    static Board open(const std::string& dir);

    const std::string& dir() const;
    // Makes this board the one the calling process (and its children) use.
    void select() const;

    // Offline access to the media: no counters, no NOR rules.
    std::vector<uint8_t> flash(uint32_t off, uint32_t len) const;
    void set_flash(uint32_t off, std::span<const uint8_t> bytes);
    std::vector<uint8_t> physmem(uint32_t phys_addr, uint32_t len) const;
    void set_physmem(uint32_t phys_addr, std::span<const uint8_t> bytes);

    Counters counters() const;
    void reset_counters();   // counters and journal

    // Clock: sleep() on the board advances a shared virtual clock and returns
    // at once, unless real time is chosen (then it really sleeps as well).
    uint64_t virtual_seconds() const;
    void set_real_time(bool on);

    // An erase is over once it has answered busy to n status requests and
    // s virtual seconds have passed since its request (defaults 0 and 0).
    void set_erase_status_polls(uint32_t n);
    void set_erase_seconds(uint32_t s);
    bool erasing(int sector) const;

    // Writes that ask to raise a 0 bit are counted; with this on they also
    // fail (-1, EIO) and program nothing.
    void set_fail_violations(bool on);

    // k counts from 1 from now; salt 0 picks a salt (printed when the cut fires).
    void arm_power_cut(CutAt at, uint64_t k, Tear mode, uint64_t salt);
    // The nth matching call from now fails (n counts from 1). For ReadShort,
    // bytes > 0 is what that read returns at most (default: half of what it
    // asks for); other faults take no byte count.
    void arm_fault(Fault f, uint64_t nth, uint32_t bytes = 0);
    // Every flash read that starts at offset fails (-1, EIO) from now until
    // disarm(); reads from elsewhere, also over it, work.
    void fail_reads_at(uint32_t offset);
    void disarm();           // drops every armed fault and cut
    bool power_lost() const;
    CutReport last_cut() const;
    // Power back: device calls work again. A restart of the system is this
    // plus a fresh IPC namespace for the processes started afterwards.
    void power_on();

    void set_journal(bool on);   // on: starts a fresh journal
    std::vector<JournalEntry> journal() const;   // oldest first (the newest 4096)

private:
    explicit Board(std::shared_ptr<detail::BoardFiles> f);
    std::shared_ptr<detail::BoardFiles> f_;
};

// The path of the loaded interposer library.
MFPSIM_API std::string library_path();
// An LD_PRELOAD value that loads the interposer into another program built
// like the calling one: sanitizer runtimes loaded here come first, as they
// must, then the interposer.
MFPSIM_API std::string preload_list();

MFPSIM_API const char* tear_name(Tear t);
MFPSIM_API const char* fault_name(Fault f);

}  // namespace mfpsim
