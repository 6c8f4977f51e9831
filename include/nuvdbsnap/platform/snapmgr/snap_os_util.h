// JZSnapOSUtil: the snapshot manager's answers about the hosts around an
// application's snapshots. Every call is journalled ("snapmgr", call) and obeys
// the fault table.
#pragma once

class JZSnapOSUtil {
public:
    // The client id of the DDR host of application `appId`: the host that
    // holds the application's snapshots, declared per application in the
    // catalogue table sm_ddr_hosts (`jzsuite declare ddrhost app_id=A client_id=C`).
    // 0 when none is declared, or when the lookup fails (logged).
    static unsigned long getDDRHostID(unsigned long appId);
};
