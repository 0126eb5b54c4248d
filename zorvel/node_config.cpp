// The node configuration in force (node_config.h).
#include "zorvel/node_config.h"

#include <mutex>

#include "zorvel/side_info.h"

namespace zv {
namespace {

std::shared_ptr<const NodeConfig> without_file()
{
    auto c = std::make_shared<NodeConfig>();
    c->local_lus.push_back(LocalLu{"LOCAL", "ZORVEL.LOCAL", true});
    return c;
}

std::mutex g_mutex; // guards the pointer, not the configuration it points to
std::shared_ptr<const NodeConfig> g_config = without_file();

} // namespace

std::shared_ptr<const NodeConfig> node_config()
{
    std::lock_guard<std::mutex> guard(g_mutex);
    return g_config;
}

bool reload_node_config()
{
    const bool ok = load_side_info();
    std::shared_ptr<const NodeConfig> fresh = without_file();
    std::lock_guard<std::mutex> guard(g_mutex);
    g_config = std::move(fresh);
    return ok;
}

} // namespace zv
