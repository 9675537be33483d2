// Internal: the board's shared state file and the device model.
//
// The state file is mapped shared by every process of a board, including
// processes of the other target (a native tool inspecting a board that ppc
// programs ran on), so every field is stored little-endian and has the same
// offset on both targets. A record lock on the file (fcntl, per process, given
// back by the kernel when a holder dies) guards it.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "sim/board.h"

namespace mfpsim::detail {

// Little-endian storage of an integer field.
template <class T>
class Le {
public:
    T get() const { return order(raw_); }
    void set(T v) { raw_ = order(v); }
    void add(T d) { set(T(get() + d)); }

private:
    static T order(T v) {
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
        if constexpr (sizeof(T) == 8) return __builtin_bswap64(v);
        else return __builtin_bswap32(v);
#else
        return v;
#endif
    }
    T raw_;
};
using L32 = Le<uint32_t>;
using L64 = Le<uint64_t>;

enum Counter : int {
    kOpens, kCloses, kOpenFds, kReads, kReadBytes, kWrites, kWriteBytes, kProgrammedBytes,
    kEraseRequests, kStatusRequests, kViolations, kErasingWrites, kSeeks, kMaps, kUnmaps,
    kFaultsFired, kPowerCuts, kCounterSlots = 24
};

struct EraseSlot {
    L32 running;      // 1 while an erase of the sector runs
    L32 polls_left;   // busy answers still owed
    L32 never_ends;   // an armed fault keeps it running
    L32 pad;
    L64 due_at;       // virtual second from which it may be over
};

struct JournalRec {
    L32 kind, offset, length;
};

inline constexpr uint32_t kStateMagic = 0x4D465342;  // "MFSB"
inline constexpr uint32_t kStateVersion = 1;
inline constexpr uint32_t kJournalSlots = 4096;

struct State {
    L32 magic, version;
    L32 real_time, erase_polls, erase_seconds, fail_violations, journal_on, power_lost;
    L64 clock;               // virtual seconds slept on the board
    // armed power cut
    L32 cut_armed, cut_at, cut_tear;
    L32 short_read;          // bytes the armed ReadShort returns; 0: half
    L64 cut_countdown, cut_salt;
    // the last cut that fired
    L32 rep_fired, rep_at, rep_tear, rep_offset, rep_length, rep_done;
    L64 rep_salt;
    L64 fault_countdown[16];  // 0: not armed
    EraseSlot erase[16];
    L64 counters[kCounterSlots];
    L64 erases[16];
    L64 journal_count;        // entries ever recorded
    JournalRec journal[kJournalSlots];
    L32 bad_read_armed, bad_read_offset;  // every read from the offset fails
};
static_assert(sizeof(EraseSlot) == 24);
static_assert(offsetof(State, clock) == 32);
static_assert(offsetof(State, short_read) == 52);
static_assert(offsetof(State, cut_countdown) == 56);
static_assert(offsetof(State, rep_salt) == 96);
static_assert(offsetof(State, erase) == 232);
static_assert(offsetof(State, journal) == 944);
static_assert(sizeof(State) == 944 + 12 * kJournalSlots + 8);

// One process's handle on a board directory: the mapped state file and the
// flash image. Shared (one per directory per process) by the control API and
// the interposer's descriptors.
class BoardFiles {
public:
    ~BoardFiles();
    BoardFiles(const BoardFiles&) = delete;
    BoardFiles& operator=(const BoardFiles&) = delete;

    // Existing board: nullptr with errno set if dir holds none.
    static std::shared_ptr<BoardFiles> attach(const std::string& dir);
    // Fresh board (files created or reset); throws std::runtime_error.
    static std::shared_ptr<BoardFiles> make(const std::string& dir);

    const std::string& dir() const { return dir_; }
    std::string flash_path() const { return dir_ + "/flash.img"; }
    std::string physmem_path() const { return dir_ + "/physmem.img"; }
    std::string state_path() const { return dir_ + "/state"; }
    int flash_fd() const { return flash_fd_; }

    // Exclusive access to the state: the process's mutex (threads) and the
    // record lock (processes).
    class Locked {
    public:
        explicit Locked(BoardFiles& b);
        ~Locked();
        Locked(const Locked&) = delete;
        Locked& operator=(const Locked&) = delete;
        State& s;
        BoardFiles& b;
    };

private:
    BoardFiles(std::string dir, int state_fd, int flash_fd, State* st);
    std::string dir_;
    int state_fd_;
    int flash_fd_;
    State* st_;
};

// The process-wide lock under which board state files are locked, opened and
// closed (a close drops every record lock the process holds on that file).
std::mutex& process_mutex();

// Device model. Every call takes the board lock itself, except those given a
// Locked. Results follow the C library: -1 with errno set on failure.
// A call on a board that has lost power kills the calling process.
namespace model {

void check_power(BoardFiles::Locked& l);
void settle(BoardFiles::Locked& l);               // completes erases that are over
bool fault_fires(BoardFiles::Locked& l, Fault f);  // counts a matching call
void count(BoardFiles::Locked& l, Counter c, uint64_t n = 1);

int device_open(BoardFiles& b);                    // power, Open fault, counters
int device_close(BoardFiles& b);
int device_lseek(BoardFiles& b);                   // power, Lseek fault, counter
ssize_t flash_read(BoardFiles& b, uint32_t pos, void* buf, size_t n);
ssize_t flash_write(BoardFiles& b, uint32_t pos, const void* buf, size_t n);
int flash_erase(BoardFiles& b, uint32_t pos);      // third ioctl argument 10
int flash_status(BoardFiles& b, uint32_t pos);     // third ioctl argument 15
int devmem_check_map(BoardFiles& b, uint64_t off, size_t len);
void devmem_unmapped(BoardFiles& b);
void power_touch(BoardFiles& b);                   // any other device call
unsigned sleep(BoardFiles& b, unsigned seconds);

}  // namespace model

}  // namespace mfpsim::detail
