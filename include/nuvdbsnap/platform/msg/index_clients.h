// The inline parts of the index-browse client and of the index lookup that
// callers rely on: the browse client's held first-generation request and its
// init-failed flag, the lookup's init flags and cache type.
#pragma once

#include <cstdint>
#include <memory>
#include <utility>

#include "nuvdbsnap/platform/msg/messages.h"

// Index-browse client. Holds the request it built while initialising (none
// before) and whether initialising failed.
class IdxBrowseClient {
public:
    IdxBrowseClient() = default;
    IdxBrowseClient(IdxBrowseClient const&) = delete;
    IdxBrowseClient& operator=(IdxBrowseClient const&) = delete;
    virtual ~IdxBrowseClient() = default;

    bool isInitFailed() const { return m_initFailed; }

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

private:
    std::uint32_t m_initFlags = 0;
    std::uint32_t m_cacheType = 0;
};
