// SPDX-License-Identifier: Apache-2.0
// The library's node configuration: the file is parsed by
// node_config_parse.cpp and taken only when all of it is right, so a
// mistake anywhere leaves the node as without a file rather than half
// configured; the first mistake becomes the problem record.
#include "zorvel/node_config.h"

#include <mutex>
#include <utility>

#include "zorvel/internal.h"
#include "zorvel/side_info.h"

namespace zv {
namespace {

std::shared_ptr<const NodeConfig> without_file() {
    return std::make_shared<const NodeConfig>(parse_node_config("", "").config);
}

std::mutex g_mutex; // guards the pointer, not the configuration it points to
std::shared_ptr<const NodeConfig> g_config = without_file();

} // namespace

std::shared_ptr<const NodeConfig> node_config() {
    std::lock_guard<std::mutex> guard(g_mutex);
    return g_config;
}

bool reload_node_config() {
    const std::string path = node_config_path();
    ParsedConfig parsed = read_node_config(path);
    const bool ok = parsed.errors.empty();
    install_side_info(std::move(parsed.side_info)); // empty when refused
    std::shared_ptr<const NodeConfig> fresh =
        ok ? std::make_shared<const NodeConfig>(std::move(parsed.config)) : without_file();
    {
        std::lock_guard<std::mutex> guard(g_mutex);
        g_config = std::move(fresh);
    }
    if (!ok) {
        const ConfigFailure &f = parsed.errors.front();
        nba_pd_print_problem(ZT_PROBLEM_CONFIG_FILE, f.sequence, "ca l ca",
                             static_cast<uint32_t>(path.size()), path.c_str(), static_cast<int32_t>(f.line),
                             static_cast<uint32_t>(f.reason.size()), f.reason.c_str());
    }
    return ok;
}

} // namespace zv
