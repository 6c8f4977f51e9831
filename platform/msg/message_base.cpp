// CNMessageBase: field storage, accessors, deep copy and comparison.
#include "nuvdbsnap/platform/msg/message_base.h"

#include <climits>
#include <cstdio>

#include "nuvdbsnap/platform/msg/registry.h"

namespace {

std::string const& emptyText() {
    static std::string const empty;
    return empty;
}

nuvmsg::Field copyField(nuvmsg::Field const& from) {
    nuvmsg::Field to;
    to.kind = from.kind;
    to.tagId = from.tagId;
    to.fieldId = from.fieldId;
    to.intValue = from.intValue;
    to.text = from.text;
    if (from.object) to.object = from.object->clone();
    if (from.list) to.list = from.list->clone();
    to.strings = from.strings;
    return to;
}

char kindLetter(nuvmsg::Field::Kind kind) {
    switch (kind) {
        case nuvmsg::Field::kInt64: return 'i';
        case nuvmsg::Field::kString: return 's';
        case nuvmsg::Field::kObject: return 'o';
        case nuvmsg::Field::kList: return 'l';
        case nuvmsg::Field::kStringList: return 't';  // never a kind the type table fixes
    }
    return '?';
}

bool sameField(nuvmsg::Field const& x, nuvmsg::Field const& y) {
    if (x.kind != y.kind || x.tagId != y.tagId || x.fieldId != y.fieldId) return false;
    switch (x.kind) {
        case nuvmsg::Field::kInt64: return x.intValue == y.intValue;
        case nuvmsg::Field::kString: return x.text == y.text;
        case nuvmsg::Field::kObject:
            if (!x.object || !y.object) return !x.object && !y.object;
            return *x.object == *y.object;
        case nuvmsg::Field::kList: {
            std::size_t const xs = x.list ? x.list->size() : 0;
            std::size_t const ys = y.list ? y.list->size() : 0;
            if (xs != ys) return false;
            for (std::size_t i = 0; i < xs; ++i) {
                if (x.list->at(i) != y.list->at(i)) return false;
            }
            return true;
        }
        case nuvmsg::Field::kStringList: return x.strings == y.strings;
    }
    return false;
}

}  // namespace

CNMessageBase::CNMessageBase(int family, int number)
    : m_family(family), m_number(number), m_tagId(CNMessageRegistry::tagFor(family, number)) {}

CNMessageBase::CNMessageBase(CNMessageBase const& other)
    : m_family(other.m_family),
      m_number(other.m_number),
      m_tagId(other.m_tagId),
      m_xmlWriteFlag(other.m_xmlWriteFlag) {
    for (auto const& entry : other.m_fields) m_fields.emplace(entry.first, copyField(entry.second));
}

CNMessageBase::CNMessageBase(CNMessageBase&& other) noexcept
    : m_family(other.m_family),
      m_number(other.m_number),
      m_tagId(other.m_tagId),
      m_xmlWriteFlag(other.m_xmlWriteFlag),
      m_fields(std::move(other.m_fields)) {
    other.m_fields.clear();
}

CNMessageBase& CNMessageBase::operator=(CNMessageBase const& other) {
    if (this != &other) {
        CNMessageBase copy(other);  // built whole first: other may live inside this message
        *this = std::move(copy);
    }
    return *this;
}

CNMessageBase& CNMessageBase::operator=(CNMessageBase&& other) noexcept {
    if (this != &other) {
        m_family = other.m_family;
        m_number = other.m_number;
        m_tagId = other.m_tagId;
        m_xmlWriteFlag = other.m_xmlWriteFlag;
        // Keep our old fields alive until the move is done: other may be one of them.
        std::map<FieldKey, nuvmsg::Field> old;
        old.swap(m_fields);
        m_fields = std::move(other.m_fields);
        other.m_fields.clear();
    }
    return *this;
}

CNMessageBase::~CNMessageBase() = default;

std::string CNMessageBase::getTagName() const {
    if (CNMessageTypeInfo const* info = CNMessageRegistry::findByType(m_family, m_number)) return info->name;
    char name[64];
    std::snprintf(name, sizeof name, "CNMessage(%d,%d)", m_family, m_number);
    return name;
}

std::unique_ptr<CNMessageBase> CNMessageBase::clone() const {
    std::unique_ptr<CNMessageBase> copy(CNMessageRegistry::create(m_family, m_number));
    *copy = *this;
    return copy;
}

bool CNMessageBase::operator==(CNMessageBase const& other) const {
    if (m_family != other.m_family || m_number != other.m_number || m_xmlWriteFlag != other.m_xmlWriteFlag)
        return false;
    if (m_fields.size() != other.m_fields.size()) return false;
    auto it = other.m_fields.begin();
    for (auto const& entry : m_fields) {
        if (entry.first != it->first || !sameField(entry.second, it->second)) return false;
        ++it;
    }
    return true;
}

// ---- lookups --------------------------------------------------------------------

nuvmsg::Field const* CNMessageBase::find(short a) const {
    auto it = m_fields.lower_bound(FieldKey(a, SHRT_MIN));
    if (it == m_fields.end() || it->first.first != a) return nullptr;
    return &it->second;
}

nuvmsg::Field const* CNMessageBase::find(short a, short b) const {
    auto it = m_fields.find(FieldKey(a, b));
    if (it != m_fields.end()) return &it->second;
    return find(a);
}

int CNMessageBase::checkWrite(short a, short b, unsigned long tagId, unsigned fieldId, nuvmsg::Field::Kind kind,
                              std::uint32_t& storedFieldId) const {
    if (tagId != 0 && tagId != m_tagId) return -1;
    storedFieldId = fieldId;
    if (CNMessageFieldInfo const* info = CNMessageRegistry::findField(m_family, m_number, a, b)) {
        if (fieldId != 0 && fieldId != info->fieldId) return -1;
        if (info->kind != kindLetter(kind)) return -1;
        storedFieldId = info->fieldId;
    }
    return 0;
}

// ---- 64-bit integers -----------------------------------------------------------

int CNMessageBase::setint64(short a, short b, std::int64_t value, unsigned long tagId, unsigned fieldId) {
    std::uint32_t stored = 0;
    if (checkWrite(a, b, tagId, fieldId, nuvmsg::Field::kInt64, stored) != 0) return -1;
    nuvmsg::Field field;
    field.kind = nuvmsg::Field::kInt64;
    field.tagId = tagId;
    field.fieldId = stored;
    field.intValue = value;
    m_fields[FieldKey(a, b)] = std::move(field);
    return 0;
}

std::int64_t CNMessageBase::getint64(short a) const {
    nuvmsg::Field const* field = find(a);
    return (field != nullptr && field->kind == nuvmsg::Field::kInt64) ? field->intValue : 0;
}

std::int64_t CNMessageBase::getint64(short a, short b) const {
    nuvmsg::Field const* field = find(a, b);
    return (field != nullptr && field->kind == nuvmsg::Field::kInt64) ? field->intValue : 0;
}

std::int64_t CNMessageBase::getint64(short a, unsigned long, unsigned) const { return getint64(a); }

std::int64_t CNMessageBase::getint64(short a, short b, unsigned long, unsigned) const { return getint64(a, b); }

// ---- texts ------------------------------------------------------------------------

int CNMessageBase::setstring(short a, short b, std::string const& value, unsigned long tagId, unsigned fieldId) {
    std::uint32_t stored = 0;
    if (checkWrite(a, b, tagId, fieldId, nuvmsg::Field::kString, stored) != 0) return -1;
    nuvmsg::Field field;
    field.kind = nuvmsg::Field::kString;
    field.tagId = tagId;
    field.fieldId = stored;
    field.text = value;
    m_fields[FieldKey(a, b)] = std::move(field);
    return 0;
}

int CNMessageBase::setstring(short a, short b, char const* value, unsigned long tagId, unsigned fieldId) {
    return setstring(a, b, std::string(value != nullptr ? value : ""), tagId, fieldId);
}

std::string CNMessageBase::getstring(short a) const { return getstringByRef(a); }
std::string CNMessageBase::getstring(short a, short b) const { return getstringByRef(a, b); }
std::string CNMessageBase::getstring(short a, unsigned long, unsigned) const { return getstringByRef(a); }
std::string CNMessageBase::getstring(short a, short b, unsigned long, unsigned) const {
    return getstringByRef(a, b);
}

std::string const& CNMessageBase::getstringByRef(short a) const {
    nuvmsg::Field const* field = find(a);
    return (field != nullptr && field->kind == nuvmsg::Field::kString) ? field->text : emptyText();
}

std::string const& CNMessageBase::getstringByRef(short a, short b) const {
    nuvmsg::Field const* field = find(a, b);
    return (field != nullptr && field->kind == nuvmsg::Field::kString) ? field->text : emptyText();
}

std::string const& CNMessageBase::getstringByRef(short a, unsigned long, unsigned) const {
    return getstringByRef(a);
}

std::string const& CNMessageBase::getstringByRef(short a, short b, unsigned long, unsigned) const {
    return getstringByRef(a, b);
}

// ---- presence -----------------------------------------------------------------------

bool CNMessageBase::isSet(short a) const { return find(a) != nullptr; }
bool CNMessageBase::isSet(short a, short b) const { return find(a, b) != nullptr; }
bool CNMessageBase::isSet(short a, short b, unsigned long, unsigned) const { return isSet(a, b); }

// ---- sub-messages ---------------------------------------------------------------------

CNMessageBase* CNMessageBase::storeObject(short a, short b, unsigned long tagId, std::uint32_t fieldId,
                                          std::unique_ptr<CNMessageBase> object) {
    nuvmsg::Field field;
    field.kind = nuvmsg::Field::kObject;
    field.tagId = tagId;
    field.fieldId = fieldId;
    field.object = std::move(object);
    CNMessageBase* stored = field.object.get();
    m_fields[FieldKey(a, b)] = std::move(field);
    return stored;
}

CNMessageBase* CNMessageBase::getObjectAccessor(short a, short b, unsigned long tagId, unsigned fieldId,
                                                bool create, int family, int number) {
    auto it = m_fields.find(FieldKey(a, b));
    if (it != m_fields.end()) {
        return it->second.kind == nuvmsg::Field::kObject ? it->second.object.get() : nullptr;
    }
    if (!create || family < 0 || number < 0) return nullptr;
    std::uint32_t stored = 0;
    if (checkWrite(a, b, tagId, fieldId, nuvmsg::Field::kObject, stored) != 0) return nullptr;
    return storeObject(a, b, tagId, stored,
                       std::unique_ptr<CNMessageBase>(CNMessageRegistry::create(family, number)));
}

CNMessageBase* CNMessageBase::getObjectAccessor(short a, short b, bool create, int family, int number) {
    return getObjectAccessor(a, b, 0, 0, create, family, number);
}

CNMessageBase const* CNMessageBase::getObjectAccessor(short a, short b) const {
    auto it = m_fields.find(FieldKey(a, b));
    if (it == m_fields.end() || it->second.kind != nuvmsg::Field::kObject) return nullptr;
    return it->second.object.get();
}

int CNMessageBase::setObjectAccessor(short a, short b, CNMessageBase const* value, unsigned long tagId,
                                     unsigned fieldId) {
    std::uint32_t stored = 0;
    if (checkWrite(a, b, tagId, fieldId, nuvmsg::Field::kObject, stored) != 0) return -1;
    if (value == nullptr) {
        m_fields.erase(FieldKey(a, b));
        return 0;
    }
    storeObject(a, b, tagId, stored, value->clone());  // the copy is made before the old field goes
    return 0;
}

int CNMessageBase::setObjectAccessor(short a, short b, CNMessageBase const& value, unsigned long tagId,
                                     unsigned fieldId) {
    return setObjectAccessor(a, b, &value, tagId, fieldId);
}

// ---- lists ------------------------------------------------------------------------------

nuvmsg::Field* CNMessageBase::listSlot(short a, short b, unsigned long tagId, unsigned fieldId, bool create) {
    auto it = m_fields.find(FieldKey(a, b));
    if (it != m_fields.end()) return it->second.kind == nuvmsg::Field::kList ? &it->second : nullptr;
    if (!create) return nullptr;
    std::uint32_t stored = 0;
    if (checkWrite(a, b, tagId, fieldId, nuvmsg::Field::kList, stored) != 0) return nullptr;
    nuvmsg::Field field;
    field.kind = nuvmsg::Field::kList;
    field.tagId = tagId;
    field.fieldId = stored;
    return &(m_fields[FieldKey(a, b)] = std::move(field));
}

std::vector<std::string>* CNMessageBase::stringListSlot(short a, short b, unsigned long tagId, unsigned fieldId,
                                                        bool create) {
    auto it = m_fields.find(FieldKey(a, b));
    if (it != m_fields.end()) {
        return it->second.kind == nuvmsg::Field::kStringList ? &it->second.strings : nullptr;
    }
    if (!create) return nullptr;
    std::uint32_t stored = 0;
    if (checkWrite(a, b, tagId, fieldId, nuvmsg::Field::kStringList, stored) != 0) return nullptr;
    nuvmsg::Field field;
    field.kind = nuvmsg::Field::kStringList;
    field.tagId = tagId;
    field.fieldId = stored;
    return &(m_fields[FieldKey(a, b)] = std::move(field)).strings;
}
