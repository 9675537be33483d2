// The control API over a board's files.
#include "sim/board.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "sim/state.h"
#include "sim/sys.h"

namespace mfpsim {

using detail::BoardFiles;
using Locked = detail::BoardFiles::Locked;
namespace model = detail::model;

namespace {

void check_range(uint64_t off, uint64_t len, uint64_t base, uint64_t size, const char* what) {
    if (off < base || off + len > base + size)
        throw std::out_of_range(std::string("mfpsim: ") + what + " range outside the device");
}

void transfer(const std::string& path, bool out, uint64_t off, void* p, size_t n) {
    int fd = detail::sys::open(path.c_str(), (out ? O_RDWR : O_RDONLY) | O_CLOEXEC);
    if (fd < 0) throw std::runtime_error("mfpsim: cannot open " + path + ": " + std::strerror(errno));
    bool ok = out ? detail::sys::write_all(fd, p, n, int64_t(off)) : detail::sys::read_all(fd, p, n, int64_t(off));
    detail::sys::close(fd);
    if (!ok) throw std::runtime_error("mfpsim: cannot transfer " + path);
}

}  // namespace

Board::Board(std::shared_ptr<BoardFiles> f) : f_(std::move(f)) {}

Board Board::create(const std::string& dir) { return Board(BoardFiles::make(dir)); }

Board Board::open(const std::string& dir) {
    auto f = BoardFiles::attach(dir);
    if (!f) throw std::runtime_error("mfpsim: " + dir + " is not a board");
    return Board(std::move(f));
}

const std::string& Board::dir() const { return f_->dir(); }

void Board::select() const { ::setenv(kBoardEnv, f_->dir().c_str(), 1); }

std::vector<uint8_t> Board::flash(uint32_t off, uint32_t len) const {
    check_range(off, len, 0, kFlashSize, "flash");
    std::vector<uint8_t> v(len);
    Locked l(*f_);
    model::settle(l);
    if (len && !detail::sys::read_all(f_->flash_fd(), v.data(), len, off))
        throw std::runtime_error("mfpsim: cannot read the flash image");
    return v;
}

void Board::set_flash(uint32_t off, std::span<const uint8_t> bytes) {
    check_range(off, bytes.size(), 0, kFlashSize, "flash");
    Locked l(*f_);
    model::settle(l);
    if (!bytes.empty() && !detail::sys::write_all(f_->flash_fd(), bytes.data(), bytes.size(), off))
        throw std::runtime_error("mfpsim: cannot write the flash image");
}

std::vector<uint8_t> Board::physmem(uint32_t phys_addr, uint32_t len) const {
    check_range(phys_addr, len, kPhysBase, kPhysSize, "physical memory");
    std::vector<uint8_t> v(len);
    if (len) transfer(f_->physmem_path(), false, phys_addr, v.data(), len);
    return v;
}

void Board::set_physmem(uint32_t phys_addr, std::span<const uint8_t> bytes) {
    check_range(phys_addr, bytes.size(), kPhysBase, kPhysSize, "physical memory");
    if (!bytes.empty())
        transfer(f_->physmem_path(), true, phys_addr, const_cast<uint8_t*>(bytes.data()), bytes.size());
}

Counters Board::counters() const {
    Locked l(*f_);
    model::settle(l);
    auto c = [&](detail::Counter i) { return l.s.counters[i].get(); };
    Counters r{};
    r.opens = c(detail::kOpens);
    r.closes = c(detail::kCloses);
    r.open_fds = c(detail::kOpenFds);
    r.reads = c(detail::kReads);
    r.read_bytes = c(detail::kReadBytes);
    r.writes = c(detail::kWrites);
    r.write_bytes = c(detail::kWriteBytes);
    r.programmed_bytes = c(detail::kProgrammedBytes);
    r.erase_requests = c(detail::kEraseRequests);
    r.status_requests = c(detail::kStatusRequests);
    r.violations = c(detail::kViolations);
    r.erasing_writes = c(detail::kErasingWrites);
    r.seeks = c(detail::kSeeks);
    r.maps = c(detail::kMaps);
    r.unmaps = c(detail::kUnmaps);
    r.faults_fired = c(detail::kFaultsFired);
    r.power_cuts = c(detail::kPowerCuts);
    for (int i = 0; i < kSectorCount; ++i) r.erases[size_t(i)] = l.s.erases[i].get();
    return r;
}

void Board::reset_counters() {
    Locked l(*f_);
    model::settle(l);
    uint64_t open_fds = l.s.counters[detail::kOpenFds].get();  // descriptors stay open
    for (auto& c : l.s.counters) c.set(0);
    for (auto& e : l.s.erases) e.set(0);
    l.s.counters[detail::kOpenFds].set(open_fds);
    l.s.journal_count.set(0);
}

uint64_t Board::virtual_seconds() const {
    Locked l(*f_);
    return l.s.clock.get();
}

void Board::set_real_time(bool on) {
    Locked l(*f_);
    l.s.real_time.set(on);
}

void Board::set_erase_status_polls(uint32_t n) {
    Locked l(*f_);
    l.s.erase_polls.set(n);
}

void Board::set_erase_seconds(uint32_t s) {
    Locked l(*f_);
    l.s.erase_seconds.set(s);
}

bool Board::erasing(int sector) const {
    if (sector < 0 || sector >= kSectorCount) return false;
    Locked l(*f_);
    model::settle(l);
    return l.s.erase[sector].running.get() != 0;
}

void Board::set_fail_violations(bool on) {
    Locked l(*f_);
    l.s.fail_violations.set(on);
}

void Board::arm_power_cut(CutAt at, uint64_t k, Tear mode, uint64_t salt) {
    if (k == 0) throw std::invalid_argument("mfpsim: a power cut counts from 1");
    if (salt == 0) {
        timespec ts{};
        ::clock_gettime(CLOCK_REALTIME, &ts);
        salt = (uint64_t(ts.tv_sec) * 1000000007ull) ^ uint64_t(ts.tv_nsec) ^ (uint64_t(::getpid()) << 32);
        if (salt == 0) salt = 1;
    }
    Locked l(*f_);
    l.s.cut_armed.set(1);
    l.s.cut_at.set(uint32_t(at));
    l.s.cut_tear.set(uint32_t(mode));
    l.s.cut_countdown.set(k);
    l.s.cut_salt.set(salt);
}

void Board::arm_fault(Fault f, uint64_t nth, uint32_t bytes) {
    if (nth == 0) throw std::invalid_argument("mfpsim: a fault counts from 1");
    if (bytes != 0 && f != Fault::ReadShort) throw std::invalid_argument("mfpsim: only read-short takes a byte count");
    Locked l(*f_);
    l.s.fault_countdown[int(f)].set(nth);
    if (f == Fault::ReadShort) l.s.short_read.set(bytes);
}

void Board::disarm() {
    Locked l(*f_);
    l.s.cut_armed.set(0);
    for (auto& f : l.s.fault_countdown) f.set(0);
    l.s.short_read.set(0);
    l.s.bad_read_armed.set(0);
}

void Board::fail_reads_at(uint32_t offset) {
    Locked l(*f_);
    l.s.bad_read_offset.set(offset);
    l.s.bad_read_armed.set(1);
}

bool Board::power_lost() const {
    Locked l(*f_);
    return l.s.power_lost.get() != 0;
}

CutReport Board::last_cut() const {
    Locked l(*f_);
    CutReport r;
    r.fired = l.s.rep_fired.get() != 0;
    r.at = CutAt(l.s.rep_at.get());
    r.tear = Tear(l.s.rep_tear.get());
    r.salt = l.s.rep_salt.get();
    r.offset = l.s.rep_offset.get();
    r.length = l.s.rep_length.get();
    r.done = l.s.rep_done.get();
    return r;
}

void Board::power_on() {
    Locked l(*f_);
    l.s.power_lost.set(0);
    // Descriptors died with the processes of the old power-up.
    l.s.counters[detail::kOpenFds].set(0);
}

void Board::set_journal(bool on) {
    Locked l(*f_);
    l.s.journal_on.set(on);
    if (on) l.s.journal_count.set(0);
}

std::vector<JournalEntry> Board::journal() const {
    Locked l(*f_);
    uint64_t total = l.s.journal_count.get();
    uint64_t n = total < detail::kJournalSlots ? total : detail::kJournalSlots;
    std::vector<JournalEntry> v;
    v.reserve(size_t(n));
    for (uint64_t i = total - n; i < total; ++i) {
        const detail::JournalRec& r = l.s.journal[i % detail::kJournalSlots];
        v.push_back({char(r.kind.get()), r.offset.get(), r.length.get()});
    }
    return v;
}

std::string library_path() {
    Dl_info info{};
    if (::dladdr(reinterpret_cast<void*>(&library_path), &info) == 0 || !info.dli_fname) return {};
    return info.dli_fname;
}

std::string preload_list() {
    std::vector<std::string> runtimes;
    ::dl_iterate_phdr(
        [](dl_phdr_info* info, size_t, void* data) {
            std::string name = info->dlpi_name ? info->dlpi_name : "";
            auto base = name.substr(name.find_last_of('/') + 1);
            if (base.starts_with("libasan.so") || base.starts_with("libubsan.so"))
                static_cast<std::vector<std::string>*>(data)->push_back(name);
            return 0;
        },
        &runtimes);
    std::string list;
    for (const auto& r : runtimes) list += r + ":";
    return list + library_path();
}

const char* tear_name(Tear t) {
    switch (t) {
    case Tear::None: return "none";
    case Tear::Prefix: return "prefix";
    case Tear::Random: return "random";
    }
    return "?";
}

const char* fault_name(Fault f) {
    switch (f) {
    case Fault::Open: return "open";
    case Fault::Lseek: return "lseek";
    case Fault::ReadFail: return "read-fail";
    case Fault::ReadShort: return "read-short";
    case Fault::WriteFail: return "write-fail";
    case Fault::WriteShort: return "write-short";
    case Fault::EraseFail: return "erase-fail";
    case Fault::EraseNeverEnds: return "erase-never-ends";
    case Fault::Mmap: return "mmap";
    }
    return "?";
}

}  // namespace mfpsim
