// mfpctl flash inspect: decodes a flash image offline, with no board running.
//
// NV sectors: header, control entries with both checksums verified and the
// reason a power-up refuses an entry, and what a power-up does (which record
// it loads for each block, where each sector takes its next record, which
// sectors it erases and why). The format, the checksums, the power-up plan
// and the environment's walk and judgement are the library's own code
// (nv_format.h, nv_plan.cpp, nvCalcCksm and the environment's format
// routines), so the inspector and the library cannot disagree on them.
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "env/env_internal.h"
#include "mfpsys/nv.h"
#include "nv/nv_format.h"
#include "nv/nv_plan.h"
#include "tools/cli.h"
#include "tools/commands.h"
#include "tools/json.h"

namespace mfpctl {

static const char kUsage[] = "mfpctl flash inspect [IMAGE | --board DIR] [--json]";
constexpr uint32_t kImageSize = 0x80000;

namespace nv = mfpsys::nv;

struct Entry {
    int index;
    nv::Entry e;
    bool complete, ctl_ok;
    bool data_checked, data_ok;
    bool loaded = false;  // the record a power-up loads for its block
};

struct SectorView {
    int index;
    nv::Header h;
    bool blank;
    std::vector<Entry> entries;
    const char* fate = "untouched";  // what a power-up does with it
    const char* why = nullptr;       // why it erases it
};

static std::string erase_id_name(uint32_t id) {
    if (id == NV_ERASE_ID_READY) return "ready";
    if (id == NV_ERASE_ID_ERASING) return "erase started";
    if (id == nv::kEraseIdBlank) return "erased";
    return "invalid";
}

// The plan over the image, noting what it erases and why.
class InspectPort final : public nv::ImagePort {
public:
    InspectPort(const std::vector<uint8_t>& img, const nv::Tables& t, std::vector<SectorView>& secs)
        : ImagePort(img.data(), img.size(), t), secs_(secs) {}
    void clear(int s, nv::Clear why) override {
        secs_[s].fate = secs_[s].blank ? "blank" : "erased";
        secs_[s].why = nv::clearName(why);
    }
    void unreadable(int s) override { secs_[s].fate = "unreadable"; }
private:
    std::vector<SectorView>& secs_;
};

static SectorView decode_sector(const std::vector<uint8_t>& img, const nv::Tables& t, int s) {
    const NvRealSecEntry& r = *t.sec[s];
    SectorView v{};
    v.index = s;
    const uint8_t* p = img.data() + r.flashOfst;
    v.h = nv::decodeHeader(p);
    v.blank = nv::sectorBlank(p, r.size);
    for (int i = 0; i < NV_CTL_ENTRY_NUM; ++i) {
        const uint8_t* c = p + nv::ctlEntryOfst(i);
        Entry en{};
        en.index = i;
        en.e = nv::decodeEntry(c, r.ringId, r.size, t.blk);
        if (!en.e.inUse()) continue;
        en.complete = !(en.e.mark & nv::kMarkIncompleteBits);
        en.ctl_ok = nv::sum16(c, nv::kCtlCtrlCksm) == en.e.ctrlCksm;
        if (en.e.block >= 0) {
            uint32_t cap = t.blk[en.e.block]->capacity;
            en.data_checked = nv::recordInside(en.e.dataOfst, cap, r.size);
            en.data_ok = en.data_checked && nv::sum16(p + en.e.dataOfst, cap) == en.e.dataCksm;
        }
        v.entries.push_back(en);
    }
    return v;
}

// What a power-up makes of the image: the library's plan, over the image.
static void predict(const std::vector<uint8_t>& img, const nv::Tables& t, std::vector<SectorView>& secs) {
    InspectPort port(img, t, secs);
    nv::readCounts(t, port, nv::kAllRings);
    int rings[5];
    nv::ringIds(t, rings);
    bool found[NV_VRTL_SEC_NUM] = {};
    for (int i = 0; i < 5 && rings[i] != nv::kNoRing; ++i) {
        nv::planRing(t, port, rings[i], found);
        // The newest sector left in use takes the ring's next record.
        int cur = nv::newestSector(t, rings[i]);
        for (int s = cur, n = 0; s >= 0 && n < NV_REAL_SEC_NUM; s = int(t.sec[s]->prev), ++n) {
            if (std::strcmp(secs[s].fate, "untouched") != 0) continue;
            secs[s].fate = "kept (current)";
            for (int k = int(t.sec[s]->prev); k != s && k != cur; k = int(t.sec[k]->prev))
                if (std::strcmp(secs[k].fate, "untouched") == 0) secs[k].fate = "kept";
            break;
        }
    }
    // The entry each loaded block comes from: the newest one naming it at its offset.
    for (int b = 0; b < NV_VRTL_SEC_NUM; ++b) {
        const NvVrtlSecEntry& v = *t.blk[b];
        if (v.dataOfst < 0) continue;
        auto& es = secs[v.crntSec].entries;
        for (auto it = es.rbegin(); it != es.rend(); ++it) {
            if (it->e.refusal == nv::Refusal::None && it->e.block == b && it->e.dataOfst == uint32_t(v.dataOfst)) {
                it->loaded = true;
                break;
            }
        }
    }
}

static bool load_image(const Args& a, std::vector<uint8_t>& img, std::string& from) {
    if (a.board) from = *a.board + "/flash.img";
    else from = a.words.empty() ? "" : a.words[0];
    FILE* f = std::fopen(from.c_str(), "rb");
    if (!f) return false;
    img.assign(kImageSize, 0xFF);
    std::size_t n = std::fread(img.data(), 1, kImageSize, f);
    std::fclose(f);
    return n == kImageSize;
}

static void print_env(const uint8_t* sector, Json* j) {
    using namespace mfpsys::env;
    // The library's own judgement of the image, so the state shown is what a
    // read and a rewrite make of it.
    const Judgement v = judge(sector);
    const uint32_t word = v.word, sum = v.sum;
    const int32_t len = v.dataLen;
    const char* state = v.verdict == Verdict::Blank ? "blank" : v.verdict == Verdict::Accepted ? "valid" : "invalid";
    const char* end = v.listEnd == EntryWalker::Step::End       ? "end"
                      : v.listEnd == EntryWalker::Step::TooLong ? "entry too long"
                                                                : "unterminated";
    std::vector<std::string> entries;
    if (len != 0) {
        EntryWalker w(sector + kAreaOffset);
        while (w.next() == EntryWalker::Step::Entry) entries.emplace_back(reinterpret_cast<const char*>(w.text()));
    }
    if (j) {
        j->begin_object("boot_environment").field("state", state).field("checksum_word", word)
            .field("checksum", sum).field("checksum_ok", sum == word).field("data_length", len)
            .field("list_end", end).begin_array("entries");
        for (auto& e : entries) j->value(e);
        j->end_array().end_object();
        return;
    }
    std::printf("\nboot environment (0x7a000): %s, checksum word %08x, computed %08x (%s), data length %d\n", state,
                word, sum, sum == word ? "match" : "MISMATCH", len);
    for (auto& e : entries) std::printf("  %s\n", e.c_str());
    if (len != 0 && std::strcmp(end, "end") != 0) std::printf("  (list: %s)\n", end);
}

int cmd_flash(const std::string& verb, const Args& a) {
    if (a.help) {
        std::printf("usage: %s\n\nDecodes a 512 KiB flash image offline (a board's flash.img with --board):\n"
                    "every NV sector's header and control entries with their checksums, what a power-up\n"
                    "would load and erase, and the boot-environment sector.\n", kUsage);
        return kOk;
    }
    if (verb != "inspect") return usage_error(kUsage, verb.empty() ? "flash needs a command" : "unknown flash command '%s'", verb.c_str());
    if (a.words.size() + (a.board ? 1 : 0) != 1) return usage_error(kUsage, "flash inspect takes one image or --board DIR");
    std::vector<uint8_t> img;
    std::string from;
    if (!load_image(a, img, from)) return fail("cannot read a 512 KiB flash image from %s", from.c_str());

    nv::StartTables tables;
    const nv::Tables& t = tables.t;
    std::vector<SectorView> secs;
    for (int s = 0; s < NV_REAL_SEC_NUM; ++s) secs.push_back(decode_sector(img, t, s));
    predict(img, t, secs);

    auto kept = [](const SectorView& v) { return std::strncmp(v.fate, "kept", 4) == 0; };
    if (a.json) {
        Json j;
        j.begin_object().field("image", from).begin_array("sectors");
        for (auto& v : secs) {
            const NvRealSecEntry& r = *t.sec[v.index];
            j.begin_object().field("index", v.index).field("offset", r.flashOfst).field("size", r.size).field("ring", r.ringId)
                .field("erase_id", v.h.eraseId).field("erase_id_state", erase_id_name(v.h.eraseId))
                .field("mark", static_cast<uint32_t>(v.h.mark)).field("mark_ok", v.h.markOk)
                .field("count_ok", v.h.countOk).field("header_ok", v.h.valid());
            if (v.h.valid()) j.field("count", static_cast<uint32_t>(v.h.count)); else j.null_field("count");
            j.field("blank", v.blank).field("power_up", v.fate);
            if (v.why) j.field("erase_reason", v.why); else j.null_field("erase_reason");
            if (kept(v)) j.field("used_entries", r.usedEntries).field("write_offset", r.writeOfst).field("closed", r.writeOfst >= r.size);
            j.begin_array("entries");
            for (auto& e : v.entries) {
                j.begin_object().field("index", e.index).field("data_mark", static_cast<uint32_t>(e.e.mark))
                    .field("complete", e.complete).field("block_address", e.e.blockAddr)
                    .field("data_offset", e.e.dataOfst).field("control_checksum_ok", e.ctl_ok)
                    .field("refused", nv::refusalName(e.e.refusal));
                if (e.data_checked) j.field("data_checksum_ok", e.data_ok); else j.null_field("data_checksum_ok");
                j.field("loaded", e.loaded).end_object();
            }
            j.end_array().end_object();
        }
        j.end_array().begin_array("blocks");
        for (int b = 0; b < NV_VRTL_SEC_NUM; ++b) {
            const NvVrtlSecEntry& v = *t.blk[b];
            j.begin_object().field("address", v.blockAddr);
            if (v.dataOfst >= 0) j.field("loaded_from", v.crntSec).field("data_offset", static_cast<uint32_t>(v.dataOfst));
            else j.null_field("loaded_from");
            j.end_object();
        }
        j.end_array();
        print_env(img.data() + mfpsys::env::kSectorStart, &j);
        j.end_object().print();
        return kOk;
    }
    std::printf("flash image %s\n", from.c_str());
    for (auto& v : secs) {
        const NvRealSecEntry& r = *t.sec[v.index];
        std::printf("\nsector %d at 0x%05x (%u KiB, ring %d): erase ID %08x (%s), ", v.index, r.flashOfst, r.size / 1024,
                    r.ringId, v.h.eraseId, erase_id_name(v.h.eraseId).c_str());
        if (v.h.valid()) std::printf("count %u, mark %04x", v.h.count, v.h.mark);
        else std::printf("header %s%s%s", v.h.eraseIdOk ? "" : "[erase ID] ", v.h.markOk ? "" : "[mark] ", v.h.countOk ? "" : "[count check]");
        std::printf("%s\n  power-up: %s", v.blank ? ", blank" : "", v.fate);
        if (v.why) std::printf(" (%s)", v.why);
        if (kept(v)) {
            if (r.writeOfst >= r.size) std::printf(", closed to appends");
            else std::printf(", next record at 0x%05x", r.writeOfst);
        }
        std::printf("\n");
        for (auto& e : v.entries) {
            std::printf("  entry %2d: mark %04x %-10s block 0x%04x at 0x%05x  control %s  data %s%s\n", e.index, e.e.mark,
                        e.complete ? "complete" : "incomplete", static_cast<unsigned>(e.e.blockAddr), e.e.dataOfst,
                        e.ctl_ok ? "ok " : "BAD", e.data_checked ? (e.data_ok ? "ok " : "BAD") : "-- ",
                        e.loaded ? "  <- loaded at power-up" : "");
        }
    }
    std::printf("\n");
    for (int b = 0; b < NV_VRTL_SEC_NUM; ++b) {
        const NvVrtlSecEntry& v = *t.blk[b];
        if (v.dataOfst >= 0) std::printf("block 0x%04x: power-up loads it from sector %u\n", static_cast<unsigned>(v.blockAddr), v.crntSec);
        else std::printf("block 0x%04x: no intact copy\n", static_cast<unsigned>(v.blockAddr));
    }
    print_env(img.data() + mfpsys::env::kSectorStart, nullptr);
    return kOk;
}

}  // namespace mfpctl
