// The message type table (registry.def) as lookups: by tag id, by (family,
// number), fixed field ids, and the registration of message families.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

class CNMessageBase;

// Tag id of a type the table gives no tag for: the family in the top byte, a
// stable 24-bit mix of (family, number) below it.
constexpr std::uint32_t nuvMsgDerivedTag(int family, int number) {
    std::uint32_t hash = 2166136261u;
    std::uint32_t const parts[2] = {static_cast<std::uint32_t>(family), static_cast<std::uint32_t>(number)};
    for (std::uint32_t part : parts) {
        for (int shift = 0; shift < 32; shift += 8) {
            hash ^= (part >> shift) & 0xFFu;
            hash *= 16777619u;
        }
    }
    hash ^= hash >> 24;
    return (static_cast<std::uint32_t>(family & 0xFF) << 24) | (hash & 0xFFFFFFu);
}

// The tag id of a table row: the fixed tag when there is one.
constexpr std::uint32_t nuvMsgTag(int family, int number, std::uint32_t fixedTag) {
    return fixedTag != 0 ? fixedTag : nuvMsgDerivedTag(family, number);
}

struct CNMessageTypeInfo {
    char const* name;          // "ns::Class", or "ns.Ident" for a type without a class
    int family;
    int number;
    std::uint32_t tagId;
    bool tagFixed;             // the tag comes from the table, not derived
    bool hasClass;             // a generated class exists for the type
    char const* description;   // what a type without a class is; "" otherwise
    CNMessageBase* (*create)();  // new object of the generated class; null without a class
};

struct CNMessageFieldInfo {
    int family;
    int number;
    short a;
    short b;
    char kind;                 // 'i' 64-bit, 's' text, 'o' sub-message, 'l' list
    std::uint32_t fieldId;
    char const* name;
};

// The rows of one type of the table: its type row and its field rows.
struct CNMessageTypeRows {
    CNMessageTypeInfo const* type = nullptr;
    std::vector<CNMessageFieldInfo const*> fields;   // in table order
    // The most fields a message of the type has held so far, up to
    // kMostFieldsKept: the room a new message of the type makes at its
    // first field, so that filling it grows its field array once.
    static constexpr std::uint8_t kMostFieldsKept = 8;
    mutable std::atomic<std::uint8_t> mostFields{0};
};

class CNMessageRegistry {
public:
    static std::vector<CNMessageTypeInfo> const& types();
    static std::vector<CNMessageFieldInfo> const& fields();
    static std::vector<int> const& families();  // every family of the table

    static CNMessageTypeInfo const* findByTag(std::uint32_t tagId);
    static CNMessageTypeInfo const* findByType(int family, int number);
    static CNMessageFieldInfo const* findField(int family, int number, short a, short b);
    // The rows of (family, number), or null for a type the table does not hold.
    static CNMessageTypeRows const* rowsOf(int family, int number);
    // The field row of (a, b) among a type's rows, or null.
    static CNMessageFieldInfo const* findField(CNMessageTypeRows const* rows, short a, short b);

    // The tag id of (family, number): the table's, or the derived one.
    static std::uint32_t tagFor(int family, int number);
    // A new empty message of (family, number): of its generated class when the
    // table has one, a plain CNMessageBase otherwise. Owned by the caller.
    static CNMessageBase* create(int family, int number);

    // Marks a family as registered; 0, or -1 for a family the table does not hold.
    static int registerFamily(int family);
    static bool isFamilyRegistered(int family);

    // Consistency of the table: unique types and tags, family in each tag's top
    // byte, fields of known types with unique keys. 0, or -1 with the first
    // problem in *problem when given.
    static int validate(std::string* problem = nullptr);
};
