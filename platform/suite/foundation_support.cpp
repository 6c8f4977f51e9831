// Out-of-line members of the foundation types that the platform provides: the
// key functions (so each type's information lives once, here) and the passwd lookup.
#include "nuvdbsnap/foundation/agent_records.h"
#include "nuvdbsnap/foundation/device_config.h"
#include "nuvdbsnap/foundation/so_interface.h"
#include "nuvdbsnap/foundation/sp.h"

#include <cerrno>
#include <pwd.h>
#include <unistd.h>
#include <vector>

SPEnabled::~SPEnabled() {}

JzDeviceConfigHandler::~JzDeviceConfigHandler() {}

JZSOInterfaceBase::~JZSOInterfaceBase() {}

void JZSOInterfaceBase::detachFilter() {
    if (m_attachedFilters > 0) --m_attachedFilters;
}

JzPwEnt::JzPwEnt(unsigned int id) {
    long hint = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(hint > 0 ? static_cast<size_t>(hint) : 4096);
    struct passwd pw;
    struct passwd* result = nullptr;
    int rc;
    while ((rc = getpwuid_r(static_cast<uid_t>(id), &pw, buffer.data(), buffer.size(), &result)) == ERANGE &&
           buffer.size() < (1u << 20)) {
        buffer.resize(buffer.size() * 2);
    }
    if (rc != 0 || result == nullptr) return;
    found = true;
    name = pw.pw_name ? pw.pw_name : "";
    uid = pw.pw_uid;
    gid = pw.pw_gid;
    password = pw.pw_passwd ? pw.pw_passwd : "";
    gecos = pw.pw_gecos ? pw.pw_gecos : "";
    homeDirectory = pw.pw_dir ? pw.pw_dir : "";
    shell = pw.pw_shell ? pw.pw_shell : "";
}
