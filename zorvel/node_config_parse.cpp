// SPDX-License-Identifier: Apache-2.0
// The node configuration file's parser: every table checked by the reader
// of its kind, every mistake collected with its line. Pure (no logging, no
// global state), so the library and the daemon read a file alike and the
// operator tool lists all that is wrong with one.
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#define TOML_HEADER_ONLY 1
#define TOML_EXCEPTIONS 0
#include <toml++/toml.h>

#include "zorvel/config_file.h"
#include "zorvel/node_config.h"
#include "zorvel/side_info.h"

namespace zv {
namespace {

constexpr char kDefaultLuAlias[] = "LOCAL";
constexpr char kDefaultLuName[] = "ZORVEL.LOCAL";

// ---- Reading values -------------------------------------------------------

using Errors = std::vector<ConfigFailure>;

struct Loaded {
    NodeConfig config;
    SideInfoSet side_info;
    std::vector<uint32_t> lu_lines, tp_lines, user_lines; // parallel to the config's vectors
};

bool fail(Errors &f, uint32_t line, std::string reason) {
    f.push_back({kConfigContent, line, std::move(reason)});
    return false;
}

bool want(const ConfigItem &item, ConfigValue::Type type, Errors &f) {
    if (item.value.type == type) return true;
    const char *what = type == ConfigValue::Type::kString    ? " must be a string"
                       : type == ConfigValue::Type::kBool    ? " must be true or false"
                       : type == ConfigValue::Type::kInteger ? " must be an integer"
                                                             : " must be an array of strings";
    return fail(f, item.line, item.key + what);
}

// A text of 1..longest characters each allowed by `allowed`.
template <typename Pred>
bool text(const ConfigItem &item, size_t longest, Pred allowed, const char *refusal, std::string &out,
          Errors &f) {
    if (!want(item, ConfigValue::Type::kString, f)) return false;
    const std::string &s = item.value.text;
    if (s.empty()) return fail(f, item.line, item.key + " is empty");
    if (s.size() > longest)
        return fail(f, item.line, item.key + " is longer than " + std::to_string(longest) + " characters");
    if (!all_of(s, allowed)) return fail(f, item.line, item.key + refusal);
    out = s;
    return true;
}
constexpr char kNotVisible[] = " has a blank or a character that is not printable";

bool u32(const ConfigItem &item, uint32_t &out, Errors &f) {
    if (!want(item, ConfigValue::Type::kInteger, f)) return false;
    if (item.value.integer < 0 || item.value.integer > INT64_C(0xFFFFFFFF))
        return fail(f, item.line, item.key + " must be from 0 to 4294967295");
    out = static_cast<uint32_t>(item.value.integer);
    return true;
}

template <typename E, size_t N>
bool choice(const ConfigItem &item, const std::pair<const char *, E> (&names)[N], const char *list, E &out,
            Errors &f) {
    if (!want(item, ConfigValue::Type::kString, f)) return false;
    for (const auto &[name, value] : names) {
        if (item.value.text == name) {
            out = value;
            return true;
        }
    }
    return fail(f, item.line, item.key + " must be " + list);
}

bool missing(const ConfigTable &t, bool have, const char *key, Errors &f) {
    return !have && !fail(f, t.line, std::string(key) + " is missing");
}

// NETID.LUNAME: one period, 1..8 type-A characters on each side.
bool qualified_lu_name(std::string_view s) {
    const size_t dot = s.find('.');
    if (dot == std::string_view::npos) return false;
    const std::string_view net = s.substr(0, dot), lu = s.substr(dot + 1);
    return !net.empty() && net.size() <= 8 && all_of(net, is_type_a) && !lu.empty() && lu.size() <= 8 &&
           all_of(lu, is_type_a);
}

// crypt(3): "$id$[params$]salt$hash", or the traditional 13 characters.
bool crypt_form(std::string_view s) {
    auto salt_char = [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '/';
    };
    if (s.size() == 13 && all_of(s, salt_char)) return true;
    if (s.size() < 5 || s.front() != '$') return false;
    size_t fields = 0, start = 1;
    while (start <= s.size()) {
        const size_t end = std::min(s.find('$', start), s.size());
        const std::string_view field = s.substr(start, end - start);
        if (field.empty() ||
            !all_of(field, [&](char c) { return salt_char(c) || c == '=' || c == ',' || c == '-'; }))
            return false;
        ++fields;
        start = end + 1;
    }
    return fields >= 3;
}

template <typename T>
bool unique(const std::vector<T> &earlier, const std::vector<uint32_t> &lines, const std::string T::*field,
            const std::string &value, const char *what, uint32_t line, Errors &f) {
    for (size_t i = 0; i < earlier.size(); ++i) {
        if (earlier[i].*field == value)
            return fail(f, line,
                        std::string(what) + " '" + value + "' is defined twice (first on line " +
                            std::to_string(lines[i]) + ")");
    }
    return true;
}

// ---- The tables -------------------------------------------------------------
//
// Each reader reports every mistake of its table and goes on with the next
// key; a table with a mistake is not taken, and the checks across tables
// (names defined twice, a second default) are made only for tables that
// are right on their own, so one mistake is not reported twice.

bool has_key(const ConfigTable &t, const char *key) {
    return std::any_of(t.items.begin(), t.items.end(), [&](const ConfigItem &i) { return i.key == key; });
}

void read_side_info(const ConfigTable &t, Loaded &l, Errors &f) {
    add_side_info(t, l.side_info, f);
}

void read_local_lu(const ConfigTable &t, Loaded &l, Errors &f) {
    const size_t before = f.size();
    LocalLu lu;
    uint32_t alias_line = t.line, name_line = t.line;
    for (const ConfigItem &item : t.items) {
        if (item.key == "alias") {
            text(item, 8, is_visible, kNotVisible, lu.alias, f);
            alias_line = item.line;
        } else if (item.key == "name") {
            if (!want(item, ConfigValue::Type::kString, f)) continue;
            if (!qualified_lu_name(item.value.text)) {
                fail(f, item.line,
                     std::string("name must be NETID.LUNAME, 1 to 8 of ") + kTypeAChars +
                         " on each side of the period");
                continue;
            }
            lu.name = item.value.text;
            name_line = item.line;
        } else if (item.key == "default") {
            if (want(item, ConfigValue::Type::kBool, f)) lu.is_default = item.value.boolean;
        } else {
            fail(f, item.line, "unknown key '" + item.key + "' in [[local_lu]]");
        }
    }
    missing(t, has_key(t, "alias"), "alias", f);
    missing(t, has_key(t, "name"), "name", f);
    if (f.size() != before ||
        !unique(l.config.local_lus, l.lu_lines, &LocalLu::alias, lu.alias, "local_lu alias", alias_line, f) ||
        !unique(l.config.local_lus, l.lu_lines, &LocalLu::name, lu.name, "local_lu name", name_line, f))
        return;
    for (size_t i = 0; lu.is_default && i < l.config.local_lus.size(); ++i) {
        if (l.config.local_lus[i].is_default) {
            fail(f, t.line,
                 "a second default local_lu (the first is on line " + std::to_string(l.lu_lines[i]) + ")");
            return;
        }
    }
    l.config.local_lus.push_back(std::move(lu));
    l.lu_lines.push_back(t.line);
}

constexpr std::pair<const char *, ConvTypeRule> kConvTypes[] = {
    {"basic", ConvTypeRule::kBasic}, {"mapped", ConvTypeRule::kMapped}, {"either", ConvTypeRule::kEither}};
constexpr std::pair<const char *, SyncLevelRule> kSyncLevels[] = {
    {"none", SyncLevelRule::kNone}, {"confirm", SyncLevelRule::kConfirm}, {"either", SyncLevelRule::kEither}};
constexpr std::pair<const char *, bool> kSecurity[] = {{"none", false}, {"required", true}};

void read_tp(const ConfigTable &t, Loaded &l, Errors &f) {
    const size_t before = f.size();
    TpDefinition tp;
    uint32_t name_line = t.line;
    for (const ConfigItem &item : t.items) {
        if (item.key == "name") {
            if (text(item, 64, is_printable, " has a character that is not printable", tp.name, f) &&
                tp.name.front() == ' ')
                fail(f, item.line, "name starts with a blank");
            name_line = item.line;
        } else if (item.key == "conversation_type") {
            choice(item, kConvTypes, "basic, mapped or either", tp.conversation_type, f);
        } else if (item.key == "sync_level") {
            choice(item, kSyncLevels, "none, confirm or either", tp.sync_level, f);
        } else if (item.key == "security") {
            choice(item, kSecurity, "none or required", tp.security_required, f);
        } else if (item.key == "queue_timeout_ms") {
            u32(item, tp.queue_timeout_ms, f);
        } else if (item.key == "path") {
            if (text(item, 4096, is_printable, " has a character that is not printable", tp.path, f) &&
                tp.path.front() != '/')
                fail(f, item.line, "path must be an absolute file name");
        } else if (item.key == "args") {
            if (want(item, ConfigValue::Type::kStrings, f)) tp.args = item.value.strings;
        } else if (item.key == "max_instances") {
            u32(item, tp.max_instances, f);
        } else {
            fail(f, item.line, "unknown key '" + item.key + "' in [[tp]]");
        }
    }
    missing(t, has_key(t, "name"), "name", f);
    if (f.size() != before ||
        !unique(l.config.tps, l.tp_lines, &TpDefinition::name, tp.name, "tp", name_line, f))
        return;
    l.config.tps.push_back(std::move(tp));
    l.tp_lines.push_back(t.line);
}

void read_user(const ConfigTable &t, Loaded &l, Errors &f) {
    const size_t before = f.size();
    NodeUser user;
    uint32_t id_line = t.line;
    for (const ConfigItem &item : t.items) {
        if (item.key == "user_id") {
            text(item, 10, is_visible, kNotVisible, user.user_id, f);
            id_line = item.line;
        } else if (item.key == "password_hash") {
            // The reason never quotes the value: it is a password's hash.
            if (!want(item, ConfigValue::Type::kString, f)) continue;
            if (!crypt_form(item.value.text))
                fail(f, item.line, "password_hash must be in crypt(3) form ($id$salt$hash)");
            else
                user.password_hash = item.value.text;
        } else {
            fail(f, item.line, "unknown key '" + item.key + "' in [[user]]");
        }
    }
    missing(t, has_key(t, "user_id"), "user_id", f);
    missing(t, has_key(t, "password_hash"), "password_hash", f);
    if (f.size() != before ||
        !unique(l.config.users, l.user_lines, &NodeUser::user_id, user.user_id, "user_id", id_line, f))
        return;
    l.config.users.push_back(std::move(user));
    l.user_lines.push_back(t.line);
}

struct Section {
    std::string_view name;
    void (*read)(const ConfigTable &, Loaded &, Errors &);
};
constexpr Section kSections[] = {
    {"side_info", read_side_info}, {"local_lu", read_local_lu}, {"tp", read_tp}, {"user", read_user}};
constexpr char kSectionList[] = "[[side_info]], [[local_lu]], [[tp]] and [[user]] tables";

// ---- From TOML to tables ----------------------------------------------------

uint32_t line_of(const toml::node &node) {
    return static_cast<uint32_t>(node.source().begin.line);
}
uint32_t line_of(const toml::key &key, const toml::node &node) {
    return key.source().begin.line != 0 ? static_cast<uint32_t>(key.source().begin.line) : line_of(node);
}

ConfigValue value_of(const toml::node &node) {
    ConfigValue v;
    if (const auto *s = node.as_string()) {
        v.type = ConfigValue::Type::kString;
        v.text = s->get();
    } else if (const auto *b = node.as_boolean()) {
        v.type = ConfigValue::Type::kBool;
        v.boolean = b->get();
    } else if (const auto *i = node.as_integer()) {
        v.type = ConfigValue::Type::kInteger;
        v.integer = i->get();
    } else if (const auto *a = node.as_array()) {
        v.type = ConfigValue::Type::kStrings;
        for (const toml::node &e : *a) {
            if (!e.as_string()) return ConfigValue{};
            v.strings.push_back(e.as_string()->get());
        }
    }
    return v;
}

// Items in the order they stand in the file, so the first mistake is the
// one named.
ConfigTable table_of(const toml::table &table, uint32_t line) {
    struct Item {
        uint32_t line, column;
        ConfigItem item;
    };
    std::vector<Item> items;
    for (const auto &[key, node] : table)
        items.push_back({line_of(key, node), static_cast<uint32_t>(key.source().begin.column),
                         ConfigItem{std::string(key.str()), line_of(key, node), value_of(node)}});
    std::sort(items.begin(), items.end(), [](const Item &a, const Item &b) {
        return std::make_pair(a.line, a.column) < std::make_pair(b.line, b.column);
    });
    ConfigTable t;
    t.line = line;
    for (Item &i : items) t.items.push_back(std::move(i.item));
    return t;
}

void read_root(const toml::table &root, Loaded &l, Errors &f) {
    std::vector<std::pair<uint32_t, std::pair<const toml::key *, const toml::node *>>> keys;
    for (const auto &[key, node] : root) keys.push_back({line_of(key, node), {&key, &node}});
    std::stable_sort(keys.begin(), keys.end(),
                     [](const auto &a, const auto &b) { return a.first < b.first; });
    for (const auto &[line, entry] : keys) {
        const std::string name(entry.first->str());
        const auto section = std::find_if(std::begin(kSections), std::end(kSections),
                                          [&](const Section &s) { return s.name == name; });
        if (section == std::end(kSections)) {
            fail(f, line, "unknown key '" + name + "' (only " + kSectionList + ")");
            continue;
        }
        const std::string refusal = name + " must be an array of tables ([[" + name + "]])";
        const toml::array *tables = entry.second->as_array();
        if (!tables) {
            fail(f, line, refusal);
            continue;
        }
        for (const toml::node &element : *tables) {
            const uint32_t element_line = line_of(element) != 0 ? line_of(element) : line;
            if (const toml::table *table = element.as_table())
                section->read(table_of(*table, element_line), l, f);
            else
                fail(f, element_line, refusal);
        }
    }
}

} // namespace

ParsedConfig parse_node_config(std::string_view content, const std::string &file_name) {
    ParsedConfig out;
    Loaded l;
    toml::parse_result parsed = toml::parse(content, file_name);
    if (!parsed) {
        const toml::parse_error &e = parsed.error();
        out.errors.push_back(
            {kConfigSyntax, static_cast<uint32_t>(e.source().begin.line), std::string(e.description())});
    } else {
        read_root(parsed.table(), l, out.errors);
    }
    if (!out.errors.empty()) {
        out.config.local_lus.push_back(LocalLu{kDefaultLuAlias, kDefaultLuName, true});
        return out;
    }
    out.config = std::move(l.config);
    out.side_info = std::move(l.side_info);
    if (out.config.local_lus.empty())
        out.config.local_lus.push_back(LocalLu{kDefaultLuAlias, kDefaultLuName, true});
    // Without a default the first LU is the one a program gets.
    if (std::none_of(out.config.local_lus.begin(), out.config.local_lus.end(),
                     [](const LocalLu &lu) { return lu.is_default; }))
        out.config.local_lus.front().is_default = true;
    return out;
}

ParsedConfig read_node_config(const std::string &path) {
    FILE *file = std::fopen(path.c_str(), "rb");
    if (!file && errno == ENOENT) return parse_node_config("", path);
    std::string content;
    int read_error = file ? 0 : errno;
    if (file) {
        char buf[4096];
        size_t n;
        errno = 0;
        while ((n = std::fread(buf, 1, sizeof buf, file)) > 0) content.append(buf, n);
        read_error = std::ferror(file) ? (errno ? errno : EIO) : 0;
        std::fclose(file);
    }
    if (read_error) {
        ParsedConfig out = parse_node_config("", path);
        out.errors.push_back(
            {kConfigUnreadable, 0, std::string("cannot be read: ") + std::strerror(read_error)});
        return out;
    }
    return parse_node_config(content, path);
}

std::string node_config_path() {
    const char *env = std::getenv(kConfigVariable);
    return env && *env ? env : kConfigDefaultPath;
}

} // namespace zv
