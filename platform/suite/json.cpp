// JSON quoting and string arrays.
#include "nuvdbsnap/platform/suite/json.h"

#include <cstdio>

namespace nuvsuite {
namespace {

// Length of the valid UTF-8 sequence at text[i], or 0.
size_t Utf8Length(std::string const& text, size_t i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    size_t len = 0;
    unsigned min = 0;
    unsigned cp = 0;
    if (c < 0x80) return 1;
    if ((c & 0xE0) == 0xC0) { len = 2; cp = c & 0x1F; min = 0x80; }
    else if ((c & 0xF0) == 0xE0) { len = 3; cp = c & 0x0F; min = 0x800; }
    else if ((c & 0xF8) == 0xF0) { len = 4; cp = c & 0x07; min = 0x10000; }
    else return 0;
    if (i + len > text.size()) return 0;
    for (size_t k = 1; k < len; ++k) {
        unsigned char cc = static_cast<unsigned char>(text[i + k]);
        if ((cc & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (cc & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
    return len;
}

void AppendUtf8(std::string* out, unsigned cp) {
    if (cp < 0x80) {
        out->push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out->push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out->push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out->push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out->push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

bool ReadHex4(std::string const& text, size_t* i, unsigned* value) {
    if (*i + 4 > text.size()) return false;
    unsigned v = 0;
    for (int k = 0; k < 4; ++k) {
        char c = text[(*i)++];
        v <<= 4;
        if (c >= '0' && c <= '9') v |= c - '0';
        else if (c >= 'a' && c <= 'f') v |= c - 'a' + 10;
        else if (c >= 'A' && c <= 'F') v |= c - 'A' + 10;
        else return false;
    }
    *value = v;
    return true;
}

void SkipSpace(std::string const& text, size_t* i) {
    while (*i < text.size() && (text[*i] == ' ' || text[*i] == '\t' || text[*i] == '\n' || text[*i] == '\r')) ++*i;
}

bool ReadString(std::string const& text, size_t* i, std::string* out) {
    if (*i >= text.size() || text[*i] != '"') return false;
    ++*i;
    while (*i < text.size()) {
        char c = text[(*i)++];
        if (c == '"') return true;
        if (static_cast<unsigned char>(c) < 0x20) return false;
        if (c != '\\') {
            out->push_back(c);
            continue;
        }
        if (*i >= text.size()) return false;
        char e = text[(*i)++];
        switch (e) {
        case '"': out->push_back('"'); break;
        case '\\': out->push_back('\\'); break;
        case '/': out->push_back('/'); break;
        case 'b': out->push_back('\b'); break;
        case 'f': out->push_back('\f'); break;
        case 'n': out->push_back('\n'); break;
        case 'r': out->push_back('\r'); break;
        case 't': out->push_back('\t'); break;
        case 'u': {
            unsigned cp = 0;
            if (!ReadHex4(text, i, &cp)) return false;
            if (cp >= 0xD800 && cp <= 0xDBFF && *i + 1 < text.size() && text[*i] == '\\' && text[*i + 1] == 'u') {
                size_t save = *i;
                *i += 2;
                unsigned low = 0;
                if (ReadHex4(text, i, &low) && low >= 0xDC00 && low <= 0xDFFF) {
                    cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                } else {
                    *i = save;
                }
            }
            // \u0080-\u00FF written by JsonQuote for stray bytes come back as those bytes.
            if (cp >= 0x80 && cp <= 0xFF) out->push_back(static_cast<char>(cp));
            else AppendUtf8(out, cp);
            break;
        }
        default: return false;
        }
    }
    return false;
}

}  // namespace

std::string JsonQuote(std::string const& text) {
    std::string out;
    out.reserve(text.size() + 2);
    out.push_back('"');
    for (size_t i = 0; i < text.size();) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '"') { out += "\\\""; ++i; continue; }
        if (c == '\\') { out += "\\\\"; ++i; continue; }
        if (c == '\n') { out += "\\n"; ++i; continue; }
        if (c == '\r') { out += "\\r"; ++i; continue; }
        if (c == '\t') { out += "\\t"; ++i; continue; }
        size_t len = c < 0x20 || c == 0x7F ? 0 : Utf8Length(text, i);
        if (len == 0) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
            ++i;
            continue;
        }
        out.append(text, i, len);
        i += len;
    }
    out.push_back('"');
    return out;
}

std::string JsonStringArray(std::vector<std::string> const& items) {
    std::string out = "[";
    for (size_t i = 0; i < items.size(); ++i) {
        if (i) out += ",";
        out += JsonQuote(items[i]);
    }
    out += "]";
    return out;
}

bool ParseJsonStringArray(std::string const& text, std::vector<std::string>* items) {
    items->clear();
    size_t i = 0;
    SkipSpace(text, &i);
    if (i >= text.size() || text[i] != '[') return false;
    ++i;
    SkipSpace(text, &i);
    if (i < text.size() && text[i] == ']') {
        ++i;
        SkipSpace(text, &i);
        return i == text.size();
    }
    for (;;) {
        std::string item;
        SkipSpace(text, &i);
        if (!ReadString(text, &i, &item)) {
            items->clear();
            return false;
        }
        items->push_back(std::move(item));
        SkipSpace(text, &i);
        if (i < text.size() && text[i] == ',') { ++i; continue; }
        if (i < text.size() && text[i] == ']') {
            ++i;
            SkipSpace(text, &i);
            if (i == text.size()) return true;
        }
        items->clear();
        return false;
    }
}

}  // namespace nuvsuite
