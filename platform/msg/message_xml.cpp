// The text form of a message: one line of XML.
//
//   <msg f="family" n="number" t="0xTAG" [w="1"]> fields in (a, b) order </msg>
//   <i a= b= [g=owning tag] [id=field id] v="decimal"/>          64-bit integer
//   <s a= b= [g=] [id=] v="text"/>  or  x="hex bytes"             text
//   <o a= b= [g=] [id=]><msg .../></o>                            sub-message
//   <l a= b= [g=] [id=]><msg .../>...</l>                         list of sub-messages
//   <sl a= b= [g=] [id=]><e v=|x=/>...</sl>                       list of texts
//
// Texts that are valid UTF-8 without control characters other than tab, line
// feed and carriage return go in v (escaped by the writer, line breaks as
// character references); any other bytes go in x as hex, so every text
// survives the round trip exactly.
#include <pugixml.hpp>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>
#include <sstream>

#include "nuvdbsnap/platform/msg/message_base.h"
#include "nuvdbsnap/platform/msg/registry.h"
#include "nuvdbsnap/platform/msg/xml_decoder.h"

namespace {

int const kMaxDepth = 64;  // nesting of sub-messages; deeper text is refused

bool isPlainText(std::string const& text) {
    auto const* p = reinterpret_cast<unsigned char const*>(text.data());
    std::size_t const n = text.size();
    std::size_t i = 0;
    while (i < n) {
        unsigned char const c = p[i];
        if (c < 0x80) {
            if (c < 0x20 && c != '\t' && c != '\n' && c != '\r') return false;
            ++i;
            continue;
        }
        std::size_t len = 0;
        std::uint32_t cp = 0;
        if ((c & 0xE0) == 0xC0) { len = 2; cp = c & 0x1F; }
        else if ((c & 0xF0) == 0xE0) { len = 3; cp = c & 0x0F; }
        else if ((c & 0xF8) == 0xF0) { len = 4; cp = c & 0x07; }
        else return false;
        if (i + len > n) return false;
        for (std::size_t k = 1; k < len; ++k) {
            if ((p[i + k] & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (p[i + k] & 0x3F);
        }
        std::uint32_t const minimum = len == 2 ? 0x80 : len == 3 ? 0x800 : 0x10000;
        if (cp < minimum || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF) || cp == 0xFFFE || cp == 0xFFFF)
            return false;
        i += len;
    }
    return true;
}

std::string toHex(std::string const& bytes) {
    static char const digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (unsigned char c : bytes) {
        out.push_back(digits[c >> 4]);
        out.push_back(digits[c & 0xF]);
    }
    return out;
}

bool fromHex(char const* hex, std::string& out) {
    std::size_t const n = std::strlen(hex);
    if (n % 2 != 0) return false;
    auto nibble = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    out.clear();
    out.reserve(n / 2);
    for (std::size_t i = 0; i < n; i += 2) {
        int const hi = nibble(hex[i]);
        int const lo = nibble(hex[i + 1]);
        if (hi < 0 || lo < 0) return false;
        out.push_back(static_cast<char>((hi << 4) | lo));
    }
    return true;
}

bool parseInt64(char const* text, std::int64_t& value) {
    if (text == nullptr || *text == '\0' || !(*text == '-' || (*text >= '0' && *text <= '9'))) return false;
    errno = 0;
    char* end = nullptr;
    long long const parsed = std::strtoll(text, &end, 10);
    if (errno != 0 || end == nullptr || *end != '\0') return false;
    value = parsed;
    return true;
}

bool parseInt(char const* text, long low, long high, long& value) {
    std::int64_t parsed = 0;
    if (!parseInt64(text, parsed) || parsed < low || parsed > high) return false;
    value = static_cast<long>(parsed);
    return true;
}

bool parseHex32(char const* text, std::uint32_t& value) {
    if (text == nullptr || std::strncmp(text, "0x", 2) != 0 || text[2] == '\0') return false;
    for (char const* p = text + 2; *p != '\0'; ++p) {
        if (!std::isxdigit(static_cast<unsigned char>(*p))) return false;
    }
    errno = 0;
    char* end = nullptr;
    unsigned long long const parsed = std::strtoull(text + 2, &end, 16);
    if (errno != 0 || *end != '\0' || parsed > 0xFFFFFFFFull) return false;
    value = static_cast<std::uint32_t>(parsed);
    return true;
}

std::string hex32(std::uint64_t value) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%08llX", static_cast<unsigned long long>(value));
    return text;
}

// Only the named attributes are allowed on node.
bool onlyAttributes(pugi::xml_node node, std::set<std::string> const& allowed) {
    for (pugi::xml_attribute attr : node.attributes()) {
        if (allowed.count(attr.name()) == 0) return false;
    }
    return true;
}

void putText(pugi::xml_node node, std::string const& text) {
    if (isPlainText(text))
        node.append_attribute("v").set_value(text.c_str());
    else
        node.append_attribute("x").set_value(toHex(text).c_str());
}

bool getText(pugi::xml_node node, std::string& text) {
    pugi::xml_attribute const v = node.attribute("v");
    pugi::xml_attribute const x = node.attribute("x");
    if (v && !x) {
        text = v.value();
        return true;
    }
    if (x && !v) return fromHex(x.value(), text);
    return false;
}

}  // namespace

// Friend of CNMessageBase: writes and reads the text form.
class CNMessageXml {
public:
    static bool write(pugi::xml_node parent, CNMessageBase const& message, int depth);
    static bool read(pugi::xml_node node, CNMessageBase& into, int depth);
    // Family and number a <msg> element names; false when absent or malformed.
    static bool typeOf(pugi::xml_node node, int& family, int& number);
    static int parseDocument(char const* text, pugi::xml_document& doc, pugi::xml_node& root);

private:
    static bool readField(pugi::xml_node node, CNMessageBase& into, int depth);
};

bool CNMessageXml::write(pugi::xml_node parent, CNMessageBase const& message, int depth) {
    if (depth > kMaxDepth) return false;
    pugi::xml_node node = parent.append_child("msg");
    node.append_attribute("f").set_value(message.getFamily());
    node.append_attribute("n").set_value(message.getType());
    node.append_attribute("t").set_value(hex32(message.getTagID()).c_str());
    if (message.getXmlWriteFlag()) node.append_attribute("w").set_value(1);
    for (nuvmsg::Field const& field : message.m_fields) {
        char const* name = "i";
        switch (field.kind) {
            case nuvmsg::Field::kInt64: name = "i"; break;
            case nuvmsg::Field::kString: name = "s"; break;
            case nuvmsg::Field::kObject: name = "o"; break;
            case nuvmsg::Field::kList: name = "l"; break;
            case nuvmsg::Field::kStringList: name = "sl"; break;
        }
        pugi::xml_node child = node.append_child(name);
        child.append_attribute("a").set_value(field.a);
        child.append_attribute("b").set_value(field.b);
        if (field.tagId != 0) child.append_attribute("g").set_value(hex32(field.tagId).c_str());
        if (field.fieldId != 0) child.append_attribute("id").set_value(hex32(field.fieldId).c_str());
        switch (field.kind) {
            case nuvmsg::Field::kInt64:
                child.append_attribute("v").set_value(std::to_string(field.intValue()).c_str());
                break;
            case nuvmsg::Field::kString:
                putText(child, field.text());
                break;
            case nuvmsg::Field::kObject:
                if (field.object() != nullptr && !write(child, *field.object(), depth + 1)) return false;
                break;
            case nuvmsg::Field::kList:
                if (nuvmsg::ListBase const* list = field.list()) {
                    for (std::size_t i = 0; i < list->size(); ++i) {
                        if (!write(child, list->at(i), depth + 1)) return false;
                    }
                }
                break;
            case nuvmsg::Field::kStringList:
                for (std::string const& text : *field.strings()) putText(child.append_child("e"), text);
                break;
        }
    }
    return true;
}

bool CNMessageXml::typeOf(pugi::xml_node node, int& family, int& number) {
    if (std::strcmp(node.name(), "msg") != 0) return false;
    long f = 0;
    long n = 0;
    if (!parseInt(node.attribute("f").as_string(nullptr), -2147483647L - 1, 2147483647L, f)) return false;
    if (!parseInt(node.attribute("n").as_string(nullptr), -2147483647L - 1, 2147483647L, n)) return false;
    family = static_cast<int>(f);
    number = static_cast<int>(n);
    return true;
}

bool CNMessageXml::read(pugi::xml_node node, CNMessageBase& into, int depth) {
    if (depth > kMaxDepth) return false;
    int family = 0;
    int number = 0;
    if (!typeOf(node, family, number) || family != into.m_family || number != into.m_number) return false;
    if (!onlyAttributes(node, {"f", "n", "t", "w"})) return false;
    if (pugi::xml_attribute tag = node.attribute("t")) {
        std::uint32_t tagId = 0;
        if (!parseHex32(tag.value(), tagId) || tagId != into.m_tagId) return false;
    }
    if (pugi::xml_attribute flag = node.attribute("w")) {
        if (std::strcmp(flag.value(), "1") != 0 && std::strcmp(flag.value(), "0") != 0) return false;
        into.m_xmlWriteFlag = std::strcmp(flag.value(), "1") == 0;
    }
    for (pugi::xml_node child = node.first_child(); child; child = child.next_sibling()) {
        if (child.type() != pugi::node_element || !readField(child, into, depth)) return false;
    }
    return true;
}

bool CNMessageXml::readField(pugi::xml_node node, CNMessageBase& into, int depth) {
    std::string const kind = node.name();
    long a = 0;
    long b = 0;
    if (!parseInt(node.attribute("a").as_string(nullptr), -32768, 32767, a)) return false;
    if (!parseInt(node.attribute("b").as_string(nullptr), -32768, 32767, b)) return false;
    if (into.exact(static_cast<short>(a), static_cast<short>(b)) != nullptr) return false;

    nuvmsg::Field field(static_cast<short>(a), static_cast<short>(b), 0, 0);
    std::uint32_t tagId = 0;
    std::uint32_t fieldId = 0;
    if (pugi::xml_attribute g = node.attribute("g")) {
        if (!parseHex32(g.value(), tagId)) return false;
    }
    if (pugi::xml_attribute id = node.attribute("id")) {
        if (!parseHex32(id.value(), fieldId)) return false;
    }
    field.tagId = tagId;

    if (kind == "i") {
        if (!onlyAttributes(node, {"a", "b", "g", "id", "v"}) || node.first_child()) return false;
        std::int64_t value = 0;
        if (!parseInt64(node.attribute("v").as_string(nullptr), value)) return false;
        field.setInt(value);
    } else if (kind == "s") {
        if (!onlyAttributes(node, {"a", "b", "g", "id", "v", "x"}) || node.first_child()) return false;
        std::string text;
        if (!getText(node, text)) return false;
        field.setText(std::move(text));
    } else if (kind == "o") {
        if (!onlyAttributes(node, {"a", "b", "g", "id"})) return false;
        pugi::xml_node const child = node.first_child();
        if (!child || child.next_sibling() || child.type() != pugi::node_element) return false;
        int family = 0;
        int number = 0;
        if (!typeOf(child, family, number)) return false;
        field.setObject(std::unique_ptr<CNMessageBase>(CNMessageRegistry::create(family, number)));
        if (!read(child, *field.object(), depth + 1)) return false;
    } else if (kind == "l") {
        if (!onlyAttributes(node, {"a", "b", "g", "id"})) return false;
        auto list = std::make_unique<nuvmsg::TypedList<CNMessageBase>>();
        for (pugi::xml_node child = node.first_child(); child; child = child.next_sibling()) {
            int family = 0;
            int number = 0;
            if (child.type() != pugi::node_element || !typeOf(child, family, number)) return false;
            list->items.emplace_back(family, number);
            if (!read(child, list->items.back(), depth + 1)) return false;
        }
        field.setList(std::move(list));
    } else if (kind == "sl") {
        if (!onlyAttributes(node, {"a", "b", "g", "id"})) return false;
        std::vector<std::string> strings;
        for (pugi::xml_node child = node.first_child(); child; child = child.next_sibling()) {
            if (child.type() != pugi::node_element || std::strcmp(child.name(), "e") != 0) return false;
            if (!onlyAttributes(child, {"v", "x"}) || child.first_child()) return false;
            std::string text;
            if (!getText(child, text)) return false;
            strings.push_back(std::move(text));
        }
        field.setStrings(std::move(strings));
    } else {
        return false;
    }

    // The same rules as a write through the accessors.
    std::uint32_t storedFieldId = 0;
    if (into.checkWrite(field.a, field.b, tagId, fieldId, field.kind, storedFieldId) != 0) return false;
    field.fieldId = storedFieldId;
    into.put(std::move(field));
    return true;
}

int CNMessageXml::parseDocument(char const* text, pugi::xml_document& doc, pugi::xml_node& root) {
    if (text == nullptr) return -1;
    pugi::xml_parse_result const parsed = doc.load_buffer(text, std::strlen(text), pugi::parse_default,
                                                          pugi::encoding_utf8);
    if (!parsed) return -1;
    for (pugi::xml_node child = doc.first_child(); child; child = child.next_sibling()) {
        if (child.type() != pugi::node_element || root) return -1;  // exactly one element, nothing else
        root = child;
    }
    return root ? 0 : -1;
}

int CNMessageBase::serialize(std::string& text, bool withDeclaration) const {
    pugi::xml_document doc;
    if (!CNMessageXml::write(doc, *this, 0)) return -1;
    std::ostringstream out;
    doc.save(out, "", pugi::format_raw | pugi::format_no_declaration, pugi::encoding_utf8);
    if (!out) return -1;
    text = withDeclaration ? "<?xml version=\"1.0\" encoding=\"UTF-8\"?>" + out.str() : out.str();
    return 0;
}

int CNMessageBase::unserialize(std::string const& text) {
    if (text.find('\0') != std::string::npos) return -1;
    return unserialize(text.c_str());
}

int CNMessageBase::unserialize(char const* text) {
    pugi::xml_document doc;
    pugi::xml_node root;
    if (CNMessageXml::parseDocument(text, doc, root) != 0) return -1;
    int family = 0;
    int number = 0;
    if (!CNMessageXml::typeOf(root, family, number)) return -1;
    if (family != m_family || number != m_number) return -2;  // text of another type
    CNMessageBase parsed(family, number);
    if (!CNMessageXml::read(root, parsed, 0)) return -1;
    m_fields.swap(parsed.m_fields);
    m_xmlWriteFlag = parsed.m_xmlWriteFlag;
    return 0;
}

CNMessageBase* XMLDecoder::unSerialize(std::string& text, JzXMLContextInfo*) {
    if (text.find('\0') != std::string::npos) return nullptr;
    pugi::xml_document doc;
    pugi::xml_node root;
    if (CNMessageXml::parseDocument(text.c_str(), doc, root) != 0) return nullptr;
    int family = 0;
    int number = 0;
    if (!CNMessageXml::typeOf(root, family, number)) return nullptr;
    if (!CNMessageRegistry::isFamilyRegistered(family) || CNMessageRegistry::findByType(family, number) == nullptr)
        return nullptr;
    std::unique_ptr<CNMessageBase> message(CNMessageRegistry::create(family, number));
    if (!CNMessageXml::read(root, *message, 0)) return nullptr;
    return message.release();
}
