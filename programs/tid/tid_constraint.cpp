// Constraint sets: for each constraint type ("domain", "realm", ...) lists of match strings,
// where a string starting with "*" matches every name ending in the rest of it.
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "tid_int.h"

struct hb_constraint {
    char *type;
    char **matches;
    size_t n;
};

struct hb_constraint_set {
    hb_constraint *cons;
    size_t n;
};

namespace quelna::tid {
namespace {

// Bounds on what a peer may send; a message is at most HB_TID_MAX_MSG octets anyway.
constexpr size_t kMaxConstraints = 64;
constexpr size_t kMaxMatches = 256;

// True when `wide` matches every name `narrow` matches: equal, or `wide` is "*suffix" and
// `narrow` (a name or a narrower wildcard) ends in that suffix.
bool covers(std::string_view wide, std::string_view narrow)
{
    if (wide == narrow)
        return true;
    if (wide.empty() || wide.front() != '*')
        return false;
    const std::string_view suffix = wide.substr(1);
    return narrow.size() > suffix.size() && narrow.ends_with(suffix);
}

// The names matched by both lists, each written in its narrower form, without repeats.
std::vector<std::string> intersect(const std::vector<std::string> &a,
                                   const std::vector<std::string> &b)
{
    std::vector<std::string> out;
    auto add = [&out](const std::string &s) {
        for (const auto &have : out)
            if (have == s)
                return;
        out.push_back(s);
    };
    for (const auto &x : a) {
        for (const auto &y : b) {
            if (covers(x, y))
                add(y);
            else if (covers(y, x))
                add(x);
        }
    }
    return out;
}

std::vector<std::string> matches_of(const hb_constraint &con)
{
    return {con.matches, con.matches + con.n};
}

}  // namespace

Json constraints_to_json(const HB_CONSTRAINT_SET *set)
{
    Json array(json_array());
    if (!array)
        return nullptr;
    for (size_t i = 0; i < set->n; ++i) {
        const hb_constraint &con = set->cons[i];
        json_t *matches = json_array();
        json_t *entry = json_pack("{s:s, s:o}", "type", con.type, "matches", matches);
        if (entry == nullptr || json_array_append_new(array.get(), entry) != 0)
            return nullptr;
        for (size_t j = 0; j < con.n; ++j)
            if (json_array_append_new(matches, json_string(con.matches[j])) != 0)
                return nullptr;
    }
    return array;
}

HB_CONSTRAINT_SET *constraints_from_json(TALLOC_CTX *mem, json_t *array, std::string &err)
{
    if (!json_is_array(array) || json_array_size(array) > kMaxConstraints) {
        err = "constraints must be an array of at most 64 entries";
        return nullptr;
    }
    HB_CONSTRAINT_SET *set = hb_constraint_set_new(mem);
    if (set == nullptr) {
        err = "out of memory";
        return nullptr;
    }
    size_t i = 0;
    json_t *entry = nullptr;
    json_array_foreach(array, i, entry) {
        const char *type = json_string_value(json_object_get(entry, "type"));
        json_t *matches = json_object_get(entry, "matches");
        if (type == nullptr || !json_is_array(matches) || json_array_size(matches) > kMaxMatches) {
            err = "a constraint needs a type and an array of at most 256 matches";
            talloc_free(set);
            return nullptr;
        }
        std::vector<const char *> strings;
        size_t j = 0;
        json_t *match = nullptr;
        json_array_foreach(matches, j, match) {
            if (!json_is_string(match)) {
                err = "constraint matches must be strings";
                talloc_free(set);
                return nullptr;
            }
            strings.push_back(json_string_value(match));
        }
        if (hb_constraint_set_add(set, type, strings.data(), strings.size()) != 0) {
            err = "out of memory";
            talloc_free(set);
            return nullptr;
        }
    }
    return set;
}

}  // namespace quelna::tid

using namespace quelna::tid;

extern "C" {

HB_CONSTRAINT_SET *hb_constraint_set_new(TALLOC_CTX *mem)
{
    return talloc_zero(mem, HB_CONSTRAINT_SET);
}

int hb_constraint_set_add(HB_CONSTRAINT_SET *set, const char *type, const char *const *matches,
                          size_t n)
{
    if (set == nullptr || type == nullptr || (matches == nullptr && n > 0))
        return -1;
    auto *grown = talloc_realloc(set, set->cons, hb_constraint, set->n + 1);
    if (grown == nullptr)
        return -1;
    set->cons = grown;
    hb_constraint &con = set->cons[set->n];
    con = {talloc_strdup(set->cons, type), talloc_array(set->cons, char *, n), n};
    if (con.type == nullptr || (n > 0 && con.matches == nullptr))
        return -1;
    for (size_t i = 0; i < n; ++i) {
        con.matches[i] = talloc_strdup(con.matches, matches[i]);
        if (con.matches[i] == nullptr)
            return -1;
    }
    ++set->n;
    return 0;
}

HB_CONSTRAINT_SET *hb_constraint_set_intersect(TID_REQ *req, HB_CONSTRAINT_SET *set)
{
    if (set == nullptr)
        return nullptr;
    HB_CONSTRAINT_SET *out = hb_constraint_set_new(req);
    if (out == nullptr)
        return nullptr;
    // Types in the order they first appear; each folded over all its constraints.
    std::vector<std::string> types;
    for (size_t i = 0; i < set->n; ++i) {
        const std::string type = set->cons[i].type;
        bool seen = false;
        for (const auto &t : types)
            seen = seen || t == type;
        if (!seen)
            types.push_back(type);
    }
    for (const auto &type : types) {
        std::vector<std::string> result;
        bool first = true;
        for (size_t i = 0; i < set->n; ++i) {
            if (type != set->cons[i].type)
                continue;
            result = first ? matches_of(set->cons[i]) : intersect(result, matches_of(set->cons[i]));
            first = false;
        }
        std::vector<const char *> strings;
        for (const auto &s : result)
            strings.push_back(s.c_str());
        if (hb_constraint_set_add(out, type.c_str(), strings.data(), strings.size()) != 0) {
            talloc_free(out);
            return nullptr;
        }
    }
    return out;
}

int hb_constraint_set_get_match_strings(TID_REQ *req, HB_CONSTRAINT_SET *set, const char *type,
                                        HB_CONSTRAINT_MATCHES *out, size_t *count)
{
    if (set == nullptr || type == nullptr || out == nullptr || count == nullptr)
        return -1;
    const hb_constraint *found = nullptr;
    for (size_t i = 0; i < set->n; ++i) {
        if (std::strcmp(set->cons[i].type, type) != 0)
            continue;
        if (found != nullptr)
            return -1;  // not intersected
        found = &set->cons[i];
    }
    const size_t n = found == nullptr ? 0 : found->n;
    // One spare slot, so that an empty array is still a real allocation.
    auto *array = talloc_array(req, const char *, n + 1);
    if (array == nullptr)
        return -1;
    for (size_t i = 0; i < n; ++i)
        array[i] = found->matches[i];
    array[n] = nullptr;
    *out = array;
    *count = n;
    return 0;
}

}  // extern "C"
