// The files a job ships with its index, and their download.
#include "nuvdbsnap/platform/indexing/index_files.h"

#include "store.h"
#include "nuvdbsnap/platform/base/files.h"
#include "nuvdbsnap/platform/base/log.h"
#include "nuvdbsnap/platform/suite/catalogue.h"

#include <ctime>
#include <sys/stat.h>

namespace {

char const kTag[] = "GetIndexFiles";

bool PlainName(std::string const& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

}  // namespace

namespace nuvindexing {

CFzError SaveIndexFiles(int64_t jobId, std::vector<std::string> const& paths) {
    nuvsuite::Catalogue& cat = nuvsuite::Catalogue::Instance();
    std::vector<std::pair<std::string, std::string>> files;
    for (std::string const& path : paths) {
        size_t slash = path.find_last_of('/');
        std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
        if (!PlainName(name)) return FXErrorUtil::ErrorWin32(FZ_LOC, 87, "[%s] names no file", path.c_str());
        char* buffer = nullptr;
        unsigned long size = 0;
        CFzError e = CFzFile::ReadWholeFile(path, &buffer, size);
        std::string content;
        if (buffer) {
            content.assign(buffer, size);
            delete[] buffer;
        }
        if (e.IsError()) return e.Push(FZ_LOC);
        files.emplace_back(std::move(name), std::move(content));
    }
    int64_t const now = time(nullptr);
    CFzError e = cat.Transaction([&]() -> CFzError {
        for (auto const& f : files) {
            CFzError err = cat.Exec(
                "INSERT INTO idx_files(job_id, name, content, time) VALUES(?, ?, ?, ?)"
                " ON CONFLICT(job_id, name) DO UPDATE SET content = excluded.content, time = excluded.time",
                {jobId, f.first, f.second, now});
            if (err.IsError()) return err;
        }
        return CFzError::Success();
    });
    if (e.IsError()) return e.Push(FZ_LOC);
    return CFzError::Success();
}

std::vector<std::string> ListIndexFiles(int64_t jobId) {
    std::vector<nuvsuite::CatRow> rows;
    std::vector<std::string> names;
    if (nuvsuite::Catalogue::Instance()
            .Query("SELECT name FROM idx_files WHERE job_id = ? ORDER BY name", {jobId}, &rows)
            .IsError())
        return names;
    for (auto const& r : rows) names.push_back(nuvsuite::AsText(r[0]));
    return names;
}

}  // namespace nuvindexing

int GetIndexFiles(std::string const& sarnelName, unsigned brannoxId, unsigned appId, unsigned time, long long jobId,
                  int cacheType, int flags, std::string const& directory, std::list<std::string> const& names,
                  void*) {
    std::string args = "host=" + sarnelName + " brannox=" + std::to_string(brannoxId) + " app=" +
                       std::to_string(appId) + " time=" + std::to_string(time) + " job=" + std::to_string(jobId) +
                       " cache=" + std::to_string(cacheType) + " flags=" + std::to_string(flags) + " dir=" + directory;
    for (std::string const& n : names) args += " name=" + n;
    int code = -1;
    std::string text;
    if (!nuvindexing::detail::Enter("GetIndexFiles", args, &code, &text)) {
        g_ptrLogWriter->Write(-1, kTag, 0, "refused: %s", text.c_str());
        return code;
    }
    struct stat st;
    if (directory.empty() || ::stat(directory.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        g_ptrLogWriter->Write(-1, kTag, 0, "no directory [%s] to download into", directory.c_str());
        return -1;
    }
    std::string const base = directory.back() == '/' ? directory : directory + "/";
    nuvsuite::Catalogue& cat = nuvsuite::Catalogue::Instance();
    for (std::string const& name : names) {
        if (!PlainName(name)) {
            g_ptrLogWriter->Write(1, kTag, 0, "skipping [%s]: no file name", name.c_str());
            continue;
        }
        std::vector<nuvsuite::CatRow> rows;
        CFzError e = cat.Query("SELECT content FROM idx_files WHERE job_id = ? AND name = ?",
                               {static_cast<int64_t>(jobId), name}, &rows);
        if (e.IsError()) {
            g_ptrLogWriter->Write(-1, kTag, 0, "%s", e.AsString().c_str());
            return -1;
        }
        if (rows.empty()) {
            g_ptrLogWriter->Write(1, kTag, 0, "job %lld keeps no file [%s]", jobId, name.c_str());
            continue;
        }
        e = FXFile::WriteWhole(base + name, nuvsuite::AsText(rows[0][0]), 0644);
        if (e.IsError()) {
            g_ptrLogWriter->Write(-1, kTag, 0, "cannot write [%s]: %s", (base + name).c_str(), e.AsString().c_str());
            return -1;
        }
    }
    return 0;
}
