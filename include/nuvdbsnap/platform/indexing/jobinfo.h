// The job-info metadata of the index: per backup job, named containers of
// key-value pairs. The store collects them in memory and saves them on the
// index side (backupData); readers read what a job saved.
#pragma once

#include "nuvdbsnap/foundation/error.h"
#include "nuvdbsnap/platform/base/log.h"

#include <boost/shared_ptr.hpp>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

typedef unsigned long DWORD;

// Keys and text values of one container.
class CBag {
public:
    [[nodiscard]] CFzError Write(std::string const& key, std::string const& value);
    [[nodiscard]] CFzError Write(std::string const& key, int value);
    // Win32 2 (with the key in the text) when the key is absent; value untouched.
    [[nodiscard]] CFzError Read(std::string const& key, std::string& value) const;
    std::vector<std::string> allKeys() const;
    std::map<std::string, std::string> const& values() const { return m_values; }

private:
    std::map<std::string, std::string> m_values;
};

// The store of one job (made by the factory).
class CJobInfoMetadataStore {
public:
    CJobInfoMetadataStore(std::string host, std::string jobToken, int64_t jobId, unsigned brannoxId, unsigned appId);
    virtual ~CJobInfoMetadataStore() = default;

    // The container's bag, made when absent (the empty name is a valid name).
    virtual boost::shared_ptr<CBag> getContainerBag(std::string const& container);

    // Writes a value into a container (a call of the service: journalled, and
    // failed by the fault table).
    template <class T>
    CFzError setKeyValue(std::string const& container, std::string const& key, T const& value);

    // Files registered under a key of the empty container (one value per file,
    // kept in order); flags of the job's block-level data.
    [[nodiscard]] CFzError addFile(std::string const& key, std::string const& path);
    void setFlags(uint32_t flags) { m_flags = flags; }
    uint32_t flags() const { return m_flags; }

    // Saves every container whole for the job (replacing what it saved
    // before) together with the archive file id. The job is the one that holds
    // the token, else the factory's job id.
    [[nodiscard]] CFzError backupData(std::string const& host, std::string const& jobToken, int64_t archFileId);

private:
    [[nodiscard]] CFzError enterSetKeyValue(std::string const& container, std::string const& key) const;

    std::string m_host;
    std::string m_token;
    int64_t m_jobId;
    unsigned m_brannoxId;
    unsigned m_appId;
    uint32_t m_flags = 0;
    std::map<std::string, boost::shared_ptr<CBag>> m_containers;
    std::map<std::string, std::vector<std::string>> m_files;
};

template <class T>
CFzError CJobInfoMetadataStore::setKeyValue(std::string const& container, std::string const& key, T const& value) {
    CFzError entered = enterSetKeyValue(container, key);
    if (entered.IsError()) return entered;
    boost::shared_ptr<CBag> bag = getContainerBag(container);
    if (!bag) return FXErrorUtil::ErrorWin32(FZ_LOC, 1168);
    CFzError e = bag->Write(key, value);
    if (e.IsError()) return e.Push(FZ_LOC);
    return CFzError::Success();
}

class CJobInfoMetadataFactoryPrivate;

class CJobInfoMetadataStoreFactory {
public:
    CJobInfoMetadataStoreFactory(std::string const& host, std::string const& jobToken, uint64_t jobId,
                                 uint64_t brannoxId, uint64_t appId);
    virtual ~CJobInfoMetadataStoreFactory();
    // The job's store (one per factory); null when the job is unknown.
    boost::shared_ptr<CJobInfoMetadataStore> GetInstance(unsigned kind);

private:
    boost::shared_ptr<CJobInfoMetadataFactoryPrivate> m_private;
};

// Reads the containers one job saved.
class CJobInfoMetadataReader {
public:
    explicit CJobInfoMetadataReader(int64_t jobId) : m_jobId(jobId) {}
    virtual ~CJobInfoMetadataReader() = default;
    int64_t jobId() const { return m_jobId; }
    // The saved container; null when the job saved none of that name.
    boost::shared_ptr<CBag> getContainerBag(std::string const& container, int kind);
    template <class T>
    CFzError getValueForKey(std::string const& container, std::string const& key, T& value);

private:
    int64_t m_jobId;
};

// Picks the job whose saved containers answer a key: the running job first,
// then the snapshot job.
class CJobInfoMetadataReaderManager {
public:
    CJobInfoMetadataReaderManager(std::string const& host, uint32_t jobId, uint32_t snapJobId, unsigned brannoxId,
                                  unsigned appId, int reserved1, int reserved2);
    virtual ~CJobInfoMetadataReaderManager() = default;
    void setSeparator(char separator) { m_separator = separator; }

    // Win32 1168 when no job saved the container, Win32 2 when none holds the key.
    [[nodiscard]] CFzError GetReaderForKey(std::string const& container, std::string const& key, DWORD selector);
    boost::shared_ptr<CJobInfoMetadataReader> GetActiveMetadataReader() const { return m_active; }

    template <class T>
    CFzError GetValueForKey(std::string const& container, std::string const& key, T& value, DWORD selector);

private:
    std::vector<int64_t> m_jobs;
    char m_separator = '/';
    boost::shared_ptr<CJobInfoMetadataReader> m_active;
};

template <>
inline CFzError CJobInfoMetadataReader::getValueForKey<std::string>(std::string const& container,
                                                                    std::string const& key, std::string& value) {
    boost::shared_ptr<CBag> bag = getContainerBag(container, 2);
    if (!bag) return FXErrorUtil::ErrorWin32(FZ_LOC, 1168, "Error retrieving container.");
    if (bag->allKeys().empty() && g_ptrLogWriter && g_ptrLogWriter->getLevel() > 2)
        g_ptrLogWriter->Write(3, "CJobInfoMetadataReader::getValueForKey", 0, "Container empty, no values returned.");
    CFzError e = bag->Read(key, value);
    if (e.IsError()) return e.Push(FZ_LOC);
    return CFzError::Success();
}

template <>
inline CFzError CJobInfoMetadataReaderManager::GetValueForKey<std::string>(std::string const& container,
                                                                           std::string const& key,
                                                                           std::string& value, DWORD selector) {
    CFzError e = GetReaderForKey(container, key, selector);
    if (e.IsError()) return e.Push(FZ_LOC);
    boost::shared_ptr<CJobInfoMetadataReader> reader = GetActiveMetadataReader();
    if (!reader) return FXErrorUtil::ErrorWin32(FZ_LOC, 14);
    e = reader->getValueForKey<std::string>(container, key, value);
    if (e.IsError()) return e.Push(FZ_LOC);
    return CFzError::Success();
}
