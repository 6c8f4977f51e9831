// BCDOraSnapBean: one Oracle file's snapshot catalogue entry in its own text
// form "/[<head>\n\t][<key>]|<path with '~' for '/'>|v1|v2|v3|v4".
#pragma once

#include <cstdint>
#include <string>

class BCDOraSnapBean {
public:
    BCDOraSnapBean() = default;

    // The text form; leaves m_filePath with every '~' turned into '/'.
    std::string toString();

    // Fills the fields the text provides: m_head is the text before its first
    // '/', then '|'-ended fields: key, path ('~' as '/'), four numbers (low 32
    // bits). A text without '/' leaves the bean unchanged.
    static BCDOraSnapBean& fromString(std::string const& text, BCDOraSnapBean& bean);

    // The text's file path moved from under the source mount to under the
    // snapshot mount (joined with one '/'); unchanged when it does not lie under it.
    static std::string translatePath(std::string const& text, std::string const& sourceMount,
                                     std::string const& snapMount);

    std::string m_head;
    std::string m_key;
    std::string m_filePath;
    uint32_t m_value1 = 0;
    uint32_t m_value2 = 0;
    uint32_t m_value3 = 0;
    uint32_t m_value4 = 0;
};
