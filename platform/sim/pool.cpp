// Executive pool: ExAllocatePool(WithTag) and ExFreePool(WithTag) with a record
// of every live block, leak and bad-free detection and fault injection.

#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <unordered_map>

#include "platform/sim/executive.h"
#include "platform/sim/internal.h"

namespace {

// New pool is not zeroed in a real kernel; a recognisable non-zero pattern
// makes a driver that forgets to initialise a field fail here too.
constexpr unsigned char kFreshFill = 0xCD;
// Freed blocks are overwritten before they go back, so a use after free reads
// garbage even where no sanitizer watches.
constexpr unsigned char kFreedFill = 0xDD;
// What ExAllocatePool tags its blocks with.
constexpr ULONG kUntagged = 0x656E6F4E; // 'None'
constexpr size_t kFreedRemembered = 4096;

struct Block {
    size_t size;
    POOL_TYPE type;
    ULONG tag;
    uint64_t seq;
};

struct Pool {
    std::mutex lock;
    std::unordered_map<void *, Block> live;
    // Recently freed blocks, until their address is handed out again: tells a
    // double free from a free of something that never came from the pool.
    // Bounded, oldest forgotten first, so long runs without a reset stay small.
    std::unordered_map<void *, uint64_t> freed;
    std::deque<std::pair<void *, uint64_t>> freed_order; // address and allocation number
    uint64_t requests = 0; // allocation requests since reset, failed ones included
    size_t live_bytes = 0;
    size_t total = 0;
    size_t failed = 0;
    uint64_t fail_at = 0; // request number that fails; 0 = none
    bool fail_size_on = false;
    size_t fail_size = 0;
};

Pool &pool() {
    static Pool p;
    return p;
}

const char *pool_name(POOL_TYPE type) {
    switch (type) {
    case NonPagedPool:
        return "NonPagedPool";
    case PagedPool:
        return "PagedPool";
    case NonPagedPoolNx:
        return "NonPagedPoolNx";
    }
    return "unknown pool";
}

std::string tag_text(ULONG tag) {
    std::string s;
    for (int i = 0; i < 4; ++i) {
        char c = static_cast<char>((tag >> (8 * i)) & 0xFF);
        s += (c >= 0x20 && c < 0x7F) ? c : '.';
    }
    return s;
}

void free_block(PVOID p, bool check_tag, ULONG tag, const char *routine) {
    if (p == nullptr) {
        sim::report_problem(std::string(routine) + "(NULL)");
        return;
    }
    Pool &pl = pool();
    Block b;
    {
        std::lock_guard<std::mutex> guard(pl.lock);
        auto it = pl.live.find(p);
        if (it == pl.live.end()) {
            auto f = pl.freed.find(p);
            if (f != pl.freed.end())
                sim::report_problem(std::string("double free: ") + routine + "(" + sim::exec::hex_pointer(p) +
                                    ") of pool allocation #" + std::to_string(f->second) + ", already freed");
            else
                sim::report_problem(std::string("bad free: ") + routine + "(" + sim::exec::hex_pointer(p) +
                                    ") of memory that is not a pool allocation");
            return;
        }
        b = it->second;
        pl.live.erase(it);
        pl.freed[p] = b.seq;
        pl.freed_order.emplace_back(p, b.seq);
        if (pl.freed_order.size() > kFreedRemembered) {
            auto [oldest, seq] = pl.freed_order.front();
            pl.freed_order.pop_front();
            // Unless that address was handed out and freed again since.
            auto f = pl.freed.find(oldest);
            if (f != pl.freed.end() && f->second == seq)
                pl.freed.erase(f);
        }
        pl.live_bytes -= b.size;
    }
    if (b.type == PagedPool && KeGetCurrentIrql() > APC_LEVEL)
        sim::report_problem(std::string(routine) + " of paged pool at DISPATCH_LEVEL");
    // Driver Verifier checks the tag on ExFreePoolWithTag; so does this pool.
    // Tag 0 matches anything: the DDK's ExFreePool is ExFreePoolWithTag(P, 0).
    if (check_tag && tag != 0 && tag != b.tag)
        sim::report_problem(std::string("ExFreePoolWithTag: tag '") + tag_text(tag) + "' does not match '" +
                            tag_text(b.tag) + "' of pool allocation #" + std::to_string(b.seq));
    std::memset(p, kFreedFill, b.size);
    std::free(p);
}

} // namespace

extern "C" {

PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
    if (PoolType != NonPagedPool && PoolType != PagedPool && PoolType != NonPagedPoolNx) {
        sim::report_problem("ExAllocatePoolWithTag: invalid pool type " + std::to_string(int(PoolType)));
        return nullptr;
    }
    if (PoolType == PagedPool && KeGetCurrentIrql() > APC_LEVEL)
        sim::report_problem("ExAllocatePoolWithTag: paged pool requested at DISPATCH_LEVEL");
    Pool &pl = pool();
    uint64_t seq;
    {
        std::lock_guard<std::mutex> guard(pl.lock);
        seq = ++pl.requests;
        bool fail = (pl.fail_at != 0 && seq == pl.fail_at) || (pl.fail_size_on && NumberOfBytes == pl.fail_size);
        if (seq == pl.fail_at)
            pl.fail_at = 0;
        if (fail) {
            ++pl.failed;
            return nullptr;
        }
    }
    // Zero bytes still gives a distinct block, as the kernel does.
    void *p = std::malloc(NumberOfBytes == 0 ? 1 : NumberOfBytes);
    if (p == nullptr)
        return nullptr;
    std::memset(p, kFreshFill, NumberOfBytes);
    std::lock_guard<std::mutex> guard(pl.lock);
    pl.freed.erase(p);
    pl.live[p] = Block{NumberOfBytes, PoolType, Tag, seq};
    pl.live_bytes += NumberOfBytes;
    ++pl.total;
    return p;
}

PVOID NTAPI ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes) {
    return ExAllocatePoolWithTag(PoolType, NumberOfBytes, kUntagged);
}

VOID NTAPI ExFreePool(PVOID P) { free_block(P, false, 0, "ExFreePool"); }

VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag) { free_block(P, true, Tag, "ExFreePoolWithTag"); }

} // extern "C"

namespace sim {

PoolStats pool_stats() {
    Pool &pl = pool();
    std::lock_guard<std::mutex> guard(pl.lock);
    PoolStats s;
    s.live_allocations = pl.live.size();
    s.live_bytes = pl.live_bytes;
    s.total_allocations = pl.total;
    s.failed_allocations = pl.failed;
    return s;
}

void pool_fail_nth(uint64_t n) {
    Pool &pl = pool();
    std::lock_guard<std::mutex> guard(pl.lock);
    pl.fail_at = n == 0 ? 0 : pl.requests + n;
}

void pool_fail_size(size_t bytes) {
    Pool &pl = pool();
    std::lock_guard<std::mutex> guard(pl.lock);
    pl.fail_size_on = true;
    pl.fail_size = bytes;
}

void pool_fail_clear() {
    Pool &pl = pool();
    std::lock_guard<std::mutex> guard(pl.lock);
    pl.fail_at = 0;
    pl.fail_size_on = false;
}

namespace exec {

void pool_reset() {
    Pool &pl = pool();
    std::lock_guard<std::mutex> guard(pl.lock);
    // Leaked blocks were reported by problems(); give their memory back so the
    // host's leak checker stays quiet about what the kernel already named.
    for (auto &[p, b] : pl.live)
        std::free(p);
    pl.live.clear();
    pl.freed.clear();
    pl.freed_order.clear();
    pl.requests = 0;
    pl.live_bytes = 0;
    pl.total = 0;
    pl.failed = 0;
    pl.fail_at = 0;
    pl.fail_size_on = false;
    pl.fail_size = 0;
}

void pool_check(std::vector<std::string> &out) {
    Pool &pl = pool();
    std::map<uint64_t, std::pair<void *, Block>> by_seq;
    {
        std::lock_guard<std::mutex> guard(pl.lock);
        for (auto &[p, b] : pl.live)
            by_seq.emplace(b.seq, std::make_pair(p, b));
    }
    for (auto &[seq, pb] : by_seq) {
        const Block &b = pb.second;
        out.push_back("leaked pool: " + std::to_string(b.size) + " bytes of " + pool_name(b.type) + " at " +
                      hex_pointer(pb.first) + ", tag '" + tag_text(b.tag) + "', allocation #" + std::to_string(seq));
    }
}

} // namespace exec
} // namespace sim
