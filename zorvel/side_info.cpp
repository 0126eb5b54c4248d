// SPDX-License-Identifier: Apache-2.0
// Side information from the node configuration (format in side_info.h):
// the definitions of the last load and the answers to queries. The tables
// are read by side_info_parse.cpp; the whole file is checked before
// anything is taken from it, so a mistake anywhere leaves the node with no
// definitions rather than some of them.
#include "zorvel/side_info.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "zorvel/internal.h"

namespace zv {
namespace {

std::mutex g_mutex;
SideInfoSet g_definitions; // those of the last load

} // namespace

void install_side_info(SideInfoSet set) {
    std::lock_guard<std::mutex> guard(g_mutex);
    g_definitions = std::move(set);
}

// Answers a query for a configured name; an unknown name keeps the
// engine's answer.
void answer_side_info_query(unsigned char *record, size_t size, uint16_t &primary, uint32_t &secondary) {
    NOF_QUERY_RECORD q;
    if (size < sizeof q) return;
    std::memcpy(&q, record, sizeof q);
    NOF_SIDE_INFO_ANSWER answer;
    {
        std::lock_guard<std::mutex> guard(g_mutex);
        const auto it =
            std::find_if(g_definitions.begin(), g_definitions.end(), [&](const SideInfoDefinition &d) {
                return std::memcmp(d.answer.sym_dest_name, q.sym_dest_name, sizeof q.sym_dest_name) == 0;
            });
        if (it == g_definitions.end()) return;
        answer = it->answer;
    }
    if (!q.buf_addr) {
        nba_pd_print_problem(ZT_PROBLEM_NULL_BUFFER, 2, "x lx", static_cast<unsigned>(NOF_QUERY_SIDE_INFO),
                             static_cast<uint32_t>(offsetof(NOF_QUERY_RECORD, buf_addr)));
        primary = kSideInfoOpenFailedPrimary;
        secondary = 0;
        return;
    }
    const size_t n = std::min({static_cast<size_t>(q.buf_size), sizeof answer, room_at(q.buf_addr)});
    std::memcpy(q.buf_addr, &answer, n);
    primary = 0;
    secondary = 0;
}

void reset_side_info() {
    std::lock_guard<std::mutex> guard(g_mutex);
    g_definitions.clear();
}

} // namespace zv
