// The board's shared state and the device model behind the interposer.
#include "sim/state.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <stdexcept>
#include <vector>

#include "sim/sys.h"

namespace mfpsim::detail {

namespace {

// Never destroyed, like the interposer's tables that refer to boards.
struct Globals {
    std::mutex process_mutex;
    std::mutex cache_mutex;
    std::map<std::string, std::weak_ptr<BoardFiles>> cache;
};
Globals& globals() {
    static Globals* g = new Globals;
    return *g;
}

[[noreturn]] void die() {
    ::kill(::getpid(), SIGKILL);
    for (;;) ::pause();
}

// A small generator started from the salt: the same salt tears the same way
// on every target.
class Rng {
public:
    explicit Rng(uint64_t salt) : x_(salt) {}
    uint64_t next() {
        uint64_t z = (x_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    uint32_t below(uint32_t n) { return uint32_t(next() % n); }  // 0..n-1
    uint8_t byte() { return uint8_t(next() >> 56); }

private:
    uint64_t x_;
};

}  // namespace

std::mutex& process_mutex() { return globals().process_mutex; }

BoardFiles::BoardFiles(std::string dir, int state_fd, int flash_fd, State* st)
    : dir_(std::move(dir)), state_fd_(state_fd), flash_fd_(flash_fd), st_(st) {}

BoardFiles::~BoardFiles() {
    std::lock_guard g(globals().process_mutex);
    sys::munmap(st_, sizeof(State));
    sys::close(state_fd_);
    sys::close(flash_fd_);
}

std::shared_ptr<BoardFiles> BoardFiles::attach(const std::string& dir) {
    std::lock_guard cg(globals().cache_mutex);
    auto it = globals().cache.find(dir);
    if (it != globals().cache.end()) {
        if (auto alive = it->second.lock()) return alive;
    }
    std::lock_guard g(globals().process_mutex);
    int sfd = sys::open((dir + "/state").c_str(), O_RDWR | O_CLOEXEC);
    if (sfd < 0) return nullptr;
    struct stat st{};
    if (::fstat(sfd, &st) != 0 || st.st_size != off_t(sizeof(State))) {
        sys::close(sfd);
        errno = EINVAL;
        return nullptr;
    }
    void* m = sys::mmap(nullptr, sizeof(State), PROT_READ | PROT_WRITE, MAP_SHARED, sfd, 0);
    if (m == MAP_FAILED) {
        int e = errno;
        sys::close(sfd);
        errno = e;
        return nullptr;
    }
    auto* state = static_cast<State*>(m);
    int ffd = -1;
    if (state->magic.get() == kStateMagic && state->version.get() == kStateVersion)
        ffd = sys::open((dir + "/flash.img").c_str(), O_RDWR | O_CLOEXEC);
    if (ffd < 0 || ::fstat(ffd, &st) != 0 || st.st_size != off_t(kFlashSize)) {
        if (ffd >= 0) sys::close(ffd);
        sys::munmap(m, sizeof(State));
        sys::close(sfd);
        errno = EINVAL;
        return nullptr;
    }
    std::shared_ptr<BoardFiles> b(new BoardFiles(dir, sfd, ffd, state));
    globals().cache[dir] = b;
    return b;
}

std::shared_ptr<BoardFiles> BoardFiles::make(const std::string& dir) {
    auto fail = [&](const char* what) {
        throw std::runtime_error("mfpsim: cannot create board " + dir + ": " + what + ": " +
                                 std::strerror(errno));
    };
    if (::mkdir(dir.c_str(), 0777) != 0 && errno != EEXIST) fail("mkdir");
    {
        int fd = sys::open((dir + "/flash.img").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
        if (fd < 0) fail("flash image");
        std::vector<uint8_t> ff(kFlashSize, 0xFF);
        bool ok = ::ftruncate(fd, kFlashSize) == 0 && sys::write_all(fd, ff.data(), ff.size(), 0);
        sys::close(fd);
        if (!ok) fail("flash image");
    }
    {
        // Sparse: only the download areas at their physical addresses hold data.
        int fd = sys::open((dir + "/physmem.img").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
        if (fd < 0) fail("physical memory");
        bool ok = ::ftruncate(fd, 0) == 0 && ::ftruncate(fd, off_t(kPhysBase + kPhysSize)) == 0;
        sys::close(fd);
        if (!ok) fail("physical memory");
    }
    {
        std::lock_guard g(globals().process_mutex);
        int fd = sys::open((dir + "/state").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
        if (fd < 0) fail("state");
        std::vector<uint8_t> zero(sizeof(State), 0);
        State* s = reinterpret_cast<State*>(zero.data());
        s->magic.set(kStateMagic);
        s->version.set(kStateVersion);
        bool ok = ::ftruncate(fd, sizeof(State)) == 0 && sys::write_all(fd, zero.data(), zero.size(), 0);
        sys::close(fd);
        if (!ok) fail("state");
    }
    auto b = attach(dir);
    if (!b) fail("attach");
    return b;
}

BoardFiles::Locked::Locked(BoardFiles& board) : s(*board.st_), b(board) {
    globals().process_mutex.lock();
    struct flock fl{};
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    while (::fcntl(board.state_fd_, F_SETLKW, &fl) != 0) {
        if (errno == EINTR) continue;
        std::fprintf(stderr, "mfpsim: cannot lock %s: %s\n", board.dir_.c_str(), std::strerror(errno));
        std::abort();
    }
}

BoardFiles::Locked::~Locked() {
    struct flock fl{};
    fl.l_type = F_UNLCK;
    fl.l_whence = SEEK_SET;
    ::fcntl(b.state_fd_, F_SETLK, &fl);
    globals().process_mutex.unlock();
}

namespace model {

namespace {

using Locked = BoardFiles::Locked;

void journal(Locked& l, char kind, uint32_t off, uint32_t len) {
    if (!l.s.journal_on.get()) return;
    uint64_t n = l.s.journal_count.get();
    JournalRec& r = l.s.journal[n % kJournalSlots];
    r.kind.set(uint8_t(kind));
    r.offset.set(off);
    r.length.set(len);
    l.s.journal_count.set(n + 1);
}

void fill_sector(Locked& l, int i) {
    std::vector<uint8_t> ff(sector(i).size, 0xFF);
    sys::write_all(l.b.flash_fd(), ff.data(), ff.size(), sector(i).start);
}

bool cut_fires(Locked& l, CutAt at) {
    if (!l.s.cut_armed.get() || l.s.cut_at.get() != uint32_t(at)) return false;
    uint64_t k = l.s.cut_countdown.get();
    if (k > 1) {
        l.s.cut_countdown.set(k - 1);
        return false;
    }
    l.s.cut_armed.set(0);
    return true;
}

// The part of an interrupted erase that took effect. Returns the bytes of
// the prefix erased (Prefix) or the sector size otherwise.
uint32_t tear_erase(Locked& l, int i, Tear t, Rng& rng) {
    Sector sc = sector(i);
    l.s.erase[i].running.set(0);
    if (t == Tear::None) return 0;
    std::vector<uint8_t> bytes(sc.size);
    sys::read_all(l.b.flash_fd(), bytes.data(), bytes.size(), sc.start);
    uint32_t done = sc.size;
    if (t == Tear::Prefix) {
        done = rng.below(sc.size + 1);
        std::fill_n(bytes.begin(), done, uint8_t(0xFF));
    } else {
        for (auto& b : bytes) b |= rng.byte();
    }
    sys::write_all(l.b.flash_fd(), bytes.data(), bytes.size(), sc.start);
    return done;
}

// The board loses power: erases still running are torn like the interrupted
// operation, nothing later reaches the flash, and the caller dies.
[[noreturn]] void power_cut(Locked& l, CutAt at, uint32_t off, uint32_t len, uint32_t done, Rng& rng) {
    Tear t = Tear(l.s.cut_tear.get());
    for (int i = 0; i < kSectorCount; ++i)
        if (l.s.erase[i].running.get()) tear_erase(l, i, t, rng);
    l.s.power_lost.set(1);
    count(l, kPowerCuts);
    count(l, kFaultsFired);
    l.s.rep_fired.set(1);
    l.s.rep_at.set(uint32_t(at));
    l.s.rep_tear.set(uint32_t(t));
    l.s.rep_offset.set(off);
    l.s.rep_length.set(len);
    l.s.rep_done.set(done);
    l.s.rep_salt.set(l.s.cut_salt.get());
    std::fprintf(stderr, "mfpsim: power cut at %s 0x%05x+%u (tear %s, salt %llu) in pid %d\n",
                 at == CutAt::Program ? "write" : "erase", unsigned(off), unsigned(len),
                 tear_name(t), static_cast<unsigned long long>(l.s.cut_salt.get()), int(::getpid()));
    std::fflush(stderr);
    die();
}

bool overlaps_erase(Locked& l, uint32_t pos, uint32_t len) {
    for (int i = 0; i < kSectorCount; ++i) {
        if (!l.s.erase[i].running.get()) continue;
        Sector sc = sector(i);
        if (pos < sc.start + sc.size && sc.start < pos + len) return true;
    }
    return false;
}

// The board lock for a device call: on a board that has lost power the
// caller dies here.
struct Powered : Locked {
    explicit Powered(BoardFiles& b) : Locked(b) { check_power(*this); }
};

// The C library's way of failing: -1 with errno set.
int fail_with(int err) {
    errno = err;
    return -1;
}

}  // namespace

void count(Locked& l, Counter c, uint64_t n) { l.s.counters[c].add(n); }

void check_power(Locked& l) {
    if (l.s.power_lost.get()) die();
}

void settle(Locked& l) {
    uint64_t now = l.s.clock.get();
    for (int i = 0; i < kSectorCount; ++i) {
        EraseSlot& e = l.s.erase[i];
        if (!e.running.get() || e.never_ends.get() || e.polls_left.get() || now < e.due_at.get())
            continue;
        fill_sector(l, i);
        e.running.set(0);
        l.s.erases[i].add(1);
    }
}

bool fault_fires(Locked& l, Fault f) {
    L64& c = l.s.fault_countdown[int(f)];
    uint64_t k = c.get();
    if (k == 0) return false;
    c.set(k - 1);
    if (k > 1) return false;
    count(l, kFaultsFired);
    return true;
}

int device_open(BoardFiles& b) {
    Powered l(b);
    if (fault_fires(l, Fault::Open)) return fail_with(ENXIO);
    count(l, kOpens);
    count(l, kOpenFds);
    return 0;
}

int device_close(BoardFiles& b) {
    Powered l(b);
    count(l, kCloses);
    if (l.s.counters[kOpenFds].get() > 0) count(l, kOpenFds, uint64_t(-1));
    return 0;
}

int device_lseek(BoardFiles& b) {
    Powered l(b);
    count(l, kSeeks);
    if (fault_fires(l, Fault::Lseek)) return fail_with(EINVAL);
    return 0;
}

ssize_t flash_read(BoardFiles& b, uint32_t pos, void* buf, size_t n) {
    Powered l(b);
    settle(l);
    count(l, kReads);
    if (fault_fires(l, Fault::ReadFail)) return fail_with(EIO);
    if (l.s.bad_read_armed.get() && l.s.bad_read_offset.get() == pos) {
        count(l, kFaultsFired);
        return fail_with(EIO);
    }
    if (fault_fires(l, Fault::ReadShort)) {
        const uint32_t k = l.s.short_read.get();
        n = k == 0 ? n / 2 : std::min<size_t>(n, k);
    }
    size_t len = pos >= kFlashSize ? 0 : std::min<size_t>(n, kFlashSize - pos);
    if (len > 0 && !sys::read_all(b.flash_fd(), buf, len, pos)) return fail_with(EIO);
    count(l, kReadBytes, len);
    journal(l, 'r', pos, uint32_t(len));
    return ssize_t(len);
}

ssize_t flash_write(BoardFiles& b, uint32_t pos, const void* buf, size_t n) {
    Powered l(b);
    settle(l);
    count(l, kWrites);
    auto data = static_cast<const uint8_t*>(buf);
    size_t len = pos >= kFlashSize ? 0 : std::min<size_t>(n, kFlashSize - pos);
    bool busy = len > 0 && overlaps_erase(l, pos, uint32_t(len));
    std::vector<uint8_t> old(len);
    if (len > 0 && !sys::read_all(b.flash_fd(), old.data(), len, pos)) return fail_with(EIO);
    if (cut_fires(l, CutAt::Program)) {
        Rng rng(l.s.cut_salt.get());
        Tear t = Tear(l.s.cut_tear.get());
        uint32_t done = 0;
        if (len > 0 && !busy && t != Tear::None) {
            std::vector<uint8_t> now = old;
            if (t == Tear::Prefix) {
                done = rng.below(uint32_t(len) + 1);
                for (uint32_t i = 0; i < done; ++i) now[i] = uint8_t(old[i] & data[i]);
            } else {
                done = uint32_t(len);
                for (size_t i = 0; i < len; ++i) {
                    uint8_t clear = uint8_t(old[i] & ~data[i]);
                    now[i] = uint8_t(old[i] & ~(clear & rng.byte()));
                }
            }
            sys::write_all(b.flash_fd(), now.data(), len, pos);
        }
        power_cut(l, CutAt::Program, pos, uint32_t(len), done, rng);
    }
    if (fault_fires(l, Fault::WriteFail)) return fail_with(EIO);
    if (fault_fires(l, Fault::WriteShort)) len = std::min(len, n / 2);
    if (n > 0 && pos >= kFlashSize) return fail_with(ENOSPC);
    if (busy) {
        count(l, kErasingWrites);
        return fail_with(EBUSY);
    }
    bool violation = false;
    uint64_t changed = 0;
    std::vector<uint8_t> now(len);
    for (size_t i = 0; i < len; ++i) {
        violation |= (data[i] & ~old[i]) != 0;
        now[i] = uint8_t(old[i] & data[i]);
        changed += now[i] != old[i];
    }
    if (violation) {
        count(l, kViolations);
        if (l.s.fail_violations.get()) return fail_with(EIO);
    }
    if (len > 0 && !sys::write_all(b.flash_fd(), now.data(), len, pos)) return fail_with(EIO);
    count(l, kWriteBytes, len);
    count(l, kProgrammedBytes, changed);
    journal(l, 'w', pos, uint32_t(len));
    return ssize_t(len);
}

int flash_erase(BoardFiles& b, uint32_t pos) {
    Powered l(b);
    settle(l);
    count(l, kEraseRequests);
    int i = sector_index(pos);
    if (i < 0 || sector(i).start != pos) return fail_with(EINVAL);
    if (cut_fires(l, CutAt::Erase)) {
        Rng rng(l.s.cut_salt.get());
        uint32_t done = tear_erase(l, i, Tear(l.s.cut_tear.get()), rng);
        power_cut(l, CutAt::Erase, pos, sector(i).size, done, rng);
    }
    if (fault_fires(l, Fault::EraseFail)) return fail_with(EIO);
    EraseSlot& e = l.s.erase[i];
    e.running.set(1);
    e.polls_left.set(l.s.erase_polls.get());
    e.due_at.set(l.s.clock.get() + l.s.erase_seconds.get());
    e.never_ends.set(fault_fires(l, Fault::EraseNeverEnds) ? 1 : 0);
    journal(l, 'e', pos, sector(i).size);
    settle(l);  // with no duration set, the erase is over at once
    return 0;
}

int flash_status(BoardFiles& b, uint32_t pos) {
    Powered l(b);
    settle(l);
    count(l, kStatusRequests);
    journal(l, 's', pos, 0);
    int i = sector_index(pos);
    if (i < 0) return fail_with(EINVAL);
    EraseSlot& e = l.s.erase[i];
    if (!e.running.get()) return 0;
    if (uint32_t p = e.polls_left.get()) e.polls_left.set(p - 1);
    return fail_with(EBUSY);
}

int devmem_check_map(BoardFiles& b, uint64_t off, size_t len) {
    Powered l(b);
    if (len == 0 || off < kPhysBase || off + len > uint64_t(kPhysBase) + kPhysSize) return fail_with(EINVAL);
    if (fault_fires(l, Fault::Mmap)) return fail_with(EAGAIN);
    count(l, kMaps);
    return 0;
}

void devmem_unmapped(BoardFiles& b) {
    Powered l(b);
    count(l, kUnmaps);
}

void power_touch(BoardFiles& b) {
    Powered l(b);
}

unsigned sleep(BoardFiles& b, unsigned seconds) {
    {
        Locked l(b);
        if (!l.s.real_time.get()) {
            l.s.clock.add(seconds);
            return 0;
        }
    }
    unsigned left = sys::sleep(seconds);
    Locked l(b);
    l.s.clock.add(seconds - left);
    return left;
}

}  // namespace model

}  // namespace mfpsim::detail
