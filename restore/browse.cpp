// Browse of the index by item name.
#include "nuvdbsnap/restore/browse.h"

#include "nuvdbsnap/platform/appmgr/application.h"
#include "nuvdbsnap/platform/appmgr/backupset.h"
#include "nuvdbsnap/platform/appmgr/client.h"
#include "nuvdbsnap/platform/appmgr/instance.h"
#include "nuvdbsnap/platform/base/log.h"
#include "nuvdbsnap/platform/base/paths.h"
#include "nuvdbsnap/platform/base/strings.h"

#include <cerrno>

namespace {

char const kTag[] = "NuvUtilBrowse::browseByItemName";

CFzError Invalid(FXCodeLocation const& loc, std::string const& text, std::string const& pushed) {
    CFzError e = FXErrorUtil::ErrorErrNo(loc, EINVAL, "%s", text.c_str());
    e.Push(loc, "%s", pushed.c_str());
    g_ptrLogWriter->Write(-1, kTag, 0, "%s: %s", e.AsString(EErrorOutputFormat(2)).c_str(), e.AsString().c_str());
    return e;
}

bool IsSeparator(char c) { return c == '/' || c == '\\'; }

}  // namespace

void NuvUtilBrowse::getFilters(std::string const& input, std::string& pathFilter, std::string& fileNameFilter) {
    size_t p = input.find_last_of("/\\");
    if (p != std::string::npos) {
        fileNameFilter = input.substr(p + 1);
        pathFilter = input.substr(0, p);
        while (!pathFilter.empty() && IsSeparator(pathFilter.back())) pathFilter.pop_back();
    } else {
        fileNameFilter = input;
    }
    if (fileNameFilter.empty()) fileNameFilter = "*";
}

CFzError NuvUtilBrowse::browseByItemName(NuvUtilBrowseRequest& request, NuvUtilBrowseResponse& response) {
    if (request.appTypeId == 0 || request.clientId == 0 || (request.instanceId == 0 && request.subclientId <= 0))
        return Invalid(FZ_LOC, " clientId or one of (Application Id, Instance Id and backupsetId) need to be passed",
                       "Browse inputs cannot be empty");
    if (request.backupsetId == 0) {
        if (request.subclientId > 0) {
            ApplicationId app(static_cast<unsigned long>(request.brannoxId), static_cast<unsigned long>(request.subclientId));
            Instance* instance = app.getInstance(nullptr);
            if (instance == nullptr)
                return Invalid(FZ_LOC, FXString::Format("Failed to lookup application id [%d]", request.subclientId),
                               FXString::Format("Browse inputs' appId [%d] validation failed.", request.subclientId));
            request.instanceId = static_cast<int>(instance->getInstanceId());
            if (BackupSet* set = app.getBackupSet(nullptr)) request.backupsetId = static_cast<int>(set->getBackupSetId());
        } else {
            unsigned long backupSet = 0;
            std::string name;
            ClientApplicationList list;
            if (list.getDefaultBackupSet(static_cast<unsigned long>(request.clientId),
                                         static_cast<unsigned long>(request.appTypeId),
                                         static_cast<unsigned long>(request.instanceId), backupSet, name, nullptr) != 0)
                return Invalid(FZ_LOC, FXString::Format("Failed to lookup instanceid [%d]", request.instanceId),
                               FXString::Format("Browse input instanceid [%d] validation failed.", request.instanceId));
            request.backupsetId = static_cast<int>(backupSet);
        }
    }

    databrowse::BrowseRequest message;
    CNMessageBase* entity = message.getObjectAccessor(3, 3, true, 18, 46);
    entity->setint64(11, 29, request.instanceId);
    entity->setint64(17, 47, request.clientId);
    if (request.subclientId != 0) entity->setint64(5, 11, request.subclientId);
    entity->setint64(1, 1, request.brannoxId);
    entity->setint64(8, 20, request.backupsetId);
    entity->setint64(14, 38, request.appTypeId);

    uint64_t const flags = request.browseFlags;
    CNMessageBase* options = message.getObjectAccessor(7, 7, true, 100, 4);
    options->setint64(44, 44, 1);
    if (flags & 0x1) options->setint64(18, 18, 1);
    options->setint64(1, 1, request.optionFlag ? 1 : 0);
    CNMessageBase* advanced = message.getObjectAccessor(11, 11, true, 100, 63);
    if (flags & 0x4) {
        options->setint64(42, 42, 1);
        CNMessageBase* b3 = advanced->getObjectAccessor(3, 6, true, 100, 61);
        CNMessageBase* b1 = b3->getObjectAccessor(1, 1, true, 100, 9);
        b1->setint64(14, 23, request.brannoxId);
        options->setint64(1, 1, 1);
    }

    std::string pathFilter, fileNameFilter;
    if (!request.inputFilter.empty()) getFilters(request.inputFilter, pathFilter, fileNameFilter);
    std::vector<databrowse::BrowsePath> paths;
    auto addPath = [&paths](std::string const& p) {
        databrowse::BrowsePath bp;
        bp.setstring(1, 1, p);
        paths.push_back(bp);
    };
    bool const byNames = (flags & 0x2) != 0;
    if (!pathFilter.empty()) {
        size_t s = pathFilter.find_first_of("/\\");
        if (s == std::string::npos) {
            (void)FXPath::Append(pathFilter, "**", 0);
            (void)FXPath::Append(pathFilter, "*", 0);
        } else {
            char const sep = pathFilter[s];
            pathFilter += std::string{sep, '*', '*', sep, '*'};
        }
        addPath(pathFilter);
    } else if (!byNames && !request.itemNames.empty()) {
        for (std::string const& n : request.itemNames) addPath(n);
    } else {
        addPath("/**/*");
        addPath("\\**\\*");
    }
    message.setlistobject(4, 4, paths);
    advanced->setint64(1, 1, request.advancedOption);
    databrowse::BrowseMode mode;
    mode.setint64(1, 1, 2);
    message.setObjectAccessor(8, 8, mode);

    databrowse::Query query;
    query.setint64(1, 1, 0);
    CNMessageBase* data = query.getObjectAccessor(5, 8, true, 100, 71);
    databrowse::BrowsePaging paging;
    paging.setint64(1, 1, 0);
    paging.setint64(2, 2, 0);
    paging.setint64(3, 3, 0x7FFFFFFF);
    data->setObjectAccessor(2, 2, paging);
    if (!request.inputFilter.empty() || (byNames && !request.itemNames.empty())) {
        std::vector<databrowse::Criteria> criteria;
        if (!fileNameFilter.empty()) {
            databrowse::Criteria c;
            CNMessageBase* filter = c.getObjectAccessor(1, 1, true, 100, 113);
            filter->setint64(1, 1, 0);
            filter->getlistobject<std::string>(4, 4, true)->push_back(fileNameFilter);
            c.setint64(2, 2, 0);
            criteria.push_back(c);
        }
        if (byNames) {
            databrowse::Criteria c;
            CNMessageBase* filter = c.getObjectAccessor(1, 1, true, 100, 113);
            filter->setint64(1, 1, 137);
            auto* names = filter->getlistobject<std::string>(4, 4, true);
            names->assign(request.itemNames.begin(), request.itemNames.end());
            c.setint64(2, 2, 0);
            criteria.push_back(c);
            if (flags & 0x4) options->setint64(82, 82, 1);
        }
        if (!criteria.empty()) query.setlistobject(8, 11, criteria);
        if (!(flags & 0x4)) options->setint64(2, 2, 1);
    } else if (flags & 0x4) {
        options->setint64(82, 82, 1);
    }
    std::vector<databrowse::Query> queries{query};
    message.setlistobject(12, 12, queries);
    if (request.fromTime != 0 || request.toTime != 0) {
        CNMessageBase* range = message.getObjectAccessor(6, 6, true, 100, 64);
        range->setint64(2, 2, static_cast<int32_t>(request.fromTime));
        range->setint64(1, 1, static_cast<int32_t>(request.toTime));
    }
    g_ptrLogWriter->Write(0, kTag, 0, "Browse for inputFilter [%s] fileNameFilter (%s) pathFilter (%s)",
                          request.inputFilter.c_str(), fileNameFilter.c_str(), pathFilter.c_str());
    return browseByItemName(message, response);
}

CFzError NuvUtilBrowse::browseByItemName(databrowse::BrowseRequest& request, NuvUtilBrowseResponse& response) {
    request.setint64(1, 1, 1);
    response.hasItems = false;
    CNMessageBase const* entity = request.getObjectAccessor(3, 3);
    std::string const worker = FXString::Format("%d-%d-%p", entity ? static_cast<int>(entity->getint64(8, 20)) : 0,
                                                entity ? static_cast<int>(entity->getint64(11, 29)) : 0,
                                                static_cast<void*>(&response));
    IdxBrowseClient client;
    NuvUtilBrowseResponseHandler handler(response);
    int rc = client.Initialize(request, &handler, 2000, nullptr, nullptr);
    if (rc < 0 || client.isInitFailed())
        return FXErrorUtil::ErrorWin32(FZ_LOC, 0x306, "IdxBrowseClient::Initialize failed. BrowseRet=%d", rc);
    if (client.isIndexingV2BrowseRequest()) {
        client.setWorkerId(worker);
    } else if (CNMessageBase* v1 = client.getV1BrowseReq()) {
        v1->setstring(88, 154, worker);
    } else {
        return FXErrorUtil::ErrorWin32(
            FZ_LOC, 0x306, "IdxBrowseClient::Initialize failed iBrowseRet=%d, getIndexingRequest() returned NULL", rc);
    }
    if (g_ptrLogWriter->enabled(2)) {
        std::string firstPath, firstCriteria;
        if (auto* paths = request.getlistobject<CNMessageBase>(4, 4); paths && !paths->empty())
            firstPath = paths->front().getstring(1, 1);
        if (auto* qs = request.getlistobject<CNMessageBase>(12, 12); qs && !qs->empty())
            if (auto* cs = qs->front().getlistobject<CNMessageBase>(8, 11); cs && !cs->empty())
                if (auto* f = cs->front().getObjectAccessor(1, 1, false))
                    if (auto* names = f->getlistobject<std::string>(4, 4); names && !names->empty())
                        firstCriteria = names->front();
        g_ptrLogWriter->Write(2, kTag, 0,
                              "%s:Getting items for SourcePath '%s', QueryPath '%s', FilenameCriteria '%s', "
                              "InstanceId=%d, BrannoxId=%u, ClientId=%u, BackupsetId=%u, SubclientId=%d, AppTypeId=%d",
                              worker.c_str(), "/", firstPath.c_str(), firstCriteria.c_str(),
                              entity ? static_cast<int>(entity->getint64(11, 29)) : 0,
                              entity ? static_cast<unsigned>(entity->getint64(1, 1)) : 0u,
                              entity ? static_cast<unsigned>(entity->getint64(17, 47)) : 0u,
                              entity ? static_cast<unsigned>(entity->getint64(8, 20)) : 0u,
                              entity ? static_cast<int>(entity->getint64(5, 11)) : 0,
                              entity ? static_cast<int>(entity->getint64(14, 38)) : 0);
    }
    if (g_ptrLogWriter->enabled(6))
        g_ptrLogWriter->Write(6, kTag, 0, "%s:XML\n%s", worker.c_str(), client.serializeRequest().c_str());
    rc = client.Browse(nullptr, nullptr);
    if (rc < 0)
        return FXErrorUtil::ErrorWin32(FZ_LOC, 0x306,
                                       "%s:Failed to get items from index. IdxBrowseClient::Browse failed. BrowseRet=%d",
                                       worker.c_str(), rc);
    if (response.status != 0)
        return FXErrorUtil::ErrorWin32(FZ_LOC, 0x306, "%s:Response invalid or BROWSE_PARTIAL. BrowseRet=%d",
                                       worker.c_str(), rc);
    return CFzError::Success();
}

int NuvUtilBrowse::NuvUtilBrowseResponseHandler::processResp(CNMessageBase* answer) {
    return NuvUtilBrowse::processResp(m_response, answer) ? 0 : 1;
}

bool NuvUtilBrowse::processResp(NuvUtilBrowseResponse& response, CNMessageBase* answer) {
    char const tag[] = "NuvUtilBrowse::processResp";
    response.status = 0;
    if (answer == nullptr) {
        g_ptrLogWriter->Write(-1, tag, 0, "Browse Response message of invalid type");
        return true;
    }
    if (answer->getTagID() != databrowse::BrowseResponse::kTagId) {
        g_ptrLogWriter->Write(-1, tag, 0, "unexpected message type : %s", answer->getTagName().c_str());
        return true;
    }
    switch (answer->getint64(1)) {
    case 3: response.status = 1; break;
    case 2: response.status = 2; break;
    case 4: response.status = 3; break;
    default: response.status = 0; break;
    }
    if (response.status != 0) {
        if (auto* errors = answer->getlistobject<CNMessageBase>(4, 7); errors && !errors->empty()) {
            response.errorMessage = errors->front().getstring(2, 2);
            response.errorCode = static_cast<int>(errors->front().getint64(1));
        }
        if (response.status == 1) {
            g_ptrLogWriter->Write(-1, tag, 0, "Index response reporter %d : %s, code [%d]", response.status,
                                  response.errorMessage.c_str(), response.errorCode);
            return false;
        }
    }
    std::string const queryId = answer->getstring(2, 2);
    if (g_ptrLogWriter->enabled(3)) {
        std::string xml;
        (void)answer->serialize(xml);
        g_ptrLogWriter->Write(3, tag, 0, "queryId:%s\nXML[%s]", queryId.c_str(), xml.c_str());
    }
    CNMessageBase* block = answer->getObjectAccessor(6, 9, false);
    std::vector<CNMessageBase>* list = block ? block->getlistobject<CNMessageBase>(3, 6) : nullptr;
    if (list == nullptr || list->empty()) {
        g_ptrLogWriter->Write(-1, tag, 0, "Empty results");
        if ((response.items && response.hasItems) || (response.errorCode != 0 && response.errorMessage.empty()))
            return true;
        response.errorMessage = "Empty Results";
        response.errorCode = -1;
        response.items.reset();
        return false;
    }
    if (!response.items) response.items.reset(new std::list<NuvUtilBrowseItem>);
    size_t index = 0;
    for (CNMessageBase& data : *list) {
        CNMessageBase* b = data.getObjectAccessor(9, 21, false);
        CNMessageBase* brannox = b ? b->getObjectAccessor(7, 10, false) : nullptr;
        CNMessageBase* sub = b ? b->getObjectAccessor(4, 7, false) : nullptr;
        int const level = index++ == 0 ? 0 : 2;
        if (g_ptrLogWriter->enabled(level))
            g_ptrLogWriter->Write(level, tag, 0,
                                  "brannoxid:%d jobId:%lld agroupid:%d afileid:%d offset:%lld path:%s itemName=%s "
                                  "flag=%d noOfItems=%zd",
                                  brannox ? static_cast<int>(brannox->getint64(0, 0)) : 0,
                                  b ? static_cast<long long>(b->getint64(9)) : 0LL, b ? static_cast<int>(b->getint64(11)) : 0,
                                  b ? static_cast<int>(b->getint64(12)) : 0, b ? static_cast<long long>(b->getint64(13)) : 0LL,
                                  data.getstring(7, 13).c_str(), data.getstring(5, 5).c_str(), 0,
                                  static_cast<ssize_t>(list->size()));
        response.items->emplace_back();
        NuvUtilBrowseItem& item = response.items->back();
        if (brannox) item.brannoxId = static_cast<int>(brannox->getint64(0, 0));
        if (b) {
            item.archiveGroupId = static_cast<int>(b->getint64(11));
            item.archiveFileId = static_cast<int>(b->getint64(12));
            item.offset = b->getint64(13);
            item.jobId = b->getint64(9);
        }
        item.browseField2 = static_cast<int>(data.getint64(2));
        item.itemName = data.getstring(5, 5);
        if (sub) item.subclientId = static_cast<int>(sub->getint64(5, 11));
        if (response.metadataCallback && b && b->isSet(11)) {
            auto* meta = b->getObjectAccessor<IdxMetadata::IdxMetaData>(11, 14, false);
            if (meta) response.metadataCallback(item, meta);
        }
        response.hasItems = true;
    }
    return true;
}

extern "C" int nuvBrowseByItemName(void* request, void* response, void* error) {
    if (request == nullptr || response == nullptr || error == nullptr) {
        g_ptrLogWriter->Write(-1, "nuvBrowseByItemName", 0, "Invalid arguments to nuvBrowseByItemName");
        return -1;
    }
    *static_cast<CFzError*>(error) =
        NuvUtilBrowse::browseByItemName(*static_cast<NuvUtilBrowse::NuvUtilBrowseRequest*>(request),
                                        *static_cast<NuvUtilBrowse::NuvUtilBrowseResponse*>(response));
    return 0;
}
