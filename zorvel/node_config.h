/* SPDX-License-Identifier: Apache-2.0 */
// The node's configuration as the engines see it: local LUs, TP
// definitions and users, read from one TOML file together with the side
// information (side_info.h). The engines route attaches and check security
// against these and never read the file.
//
// File: $ZORVEL_CONFIG, else /etc/zorvel/node.toml; a missing file is a
// node without one. Arrays of tables only; every key is checked, and a
// table may hold nothing but the keys below:
//
//   [[local_lu]]                  # none: one LU, alias LOCAL, ZORVEL.LOCAL
//   alias   = "LOCAL1"            # required, 1..8 printable, no blank
//   name    = "NETA.LU1"          # required, NETID.LUNAME: 1..8 of
//                                 # A-Z a-z 0-9 $ # @ on each side
//   default = true                # at most one; none: the first LU
//
//   [[tp]]
//   name              = "PAYSERVER"  # required, 1..64 printable, no
//                                    # leading blank
//   conversation_type = "either"     # basic, mapped, either
//   sync_level        = "either"     # none, confirm, either
//   security          = "none"       # none, required
//   queue_timeout_ms  = 10000        # 0..4294967295: how long an attach
//                                    # waits for a receive-allocate
//   path = "/usr/bin/payserver"      # absolute; started by the daemon
//   args = ["-v"]                    # strings
//   max_instances = 0                # 0: no limit
//
//   [[user]]
//   user_id       = "CLERK"          # required, 1..10 printable, no blank
//   password_hash = "$6$salt$..."    # required, crypt(3) form; the clear
//                                    # password is never kept or logged
//
// Aliases, LU names, TP names and user IDs are each defined once. A
// malformed file is refused whole (see reload_node_config).
#ifndef ZORVEL_NODE_CONFIG_H
#define ZORVEL_NODE_CONFIG_H

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "zorvel/config_file.h"
#include "zorvel/side_info.h"

namespace zv {

struct LocalLu {
    std::string alias; // 1..8, ASCII
    std::string name;  // NETID.LUNAME, ASCII
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

// A file as the parser read it. `errors` lists every mistake in the order
// found (a syntax error stops the parser at the first); with any, nothing
// else is taken: `config` is the node without a file and `side_info` empty.
// Otherwise `config` has at least one local LU and exactly one default.
struct ParsedConfig {
    NodeConfig config;
    SideInfoSet side_info;
    std::vector<ConfigFailure> errors;
};
// Pure: the library and the daemon read a file alike with these.
ParsedConfig parse_node_config(std::string_view content, const std::string &file_name);
// Reads the file; a missing one is a node without a file (no error), one
// that cannot be read is an error on line 0.
ParsedConfig read_node_config(const std::string &path);
// $ZORVEL_CONFIG, else /etc/zorvel/node.toml.
std::string node_config_path();

// The library's configuration in force (node_config.cpp). The snapshot never changes: a reload puts a
// new one in place, so an engine may keep the pointer for as long as it
// works with it (one verb, one attach), from any thread, while another
// thread reloads. Never null; before the first load it is the node
// without a file (one LU, alias LOCAL, name ZORVEL.LOCAL).
std::shared_ptr<const NodeConfig> node_config();

// Reads the configuration file again (engine start, test reset, every NOF
// open). A malformed file is refused whole: the node keeps no side
// information and runs as without a file, one problem record names the
// file, the line and the reason, and this answers false.
bool reload_node_config();

} // namespace zv

#endif // ZORVEL_NODE_CONFIG_H
