// SPDX-License-Identifier: Apache-2.0
// The fault layer: every service that can fail asks it first, so a test can
// fail the Nth call of a site once or from then on and count what happened.
#include <array>
#include <mutex>

#include "zorvel/internal.h"

#ifdef ZORVEL_TEST_CONTROL
extern "C" NODE_API __attribute__((noinline)) void zorvel_fault_fired(uint32_t site) {
    // Keeps the call from being folded away: it exists to be stopped in.
    asm volatile("" : : "r"(site) : "memory");
}
#else
// Without test control nothing arms a fault, and nothing is exported to
// stop in.
static void zorvel_fault_fired(uint32_t) {}
#endif

namespace zv {
namespace {

struct Site {
    uint32_t countdown = 0; // 0 = disarmed
    bool persistent = false;
    bool tripped = false; // persistent fault already fired
    uint32_t calls = 0;
    uint32_t hits = 0;
};

std::mutex g_mutex;
std::array<Site, ZT_FAULT_SITE_END> g_sites;

bool valid(uint32_t site) {
    return site > 0 && site < ZT_FAULT_SITE_END;
}

} // namespace

bool fault(uint32_t site) {
    bool fire = false;
    {
        std::lock_guard<std::mutex> guard(g_mutex);
        if (!valid(site)) return false;
        Site &s = g_sites[site];
        ++s.calls;
        if (s.tripped) {
            fire = true;
        } else if (s.countdown > 0 && --s.countdown == 0) {
            fire = true;
            s.tripped = s.persistent;
        }
        if (fire) ++s.hits;
    }
    if (fire) zorvel_fault_fired(site);
    return fire;
}

void arm_fault(uint32_t site, uint32_t countdown, bool persistent) {
    std::lock_guard<std::mutex> guard(g_mutex);
    if (!valid(site)) return;
    g_sites[site] = Site{};
    g_sites[site].countdown = countdown;
    g_sites[site].persistent = persistent;
}

void clear_faults() {
    std::lock_guard<std::mutex> guard(g_mutex);
    g_sites.fill(Site{});
}

uint32_t fault_hits(uint32_t site) {
    std::lock_guard<std::mutex> guard(g_mutex);
    return valid(site) ? g_sites[site].hits : 0;
}

uint32_t fault_calls(uint32_t site) {
    std::lock_guard<std::mutex> guard(g_mutex);
    return valid(site) ? g_sites[site].calls : 0;
}

} // namespace zv
