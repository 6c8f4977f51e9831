// NuvUtilBrowse: finds backed-up items in the index by name. The caller fills
// a request (application, ids, a path and file-name filter, item names, time
// range), runs browseByItemName (or the C entry point nuvBrowseByItemName)
// and gets the items (name, archive-file key, offset, job, subclient).
#pragma once

#include "nuvdbsnap/foundation/error.h"
#include "nuvdbsnap/platform/msg/index_clients.h"
#include "nuvdbsnap/platform/msg/messages.h"

#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <string>
#include <vector>

class NuvUtilBrowse {
public:
    struct NuvUtilBrowseItem {
        NuvUtilBrowseItem() = default;
        NuvUtilBrowseItem(NuvUtilBrowseItem&&) = default;
        NuvUtilBrowseItem(NuvUtilBrowseItem const&) = default;
        ~NuvUtilBrowseItem() = default;
        std::string itemName;
        int brannoxId = 2;
        int archiveGroupId = 0;
        int archiveFileId = 0;
        int64_t offset = 0;
        int64_t jobId = 0;
        int subclientId = -1;
        int browseField2 = 0;
        int64_t spareValue = 0;
    };

    struct NuvUtilBrowseRequest {
        int appTypeId = 0;
        int brannoxId = 2;
        int clientId = 0;
        int instanceId = 0;
        int backupsetId = 0;
        int subclientId = 0;
        int advancedOption = 0;
        int64_t fromTime = 0;
        int64_t toTime = 0;
        bool optionFlag = false;
        std::string inputFilter;
        uint64_t browseFlags = 0;
        std::vector<std::string> itemNames;
    };

    struct NuvUtilBrowseResponse {
        std::unique_ptr<std::list<NuvUtilBrowseItem>> items;
        int errorCode = 0;
        std::string errorMessage;
        int status = 0;
        bool hasItems = false;
        std::function<void(NuvUtilBrowseItem&, IdxMetadata::IdxMetaData*)> metadataCallback;
    };

    class NuvUtilBrowseResponseHandler : public IdxBrowseClientResp {
    public:
        explicit NuvUtilBrowseResponseHandler(NuvUtilBrowseResponse& response) : m_response(response) {}
        int processResp(CNMessageBase* answer) override;
        ~NuvUtilBrowseResponseHandler() override = default;

    private:
        NuvUtilBrowseResponse& m_response;
    };

    static CFzError browseByItemName(NuvUtilBrowseRequest& request, NuvUtilBrowseResponse& response);
    static CFzError browseByItemName(databrowse::BrowseRequest& request, NuvUtilBrowseResponse& response);
    static void getFilters(std::string const& input, std::string& pathFilter, std::string& fileNameFilter);
    static bool processResp(NuvUtilBrowseResponse& response, CNMessageBase* answer);
};

// The C entry point: request (NuvUtilBrowse::NuvUtilBrowseRequest*), response
// (NuvUtilBrowse::NuvUtilBrowseResponse*), error (CFzError*). -1 for a null
// argument; otherwise 0, the browse's result in *error.
extern "C" int nuvBrowseByItemName(void* request, void* response, void* error);
