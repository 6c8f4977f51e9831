// The snap-handler plug-in: its open-once holder and its caller.
#include "nuvdbsnap/engine/snap_handler_interface.h"

#include "nuvdbsnap/engine/snap_handler_entry.h"
#include "nuvdbsnap/platform/base/library.h"
#include "nuvdbsnap/platform/base/log.h"
#include "nuvdbsnap/platform/snapmgr/sm_vol_snap_info.h"

#include <string>

namespace {

std::string& LoaderError() {
    static std::string text;
    return text;
}

// The process's one holder of the plug-in: unopened at load, closed at exit.
NuvObjectUtil<DlOpenObject> snapHandler(false);

}  // namespace

void DlOpenObject::operator()(NuvCallType callType, void** handle) const {
    if (callType == NUV_CALL_OPEN) {
        CFzLibrary* library = new CFzLibrary(true);
        CFzError error = library->Load(LibraryName(), false);
        if (error.IsError()) {
            LoaderError() = error.AsString();
            delete library;
            *handle = nullptr;
        } else {
            *handle = library;
        }
    } else if (callType == NUV_CALL_CLOSE) {
        if (*handle != nullptr) {
            delete static_cast<CFzLibrary*>(*handle);
            *handle = nullptr;
        }
    }
}

char const* DlOpenObject::LastError() { return LoaderError().c_str(); }

SnapHandlerInterface::SnapHandlerInterface(bool const& verbose)
    : m_libraryHandle(nullptr), m_logger(new EvEvent()), m_verbose(verbose) {}

SnapHandlerInterface::~SnapHandlerInterface() { delete m_logger; }

int SnapHandlerInterface::loadSnapHandlerLibrary() {
    static char const* const kTag = "SnapHandlerInterface::loadSnapHandlerLibrary()";
    m_libraryHandle = snapHandler.initialize();
    if (m_libraryHandle == nullptr) {
        EvDebug::Debug(m_logger, kTag, "Unable to load Snap Library %s", DlOpenObject::LastError());
        return -1;
    }
    return 0;
}

void* SnapHandlerInterface::getFunction(char const* name) {
    static char const* const kTag = "SnapHandlerInterface::getFunction";
    if (m_libraryHandle == nullptr) {
        EvDebug::Debug(m_logger, kTag, "Snaplibrary Handle being initialized ");
        (void)loadSnapHandlerLibrary();
        if (m_libraryHandle == nullptr) {
            EvDebug::Debug(m_logger, kTag, "Snaplibrary Handle not initialized ");
            return nullptr;
        }
    }
    void* entry = nullptr;
    CFzError error = static_cast<CFzLibrary*>(m_libraryHandle)->GetAddress(name, entry);
    if (error.IsError() || entry == nullptr) {
        (void)loadSnapHandlerLibrary();
        entry = nullptr;
        if (m_libraryHandle != nullptr)
            error = static_cast<CFzLibrary*>(m_libraryHandle)->GetAddress(name, entry);
        if (error.IsError() || entry == nullptr) {
            LoaderError() = error.AsString();
            EvDebug::Debug(m_logger, kTag, "Unable to load function %s from the library , error is %s",
                           name != nullptr ? name : "", LoaderError().c_str());
            return nullptr;
        }
    }
    return entry;
}

int SnapHandlerInterface::createSnapShot(SMVolSnapInfo& record, ErrorCallback callback, void* context,
                                         bool /*flag*/) {
    static char const* const kTag = "SnapHandlerInterface::createSnapShot";
    if (m_verbose) EvDebug::Debug(m_logger, kTag, "Entering function");

    void* address = getFunction(JZSNAPHANDLER_ENTRY_NAME);
    EvDebug::DebugLvl(m_logger, 1, kTag, "Calling CreateSnapShot function address %p ", address);
    auto entry = reinterpret_cast<JZSnapHandlerCreateSnapShotFn>(address);
    if (entry == nullptr || !entry(record)) {
        int const code = record.getErrorCode();
        std::string const text = record.getErrorString();
        EvDebug::Debug(m_logger, kTag, "Multi-Snap failed with the following error\n ErrorCode:%d: %s ", code,
                       text.c_str());
        if (callback != nullptr) callback(context, -1, "<Multi-Snap Mount>", code, text.c_str());
        return -1;
    }
    EvDebug::DebugLvl(m_logger, 1, kTag, "Calling createSnapShot return success.");
    if (m_verbose) EvDebug::Debug(m_logger, kTag, "End function");
    return 0;
}
