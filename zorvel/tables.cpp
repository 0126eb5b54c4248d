// Handle tables. Handles grow monotonically (wrapping, skipping live ones) so
// a released handle is not handed out again soon: a stale conversation ID
// then misses instead of finding somebody else's block.
#include <map>
#include <mutex>

#include "zorvel/internal.h"

namespace zv {
namespace {

constexpr uint32_t kDefaultCapacity = 65536;

struct Table {
    std::map<uint32_t, void *> entries; // ordered: walks go in handle order
    uint32_t last_handle = 0;
};

std::mutex g_mutex;
std::map<uint32_t, Table> g_tables;
uint32_t g_last_table = 0;
uint32_t g_capacity = kDefaultCapacity;

// Next nonzero value after `last` that `taken` does not hold.
template <typename Map> uint32_t next_free(uint32_t last, const Map &taken)
{
    uint32_t h = last;
    do {
        h = h == UINT32_MAX ? 1 : h + 1;
    } while (taken.count(h) != 0);
    return h;
}

// Table 0 is "no table" (the library before initialisation); any other
// unknown handle is a caller bug.
Table *find_table(uint32_t table, const char *what)
{
    auto it = g_tables.find(table);
    if (it != g_tables.end())
        return &it->second;
    if (table != 0)
        ZV_ASSERT_FAILED(what);
    return nullptr;
}

} // namespace

void reset_tables()
{
    std::lock_guard<std::mutex> guard(g_mutex);
    g_tables.clear();
    g_last_table = 0;
    g_capacity = kDefaultCapacity;
}

uint32_t live_tables()
{
    std::lock_guard<std::mutex> guard(g_mutex);
    return static_cast<uint32_t>(g_tables.size());
}

uint32_t live_table_entries()
{
    std::lock_guard<std::mutex> guard(g_mutex);
    size_t n = 0;
    for (const auto &t : g_tables)
        n += t.second.entries.size();
    return static_cast<uint32_t>(n);
}

void set_table_capacity(uint32_t entries)
{
    std::lock_guard<std::mutex> guard(g_mutex);
    g_capacity = entries ? entries : kDefaultCapacity;
}

} // namespace zv

using zv::g_mutex;
using Guard = std::lock_guard<std::mutex>;

extern "C" NODE_API void vtm_table_init(uint32_t *table, uint32_t flags)
{
    (void)flags;
    if (!table) {
        ZV_ASSERT_FAILED("vtm_table_init: null table address");
        return;
    }
    if (zv::fault(ZT_FAULT_TABLE_INIT)) {
        *table = 0;
        return;
    }
    Guard guard(g_mutex);
    const uint32_t h = zv::next_free(zv::g_last_table, zv::g_tables);
    zv::g_last_table = h;
    zv::g_tables[h];
    *table = h;
}

extern "C" NODE_API void vtm_table_terminate(uint32_t *table)
{
    if (!table) {
        ZV_ASSERT_FAILED("vtm_table_terminate: null table address");
        return;
    }
    {
        Guard guard(g_mutex);
        auto it = zv::g_tables.find(*table);
        if (it != zv::g_tables.end()) {
            zv::g_tables.erase(it);
            *table = 0;
            return;
        }
    }
    ZV_ASSERT_FAILED("vtm_table_terminate: unknown table");
}

extern "C" NODE_API uint32_t vtm_get_free_entry(uint32_t table, void *pointer)
{
    if (zv::fault(ZT_FAULT_TABLE_FULL))
        return 0;
    Guard guard(g_mutex);
    zv::Table *t = zv::find_table(table, "vtm_get_free_entry: unknown table");
    if (!t || t->entries.size() >= zv::g_capacity)
        return 0;
    const uint32_t h = zv::next_free(t->last_handle, t->entries);
    t->last_handle = h;
    t->entries[h] = pointer;
    return h;
}

extern "C" NODE_API void *vtm_get_pointer(uint32_t table, uint32_t handle)
{
    Guard guard(g_mutex);
    zv::Table *t = zv::find_table(table, "vtm_get_pointer: unknown table");
    if (!t)
        return nullptr;
    auto it = t->entries.find(handle);
    return it == t->entries.end() ? nullptr : it->second;
}

extern "C" NODE_API uint32_t vtm_get_next_used(uint32_t table, uint32_t previous, void **pointer)
{
    Guard guard(g_mutex);
    zv::Table *t = zv::find_table(table, "vtm_get_next_used: unknown table");
    uint32_t handle = 0;
    void *found = nullptr;
    if (t) {
        // upper_bound on the handle, not a kept iterator, so releasing the
        // entry the caller stands on does not break the walk.
        auto it = t->entries.upper_bound(previous);
        if (it != t->entries.end()) {
            handle = it->first;
            found = it->second;
        }
    }
    if (pointer)
        *pointer = found;
    return handle;
}

extern "C" NODE_API void vtm_release_entry(uint32_t table, uint32_t handle)
{
    {
        Guard guard(g_mutex);
        zv::Table *t = zv::find_table(table, "vtm_release_entry: unknown table");
        if (!t || t->entries.erase(handle) == 1)
            return;
    }
    ZV_ASSERT_FAILED("vtm_release_entry: handle not in use");
}
