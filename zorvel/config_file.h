/* SPDX-License-Identifier: Apache-2.0 */
// The node configuration file as its readers see it: tables of keys with
// typed values, in the order they stand in the file, each with its line.
// node_config.cpp parses the TOML and hands each table to the reader of
// its kind; no reader sees the parser.
#ifndef ZORVEL_CONFIG_FILE_H
#define ZORVEL_CONFIG_FILE_H

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace zv {

inline constexpr char kConfigVariable[] = "ZORVEL_CONFIG";
inline constexpr char kConfigDefaultPath[] = "/etc/zorvel/node.toml";

// Sequences of the problem record ZT_PROBLEM_CONFIG_FILE.
enum ConfigProblem : uint32_t {
    kConfigUnreadable = 1, // the file exists but cannot be read
    kConfigSyntax = 2,     // not TOML
    kConfigContent = 3,    // TOML, but a key or value is not allowed
};

struct ConfigValue {
    enum class Type { kString, kBool, kInteger, kStrings, kOther };
    Type type = Type::kOther;
    std::string text;
    bool boolean = false;
    int64_t integer = 0;
    std::vector<std::string> strings; // an array of strings
};

struct ConfigItem {
    std::string key;
    uint32_t line = 0;
    ConfigValue value;
};

struct ConfigTable {
    uint32_t line = 0;             // of the table's header
    std::vector<ConfigItem> items; // in file order
};

struct ConfigFailure {
    uint32_t sequence = 0;
    uint32_t line = 0;
    std::string reason;
};

// ---- Characters the readers allow -----------------------------------------

inline bool is_type_a(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '$' ||
           c == '#' || c == '@';
}
inline bool is_visible(char c) {
    return c > ' ' && c <= '~';
}
inline bool is_printable(char c) {
    return c >= ' ' && c <= '~';
}
inline bool is_hex(char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}
template <typename Pred>
bool all_of(std::string_view s, Pred pred) {
    return std::all_of(s.begin(), s.end(), pred);
}

inline constexpr char kTypeAChars[] = "A-Z a-z 0-9 $ # @";

} // namespace zv

#endif // ZORVEL_CONFIG_FILE_H
