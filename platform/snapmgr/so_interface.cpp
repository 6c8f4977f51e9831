// JZSOInterface: the in-process operation interface; the same snapshot manager
// operations as the snapshot client, with the last error kept on the interface.
#include "nuvdbsnap/foundation/so_interface.h"

#include "nuvdbsnap/platform/snapmgr/snap_client.h"

bool JZSOInterface::prepareVolumeSnaps(SMVolSnapInfo& record) {
    JZSnapClientAPI client;
    bool ok = client.prepareVolumeSnaps(record) && record.getErrorCode() == 0;
    m_errCode = client.getErrCodeAndStr(m_errText);
    return ok;
}

bool JZSOInterface::deleteVolumeSnaps(SMVolSnapInfo& record) {
    JZSnapClientAPI client;
    bool ok = client.deleteVolumeSnaps(record);
    m_errCode = client.getErrCodeAndStr(m_errText);
    return ok;
}

int JZSOInterface::getErrCode() { return m_errCode; }

int JZSOInterface::getErrCodeAndStr(std::string& text) {
    text = m_errText;
    return m_errCode;
}
