// Backup content and properties of the application manager's objects.
// BackupContent is a plain list of paths; ApplBackupContent and ApplProperties
// are the (virtual) bases of instances and subclients that keep a content
// cache, a case-sensitivity flag and a property cache in memory.
#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

// An ordered list of content paths, compared path by path.
class BackupContent {
public:
    BackupContent() = default;
    void addToContent(std::string const& path) { m_paths.push_back(path); }
    std::vector<std::string> const& paths() const { return m_paths; }
    void clear() { m_paths.clear(); }
    bool operator==(BackupContent const& other) const { return m_paths == other.m_paths; }
    bool operator!=(BackupContent const& other) const { return !(*this == other); }

private:
    std::vector<std::string> m_paths;
};

// Content base: the content cache (id -> path) and the case-sensitivity flag.
class ApplBackupContent {
public:
    ApplBackupContent() = default;
    virtual ~ApplBackupContent();

    void setContentCaseSensitive() { m_caseSensitive = true; }
    void setContentCaseInsensitive() { m_caseSensitive = false; }
    bool isContentCaseSensitive() const { return m_caseSensitive; }

    // 0 when added; -1 when the id is already cached (the entry stays as it was).
    int addToContentCache(int id, std::string const& text);
    std::map<int, std::string> const& contentCache() const { return m_contentCache; }
    void clearContentCache() { m_contentCache.clear(); }

    // The owner's stored content into `content` (replacing what it held); 0 on success.
    // The base serves its content cache, in id order.
    [[nodiscard]] virtual int getFiles(BackupContent& content, void* context, bool refresh);

private:
    bool m_caseSensitive = true;
    std::map<int, std::string> m_contentCache;
};

// One property: name, type, value and a number.
class ApplProperty {
public:
    ApplProperty() = default;
    ApplProperty(std::string name, int type, std::string value, int number)
        : m_name(std::move(name)), m_type(type), m_value(std::move(value)), m_number(number) {}

    std::string const& getName() const { return m_name; }
    int getType() const { return m_type; }
    std::string const& getValue() const { return m_value; }
    int getNumber() const { return m_number; }

private:
    std::string m_name;
    int m_type = 0;
    std::string m_value;
    int m_number = 0;
};

// Property base: a cache of properties by name.
class ApplProperties {
public:
    ApplProperties() = default;
    virtual ~ApplProperties();

    // 0 when added; -1 when a property of that name is already cached (unchanged).
    int addToPropCache(std::string const& name, int type, std::string const& value, int number);
    // Replaces (or adds) the property of that name; 0.
    virtual int updatePropCache(ApplProperty const& property);
    // 0 and the property when cached, -1 otherwise.
    [[nodiscard]] int getPropFromCache(std::string const& name, ApplProperty& property) const;
    std::map<std::string, ApplProperty> const& propCache() const { return m_propCache; }
    void clearPropCache() { m_propCache.clear(); }

private:
    std::map<std::string, ApplProperty> m_propCache;
};
