// SPDX-License-Identifier: Apache-2.0
// The [[side_info]] tables of the node configuration (format in
// side_info.h): every key of a table checked, every mistake reported.
// Pure: the library and the daemon both read the file with it.
#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "zorvel/side_info.h"

namespace zv {
namespace {

// ---- Keys and their checks ---------------------------------------------

enum class Key {
    kSymDestName,
    kPartnerLuName,
    kTpName,
    kTpNameType,
    kModeName,
    kSecurityType,
    kUserId,
    kPassword,
    kLocalLuAlias,
};

struct KeyRule {
    std::string_view name;
    Key key;
    size_t longest; // text values; the two enumerations are checked by name
};

constexpr KeyRule kKeys[] = {
    {"sym_dest_name", Key::kSymDestName, 8},
    {"partner_lu_name", Key::kPartnerLuName, 17},
    {"tp_name", Key::kTpName, 64},
    {"tp_name_type", Key::kTpNameType, 0},
    {"mode_name", Key::kModeName, 8},
    {"security_type", Key::kSecurityType, 0},
    {"user_id", Key::kUserId, 10},
    {"password", Key::kPassword, 10},
    {"local_lu_alias", Key::kLocalLuAlias, 8},
};

const KeyRule *find_key(std::string_view name) {
    for (const KeyRule &k : kKeys) {
        if (k.name == name) return &k;
    }
    return nullptr;
}

struct SecurityName {
    std::string_view name;
    uint32_t value;
};
constexpr SecurityName kSecurity[] = {{"none", 0}, {"same", 1}, {"program", 2}, {"program_strong", 5}};

// A partner LU name: an alias, or network ID and LU name split at the last
// period. The library takes the last period as the split too, so a period
// inside the network ID is passed on as given.
std::string check_partner_lu_name(std::string_view s) {
    const size_t dot = s.rfind('.');
    if (dot == std::string_view::npos) {
        if (s.size() > 8) return "partner_lu_name: an alias has at most 8 characters";
        if (!all_of(s, is_visible))
            return "partner_lu_name: an alias has a blank or a character that is not printable";
        return {};
    }
    const std::string_view net = s.substr(0, dot);
    const std::string_view lu = s.substr(dot + 1);
    if (lu.empty() || lu.size() > 8 || !all_of(lu, is_type_a))
        return std::string("partner_lu_name: the LU name after the last period must be 1 to 8 of ") +
               kTypeAChars;
    if (net.empty() || net.size() > 8)
        return "partner_lu_name: the network ID before the last period must be 1 to 8 characters";
    size_t start = 0;
    while (start <= net.size()) {
        const size_t end = std::min(net.find('.', start), net.size());
        const std::string_view part = net.substr(start, end - start);
        if (part.empty() || !all_of(part, is_type_a))
            return std::string("partner_lu_name: the network ID must be of ") + kTypeAChars;
        start = end + 1;
    }
    return {};
}

// The reason a value is refused, or empty when it is fine.
std::string check_value(const KeyRule &k, std::string_view s) {
    const std::string key(k.name);
    if (k.key == Key::kTpNameType) {
        if (s != "application" && s != "sna_service")
            return "tp_name_type must be application or sna_service";
        return {};
    }
    if (k.key == Key::kSecurityType) {
        for (const SecurityName &n : kSecurity) {
            if (n.name == s) return {};
        }
        return "security_type must be one of none, same, program, program_strong";
    }
    if (s.empty()) return key + " is empty";
    if (s.size() > k.longest) return key + " is longer than " + std::to_string(k.longest) + " characters";
    switch (k.key) {
    case Key::kSymDestName:
    case Key::kModeName:
        if (!all_of(s, is_type_a)) return key + " has a character outside " + kTypeAChars;
        break;
    case Key::kPartnerLuName: return check_partner_lu_name(s);
    case Key::kTpName:
        if (!all_of(s, is_printable) || s.front() == ' ')
            return "tp_name has a character that is not printable, or starts with a blank";
        break;
    default:
        if (!all_of(s, is_visible)) return key + " has a blank or a character that is not printable";
        break;
    }
    return {};
}

// ---- Building the answer ------------------------------------------------

template <size_t N>
void put_text(char (&field)[N], std::string_view s) {
    std::memset(field, ' ', N);
    std::memcpy(field, s.data(), std::min(s.size(), N));
}

bool read_entry(const ConfigTable &table, SideInfoDefinition &d, std::vector<ConfigFailure> &errors) {
    std::memset(&d.answer, 0, sizeof d.answer);
    NOF_SIDE_INFO_ANSWER &a = d.answer;
    put_text(a.partner_lu_name, "");
    put_text(a.tp_name, "");
    put_text(a.mode_name, "");
    put_text(a.user_id, "");
    put_text(a.password, "");
    a.tp_name_type = 0;
    a.security_type = 1;
    bool have_name = false, service = false, have_tp = false, ok = true;
    std::string tp_name;
    uint32_t tp_line = table.line;
    auto refuse = [&](uint32_t line, std::string reason) {
        errors.push_back({kConfigContent, line, std::move(reason)});
        ok = false;
    };

    for (const ConfigItem &item : table.items) {
        const std::string &name = item.key;
        const uint32_t line = item.line;
        const KeyRule *k = find_key(name);
        // A key present but refused still counts as present, so its
        // mistake is reported once and not again as "missing".
        if (k && k->key == Key::kSymDestName) have_name = true;
        if (!k) {
            refuse(line, "unknown key '" + name + "'");
            continue;
        }
        if (item.value.type != ConfigValue::Type::kString) {
            refuse(line, name + " must be a string");
            continue;
        }
        const std::string &s = item.value.text;
        std::string reason = check_value(*k, s);
        if (!reason.empty()) {
            refuse(line, std::move(reason));
            continue;
        }
        switch (k->key) {
        case Key::kSymDestName:
            d.name = s;
            d.line = line;
            put_text(a.sym_dest_name, s);
            break;
        case Key::kPartnerLuName: put_text(a.partner_lu_name, s); break;
        case Key::kTpName:
            have_tp = true;
            tp_name = s;
            tp_line = line;
            put_text(a.tp_name, s);
            break;
        case Key::kTpNameType:
            service = s == "sna_service";
            a.tp_name_type = service ? 1 : 0;
            break;
        case Key::kModeName: put_text(a.mode_name, s); break;
        case Key::kSecurityType:
            for (const SecurityName &n : kSecurity) {
                if (n.name == s) a.security_type = n.value;
            }
            break;
        case Key::kUserId: put_text(a.user_id, s); break;
        case Key::kPassword: put_text(a.password, s); break;
        case Key::kLocalLuAlias: put_text(a.lu_alias, s); break;
        }
    }
    if (!have_name) refuse(table.line, "sym_dest_name is missing");
    if (service) {
        // The answer carries a service TP's name as hexadecimal digits,
        // read back two by two.
        const bool even_hex =
            have_tp && tp_name.size() % 2 == 0 && tp_name.size() <= 8 && all_of(tp_name, is_hex);
        if (!even_hex)
            refuse(tp_line, "tp_name of an sna_service TP must be 2, 4, 6 or 8 hexadecimal digits");
    }
    return ok;
}

} // namespace

bool add_side_info(const ConfigTable &table, SideInfoSet &set, std::vector<ConfigFailure> &errors) {
    SideInfoDefinition d{};
    if (!read_entry(table, d, errors)) return false;
    for (const SideInfoDefinition &earlier : set) {
        if (earlier.name == d.name) {
            errors.push_back({kConfigContent, d.line,
                              "sym_dest_name '" + d.name + "' is defined twice (first on line " +
                                  std::to_string(earlier.line) + ")"});
            return false;
        }
    }
    set.push_back(std::move(d));
    return true;
}

} // namespace zv
