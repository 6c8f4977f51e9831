// Application instances of the application manager. An Instance is a handle
// on one instance row (id); its name, type and properties are read from the
// catalogue on each call, while the content and property caches and the
// case-sensitivity flag live in the object (bases ApplBackupContent and
// ApplProperties, both virtual). ApplicationId::getInstance hands out a
// PostgreSQLInstance for PostgreSQL (125), a SybaseInstance for Sybase (5) and
// a plain Instance otherwise.
#pragma once

#include "nuvdbsnap/platform/appmgr/content.h"
#include "nuvdbsnap/platform/appmgr/status.h"

#include <string>

// The text a property reader starts from before a lookup replaces it.
#define JZ_DEFAULT_STR_PROP_VALUE "DefaultPropertyValue"

class Instance : public virtual ApplBackupContent,
                 public virtual ApplProperties,
                 public nuvsuite::LastErrorRecord {
public:
    explicit Instance(unsigned long instanceId);

    // Content callback of initContent: caches (id, text); the id as a 32-bit int.
    virtual int initContentCallback(unsigned long id, std::string text) {
        return addToContentCache(static_cast<int>(id), text);
    }
    virtual void SetCaseSensitive(bool caseSensitive) {
        if (caseSensitive)
            setContentCaseSensitive();
        else
            setContentCaseInsensitive();
    }
    virtual int initAll(void* context) { return initContent(context, true, false); }
    // Property callback of initProperties: caches the property (numbers as 32-bit ints).
    virtual int getPropertiesCallback(std::string name, unsigned long type, std::string value,
                                      unsigned long number) {
        return addToPropCache(name, static_cast<int>(type), value, static_cast<int>(number));
    }
    virtual int getPropertiesCallbackUpdate(std::string name, unsigned long type, std::string value,
                                            unsigned long number, bool /*unused*/) {
        return updatePropCache(ApplProperty(name, static_cast<int>(type), value, static_cast<int>(number)));
    }
    ~Instance() override;

    virtual unsigned long getInstanceId() const { return m_instanceId; }
    virtual void setInstanceId(unsigned long instanceId) { m_instanceId = instanceId; }
    // 0 and the instance's name; non-zero (name unchanged) when the instance is unknown.
    [[nodiscard]] virtual int getInstanceName(std::string& name, void* context);
    // 0 when the instance exists.
    [[nodiscard]] virtual int lookup(void* context);
    // Hands every stored property to getPropertiesCallback; 0 on success.
    [[nodiscard]] virtual int initProperties(void* context);
    // Hands every stored content path (sequence number, path) to initContentCallback;
    // clearFirst empties the content cache first. 0 on success.
    [[nodiscard]] virtual int initContent(void* context, bool clearFirst, bool /*unused*/);

    // 0 and the instance's application type.
    [[nodiscard]] int getAppType(unsigned long& appType, void* context);

protected:
    // Journals the call and consults the fault table: 0, or the (stored) fault code.
    int enter(char const* call);
    // Reads one stored property value; 0 when found.
    int readProperty(char const* call, std::string const& name, std::string& value);

private:
    unsigned long m_instanceId = 0;
};

class SybaseInstance : public Instance {
public:
    explicit SybaseInstance(unsigned long instanceId);
    ~SybaseInstance() override;
};

// Property that holds a PostgreSQL instance's write-ahead-log archive directory.
constexpr char const kWalArchiveDirProperty[] = "WriteAheadArchiveLogDir";

class PostgreSQLInstance : public Instance {
public:
    explicit PostgreSQLInstance(unsigned long instanceId);
    ~PostgreSQLInstance() override;

    // 0 and the directory; non-zero (dir unchanged) when the instance is unknown,
    // is not a PostgreSQL instance, or has no such property.
    [[nodiscard]] int getWriteAheadArchiveLogDir(std::string& dir, void* context);
};

// Base of the lookup adapters: keeps the text of the last failure.
class AdaptersBase {
public:
    AdaptersBase() = default;
    virtual ~AdaptersBase();
    char const* getErrorString() const { return m_errorString.c_str(); }

protected:
    std::string m_errorString;
};

// Instance lookup by name.
class InstanceByName : public AdaptersBase {
public:
    InstanceByName() = default;
    ~InstanceByName() override;

    // 1 and *instanceId set when the client has an instance of that application
    // type and (exact) name; 0 when it has none (*instanceId left unchanged);
    // negative on a failure.
    [[nodiscard]] int getInstanceId(unsigned long clientId, unsigned long appType, std::string const& name,
                                    unsigned long* instanceId, void* context);
};
