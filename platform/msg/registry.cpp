// The type table expanded into lookups, factories and family registration.
#include "nuvdbsnap/platform/msg/registry.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdio>
#include <set>
#include <unordered_map>
#include <utility>
#include <vector>

#include "nuvdbsnap/platform/msg/messages.h"

namespace {

std::vector<CNMessageTypeInfo> buildTypes() {
    std::vector<CNMessageTypeInfo> rows;
#define NUV_MSG_TYPE(ns, Name, family, number, tag)                                              \
    rows.push_back(CNMessageTypeInfo{#ns "::" #Name, family, number, nuvMsgTag(family, number, tag), \
                                     (tag) != 0, true, "",                                       \
                                     []() -> CNMessageBase* { return new ns::Name(); }});
#define NUV_MSG_BLOCK(ns, Ident, family, number, tag, what)                                      \
    rows.push_back(CNMessageTypeInfo{#ns "." #Ident, family, number, nuvMsgTag(family, number, tag), \
                                     (tag) != 0, false, what, nullptr});
#include "nuvdbsnap/platform/msg/registry.def"
    return rows;
}

std::vector<CNMessageFieldInfo> buildFields() {
    std::vector<CNMessageFieldInfo> rows;
#define NUV_MSG_FIELD(family, number, a, b, kind, fieldId, what) \
    rows.push_back(CNMessageFieldInfo{family, number, a, b, (#kind)[0], fieldId, what});
#include "nuvdbsnap/platform/msg/registry.def"
    return rows;
}

std::vector<int> buildFamilies() {
    std::vector<int> rows;
#define NUV_MSG_FAMILY(ns, family) rows.push_back(family);
#include "nuvdbsnap/platform/msg/registry.def"
    return rows;
}

std::uint64_t typeKey(int family, int number) {
    return (static_cast<std::uint64_t>(static_cast<std::uint32_t>(family)) << 32) |
           static_cast<std::uint32_t>(number);
}

// Types numbered below this are also found in a table of their family,
// without hashing: a message is made per item of an answer.
constexpr int kFlatNumbers = 4096;

struct Index {
    std::unordered_map<std::uint32_t, std::size_t> byTag;
    std::unordered_map<std::uint64_t, CNMessageTypeRows> byType;
    std::array<std::vector<CNMessageTypeRows const*>, 256> byFamily;   // [family][number], numbers below kFlatNumbers
};

Index const& index() {
    static Index const built = [] {
        Index idx;
        auto const& types = CNMessageRegistry::types();
        for (std::size_t i = 0; i < types.size(); ++i) {
            idx.byTag.emplace(types[i].tagId, i);  // first row wins; validate() reports duplicates
            auto made = idx.byType.try_emplace(typeKey(types[i].family, types[i].number));
            if (made.second) made.first->second.type = &types[i];
        }
        for (CNMessageFieldInfo const& field : CNMessageRegistry::fields()) {
            auto it = idx.byType.find(typeKey(field.family, field.number));
            if (it != idx.byType.end()) it->second.fields.push_back(&field);   // else validate() reports it
        }
        for (auto const& [key, rows] : idx.byType) {
            auto const family = static_cast<std::uint32_t>(key >> 32);
            auto const number = static_cast<std::uint32_t>(key);
            if (family >= idx.byFamily.size() || number >= static_cast<std::uint32_t>(kFlatNumbers)) continue;
            auto& numbers = idx.byFamily[family];
            if (numbers.size() <= number) numbers.resize(number + 1, nullptr);
            numbers[number] = &rows;
        }
        return idx;
    }();
    return built;
}

std::array<std::atomic<bool>, 256>& registeredFamilies() {
    static std::array<std::atomic<bool>, 256> flags{};
    return flags;
}

}  // namespace

std::vector<CNMessageTypeInfo> const& CNMessageRegistry::types() {
    static std::vector<CNMessageTypeInfo> const rows = buildTypes();
    return rows;
}

std::vector<CNMessageFieldInfo> const& CNMessageRegistry::fields() {
    static std::vector<CNMessageFieldInfo> const rows = buildFields();
    return rows;
}

std::vector<int> const& CNMessageRegistry::families() {
    static std::vector<int> const rows = buildFamilies();
    return rows;
}

CNMessageTypeInfo const* CNMessageRegistry::findByTag(std::uint32_t tagId) {
    auto const& idx = index();
    auto it = idx.byTag.find(tagId);
    return it == idx.byTag.end() ? nullptr : &types()[it->second];
}

CNMessageTypeRows const* CNMessageRegistry::rowsOf(int family, int number) {
    auto const& idx = index();
    if (family >= 0 && static_cast<std::size_t>(family) < idx.byFamily.size() && number >= 0 && number < kFlatNumbers) {
        auto const& numbers = idx.byFamily[static_cast<std::size_t>(family)];
        return static_cast<std::size_t>(number) < numbers.size() ? numbers[static_cast<std::size_t>(number)] : nullptr;
    }
    auto it = idx.byType.find(typeKey(family, number));
    return it == idx.byType.end() ? nullptr : &it->second;
}

CNMessageTypeInfo const* CNMessageRegistry::findByType(int family, int number) {
    CNMessageTypeRows const* rows = rowsOf(family, number);
    return rows != nullptr ? rows->type : nullptr;
}

CNMessageFieldInfo const* CNMessageRegistry::findField(CNMessageTypeRows const* rows, short a, short b) {
    if (rows == nullptr) return nullptr;
    for (CNMessageFieldInfo const* field : rows->fields)
        if (field->a == a && field->b == b) return field;
    return nullptr;
}

CNMessageFieldInfo const* CNMessageRegistry::findField(int family, int number, short a, short b) {
    return findField(rowsOf(family, number), a, b);
}

std::uint32_t CNMessageRegistry::tagFor(int family, int number) {
    CNMessageTypeInfo const* info = findByType(family, number);
    return info != nullptr ? info->tagId : nuvMsgDerivedTag(family, number);
}

CNMessageBase* CNMessageRegistry::create(int family, int number) {
    CNMessageTypeInfo const* info = findByType(family, number);
    if (info != nullptr && info->create != nullptr) return info->create();
    return new CNMessageBase(family, number);
}

int CNMessageRegistry::registerFamily(int family) {
    auto const& known = families();
    if (std::find(known.begin(), known.end(), family) == known.end()) return -1;
    registeredFamilies()[static_cast<std::size_t>(family) & 0xFF].store(true);
    return 0;
}

bool CNMessageRegistry::isFamilyRegistered(int family) {
    if (family < 0 || family > 255) return false;
    return registeredFamilies()[static_cast<std::size_t>(family)].load();
}

int CNMessageRegistry::validate(std::string* problem) {
    auto fail = [problem](std::string const& text) {
        if (problem != nullptr) *problem = text;
        return -1;
    };
    char line[256];
    std::set<int> familySet;
    for (int family : families()) {
        if (family < 0 || family > 255) {
            std::snprintf(line, sizeof line, "family %d does not fit the tag's top byte", family);
            return fail(line);
        }
        if (!familySet.insert(family).second) {
            std::snprintf(line, sizeof line, "family %d listed twice", family);
            return fail(line);
        }
    }
    std::set<std::uint32_t> tags;
    std::set<std::uint64_t> typeKeys;
    for (auto const& type : types()) {
        if (familySet.count(type.family) == 0) {
            std::snprintf(line, sizeof line, "%s: family %d is not in the table", type.name, type.family);
            return fail(line);
        }
        if ((type.tagId >> 24) != static_cast<std::uint32_t>(type.family)) {
            std::snprintf(line, sizeof line, "%s: tag 0x%08X does not carry family %d", type.name, type.tagId,
                          type.family);
            return fail(line);
        }
        if (!tags.insert(type.tagId).second) {
            std::snprintf(line, sizeof line, "%s: tag 0x%08X used twice", type.name, type.tagId);
            return fail(line);
        }
        if (!typeKeys.insert(typeKey(type.family, type.number)).second) {
            std::snprintf(line, sizeof line, "%s: type (%d, %d) used twice", type.name, type.family, type.number);
            return fail(line);
        }
    }
    std::set<std::pair<std::uint64_t, std::pair<short, short>>> fieldKeys;
    for (auto const& field : fields()) {
        if (findByType(field.family, field.number) == nullptr) {
            std::snprintf(line, sizeof line, "field %s of unknown type (%d, %d)", field.name, field.family,
                          field.number);
            return fail(line);
        }
        if (std::string("isol").find(field.kind) == std::string::npos || field.fieldId == 0) {
            std::snprintf(line, sizeof line, "field %s: bad kind or id", field.name);
            return fail(line);
        }
        if (!fieldKeys.insert({typeKey(field.family, field.number), {field.a, field.b}}).second) {
            std::snprintf(line, sizeof line, "field %s: (%d, %d) listed twice", field.name, field.a, field.b);
            return fail(line);
        }
    }
    return 0;
}

// ---- family registration per namespace ----------------------------------------

#define NUV_MSG_FAMILY(ns, family)                                     \
    namespace ns {                                                     \
    int RegisterSubsystem() { return CNMessageRegistry::registerFamily(family); } \
    }
#include "nuvdbsnap/platform/msg/registry.def"

namespace Common {
int RegisterSubsystem() {
    int const entities = CNMessageRegistry::registerFamily(JzEntities::GenericEntity::kFamily);
    int const sessions = CNMessageRegistry::registerFamily(CNSession::jzsExecuteRemoteCommandType::kFamily);
    return (entities == 0 && sessions == 0) ? 0 : -1;
}
}  // namespace Common

int CNMessageBase::Initialize() {
    if (CNMessageRegistry::validate() != 0) return -1;
    for (int family : CNMessageRegistry::families()) {
        if (CNMessageRegistry::registerFamily(family) != 0) return -1;
    }
    return 0;
}
