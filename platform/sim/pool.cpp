// Executive pool: ExAllocatePool(WithTag) and ExFreePool(WithTag) with a record
// of every live block, leak and bad-free detection, the sites allocations come
// from, and fault injection.

#include <dlfcn.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <unordered_map>

#include "platform/sim/executive.h"
#include "platform/sim/internal.h"

// The sanitizers' symbolizer, when the build has one: names a site by the
// routine and the debug information, static routines included.
extern "C" __attribute__((weak)) void __sanitizer_symbolize_pc(void *pc, const char *fmt, char *out_buf,
                                                               size_t out_buf_size);

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
    const void *site;
};

// Set while a kernel routine allocates on its caller's behalf: the caller's
// call of that routine is the site (sim::internal::PoolSiteOfCaller).
thread_local const void *t_on_behalf = nullptr;

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
    size_t peak_bytes = 0;
    size_t peak_allocations = 0;
    size_t total = 0;
    size_t failed = 0;
    uint64_t fail_at = 0; // request number that fails; 0 = none
    bool fail_size_on = false;
    size_t fail_size = 0;
    const void *fail_site = nullptr; // its next request fails; nullptr = none
    // Requests by site since reset, failed ones included, and the sites in
    // the order they were first seen.
    std::unordered_map<const void *, uint64_t> site_requests;
    std::vector<const void *> site_order;
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

PVOID allocate(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag, const void *site) {
    if (t_on_behalf != nullptr)
        site = t_on_behalf;
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
        auto [at, first] = pl.site_requests.try_emplace(site, 0);
        ++at->second;
        if (first)
            pl.site_order.push_back(site);
        bool fail = (pl.fail_at != 0 && seq == pl.fail_at) || (pl.fail_size_on && NumberOfBytes == pl.fail_size) ||
                    (pl.fail_site != nullptr && site == pl.fail_site);
        if (seq == pl.fail_at)
            pl.fail_at = 0;
        if (site == pl.fail_site)
            pl.fail_site = nullptr;
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
    pl.live[p] = Block{NumberOfBytes, PoolType, Tag, seq, site};
    pl.live_bytes += NumberOfBytes;
    pl.peak_bytes = std::max(pl.peak_bytes, pl.live_bytes);
    pl.peak_allocations = std::max(pl.peak_allocations, pl.live.size());
    ++pl.total;
    return p;
}

} // namespace

extern "C" {

// Not inlined: the return address is the caller's site.
__attribute__((noinline)) PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
    return allocate(PoolType, NumberOfBytes, Tag, __builtin_return_address(0));
}

__attribute__((noinline)) PVOID NTAPI ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes) {
    return allocate(PoolType, NumberOfBytes, kUntagged, __builtin_return_address(0));
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
    s.peak_allocations = pl.peak_allocations;
    s.peak_bytes = pl.peak_bytes;
    return s;
}

std::vector<PoolSite> pool_sites() {
    Pool &pl = pool();
    std::lock_guard<std::mutex> guard(pl.lock);
    std::vector<PoolSite> out;
    out.reserve(pl.site_order.size());
    for (const void *site : pl.site_order)
        out.push_back(PoolSite{site, pl.site_requests[site]});
    return out;
}

std::string pool_site_name(const void *site) {
    // The code address is a return address: the call sits just before it.
    const void *call = static_cast<const char *>(site) - 1;
    char name[256] = "";
    if (__sanitizer_symbolize_pc != nullptr) {
        __sanitizer_symbolize_pc(const_cast<void *>(call), "%f", name, sizeof name);
        std::string text = name;
        // Demangled with its parameters; the routine's name is enough.
        if (size_t paren = text.find('('); paren != std::string::npos)
            text.resize(paren);
        if (!text.empty() && text.find("??") == std::string::npos)
            return text;
    }
    Dl_info info;
    if (dladdr(call, &info) != 0 && info.dli_sname != nullptr && info.dli_saddr != nullptr)
        return std::string(info.dli_sname) + "+" +
               std::to_string(static_cast<const char *>(call) - static_cast<const char *>(info.dli_saddr));
    return exec::hex_pointer(site);
}

void pool_fail_site(const void *site) {
    Pool &pl = pool();
    std::lock_guard<std::mutex> guard(pl.lock);
    pl.fail_site = site;
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
    pl.fail_site = nullptr;
}

namespace internal {

PoolSiteOfCaller::PoolSiteOfCaller(const void *caller) : outer_(t_on_behalf != nullptr) {
    if (!outer_)
        t_on_behalf = caller;
}

PoolSiteOfCaller::~PoolSiteOfCaller() {
    if (!outer_)
        t_on_behalf = nullptr;
}

} // namespace internal

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
    pl.peak_bytes = 0;
    pl.peak_allocations = 0;
    pl.total = 0;
    pl.failed = 0;
    pl.fail_at = 0;
    pl.fail_size_on = false;
    pl.fail_size = 0;
    pl.fail_site = nullptr;
    pl.site_requests.clear();
    pl.site_order.clear();
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
                      hex_pointer(pb.first) + ", tag '" + tag_text(b.tag) + "', allocation #" + std::to_string(seq) +
                      " from " + pool_site_name(b.site));
    }
}

} // namespace exec
} // namespace sim
