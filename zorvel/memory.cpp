// SPDX-License-Identifier: Apache-2.0
// Memory service: plain heap blocks with an account of every live block, so
// tests can prove that a scenario leaks nothing and a bad free is caught
// instead of corrupting the heap.
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

#include "zorvel/internal.h"

extern "C" NODE_API const char nba_blank_name[] = "        ";

namespace zv {
namespace {

constexpr unsigned char kFreshFill = 0xCD;
constexpr unsigned char kFreedFill = 0xDD;

struct Block {
    uint32_t size;
    uint32_t flags;
};

struct Registry {
    std::mutex mutex;
    std::map<uintptr_t, Block> blocks; // ordered: room_at finds the holder
    uint64_t bytes = 0;
};

// Never destroyed: blocks still live at exit stay reachable, so the leak
// verdict is the tests' own accounting rather than exit-time noise, and a
// free during static destruction still finds its registry.
Registry &registry() {
    static Registry *r = new Registry;
    return *r;
}

} // namespace

void reset_memory() {
    Registry &r = registry();
    std::lock_guard<std::mutex> guard(r.mutex);
    for (const auto &entry : r.blocks) std::free(reinterpret_cast<void *>(entry.first));
    r.blocks.clear();
    r.bytes = 0;
}

uint32_t live_blocks() {
    Registry &r = registry();
    std::lock_guard<std::mutex> guard(r.mutex);
    return static_cast<uint32_t>(r.blocks.size());
}

uint64_t live_bytes() {
    Registry &r = registry();
    std::lock_guard<std::mutex> guard(r.mutex);
    return r.bytes;
}

size_t room_at(const void *p) {
    const auto address = reinterpret_cast<uintptr_t>(p);
    Registry &r = registry();
    std::lock_guard<std::mutex> guard(r.mutex);
    auto it = r.blocks.upper_bound(address);
    if (it == r.blocks.begin()) return SIZE_MAX;
    --it;
    const uintptr_t end = it->first + it->second.size;
    return address < end ? end - address : SIZE_MAX;
}

} // namespace zv

extern "C" NODE_API void *nba_mm_alloc(uint32_t size, uint32_t flags, const char *name, uint32_t reserved1,
                                       uint32_t reserved2) {
    (void)name;
    (void)reserved1;
    (void)reserved2;
    if (zv::fault(ZT_FAULT_MEM_ALLOC)) return nullptr;
    void *block = std::malloc(size ? size : 1);
    if (!block) return nullptr;
    std::memset(block, zv::kFreshFill, size);
    zv::Registry &r = zv::registry();
    std::lock_guard<std::mutex> guard(r.mutex);
    r.blocks[reinterpret_cast<uintptr_t>(block)] = zv::Block{size, flags};
    r.bytes += size;
    return block;
}

extern "C" NODE_API void nba_mm_free(void *block, uint32_t reserved) {
    (void)reserved;
    {
        zv::Registry &r = zv::registry();
        std::lock_guard<std::mutex> guard(r.mutex);
        auto it = r.blocks.find(reinterpret_cast<uintptr_t>(block));
        if (it != r.blocks.end()) {
            r.bytes -= it->second.size;
            std::memset(block, zv::kFreedFill, it->second.size);
            r.blocks.erase(it);
            std::free(block);
            return;
        }
    }
    ZV_ASSERT_FAILED("nba_mm_free: block not allocated or already freed");
}
