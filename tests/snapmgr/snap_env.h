// Test environment of the snapshot manager: a temporary directory with its own
// state root, helpers to build source trees and records, and a clean-up that
// first lazily unmounts anything still mounted below the directory.
#pragma once

#include "nuvdbsnap/platform/snapmgr/snap_client.h"
#include "nuvdbsnap/platform/suite/catalogue.h"
#include "nuvdbsnap/platform/suite/suite.h"
#include "support/files.h"
#include "support/suite_root.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace snaptest {

inline bool IsRoot() { return ::geteuid() == 0; }

// Mount points (unescaped) of this process, from /proc/self/mountinfo.
inline std::vector<std::string> MountPoints() {
    std::ifstream in("/proc/self/mountinfo");
    std::vector<std::string> out;
    for (std::string line; std::getline(in, line);) {
        std::istringstream words(line);
        std::string w, mp;
        for (int i = 0; i < 5 && words >> w; ++i) mp = w;
        std::string plain;
        for (size_t i = 0; i < mp.size(); ++i) {
            if (mp[i] == '\\' && i + 3 < mp.size()) {
                plain += static_cast<char>((mp[i + 1] - '0') * 64 + (mp[i + 2] - '0') * 8 + (mp[i + 3] - '0'));
                i += 3;
            } else {
                plain += mp[i];
            }
        }
        out.push_back(plain);
    }
    return out;
}

inline bool IsMounted(std::string const& path) {
    auto m = MountPoints();
    return std::find(m.begin(), m.end(), path) != m.end();
}

inline void UnmountBelow(std::string const& dir) {
    auto mounts = MountPoints();
    std::sort(mounts.begin(), mounts.end(), [](auto const& a, auto const& b) { return a.size() > b.size(); });
    for (auto const& m : mounts)
        if (m.compare(0, dir.size() + 1, dir + "/") == 0) ::umount2(m.c_str(), MNT_DETACH);
}

using nuvtest::Exists;
using nuvtest::ReadFile;
using nuvtest::WriteFile;

// A temporary directory holding a state root at <dir>/state (JZ_SUITE_ROOT and
// JZREG point there while it lives). `parent` is where the directory is made.
class SnapEnv {
public:
    explicit SnapEnv(std::string const& parent = "/tmp") {
        std::string tmpl = parent + "/snapenv-XXXXXX";
        std::vector<char> buf(tmpl.begin(), tmpl.end());
        buf.push_back('\0');
        char* made = ::mkdtemp(buf.data());
        if (!made) throw std::runtime_error("mkdtemp failed");
        m_dir = made;
        m_state = m_dir + "/state";
        Save("JZ_SUITE_ROOT", m_state);
        Save("JZREG", m_state + "/registry");
        nuvsuite::StatePath("snapshots");
    }
    ~SnapEnv() {
        UnmountBelow(m_dir);
        std::error_code ec;
        for (auto const& p : std::filesystem::recursive_directory_iterator(m_dir, ec))
            if (p.is_directory(ec) && !p.is_symlink(ec)) ::chmod(p.path().c_str(), 0700);
        std::filesystem::remove_all(m_dir, ec);
        for (auto it = m_saved.rbegin(); it != m_saved.rend(); ++it) {
            if (it->had)
                ::setenv(it->name.c_str(), it->value.c_str(), 1);
            else
                ::unsetenv(it->name.c_str());
        }
    }
    SnapEnv(SnapEnv const&) = delete;
    SnapEnv& operator=(SnapEnv const&) = delete;

    std::string const& dir() const { return m_dir; }
    std::string const& state() const { return m_state; }

    // Declares `path` as a volume of its own.
    static void DeclareVolume(std::string const& path, std::string const& fstype = "ext4",
                              std::string const& options = "rw") {
        CFzError e = nuvsuite::Catalogue::Instance().Exec(
            "INSERT OR REPLACE INTO sm_volumes(path, device, fstype, options) VALUES(?, ?, ?, ?)",
            {path, std::string("/dev/test-") + std::to_string(path.size()), fstype, options});
        ASSERT_FALSE(e.IsError()) << e.AsString();
    }

    // A record of job `job` with one volume per source path.
    static SMVolSnapInfo Record(int job, std::vector<std::string> const& sources) {
        SMVolSnapInfo r;
        r.setJobId(job);
        r.setBrannoxId(2);
        for (auto const& s : sources) {
            SMVolumeInfo v;
            v.setSourcePath(s);
            v.setJobId(job);
            v.setBrannoxId(2);
            r.addVolume(v, true);
        }
        return r;
    }

    // Declares, prepares and snaps the sources for job `job`; the record describes the snapshots.
    static SMVolSnapInfo Snap(int job, std::vector<std::string> const& sources) {
        for (auto const& s : sources) DeclareVolume(s);
        SMVolSnapInfo r = Record(job, sources);
        JZSnapClientAPI client;
        EXPECT_TRUE(client.prepareVolumeSnaps(r)) << r.getErrorString();
        EXPECT_TRUE(client.createVolumeSnaps(r)) << r.getErrorString();
        return r;
    }

private:
    struct Saved {
        std::string name;
        bool had = false;
        std::string value;
    };
    void Save(char const* name, std::string const& value) {
        char const* old = ::getenv(name);
        m_saved.push_back(Saved{name, old != nullptr, old ? old : ""});
        ::setenv(name, value.c_str(), 1);
    }
    std::string m_dir;
    std::string m_state;
    std::vector<Saved> m_saved;
};

}  // namespace snaptest
