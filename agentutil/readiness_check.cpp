// The readiness checks of a database agent (contract in db_agent_readiness_check.h).
#include "nuvdbsnap/agentutil/db_agent_readiness_check.h"
#include "nuvdbsnap/platform/base/log.h"
#include "nuvdbsnap/platform/base/platform_info.h"
#include "nuvdbsnap/platform/base/process.h"
#include "nuvdbsnap/platform/msg/messages.h"
#include "nuvdbsnap/platform/network/network.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

char const kTag[] = "DBAgentReadinessCheck";

// A user of the password database with every group it belongs to.
struct DbUser {
    bool known = false;
    uid_t uid = 0;
    std::vector<gid_t> groups;  // the primary group and every supplementary one
    bool member(gid_t gid) const { return std::find(groups.begin(), groups.end(), gid) != groups.end(); }
};

DbUser LookupUser(std::string const& name) {
    DbUser user;
    std::vector<char> buffer(4096);
    passwd entry{};
    passwd* found = nullptr;
    int rc = 0;
    while ((rc = getpwnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found)) == ERANGE)
        buffer.resize(buffer.size() * 2);
    if (rc != 0 || found == nullptr) return user;
    user.known = true;
    user.uid = entry.pw_uid;
    int count = 32;
    for (;;) {  // however long the list
        user.groups.assign(static_cast<std::size_t>(count), 0);
        int n = count;
        if (getgrouplist(name.c_str(), entry.pw_gid, user.groups.data(), &n) >= 0) {
            user.groups.resize(static_cast<std::size_t>(n));
            break;
        }
        count = n > count ? n : count * 2;
    }
    return user;
}

bool GroupId(std::string const& name, gid_t* gid) {
    std::vector<char> buffer(4096);
    group entry{};
    group* found = nullptr;
    int rc = 0;
    while ((rc = getgrnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found)) == ERANGE)
        buffer.resize(buffer.size() * 2);
    if (rc != 0 || found == nullptr) return false;
    *gid = entry.gr_gid;
    return true;
}

// Read and write (and search, for a directory) as the kernel grants them:
// owner bits for the owner, group bits for a member of the file's group,
// other bits otherwise; the superuser needs a search bit on a directory only.
bool ReadWriteAccess(DbUser const& user, struct stat const& st) {
    bool const directory = S_ISDIR(st.st_mode);
    if (!user.known) return false;
    if (user.uid == 0) return !directory || (st.st_mode & 0111) != 0;
    int const shift = user.uid == st.st_uid ? 6 : user.member(st.st_gid) ? 3 : 0;
    unsigned const bits = (static_cast<unsigned>(st.st_mode) >> shift) & 7u;
    return (bits & 6u) == 6u && (!directory || (bits & 1u) != 0);
}

std::string Setting(char const* section, char const* key, bool* found) {
    JZPlatformInfo settings;
    std::string value;
    *found = settings.getString(section, key, &value) != 0;
    return *found ? value : std::string();
}

}  // namespace

DBAgentReadinessCheck::DBAgentReadinessCheck(EvEvent* ev, unsigned long appType, std::string dbUser,
                                             CJzNetwork* network)
    : m_ev(ev), m_appType(appType), m_dbUser(std::move(dbUser)), m_network(network) {}

DBAgentReadinessCheck::~DBAgentReadinessCheck() { delete m_network; }

bool DBAgentReadinessCheck::IsUsableUserName(std::string const& name) {
    if (name.empty() || name.size() > 32 || name[0] == '-') return false;
    return std::all_of(name.begin(), name.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '_' ||
               c == '-';
    });
}

int DBAgentReadinessCheck::CheckDBAgentReadiness(Nuv::DBBaseInstanceStatus& status, std::string dbUser,
                                                 std::string text, std::string instanceName, std::string ntDomain,
                                                 std::string /*unused*/) {
    Nuv::CheckDBUserPerms perms;
    (void)perms.setint64(1, 1, 1);
    Nuv::CheckDBUserGroup group;
    (void)group.setint64(3, 9, 1);
    m_dbUser = dbUser;
    (void)status.setint64(5, 17, 1);
    (void)status.setstring(1, 1, instanceName);
    (void)status.setstring(2, 5, m_dbUser);
    (void)status.setstring(4, 13, ntDomain);
    (void)status.setstring(3, 9, text);
    EvDebug::Debug(m_ev, kTag, "InstanceName=[%s] DBuser=[%s] ntdomain=[%s]", instanceName.c_str(), m_dbUser.c_str(),
                   ntDomain.c_str());
    std::string xml;
    if (m_dbUser.empty()) {
        EvDebug::Error(m_ev, kTag, "DB username is empty in instance properties.");
        (void)perms.setint64(3, 3, kEmptyUserError);
        perms.getlistobject<std::string>(4, 4, true)->push_back(
            "Empty username in instance property. Please configure the instance.");
    } else if (!IsUsableUserName(m_dbUser)) {
        EvDebug::Error(m_ev, kTag, "DB username [%s] refused: not a user name", m_dbUser.c_str());
        perms.getlistobject<std::string>(4, 4, true)->push_back(
            "Database user name [" + m_dbUser +
            "] is refused: a user name holds only letters, digits, '.', '_' and '-', does not begin with '-' and has "
            "at most 32 characters.");
    } else {
        (void)CheckDBUserGroup(group);
        (void)status.setObjectAccessor(6, 18, group);
        if (group.serialize(xml) == 0) EvDebug::DebugLvl(m_ev, 2, kTag, "Group Check xml = [%s]", xml.c_str());
        (void)CheckDBUserPermissions(perms);
    }
    if (perms.serialize(xml) == 0) EvDebug::DebugLvl(m_ev, 2, kTag, "Perms Check xml = [%s]", xml.c_str());
    (void)status.setObjectAccessor(7, 19, perms);
    return 0;
}

bool DBAgentReadinessCheck::VerifyDBUserGroup(char* groupName, std::string& idOutput) {
    bool found = false;
    std::string const installGroup = Setting("Base", "sDrevoxGroup", &found);
    if (found) EvDebug::Debug(m_ev, kTag, "Corvena Install group=[%s]", installGroup.c_str());
    if (groupName != nullptr) {
        std::size_t const n = std::min(installGroup.size(), kGroupBufferSize - 1);
        std::memcpy(groupName, installGroup.data(), n);
        groupName[n] = '\0';
    }
    if (!IsUsableUserName(m_dbUser)) {
        EvDebug::Error(m_ev, kTag, "DB user [%s] refused: not a user name", m_dbUser.c_str());
        return false;
    }
    std::string output, error;
    if (JzProcess::system(std::vector<std::string>{"id", "--", m_dbUser}, &output, &error) == 0) {
        idOutput = output;
        EvDebug::Debug(m_ev, kTag, "Database user [%s] groups [%s]", m_dbUser.c_str(), output.c_str());
    }
    if (installGroup.empty()) {
        EvDebug::Debug(m_ev, kTag, "DB user [%s]. Orvantis install group does not exist", m_dbUser.c_str());
        return false;
    }
    gid_t gid = 0;
    bool const groupExists = GroupId(installGroup, &gid);
    DbUser const user = LookupUser(m_dbUser);
    bool const member = groupExists && user.known && user.member(gid);
    if (member)
        EvDebug::Debug(m_ev, kTag, "DB user [%s] is part of Orvantis install group <%s>", m_dbUser.c_str(),
                       installGroup.c_str());
    else if (groupExists)
        EvDebug::Debug(m_ev, kTag, "DB user [%s] is not part of Orvantis install group <%s> gid <%d>",
                       m_dbUser.c_str(), installGroup.c_str(), static_cast<int>(gid));
    return member;
}

int DBAgentReadinessCheck::CheckDBUserGroup(Nuv::CheckDBUserGroup& group) {
    (void)group.setint64(3, 9, 1);
    std::vector<char> name(kGroupBufferSize, '\0');
    std::string idOutput;
    bool const member = VerifyDBUserGroup(name.data(), idOutput);
    (void)group.setstring(1, 1, name.data());
    (void)group.setstring(2, 5, idOutput);
    EvDebug::Debug(m_ev, kTag, "install group=[%s] isMember=[%d]", name.data(), member ? 1 : 0);
    (void)group.setint64(3, 9, member ? 0 : 1);
    return 0;
}

int DBAgentReadinessCheck::getDBUserPathsForAppType(std::vector<std::string>& paths) {
    JZPI_Base base;
    char const* temp = base.getDrevoxTempDirectory();
    paths.push_back(temp ? temp : "");  // no directory from the platform: an empty path, which fails
    JZPI_EventManager events;
    char const* logs = events.getLogFilesDirectory();
    paths.push_back(logs ? logs : "");
    char const* registry = std::getenv("JZREG");
    paths.push_back(registry ? registry : "/etc/OrvantisRegistry");
    if (m_appType == 37) {
        for (char const* key : {"sDB2_ARCHIVE_PATH", "sDB2_AUDIT_ERROR_PATH", "sDB2_RETRIEVE_PATH"}) {
            bool found = false;
            std::string value = Setting("Db2Agent", key, &found);
            if (found) paths.push_back(value);
        }
    }
    return 0;
}

int DBAgentReadinessCheck::CheckDBUserPermissions(Nuv::CheckDBUserPerms& perms) {
    std::vector<std::string> folders;
    (void)getDBUserPathsForAppType(folders);
    (void)perms.setint64(1, 1, 1);
    DbUser const user = IsUsableUserName(m_dbUser) ? LookupUser(m_dbUser) : DbUser();
    if (!user.known) EvDebug::Error(m_ev, kTag, "DB user [%s] is not a user of this host", m_dbUser.c_str());
    bool failed = false;
    std::vector<std::string> messages;
    std::vector<Nuv::DBUserPermissions> entries;
    for (std::string const& folder : folders) {
        Nuv::DBUserPermissions entry;
        (void)entry.setstring(1, 1, folder);
        (void)entry.setint64(2, 5, 1);
        struct stat st;
        if (folder.empty() || ::stat(folder.c_str(), &st) != 0) {
            int const err = folder.empty() ? ENOENT : errno;
            EvDebug::Error(m_ev, kTag, "stat() errorno=[%d] for path=[%s]. Marking it failed.", err, folder.c_str());
            messages.push_back("Cannot read the status of folder [" + folder + "]: " + strerror(err));
            failed = true;
        } else if (ReadWriteAccess(user, st)) {
            (void)entry.setint64(2, 5, 0);
        } else {
            messages.push_back("User [" + m_dbUser + "] has no read/write access on folder [" + folder + "]");
            failed = true;
        }
        entries.push_back(entry);
    }
    if (!messages.empty()) *perms.getlistobject<std::string>(4, 4, true) = messages;
    (void)perms.setint64(1, 1, failed ? 1 : 0);
    (void)perms.setlistobject(2, 2, entries);
    return 0;
}

int DBAgentReadinessCheck::CheckDBSymbolicLinks(Nuv::CheckSymbolicLinks& result,
                                                std::map<std::string, std::string> links) {
    bool allGood = !links.empty();
    std::vector<Nuv::DBSymbolicLinks> entries;
    for (auto const& [link, target] : links) {
        struct stat own;
        if (::lstat(link.c_str(), &own) != 0) {  // a missing link: no entry, and not good
            allGood = false;
            continue;
        }
        Nuv::DBSymbolicLinks entry;
        (void)entry.setint64(2, 2, kLinkError);
        struct stat linked, wanted;
        if (::stat(link.c_str(), &linked) == 0 && ::stat(target.c_str(), &wanted) == 0) {
            bool const same = linked.st_dev == wanted.st_dev && linked.st_ino == wanted.st_ino;
            (void)entry.setint64(1, 1, same ? 0 : 1);
            if (!same) allGood = false;
        } else {  // a dangling link or an unreadable target is not good
            (void)entry.setint64(1, 1, 1);
            allGood = false;
        }
        *entry.getlistobject<std::string>(3, 3, true) = {link, target};
        entries.push_back(entry);
    }
    (void)result.setint64(1, 1, allGood ? 0 : 1);
    (void)result.setlistobject(2, 2, entries);
    return 0;
}
