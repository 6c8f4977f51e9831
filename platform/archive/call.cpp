#include "call.h"

#include "nuvdbsnap/platform/suite/suite.h"

namespace nuvarchive {
namespace detail {

using nuvsuite::AsInt;
using nuvsuite::AsText;

char const kFileColumns[] =
    "brannox_id, job_id, app_id, id, group_id, copy_id, type, created, size_bytes, closed, name";

GetArchFileListForJobRetCC_t RowToRecord(nuvsuite::CatRow const& row) {
    GetArchFileListForJobRetCC_t r;
    r.brannoxId = AsInt(row[0]);
    r.jobId = AsInt(row[1]);
    r.appId = AsInt(row[2]);
    r.archFileId = AsInt(row[3]);
    r.archGroupId = AsInt(row[4]);
    r.copyId = AsInt(row[5]);
    r.archFileType = AsInt(row[6]);
    r.createTime = AsInt(row[7]);
    r.sizeBytes = AsInt(row[8]);
    r.isClosed = AsInt(row[9]) != 0 ? 1 : 0;
    r.name = AsText(row[10]);
    return r;
}

CFzError SelectFiles(std::string const& where, std::vector<nuvsuite::CatValue> const& params,
                     std::vector<GetArchFileListForJobRetCC_t>* out) {
    std::vector<nuvsuite::CatRow> rows;
    CFzError err = nuvsuite::Catalogue::Instance().Query(std::string("SELECT ") + kFileColumns +
                                                             " FROM archive_files WHERE " + where +
                                                             " ORDER BY created DESC, id DESC",
                                                         params, &rows);
    if (err.IsError()) return err;
    out->clear();
    out->reserve(rows.size());
    for (nuvsuite::CatRow const& row : rows) out->push_back(RowToRecord(row));
    return CFzError::Success();
}

}  // namespace detail
}  // namespace nuvarchive
