// CNMessageBase: field storage, accessors, deep copy and comparison.
#include "nuvdbsnap/platform/msg/message_base.h"

#include <algorithm>
#include <climits>
#include <cstdio>

#include "nuvdbsnap/platform/msg/registry.h"

namespace {

std::string const& emptyText() {
    static std::string const empty;
    return empty;
}

nuvmsg::Field copyField(nuvmsg::Field const& from) {
    nuvmsg::Field to(from.a, from.b, from.tagId, from.fieldId);
    switch (from.kind) {
        case nuvmsg::Field::kInt64: to.setInt(from.intValue()); break;
        case nuvmsg::Field::kString: to.setText(from.text()); break;
        case nuvmsg::Field::kObject:
            to.setObject(from.object() != nullptr ? from.object()->clone() : nullptr);
            break;
        case nuvmsg::Field::kList:
            to.setList(from.list() != nullptr ? from.list()->clone() : nullptr);
            break;
        case nuvmsg::Field::kStringList: to.setStrings(*from.strings()); break;
    }
    return to;
}

bool keyLess(nuvmsg::Field const& field, std::pair<short, short> key) {
    return field.a < key.first || (field.a == key.first && field.b < key.second);
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
    if (x.a != y.a || x.b != y.b || x.kind != y.kind || x.tagId != y.tagId || x.fieldId != y.fieldId) return false;
    switch (x.kind) {
        case nuvmsg::Field::kInt64: return x.intValue() == y.intValue();
        case nuvmsg::Field::kString: return x.text() == y.text();
        case nuvmsg::Field::kObject:
            if (!x.object() || !y.object()) return !x.object() && !y.object();
            return *x.object() == *y.object();
        case nuvmsg::Field::kList: {
            std::size_t const xs = x.list() ? x.list()->size() : 0;
            std::size_t const ys = y.list() ? y.list()->size() : 0;
            if (xs != ys) return false;
            for (std::size_t i = 0; i < xs; ++i) {
                if (x.list()->at(i) != y.list()->at(i)) return false;
            }
            return true;
        }
        case nuvmsg::Field::kStringList: return *x.strings() == *y.strings();
    }
    return false;
}

}  // namespace

// ---- one field ----------------------------------------------------------------------

namespace nuvmsg {

Field::Field(Field&& other) noexcept
    : a(other.a), b(other.b), kind(other.kind), tagId(other.tagId), fieldId(other.fieldId), m_value(other.m_value) {
    other.kind = kInt64;
    other.m_value.number = 0;
}

Field& Field::operator=(Field&& other) noexcept {
    if (this != &other) {
        release();
        a = other.a;
        b = other.b;
        kind = other.kind;
        tagId = other.tagId;
        fieldId = other.fieldId;
        m_value = other.m_value;
        other.kind = kInt64;
        other.m_value.number = 0;
    }
    return *this;
}

void Field::release() noexcept {
    switch (kind) {
        case kInt64: break;
        case kString: Unmake(m_value.text); break;
        case kObject: delete m_value.object; break;
        case kList: delete m_value.list; break;
        case kStringList: Unmake(m_value.strings); break;
    }
    kind = kInt64;
    m_value.number = 0;
}

std::string const& Field::text() const { return kind == kString ? *m_value.text : emptyText(); }

void Field::replace(Kind newKind, Value newValue) noexcept {
    // The old value is released after the new one is in: it may own what the
    // new one was made from.
    Field gone;
    gone.kind = kind;
    gone.m_value = m_value;
    kind = newKind;
    m_value = newValue;
}

void Field::setInt(std::int64_t value) {
    Value v;
    v.number = value;
    replace(kInt64, v);
}

void Field::setText(std::string value) {
    Value v;
    v.text = Make<std::string>(std::move(value));
    replace(kString, v);
}

void Field::setObject(std::unique_ptr<CNMessageBase> object) {
    Value v;
    v.object = object.release();
    replace(kObject, v);
}

void Field::setList(std::unique_ptr<ListBase> list) {
    Value v;
    v.list = list.release();
    replace(kList, v);
}

void Field::setStrings(std::vector<std::string> strings) {
    Value v;
    v.strings = Make<std::vector<std::string>>(std::move(strings));
    replace(kStringList, v);
}

}  // namespace nuvmsg

CNMessageBase::CNMessageBase(int family, int number)
    : m_family(family), m_number(number), m_rows(CNMessageRegistry::rowsOf(family, number)) {
    m_tagId = m_rows != nullptr ? m_rows->type->tagId : nuvMsgDerivedTag(family, number);
}

CNMessageBase::CNMessageBase(CNMessageBase const& other)
    : m_family(other.m_family),
      m_number(other.m_number),
      m_tagId(other.m_tagId),
      m_xmlWriteFlag(other.m_xmlWriteFlag),
      m_rows(other.m_rows) {
    m_fields.reserve(other.m_fields.size());
    for (auto const& field : other.m_fields) m_fields.push_back(copyField(field));
}

CNMessageBase::CNMessageBase(CNMessageBase&& other) noexcept
    : m_family(other.m_family),
      m_number(other.m_number),
      m_tagId(other.m_tagId),
      m_xmlWriteFlag(other.m_xmlWriteFlag),
      m_rows(other.m_rows),
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
        m_rows = other.m_rows;
        // Keep our old fields alive until the move is done: other may be one of them.
        nuvmsg::Fields old;
        old.swap(m_fields);
        m_fields = std::move(other.m_fields);
        other.m_fields.clear();
    }
    return *this;
}

CNMessageBase::~CNMessageBase() = default;

std::string CNMessageBase::getTagName() const {
    if (m_rows != nullptr) return m_rows->type->name;
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
    for (std::size_t i = 0; i < m_fields.size(); ++i) {
        if (!sameField(m_fields[i], other.m_fields[i])) return false;
    }
    return true;
}

// ---- lookups --------------------------------------------------------------------

nuvmsg::Field const* CNMessageBase::find(short a) const {
    auto it = std::lower_bound(m_fields.begin(), m_fields.end(), std::make_pair(a, static_cast<short>(SHRT_MIN)),
                               keyLess);
    if (it == m_fields.end() || it->a != a) return nullptr;
    return &*it;
}

nuvmsg::Field const* CNMessageBase::find(short a, short b) const {
    if (nuvmsg::Field const* field = exact(a, b)) return field;
    return find(a);
}

nuvmsg::Field const* CNMessageBase::exact(short a, short b) const {
    auto it = std::lower_bound(m_fields.begin(), m_fields.end(), std::make_pair(a, b), keyLess);
    return (it != m_fields.end() && it->a == a && it->b == b) ? &*it : nullptr;
}

nuvmsg::Field* CNMessageBase::exact(short a, short b) {
    return const_cast<nuvmsg::Field*>(static_cast<CNMessageBase const*>(this)->exact(a, b));
}

nuvmsg::Field& CNMessageBase::put(nuvmsg::Field field) {
    auto it = std::lower_bound(m_fields.begin(), m_fields.end(), std::make_pair(field.a, field.b), keyLess);
    if (it != m_fields.end() && it->a == field.a && it->b == field.b) {
        // The old field may own what the new one came from: it goes after the swap.
        nuvmsg::Field old(std::move(*it));
        *it = std::move(field);
        return *it;
    }
    std::size_t const at = static_cast<std::size_t>(it - m_fields.begin());
    std::size_t const most = m_rows != nullptr ? m_rows->mostFields.load(std::memory_order_relaxed) : 0;
    // Room for as many fields as a message of the type held at most (two for
    // a type not seen with any yet): a message that holds one field takes one.
    if (m_fields.capacity() == 0) m_fields.reserve(most != 0 ? most : 2);
    nuvmsg::Field& stored = *m_fields.insert(m_fields.begin() + static_cast<std::ptrdiff_t>(at), std::move(field));
    if (m_rows != nullptr && m_fields.size() > most && m_fields.size() <= CNMessageTypeRows::kMostFieldsKept)
        m_rows->mostFields.store(static_cast<std::uint8_t>(m_fields.size()), std::memory_order_relaxed);
    return stored;
}

void CNMessageBase::erase(short a, short b) {
    auto it = std::lower_bound(m_fields.begin(), m_fields.end(), std::make_pair(a, b), keyLess);
    if (it != m_fields.end() && it->a == a && it->b == b) {
        nuvmsg::Field gone(std::move(*it));   // destroyed once the vector is consistent again
        m_fields.erase(it);
    }
}

int CNMessageBase::checkWrite(short a, short b, unsigned long tagId, unsigned fieldId, nuvmsg::Field::Kind kind,
                              std::uint32_t& storedFieldId) const {
    if (tagId != 0 && tagId != m_tagId) return -1;
    storedFieldId = fieldId;
    if (CNMessageFieldInfo const* info = CNMessageRegistry::findField(m_rows, a, b)) {
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
    nuvmsg::Field field(a, b, static_cast<std::uint32_t>(tagId), stored);
    field.setInt(value);
    put(std::move(field));
    return 0;
}

std::int64_t CNMessageBase::getint64(short a) const {
    nuvmsg::Field const* field = find(a);
    return field != nullptr ? field->intValue() : 0;
}

std::int64_t CNMessageBase::getint64(short a, short b) const {
    nuvmsg::Field const* field = find(a, b);
    return field != nullptr ? field->intValue() : 0;
}

std::int64_t CNMessageBase::getint64(short a, unsigned long, unsigned) const { return getint64(a); }

std::int64_t CNMessageBase::getint64(short a, short b, unsigned long, unsigned) const { return getint64(a, b); }

// ---- texts ------------------------------------------------------------------------

int CNMessageBase::setstring(short a, short b, std::string const& value, unsigned long tagId, unsigned fieldId) {
    std::uint32_t stored = 0;
    if (checkWrite(a, b, tagId, fieldId, nuvmsg::Field::kString, stored) != 0) return -1;
    nuvmsg::Field field(a, b, static_cast<std::uint32_t>(tagId), stored);
    field.setText(value);
    put(std::move(field));
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
    return field != nullptr ? field->text() : emptyText();
}

std::string const& CNMessageBase::getstringByRef(short a, short b) const {
    nuvmsg::Field const* field = find(a, b);
    return field != nullptr ? field->text() : emptyText();
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
    nuvmsg::Field field(a, b, static_cast<std::uint32_t>(tagId), fieldId);
    field.setObject(std::move(object));
    return put(std::move(field)).object();
}

CNMessageBase* CNMessageBase::getObjectAccessor(short a, short b, unsigned long tagId, unsigned fieldId,
                                                bool create, int family, int number) {
    if (nuvmsg::Field* held = exact(a, b)) return held->object();
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
    nuvmsg::Field const* held = exact(a, b);
    return held != nullptr ? held->object() : nullptr;
}

int CNMessageBase::setObjectAccessor(short a, short b, CNMessageBase const* value, unsigned long tagId,
                                     unsigned fieldId) {
    std::uint32_t stored = 0;
    if (checkWrite(a, b, tagId, fieldId, nuvmsg::Field::kObject, stored) != 0) return -1;
    if (value == nullptr) {
        erase(a, b);
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
    if (nuvmsg::Field* held = exact(a, b)) return held->kind == nuvmsg::Field::kList ? held : nullptr;
    if (!create) return nullptr;
    std::uint32_t stored = 0;
    if (checkWrite(a, b, tagId, fieldId, nuvmsg::Field::kList, stored) != 0) return nullptr;
    nuvmsg::Field field(a, b, static_cast<std::uint32_t>(tagId), stored);
    field.setList(nullptr);
    return &put(std::move(field));
}

std::vector<std::string>* CNMessageBase::stringListSlot(short a, short b, unsigned long tagId, unsigned fieldId,
                                                        bool create) {
    if (nuvmsg::Field* held = exact(a, b)) return held->strings();
    if (!create) return nullptr;
    std::uint32_t stored = 0;
    if (checkWrite(a, b, tagId, fieldId, nuvmsg::Field::kStringList, stored) != 0) return nullptr;
    nuvmsg::Field field(a, b, static_cast<std::uint32_t>(tagId), stored);
    field.setStrings({});
    return put(std::move(field)).strings();
}
