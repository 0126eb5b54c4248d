// The node's configuration as the engines see it: local LUs, TP
// definitions and users, read from one TOML file together with the side
// information. The parser fills these; the conversation engine routes
// attaches and checks security against them and never reads the file.
#ifndef ZORVEL_NODE_CONFIG_H
#define ZORVEL_NODE_CONFIG_H

#include <cstdint>
#include <string>
#include <vector>

namespace zv {

struct LocalLu {
    std::string alias;   // 1..8, ASCII
    std::string name;    // NETID.LUNAME, ASCII
    bool is_default = false;
};

enum class ConvTypeRule : uint8_t { kBasic, kMapped, kEither };
enum class SyncLevelRule : uint8_t { kNone, kConfirm, kEither };

struct TpDefinition {
    std::string name; // 1..64, ASCII as configured
    ConvTypeRule conversation_type = ConvTypeRule::kEither;
    SyncLevelRule sync_level = SyncLevelRule::kEither;
    bool security_required = false;
    uint32_t queue_timeout_ms = 10000;
    // Invokable TPs (started by the daemon); empty path: not invokable.
    std::string path;
    std::vector<std::string> args;
    uint32_t max_instances = 0; // 0: no limit
};

struct NodeUser {
    std::string user_id;       // 1..10
    std::string password_hash; // crypt(3) form; the clear password is never kept
};

struct NodeConfig {
    std::vector<LocalLu> local_lus; // never empty once loaded
    std::vector<TpDefinition> tps;
    std::vector<NodeUser> users;
};

} // namespace zv

#endif // ZORVEL_NODE_CONFIG_H
