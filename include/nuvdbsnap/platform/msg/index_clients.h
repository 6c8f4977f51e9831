// The inline parts of the index-browse client and of the index lookup that
// callers rely on: the browse client's held first-generation request and its
// init-failed flag, the lookup's init flags and cache type. The operations
// that reach the index (Initialize, Browse, init, lookup) belong to the
// indexing service (platform/indexing).
#pragma once

#include <cstdint>
#include <list>
#include <memory>
#include <string>
#include <utility>

#include "nuvdbsnap/platform/msg/messages.h"

class FetchIndexInfoSendRes;

// Handler of browse answers: processResp is called once per answer.
class IdxBrowseClientResp {
public:
    virtual ~IdxBrowseClientResp() = default;
    virtual int processResp(CNMessageBase* answer) = 0;
};

// Index-browse client. Holds the request it built while initialising (none
// before) and whether initialising failed.
class IdxBrowseClient {
public:
    IdxBrowseClient() = default;
    IdxBrowseClient(IdxBrowseClient const&) = delete;
    IdxBrowseClient& operator=(IdxBrowseClient const&) = delete;
    virtual ~IdxBrowseClient() = default;

    bool isInitFailed() const { return m_initFailed; }

    // Sets the browse up for a databrowse::BrowseRequest (its entity names the
    // Brannox id and the subclient's application id). For a first-generation
    // application the held request is an Indexing::BrowseReq naming the data
    // mover of the index (84,138), the subclient name (38,62) and the
    // application id (14,14). 0 on success, -1 (and isInitFailed) otherwise.
    int Initialize(CNMessageBase request, IdxBrowseClientResp* handler, int timeoutSeconds, char const* name,
                   void* interruptHook);
    // True when the initialised browse runs on the second-generation index.
    bool isIndexingV2BrowseRequest() const { return m_v2; }
    void setWorkerId(std::string const& id) { m_workerId = id; }
    // The initialised request's XML text ("" before Initialize).
    std::string serializeRequest() const;
    // Runs the browse: with a response list its content is replaced by the
    // answers (a databrowse::BrowseResponseList); otherwise the handler gets
    // each answer. 0 on success, -1 on failure (also before Initialize).
    int Browse(CNMessageBase* request, CNMessageBase* responses);

    // The held request when there is one and it is a first-generation
    // request (tag 0x3052B594); null otherwise. Owned by the client.
    CNMessageBase* getV1BrowseReq() const {
        if (m_request && m_request->getTagID() == Indexing::BrowseReq::kTagId) return m_request.get();
        return nullptr;
    }

protected:
    // Used while initialising: the request built, and the outcome.
    void setHeldRequest(std::unique_ptr<CNMessageBase> request) { m_request = std::move(request); }
    void setInitFailed(bool failed) { m_initFailed = failed; }

private:
    std::unique_ptr<CNMessageBase> m_request;
    std::unique_ptr<CNMessageBase> m_browseRequest;   // the request Initialize was given
    IdxBrowseClientResp* m_handler = nullptr;
    std::string m_workerId;
    bool m_v2 = false;
    bool m_initFailed = false;
};

// Index lookup: 32-bit init flags and a 32-bit cache type set before init.
class FetchIndexInfo {
public:
    FetchIndexInfo() = default;
    virtual ~FetchIndexInfo() = default;

    void setCacheType(unsigned type) { m_cacheType = static_cast<std::uint32_t>(type); }
    void setInitFlags(unsigned bits) { m_initFlags |= static_cast<std::uint32_t>(bits); }
    void clearInitFlags(unsigned bits) { m_initFlags &= ~static_cast<std::uint32_t>(bits); }

    std::uint32_t getInitFlags() const { return m_initFlags; }
    std::uint32_t getCacheType() const { return m_cacheType; }

    // Chooses the index to read: the application's visible runs up to endTime
    // (0: no bound), of the newest job among them. 0 on success.
    int init(std::string& host, unsigned brannoxId, unsigned appId, unsigned endTime, unsigned appType);
    // Hands every entry that one of the patterns selects (pattern rules of
    // GetIndexArchFileInfo) to the adaptor, in batches; the newest run of the
    // chosen job wins for a path. 0 on success; -1 before init, on a failed
    // read, or when the adaptor returned a negative value.
    int lookup(std::list<std::string> const& patterns, FetchIndexInfoSendRes* adaptor);

private:
    std::uint32_t m_initFlags = 0;
    std::uint32_t m_cacheType = 0;
    std::int64_t m_jobId = -1;       // chosen by init; -1 before
    std::uint32_t m_appId = 0;
    std::uint32_t m_appType = 0;
};
