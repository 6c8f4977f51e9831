// The caller of the snap-handler plug-in "libJZSnapHandler.so" and the
// process-wide holder that opens the plug-in once (on first use, through the
// system's library search) and closes it at process exit. A failed open is
// final for the process: it is never tried again.
#pragma once

#include "nuvdbsnap/engine/snap_util_types.h"

class EvEvent;
class SMVolSnapInfo;

// Call types of the open-once holder's functor.
enum NuvCallType { NUV_CALL_NONE = 0, NUV_CALL_OPEN = 1, NUV_CALL_CLOSE = 2 };

// Opens (call type 1) or closes (call type 2) the snap-handler plug-in. The
// handle it stores is the base library's loader object of the plug-in (null
// when the open failed); other call types do nothing.
struct DlOpenObject {
    void operator()(NuvCallType callType, void** handle) const;
    static char const* LibraryName() { return "libJZSnapHandler.so"; }
    // The loader's text of the last failed open or lookup ("" when none).
    static char const* LastError();
};

// Open-once holder: initialize() opens at its first call only, whatever the result.
template <class Functor>
class NuvObjectUtil {
public:
    explicit NuvObjectUtil(bool const& openNow) {
        if (openNow) initialize();
    }
    NuvObjectUtil(NuvObjectUtil const&) = delete;
    NuvObjectUtil& operator=(NuvObjectUtil const&) = delete;
    ~NuvObjectUtil() { m_functor(NUV_CALL_CLOSE, &m_handle); }

    void* initialize() {
        if (!m_opened) {
            m_functor(NUV_CALL_OPEN, &m_handle);
            m_opened = true;
        }
        return m_handle;
    }
    bool opened() const { return m_opened; }

private:
    Functor m_functor{};
    void* m_handle = nullptr;
    bool m_opened = false;
};

// One snapshot through the plug-in: build, loadSnapHandlerLibrary, createSnapShot.
class SnapHandlerInterface {
public:
    explicit SnapHandlerInterface(bool const& verbose);
    SnapHandlerInterface(SnapHandlerInterface const&) = delete;
    SnapHandlerInterface& operator=(SnapHandlerInterface const&) = delete;
    ~SnapHandlerInterface();

    // 0 when the plug-in is loaded, -1 otherwise (the loader's text is logged).
    [[nodiscard]] int loadSnapHandlerLibrary();
    // The plug-in's entry of that name, or null (looked up anew on every call).
    void* getFunction(char const* name);
    // Snaps the record through the plug-in: 0 on success; -1 on failure, after
    // calling the callback (when given) with (context, -1, "<Multi-Snap Mount>",
    // the record's error code, the record's error text). The flag is not used.
    [[nodiscard]] int createSnapShot(SMVolSnapInfo& record, ErrorCallback callback, void* context, bool flag);

private:
    void* m_libraryHandle = nullptr;
    EvEvent* m_logger = nullptr;
    bool m_verbose = false;
};
