// The directory-change sender: reads a directory-change file and records its
// directories, with their files, as changed for the job.
#include "nuvdbsnap/platform/indexing/connection.h"
#include "nuvdbsnap/platform/indexing/index_files.h"

#include "store.h"
#include "nuvdbsnap/platform/base/files.h"
#include "nuvdbsnap/platform/base/log.h"
#include "nuvdbsnap/platform/jobmgr/jobstore.h"
#include "nuvdbsnap/platform/suite/catalogue.h"

#include <ctime>

namespace {

char const kTag[] = "sendDirChange";

struct DirLines {
    std::string dir;
    std::string files;   // file names, one a line
};

// Both forms: directory lines, and "\t<name>" file lines that belong to the
// directory line above them; empty lines are ignored. False when a file line
// has no directory above it.
bool ParseDirChange(std::string const& text, std::vector<DirLines>* out) {
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        start = end + 1;
        if (line.empty()) continue;
        if (line[0] == '\t') {
            if (out->empty()) return false;
            DirLines& d = out->back();
            if (!d.files.empty()) d.files += '\n';
            d.files += line.substr(1);
        } else {
            out->push_back({line, ""});
        }
    }
    return true;
}

}  // namespace

int sendDirChange(unsigned brannoxId, unsigned appId, int level, char const* jobToken, char const* indexHost,
                  char const* dirChangeFile, char separator, bool dirChangeFlag, bool, bool, bool levelOne,
                  CheckIfShouldQuit* quitHook, bool, unsigned, unsigned jobOption,
                  std::vector<std::string>* optionalFiles, char const*, long long jobId, bool) {
    std::string args = "brannox=" + std::to_string(brannoxId) + " app=" + std::to_string(appId) +
                       " file=" + (dirChangeFile ? dirChangeFile : "NULL") + " option=" + std::to_string(jobOption);
    int code = -1;
    std::string text;
    if (!nuvindexing::detail::Enter("sendDirChange", args, &code, &text)) {
        g_ptrLogWriter->Write(-1, kTag, 0, "refused: %s", text.c_str());
        return code;
    }
    nuvjobmgr::JobInfo job;
    if (jobToken == nullptr || !nuvjobmgr::FindJobByToken(jobToken, &job)) {
        g_ptrLogWriter->Write(-1, kTag, 0, "no job holds the token given");
        return -2;
    }
    // The optional files travel with the index of the job (downloaded again by name).
    if (optionalFiles != nullptr && !optionalFiles->empty()) {
        CFzError e = nuvindexing::SaveIndexFiles(job.id, *optionalFiles);
        if (e.IsError()) {
            g_ptrLogWriter->Write(-1, kTag, 0, "cannot keep the optional files: %s", e.AsString().c_str());
            return -1;
        }
    }
    if (dirChangeFile == nullptr || *dirChangeFile == '\0') return 0;
    std::string content;
    char* buffer = nullptr;
    unsigned long size = 0;
    CFzError e = CFzFile::ReadWholeFile(dirChangeFile, &buffer, size);
    if (buffer) {
        content.assign(buffer, size);
        delete[] buffer;
    }
    if (e.IsError()) {
        g_ptrLogWriter->Write(-1, kTag, 0, "cannot read [%s]: %s", dirChangeFile, e.AsString().c_str());
        return -1;
    }
    std::vector<DirLines> dirs;
    if (!ParseDirChange(content, &dirs)) {
        g_ptrLogWriter->Write(-1, kTag, 0, "[%s]: a file line without its directory", dirChangeFile);
        return -1;
    }
    if (quitHook && quitHook->checkIfShouldQuit()) {
        g_ptrLogWriter->Write(-1, kTag, 0, "the job was asked to stop");
        return -2;
    }
    nuvsuite::Catalogue& cat = nuvsuite::Catalogue::Instance();
    int64_t now = time(nullptr);
    e = cat.Transaction([&]() -> CFzError {
        for (DirLines const& d : dirs) {
            CFzError err = cat.Exec("INSERT INTO idx_dirchanges(job_id, app_id, dir, files, time) VALUES(?, ?, ?, ?, ?)",
                                    {job.id, int64_t(appId), d.dir, d.files, now});
            if (err.IsError()) return err;
        }
        return CFzError::Success();
    });
    if (e.IsError()) {
        g_ptrLogWriter->Write(-1, kTag, 0, "%s", e.AsString().c_str());
        return -1;
    }
    return static_cast<int>(dirs.size());
}
