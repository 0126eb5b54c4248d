// SPDX-License-Identifier: Apache-2.0
// Handle tables. Handles grow monotonically (wrapping, skipping live ones) so
// a released handle is not handed out again soon: a stale conversation ID
// then misses instead of finding somebody else's block.
//
// Who touches the tables: the CPI-C library, always under the process lock
// (its tables are part of what that lock guards, and its completion and
// path callbacks run under it too); the test-control entry, which takes the
// lock when its caller does not hold it; and single-threaded tests of the
// tables themselves. So the tables are guarded by the process lock, like the
// wait objects and path users:
// - every change (init, terminate, new entry, release) runs under it,
//   taking it when the caller does not hold it, so no change can overlap a
//   reader that holds it;
// - the lookups (vtm_get_pointer, vtm_get_next_used) take no lock of any
//   kind: their caller holds the process lock, or is the only thread using
//   the tables. A lookup on the library's path thus costs a search and
//   nothing else.
//
// Entries are kept in a vector sorted by handle: handles grow, so a new
// entry nearly always goes at the end, and a walk in handle order is the
// vector's order. Beside it a direct-mapped index by the low bits of the
// handle answers a lookup in one probe: handles are handed out in sequence,
// so live ones seldom share a slot, and the one an entry loses its slot to
// is still found by a binary search of the vector.
#include <algorithm>
#include <array>
#include <vector>

#include "zorvel/internal.h"

namespace zv {
namespace {

constexpr uint32_t kDefaultCapacity = 65536;

struct Entry {
    uint32_t handle;
    void *pointer;
};

constexpr uint32_t kIndexSlots = 256; // a power of two

struct Table {
    uint32_t handle;
    uint32_t last_handle;                 // the last entry handle handed out
    std::vector<Entry> entries;           // sorted by handle
    std::array<Entry, kIndexSlots> index; // handle 0 = empty slot
};

Entry &slot(Table &t, uint32_t handle) {
    return t.index[handle & (kIndexSlots - 1)];
}

// Changed only under the process lock. A handful of tables live at a time,
// so they are found by a scan.
std::vector<Table> g_tables;
uint32_t g_last_table = 0;
uint32_t g_capacity = kDefaultCapacity;

bool handle_below(const Entry &e, uint32_t handle) {
    return e.handle < handle;
}

// First entry whose handle is not below `handle`.
std::vector<Entry>::iterator lower_bound(std::vector<Entry> &entries, uint32_t handle) {
    return std::lower_bound(entries.begin(), entries.end(), handle, handle_below);
}

Entry *find_entry(Table &t, uint32_t handle) {
    Entry &s = slot(t, handle);
    if (s.handle == handle && handle != 0) return &s;
    auto it = lower_bound(t.entries, handle);
    return it != t.entries.end() && it->handle == handle ? &*it : nullptr;
}

bool table_exists(uint32_t handle) {
    return std::any_of(g_tables.begin(), g_tables.end(),
                       [handle](const Table &t) { return t.handle == handle; });
}

// Table 0 is "no table" (the library before initialisation); any other
// unknown handle is a caller bug.
Table *find_table(uint32_t table, const char *what) {
    for (Table &t : g_tables) {
        if (t.handle == table) return &t;
    }
    if (table != 0) ZV_ASSERT_FAILED(what);
    return nullptr;
}

// Next nonzero value after `last` for which `taken` is false.
template <typename Taken>
uint32_t next_free(uint32_t last, Taken taken) {
    uint32_t h = last;
    do {
        h = h == UINT32_MAX ? 1 : h + 1;
    } while (taken(h));
    return h;
}

} // namespace

void reset_tables() {
    LockIfNotHeld lock;
    g_tables.clear();
    g_last_table = 0;
    g_capacity = kDefaultCapacity;
}

uint32_t live_tables() {
    LockIfNotHeld lock; // asked by tests from any thread
    return static_cast<uint32_t>(g_tables.size());
}

uint32_t live_table_entries() {
    LockIfNotHeld lock;
    size_t n = 0;
    for (const Table &t : g_tables) n += t.entries.size();
    return static_cast<uint32_t>(n);
}

void set_table_capacity(uint32_t entries) {
    LockIfNotHeld lock;
    g_capacity = entries ? entries : kDefaultCapacity;
}

} // namespace zv

using Guard = zv::LockIfNotHeld;

extern "C" NODE_API void vtm_table_init(uint32_t *table, uint32_t flags) {
    (void)flags;
    if (!table) {
        ZV_ASSERT_FAILED("vtm_table_init: null table address");
        return;
    }
    if (zv::fault(ZT_FAULT_TABLE_INIT)) {
        *table = 0;
        return;
    }
    Guard lock;
    const uint32_t h = zv::next_free(zv::g_last_table, zv::table_exists);
    zv::g_last_table = h;
    zv::g_tables.push_back(zv::Table{h, 0, {}, {}});
    *table = h;
}

extern "C" NODE_API void vtm_table_terminate(uint32_t *table) {
    if (!table) {
        ZV_ASSERT_FAILED("vtm_table_terminate: null table address");
        return;
    }
    {
        Guard lock;
        auto &tables = zv::g_tables;
        auto it = std::find_if(tables.begin(), tables.end(),
                               [table](const zv::Table &t) { return t.handle == *table; });
        if (it != tables.end()) {
            tables.erase(it);
            *table = 0;
            return;
        }
    }
    ZV_ASSERT_FAILED("vtm_table_terminate: unknown table");
}

extern "C" NODE_API uint32_t vtm_get_free_entry(uint32_t table, void *pointer) {
    if (zv::fault(ZT_FAULT_TABLE_FULL)) return 0;
    Guard lock;
    zv::Table *t = zv::find_table(table, "vtm_get_free_entry: unknown table");
    if (!t || t->entries.size() >= zv::g_capacity) return 0;
    const uint32_t h =
        zv::next_free(t->last_handle, [t](uint32_t h) { return zv::find_entry(*t, h) != nullptr; });
    t->last_handle = h;
    t->entries.insert(zv::lower_bound(t->entries, h), zv::Entry{h, pointer});
    zv::slot(*t, h) = zv::Entry{h, pointer};
    return h;
}

extern "C" NODE_API void *vtm_get_pointer(uint32_t table, uint32_t handle) {
    zv::Table *t = zv::find_table(table, "vtm_get_pointer: unknown table");
    const zv::Entry *e = t ? zv::find_entry(*t, handle) : nullptr;
    return e ? e->pointer : nullptr;
}

extern "C" NODE_API uint32_t vtm_get_next_used(uint32_t table, uint32_t previous, void **pointer) {
    zv::Table *t = zv::find_table(table, "vtm_get_next_used: unknown table");
    uint32_t handle = 0;
    void *found = nullptr;
    if (t && previous != UINT32_MAX) {
        // A search from the handle, not a kept position, so releasing the
        // entry the caller stands on does not break the walk.
        auto it = zv::lower_bound(t->entries, previous + 1);
        if (it != t->entries.end()) {
            handle = it->handle;
            found = it->pointer;
        }
    }
    if (pointer) *pointer = found;
    return handle;
}

extern "C" NODE_API void vtm_release_entry(uint32_t table, uint32_t handle) {
    {
        Guard lock;
        zv::Table *t = zv::find_table(table, "vtm_release_entry: unknown table");
        if (!t) return;
        auto it = zv::lower_bound(t->entries, handle);
        if (it != t->entries.end() && it->handle == handle) {
            t->entries.erase(it);
            zv::Entry &s = zv::slot(*t, handle);
            if (s.handle == handle) s = zv::Entry{0, nullptr};
            return;
        }
    }
    ZV_ASSERT_FAILED("vtm_release_entry: handle not in use");
}
