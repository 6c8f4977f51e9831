#include "nuvdbsnap/platform/appmgr/content.h"

ApplBackupContent::~ApplBackupContent() = default;

int ApplBackupContent::addToContentCache(int id, std::string const& text) {
    return m_contentCache.emplace(id, text).second ? 0 : -1;
}

int ApplBackupContent::getFiles(BackupContent& content, void* /*context*/, bool /*refresh*/) {
    content.clear();
    for (auto const& entry : m_contentCache) content.addToContent(entry.second);
    return 0;
}

ApplProperties::~ApplProperties() = default;

int ApplProperties::addToPropCache(std::string const& name, int type, std::string const& value, int number) {
    return m_propCache.emplace(name, ApplProperty(name, type, value, number)).second ? 0 : -1;
}

int ApplProperties::updatePropCache(ApplProperty const& property) {
    m_propCache[property.getName()] = property;
    return 0;
}

int ApplProperties::getPropFromCache(std::string const& name, ApplProperty& property) const {
    auto it = m_propCache.find(name);
    if (it == m_propCache.end()) return -1;
    property = it->second;
    return 0;
}
