// The generated message classes, one per NUV_MSG_TYPE row of registry.def:
// each ns::Name is a CNMessageBase of its (family, number) with no content of
// its own; copy and move are the base's (deep). kFamily, kNumber and kTagId
// name its type. Each namespace of the table has a RegisterSubsystem().
#pragma once

#include <cstdint>

#include "nuvdbsnap/platform/msg/message_base.h"
#include "nuvdbsnap/platform/msg/registry.h"

#define NUV_MSG_TYPE(ns, Name, family, number, tag)                                    \
    namespace ns {                                                                     \
    class Name : public CNMessageBase {                                                \
    public:                                                                            \
        static constexpr int kFamily = family;                                         \
        static constexpr int kNumber = number;                                         \
        static constexpr std::uint32_t kTagId = nuvMsgTag(family, number, tag);        \
        Name() : CNMessageBase(family, number) {}                                      \
        Name(Name const&) = default;                                                   \
        Name(Name&&) noexcept = default;                                               \
        Name& operator=(Name const&) = default;                                        \
        Name& operator=(Name&&) noexcept = default;                                    \
    };                                                                                 \
    }
// Registers the namespace's family with the message library; 0 on success.
#define NUV_MSG_FAMILY(ns, family) \
    namespace ns {                 \
    int RegisterSubsystem();       \
    }
#include "nuvdbsnap/platform/msg/registry.def"

// The families shared by every service: entities and sessions.
namespace Common {
int RegisterSubsystem();
}
