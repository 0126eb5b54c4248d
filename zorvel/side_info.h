/* SPDX-License-Identifier: Apache-2.0 */
// The node's system-wide side information: the [[side_info]] tables of the
// node configuration file (node_config.h), read again at every NOF open,
// and the answers to NOF side-information queries taken from them.
//
// One table per symbolic destination name, every value a string:
//
//   [[side_info]]
//   sym_dest_name   = "PAYROLL"         # required, 1..8 of A-Z a-z 0-9 $ # @
//   partner_lu_name = "NETA.PAYLU"      # an alias (1..8 printable, no blank,
//                                       # no period) or a qualified name of
//                                       # at most 17: network ID and LU name
//                                       # of 1..8 of A-Z a-z 0-9 $ # @ each,
//                                       # split at the last period (a period
//                                       # inside the network ID is passed on)
//   tp_name         = "PAYSERVER"       # 1..64 printable, not starting blank
//   tp_name_type    = "application"     # or "sna_service": tp_name is then
//                                       # 2, 4, 6 or 8 hexadecimal digits
//   mode_name       = "#INTER"          # 1..8 of A-Z a-z 0-9 $ # @
//   security_type   = "same"            # "none", "same", "program",
//                                       # "program_strong"
//   user_id         = "CLERK"           # 1..10 printable, no blank
//   password        = "SECRET"          # 1..10 printable, no blank
//   local_lu_alias  = "LOCAL1"          # 1..8 printable, no blank
//
// Only sym_dest_name is required; tp_name_type defaults to "application"
// and security_type to "same". Nothing else may stand in a table: another
// key, a value of another type, an empty or too long value, a character
// outside its set or a name defined twice makes the whole file malformed.
// A malformed file loads nothing: the open fails with primary
// kSideInfoOpenFailedPrimary and secondary kSideInfoOpenFailedSecondary,
// and one problem record ZT_PROBLEM_CONFIG_FILE is written (node_config.h).
//
// Answer to a query for a configured name (offsets in the buffer the query
// record points to; the buffer is written up to the size the query offers):
// 2 name, 60 partner LU name, 80 u32 TP name type (1 = SNA service TP),
// 84 TP name, 148 mode name, 156 u32 security type (0, 1, 2, 5), 160 user
// ID, 170 password, 180 local LU alias; text ASCII and blank padded, a
// field not given is blanks, except the local LU alias, which is zeros
// when not given (zeros are "no alias"; blanks would be an alias).
//
// Answers queued by a test take precedence: a scripted open keeps its
// scripted result (the file is still read, so the definitions follow it),
// and a scripted query is not looked up here.
#ifndef ZORVEL_SIDE_INFO_H
#define ZORVEL_SIDE_INFO_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "node/nof_records.h"
#include "zorvel/config_file.h"

// The stand-in's own problem code for a malformed configuration file:
// "ca l ca" (file, line, reason); its sequence is a ConfigProblem.
#define ZT_PROBLEM_CONFIG_FILE 0x5A000004u
#define ZT_PROBLEM_SIDE_INFO_FILE ZT_PROBLEM_CONFIG_FILE

namespace zv {

// The names the side-information rules were first written with.
inline constexpr uint32_t kSideInfoUnreadable = kConfigUnreadable;
inline constexpr uint32_t kSideInfoSyntax = kConfigSyntax;
inline constexpr uint32_t kSideInfoContent = kConfigContent;

// What a failed open carries (a parameter check, and our own secondary).
inline constexpr uint16_t kSideInfoOpenFailedPrimary = 0x0100;
inline constexpr uint32_t kSideInfoOpenFailedSecondary = ZT_PROBLEM_CONFIG_FILE;

struct SideInfoDefinition {
    std::string name;
    uint32_t line = 0; // where it was defined, for the duplicate message
    NOF_SIDE_INFO_ANSWER answer;
};
using SideInfoSet = std::vector<SideInfoDefinition>;

// Checks one [[side_info]] table and adds its definition to `set`; false
// when the table is not allowed, with every reason appended to `errors`.
// Pure (side_info_parse.cpp), so the daemon reads the file as the library
// does.
bool add_side_info(const ConfigTable &table, SideInfoSet &set, std::vector<ConfigFailure> &errors);
// Replaces the definitions queries are answered from.
void install_side_info(SideInfoSet set);
// Answers a query for a configured name into the query's buffer and sets
// `primary` and `secondary`; an unknown name leaves them as they are.
void answer_side_info_query(unsigned char *record, size_t size, uint16_t &primary, uint32_t &secondary);

// Forgets the definitions of the last open.
void reset_side_info();

} // namespace zv

#endif // ZORVEL_SIDE_INFO_H
