// CNMessageBase: a structured message of one type (family, number) whose
// content is addressed by field number pairs (a, b). Fields hold a 64-bit
// integer, a text, a sub-message, a list of sub-messages or a list of texts.
// Copies are deep; the text form is one line of XML (serialize/unserialize).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <type_traits>
#include <typeinfo>
#include <utility>
#include <vector>

#include "nuvdbsnap/platform/msg/storage.h"

class CNMessageBase;
struct CNMessageTypeRows;

namespace nuvmsg {

// A list field of sub-messages. One list holds elements of one C++ type; the
// typed vector is what getlistobject hands out.
class ListBase {
public:
    static void* operator new(std::size_t bytes) { return Allocate(bytes); }
    static void operator delete(void* p) noexcept { Deallocate(p); }
    virtual ~ListBase() = default;
    virtual std::size_t size() const = 0;
    virtual CNMessageBase& at(std::size_t index) = 0;
    virtual CNMessageBase const& at(std::size_t index) const = 0;
    virtual std::unique_ptr<ListBase> clone() const = 0;
};

template <class T>
class TypedList final : public ListBase {
public:
    std::size_t size() const override { return items.size(); }
    CNMessageBase& at(std::size_t index) override { return items[index]; }
    CNMessageBase const& at(std::size_t index) const override { return items[index]; }
    std::unique_ptr<ListBase> clone() const override {
        auto copy = std::make_unique<TypedList<T>>();
        copy->items = items;  // element copies are deep
        return copy;
    }

    std::vector<T> items;
};

// One stored field: its key (a, b), its kind and ids, and its value. A text,
// sub-message or list is held by pointer, so a reference handed out for it
// stays valid while other fields of the message come and go.
class Field {
public:
    enum Kind : std::uint8_t { kInt64, kString, kObject, kList, kStringList };

    Field() = default;
    // A field at (a, b) holding the integer 0 until a value is set.
    Field(short a, short b, std::uint32_t tagId, std::uint32_t fieldId)
        : a(a), b(b), tagId(tagId), fieldId(fieldId) {}
    Field(Field&& other) noexcept;
    Field& operator=(Field&& other) noexcept;
    Field(Field const&) = delete;
    Field& operator=(Field const&) = delete;
    // A field of an integer (or moved from) owns nothing: most go here.
    ~Field() {
        if (kind != kInt64) release();
    }

    // Values by kind; a value of another kind reads as 0, "", null or empty.
    std::int64_t intValue() const { return kind == kInt64 ? m_value.number : 0; }
    std::string const& text() const;
    CNMessageBase* object() const { return kind == kObject ? m_value.object : nullptr; }
    ListBase* list() const { return kind == kList ? m_value.list : nullptr; }
    std::vector<std::string>* strings() const { return kind == kStringList ? m_value.strings : nullptr; }

    // Replace the value; the kind becomes the value's.
    void setInt(std::int64_t value);
    void setText(std::string value);
    void setObject(std::unique_ptr<CNMessageBase> object);
    void setList(std::unique_ptr<ListBase> list);           // null: an empty list not yet typed
    void setStrings(std::vector<std::string> strings);

    short a = 0;
    short b = 0;
    Kind kind = kInt64;
    std::uint32_t tagId = 0;       // owning tag id the writer passed (0 when none was passed)
    std::uint32_t fieldId = 0;     // field id the writer passed, else the one the type table fixes

private:
    union Value {
        std::int64_t number;
        std::string* text;
        CNMessageBase* object;
        ListBase* list;
        std::vector<std::string>* strings;
    };

    void release() noexcept;
    // Takes the new value (owned), then releases the old one.
    void replace(Kind newKind, Value newValue) noexcept;

    Value m_value{0};
};

// A message's fields, sorted by (a, b), in message storage.
using Fields = std::vector<Field, Allocator<Field>>;

}  // namespace nuvmsg

// Base of every generated message type. A write that names an owning tag id
// other than this message's own, a field id other than the one the type table
// fixes for (a, b), or the wrong kind for such a field, is refused (-1) and
// leaves the message unchanged. Readers ignore the tag and field ids: a field
// is found by (a, b), or by its field number a alone.
class CNMessageBase {
public:
    // A message made with new lives in message storage, as what it owns does
    // (a message class aligned beyond 8 bytes: the C++ heap).
    static void* operator new(std::size_t bytes) { return nuvmsg::Allocate(bytes); }
    static void operator delete(void* p) noexcept { nuvmsg::Deallocate(p); }
    static void* operator new(std::size_t bytes, std::align_val_t align) { return ::operator new(bytes, align); }
    static void operator delete(void* p, std::align_val_t align) noexcept { ::operator delete(p, align); }
    static void* operator new(std::size_t, void* place) noexcept { return place; }

    CNMessageBase(int family, int number);
    CNMessageBase(CNMessageBase const& other);
    CNMessageBase(CNMessageBase&& other) noexcept;
    CNMessageBase& operator=(CNMessageBase const& other);   // deep copy, type included
    CNMessageBase& operator=(CNMessageBase&& other) noexcept;
    virtual ~CNMessageBase();

    // Prepares the message library (checks the type table, registers every
    // family). 0 on success, -1 when the type table is inconsistent.
    [[nodiscard]] static int Initialize();

    int getFamily() const { return m_family; }
    int getType() const { return m_number; }
    std::uint32_t getTagID() const { return m_tagId; }
    // The type's name in the table ("databrowse::BrowseRequest"), or
    // "CNMessage(<family>,<number>)" for a type the table does not hold.
    std::string getTagName() const;

    // A new message of the same type and content, of the generated class of
    // its type when the table has one.
    std::unique_ptr<CNMessageBase> clone() const;

    bool operator==(CNMessageBase const& other) const;
    bool operator!=(CNMessageBase const& other) const { return !(*this == other); }

    // ---- 64-bit integers ----
    int setint64(short a, short b, std::int64_t value, unsigned long tagId = 0, unsigned fieldId = 0);
    std::int64_t getint64(short a) const;
    std::int64_t getint64(short a, short b) const;
    std::int64_t getint64(short a, unsigned long tagId, unsigned fieldId) const;
    std::int64_t getint64(short a, short b, unsigned long tagId, unsigned fieldId) const;

    // ---- texts ----
    int setstring(short a, short b, std::string const& value, unsigned long tagId = 0, unsigned fieldId = 0);
    int setstring(short a, short b, char const* value, unsigned long tagId = 0, unsigned fieldId = 0);  // null = ""
    std::string getstring(short a) const;
    std::string getstring(short a, short b) const;
    std::string getstring(short a, unsigned long tagId, unsigned fieldId) const;
    std::string getstring(short a, short b, unsigned long tagId, unsigned fieldId) const;
    // The stored text itself (an empty text when the field is not set); valid
    // until the field is written again or the message is destroyed.
    std::string const& getstringByRef(short a) const;
    std::string const& getstringByRef(short a, short b) const;
    std::string const& getstringByRef(short a, unsigned long tagId, unsigned fieldId) const;
    std::string const& getstringByRef(short a, short b, unsigned long tagId, unsigned fieldId) const;

    // ---- presence ----
    bool isSet(short a) const;
    bool isSet(short a, short b) const;
    bool isSet(short a, short b, unsigned long tagId, unsigned fieldId) const;

    // ---- sub-messages ----
    // The sub-message at (a, b); when there is none and create is set, a new
    // empty message of type (family, number) is stored first. Null when absent
    // and not created, when create lacks a type, or when (a, b) holds another kind.
    CNMessageBase* getObjectAccessor(short a, short b, unsigned long tagId, unsigned fieldId, bool create,
                                     int family, int number);
    CNMessageBase* getObjectAccessor(short a, short b, bool create = false, int family = -1, int number = -1);
    CNMessageBase const* getObjectAccessor(short a, short b) const;
    // Typed form: the sub-message as a T (created as a T when asked); null when
    // the stored sub-message is of another type.
    template <class T>
    T* getObjectAccessor(short a, short b, bool create, unsigned long tagId = 0, unsigned fieldId = 0);
    // Stores a deep copy of value at (a, b); null removes the field.
    int setObjectAccessor(short a, short b, CNMessageBase const* value, unsigned long tagId = 0, unsigned fieldId = 0);
    int setObjectAccessor(short a, short b, CNMessageBase const& value, unsigned long tagId = 0, unsigned fieldId = 0);

    // ---- lists ----
    // The list at (a, b) as a vector the caller may read and change; created
    // empty when absent and create is set. T is a message class (CNMessageBase
    // for an untyped list) or std::string for a list of texts. Asking for a
    // list with another element class converts it; pointers handed out for
    // the old class become invalid. Null when absent and not created, when
    // (a, b) holds another kind, or when an element is not of type T.
    template <class T = CNMessageBase>
    std::vector<T>* getlistobject(short a, short b, unsigned long tagId, unsigned fieldId, bool create);
    template <class T = CNMessageBase>
    std::vector<T>* getlistobject(short a, short b, bool create = false);
    // Replaces the list at (a, b) with a deep copy of items.
    template <class T>
    int setlistobject(short a, short b, std::vector<T> const& items, unsigned long tagId = 0, unsigned fieldId = 0);

    // ---- text form ----
    // Kept with the message and carried in its text form; the text form is
    // XML whichever way the flag is set.
    void setXmlWriteFlag(bool on) { m_xmlWriteFlag = on; }
    bool getXmlWriteFlag() const { return m_xmlWriteFlag; }
    // One line of XML (no line break; texts escaped). withDeclaration puts the
    // XML declaration in front. 0 on success.
    [[nodiscard]] int serialize(std::string& text, bool withDeclaration = false) const;
    // Replaces the whole content from a text serialize wrote for this type.
    // 0 on success; on malformed text or a text of another type non-zero, and
    // the message keeps its content.
    [[nodiscard]] int unserialize(std::string const& text);
    [[nodiscard]] int unserialize(char const* text);

    // Fields in (a, b) order; for the text form and for tests.
    nuvmsg::Fields const& fields() const { return m_fields; }

private:
    friend class CNMessageXml;

    nuvmsg::Field const* find(short a) const;
    nuvmsg::Field const* find(short a, short b) const;
    // The field stored at exactly (a, b), or null.
    nuvmsg::Field* exact(short a, short b);
    nuvmsg::Field const* exact(short a, short b) const;
    // Stores field at its key, replacing a field stored there; the stored field.
    nuvmsg::Field& put(nuvmsg::Field field);
    void erase(short a, short b);
    // Checks a write of kind at (a, b); fills the field id to store. 0 or -1.
    int checkWrite(short a, short b, unsigned long tagId, unsigned fieldId, nuvmsg::Field::Kind kind,
                   std::uint32_t& storedFieldId) const;
    // The list field at (a, b), created empty (list member null) when asked; null on refusal.
    nuvmsg::Field* listSlot(short a, short b, unsigned long tagId, unsigned fieldId, bool create);
    std::vector<std::string>* stringListSlot(short a, short b, unsigned long tagId, unsigned fieldId, bool create);
    // Stores an owned sub-message (already of the right class) at (a, b).
    CNMessageBase* storeObject(short a, short b, unsigned long tagId, std::uint32_t fieldId,
                               std::unique_ptr<CNMessageBase> object);

    template <class T>
    static bool isMessageOfClass(CNMessageBase const& message);

    int m_family = 0;
    int m_number = 0;
    std::uint32_t m_tagId = 0;
    bool m_xmlWriteFlag = false;
    CNMessageTypeRows const* m_rows = nullptr;   // the type table's rows of the type, if it has any
    nuvmsg::Fields m_fields;   // sorted by (a, b)
};

// ---- templates ---------------------------------------------------------------

template <class T>
bool CNMessageBase::isMessageOfClass(CNMessageBase const& message) {
    if constexpr (std::is_same_v<T, CNMessageBase>) {
        return true;
    } else {
        T const probe;
        return message.getFamily() == probe.getFamily() && message.getType() == probe.getType();
    }
}

template <class T>
T* CNMessageBase::getObjectAccessor(short a, short b, bool create, unsigned long tagId, unsigned fieldId) {
    static_assert(std::is_base_of_v<CNMessageBase, T>, "a sub-message is a message class");
    if constexpr (std::is_same_v<T, CNMessageBase>) {
        return nullptr;  // the untyped form needs a type: use the (family, number) overload
    } else {
        T const probe;
        CNMessageBase* stored =
            getObjectAccessor(a, b, tagId, fieldId, create, probe.getFamily(), probe.getType());
        if (stored == nullptr || !isMessageOfClass<T>(*stored)) return nullptr;
        if (T* typed = dynamic_cast<T*>(stored)) return typed;
        // Same type held as a plain message: store it as a T.
        auto replacement = std::make_unique<T>();
        static_cast<CNMessageBase&>(*replacement) = std::move(*stored);
        nuvmsg::Field const* held = exact(a, b);
        return static_cast<T*>(storeObject(a, b, held->tagId, held->fieldId, std::move(replacement)));
    }
}

template <class T>
std::vector<T>* CNMessageBase::getlistobject(short a, short b, unsigned long tagId, unsigned fieldId, bool create) {
    if constexpr (std::is_same_v<T, std::string>) {
        return stringListSlot(a, b, tagId, fieldId, create);
    } else {
        static_assert(std::is_base_of_v<CNMessageBase, T>, "list elements are messages or texts");
        nuvmsg::Field* field = listSlot(a, b, tagId, fieldId, create);
        if (field == nullptr) return nullptr;
        if (field->list() == nullptr) field->setList(std::make_unique<nuvmsg::TypedList<T>>());
        nuvmsg::ListBase* held = field->list();
        if (auto* typed = dynamic_cast<nuvmsg::TypedList<T>*>(held)) return &typed->items;
        for (std::size_t i = 0; i < held->size(); ++i) {
            if (!isMessageOfClass<T>(held->at(i))) return nullptr;
        }
        auto converted = std::make_unique<nuvmsg::TypedList<T>>();
        converted->items.reserve(held->size());
        for (std::size_t i = 0; i < held->size(); ++i) {
            if constexpr (std::is_same_v<T, CNMessageBase>) {
                converted->items.push_back(CNMessageBase(std::move(held->at(i))));
            } else {
                T element;
                static_cast<CNMessageBase&>(element) = std::move(held->at(i));
                converted->items.push_back(std::move(element));
            }
        }
        std::vector<T>* result = &converted->items;
        field->setList(std::move(converted));
        return result;
    }
}

template <class T>
std::vector<T>* CNMessageBase::getlistobject(short a, short b, bool create) {
    return getlistobject<T>(a, b, 0, 0, create);
}

template <class T>
int CNMessageBase::setlistobject(short a, short b, std::vector<T> const& items, unsigned long tagId,
                                 unsigned fieldId) {
    if constexpr (std::is_same_v<T, std::string>) {
        std::uint32_t stored = 0;
        if (checkWrite(a, b, tagId, fieldId, nuvmsg::Field::kStringList, stored) != 0) return -1;
        erase(a, b);
        std::vector<std::string>* list = stringListSlot(a, b, tagId, fieldId, true);
        if (list == nullptr) return -1;
        *list = items;
        return 0;
    } else {
        static_assert(std::is_base_of_v<CNMessageBase, T>, "list elements are messages or texts");
        std::uint32_t stored = 0;
        if (checkWrite(a, b, tagId, fieldId, nuvmsg::Field::kList, stored) != 0) return -1;
        auto list = std::make_unique<nuvmsg::TypedList<T>>();
        list->items = items;
        erase(a, b);
        nuvmsg::Field* field = listSlot(a, b, tagId, fieldId, true);
        if (field == nullptr) return -1;
        field->setList(std::move(list));
        return 0;
    }
}
