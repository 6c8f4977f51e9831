// Job-info containers: collected in memory by the store, saved whole per job
// in idx_jobinfo, read back by the readers.
#include "nuvdbsnap/platform/indexing/jobinfo.h"

#include "store.h"
#include "nuvdbsnap/platform/jobmgr/jobstore.h"
#include "nuvdbsnap/platform/suite/catalogue.h"

using nuvsuite::AsInt;
using nuvsuite::AsText;
using nuvsuite::Catalogue;
using nuvsuite::CatRow;

CFzError CBag::Write(std::string const& key, std::string const& value) {
    m_values[key] = value;
    return CFzError::Success();
}

CFzError CBag::Write(std::string const& key, int value) { return Write(key, std::to_string(value)); }

CFzError CBag::Read(std::string const& key, std::string& value) const {
    auto found = m_values.find(key);
    if (found == m_values.end()) return FXErrorUtil::ErrorWin32(FZ_LOC, 2, "no key [%s]", key.c_str());
    value = found->second;
    return CFzError::Success();
}

std::vector<std::string> CBag::allKeys() const {
    std::vector<std::string> keys;
    for (auto const& kv : m_values) keys.push_back(kv.first);
    return keys;
}

CJobInfoMetadataStore::CJobInfoMetadataStore(std::string host, std::string jobToken, int64_t jobId,
                                             unsigned brannoxId, unsigned appId)
    : m_host(std::move(host)), m_token(std::move(jobToken)), m_jobId(jobId), m_brannoxId(brannoxId),
      m_appId(appId) {}

boost::shared_ptr<CBag> CJobInfoMetadataStore::getContainerBag(std::string const& container) {
    boost::shared_ptr<CBag>& bag = m_containers[container];
    if (!bag) bag = boost::shared_ptr<CBag>(new CBag);
    return bag;
}

CFzError CJobInfoMetadataStore::addFile(std::string const& key, std::string const& path) {
    if (key.empty() || path.empty()) return FXErrorUtil::ErrorWin32(FZ_LOC, 87, "empty key or file path");
    m_files[key].push_back(path);
    return CFzError::Success();
}

CFzError CJobInfoMetadataStore::enterSetKeyValue(std::string const& container, std::string const& key) const {
    std::string const args = "job=" + std::to_string(m_jobId) + " container=" + container + " key=" + key;
    int code = -1;
    std::string text;
    if (!nuvindexing::detail::Enter("CJobInfoMetadataStore::setKeyValue", args, &code, &text))
        return FXErrorUtil::ErrorWin32(FZ_LOC, static_cast<unsigned>(code < 0 ? -code : code), "%s", text.c_str());
    return CFzError::Success();
}

CFzError CJobInfoMetadataStore::backupData(std::string const& host, std::string const& jobToken,
                                           int64_t archFileId) {
    std::string args = "host=" + host + " job=" + std::to_string(m_jobId) + " afile=" + std::to_string(archFileId);
    int code = -1;
    std::string text;
    if (!nuvindexing::detail::Enter("CJobInfoMetadataStore::backupData", args, &code, &text))
        return FXErrorUtil::ErrorWin32(FZ_LOC, static_cast<unsigned>(code < 0 ? -code : code), "%s", text.c_str());
    int64_t jobId = m_jobId;
    nuvjobmgr::JobInfo job;
    if (!jobToken.empty() && nuvjobmgr::FindJobByToken(jobToken, &job)) jobId = job.id;
    if (jobId <= 0) return FXErrorUtil::ErrorWin32(FZ_LOC, 1168, "no job to save job information for");
    Catalogue& cat = Catalogue::Instance();
    CFzError e = cat.Transaction([&]() -> CFzError {
        CFzError err = cat.Exec("DELETE FROM idx_jobinfo WHERE job_id = ?", {jobId});
        if (err.IsError()) return err;
        auto put = [&](std::string const& container, std::string const& key, int64_t seq, std::string const& value) {
            return cat.Exec("INSERT INTO idx_jobinfo(job_id, container, key, seq, value, afile_id) VALUES(?, ?, ?, ?, ?, ?)",
                            {jobId, container, key, seq, value, archFileId});
        };
        for (auto const& c : m_containers) {
            if (c.second->values().empty()) {
                err = put(c.first, "", -1, "");   // an empty container still exists
                if (err.IsError()) return err;
            }
            for (auto const& kv : c.second->values()) {
                err = put(c.first, kv.first, 0, kv.second);
                if (err.IsError()) return err;
            }
        }
        for (auto const& f : m_files) {
            for (size_t i = 0; i < f.second.size(); ++i) {
                err = put("", f.first, int64_t(i) + 1, f.second[i]);
                if (err.IsError()) return err;
            }
        }
        if (m_flags != 0) return put("", "flags", 0, std::to_string(m_flags));
        return CFzError::Success();
    });
    if (e.IsError()) return e.Push(FZ_LOC);
    return CFzError::Success();
}

class CJobInfoMetadataFactoryPrivate {
public:
    boost::shared_ptr<CJobInfoMetadataStore> store;
};

CJobInfoMetadataStoreFactory::CJobInfoMetadataStoreFactory(std::string const& host, std::string const& jobToken,
                                                           uint64_t jobId, uint64_t brannoxId, uint64_t appId)
    : m_private(new CJobInfoMetadataFactoryPrivate) {
    int64_t job = static_cast<int64_t>(jobId);
    nuvjobmgr::JobInfo info;
    if (!jobToken.empty() && nuvjobmgr::FindJobByToken(jobToken, &info)) job = info.id;
    if (job > 0 && nuvjobmgr::GetJob(job, nullptr))
        m_private->store.reset(new CJobInfoMetadataStore(host, jobToken, job, static_cast<unsigned>(brannoxId),
                                                         static_cast<unsigned>(appId)));
}

CJobInfoMetadataStoreFactory::~CJobInfoMetadataStoreFactory() { m_private.reset(); }

boost::shared_ptr<CJobInfoMetadataStore> CJobInfoMetadataStoreFactory::GetInstance(unsigned) {
    return m_private->store;
}

boost::shared_ptr<CBag> CJobInfoMetadataReader::getContainerBag(std::string const& container, int) {
    std::vector<CatRow> rows;
    if (Catalogue::Instance()
            .Query("SELECT key, seq, value FROM idx_jobinfo WHERE job_id = ? AND container = ? ORDER BY key, seq",
                   {m_jobId, container}, &rows)
            .IsError() ||
        rows.empty())
        return boost::shared_ptr<CBag>();
    boost::shared_ptr<CBag> bag(new CBag);
    for (CatRow const& r : rows) {
        if (AsInt(r[1]) < 0) continue;   // the mark of an empty container
        (void)bag->Write(AsText(r[0]), AsText(r[2]));   // a file key reads as its last file
    }
    return bag;
}

CJobInfoMetadataReaderManager::CJobInfoMetadataReaderManager(std::string const&, uint32_t jobId, uint32_t snapJobId,
                                                             unsigned, unsigned, int, int) {
    if (jobId != 0) m_jobs.push_back(jobId);
    if (snapJobId != 0 && snapJobId != jobId) m_jobs.push_back(snapJobId);
}

CFzError CJobInfoMetadataReaderManager::GetReaderForKey(std::string const& container, std::string const& key,
                                                        DWORD) {
    std::string args = "container=" + container + " key=" + key;
    int code = -1;
    std::string text;
    m_active.reset();
    if (!nuvindexing::detail::Enter("CJobInfoMetadataReaderManager::GetReaderForKey", args, &code, &text))
        return FXErrorUtil::ErrorWin32(FZ_LOC, static_cast<unsigned>(code < 0 ? -code : code), "%s", text.c_str());
    bool anyContainer = false;
    for (int64_t job : m_jobs) {
        boost::shared_ptr<CJobInfoMetadataReader> reader(new CJobInfoMetadataReader(job));
        boost::shared_ptr<CBag> bag = reader->getContainerBag(container, 2);
        if (!bag) continue;
        anyContainer = true;
        std::string value;
        if (bag->Read(key, value).IsError()) continue;
        m_active = reader;
        return CFzError::Success();
    }
    if (!anyContainer) return FXErrorUtil::ErrorWin32(FZ_LOC, 1168, "no container [%s]", container.c_str());
    return FXErrorUtil::ErrorWin32(FZ_LOC, 2, "no key [%s] in container [%s]", key.c_str(), container.c_str());
}
