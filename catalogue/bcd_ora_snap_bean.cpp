#include "nuvdbsnap/catalogue/bcd_ora_snap_bean.h"

#include "mount_prefix.h"

#include <cstdlib>

using namespace nuvcatalogue;

std::string BCDOraSnapBean::toString() {
    std::string out = "/";
    if (!m_head.empty()) out += m_head + "\n\t";
    out += m_key;
    out += "|";
    if (!m_filePath.empty()) {
        out += ReplaceChar(m_filePath, '/', '~');
        m_filePath = ReplaceChar(m_filePath, '~', '/');
    }
    out += "|" + std::to_string(m_value1) + "|" + std::to_string(m_value2) + "|" + std::to_string(m_value3) + "|" +
           std::to_string(m_value4);
    return out;
}

BCDOraSnapBean& BCDOraSnapBean::fromString(std::string const& text, BCDOraSnapBean& bean) {
    size_t const slash = text.find('/');
    if (slash == std::string::npos) return bean;
    bean.m_head = text.substr(0, slash);
    uint32_t* const numbers[] = {&bean.m_value1, &bean.m_value2, &bean.m_value3, &bean.m_value4};
    size_t start = slash + 1;
    for (int field = 1; field <= 6; ++field) {
        size_t const bar = text.find('|', start);
        if (bar == std::string::npos) break;
        std::string const value = text.substr(start, bar - start);
        if (field == 1)
            bean.m_key = value;
        else if (field == 2)
            bean.m_filePath = ReplaceChar(value, '~', '/');
        else
            *numbers[field - 3] = static_cast<uint32_t>(atol(value.c_str()));
        start = bar + 1;
    }
    return bean;
}

std::string BCDOraSnapBean::translatePath(std::string const& text, std::string const& sourceMount,
                                          std::string const& snapMount) {
    BCDOraSnapBean bean;
    fromString(text, bean);
    std::string rest;
    if (bean.m_filePath.empty() || !UnderMount(bean.m_filePath, sourceMount, rest)) return bean.m_filePath;
    return JoinMount(snapMount, rest);
}
