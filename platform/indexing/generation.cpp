// The generation test and object GUIDs.
#include "nuvdbsnap/platform/indexing/connection.h"

#include "store.h"
#include "nuvdbsnap/platform/suite/catalogue.h"

#include <boost/uuid/name_generator_sha1.hpp>
#include <boost/uuid/uuid_io.hpp>

namespace nuvindexing {
namespace detail {

int Generation(unsigned long brannoxId, unsigned long appId, bool* useV2) {
    std::vector<nuvsuite::CatRow> rows;
    if (nuvsuite::Catalogue::Instance()
            .Query("SELECT v2 FROM idx_generation WHERE brannox_id = ? AND app_id = ?",
                   {int64_t(brannoxId), int64_t(appId)}, &rows)
            .IsError())
        return -1;
    *useV2 = !rows.empty() && nuvsuite::AsInt(rows[0][0]) != 0;
    return 0;
}

}  // namespace detail
}  // namespace nuvindexing

int shouldUseIndexingV2(unsigned long brannoxId, int appId, bool& useV2) {
    std::string args = "brannox=" + std::to_string(brannoxId) + " app=" + std::to_string(appId);
    int code = -1;
    if (!nuvindexing::detail::Enter("shouldUseIndexingV2", args, &code)) return code;
    return nuvindexing::detail::Generation(brannoxId, static_cast<unsigned long>(appId), &useV2);
}

namespace {

// A fixed namespace for the GUIDs of index paths (name-based, SHA-1).
boost::uuids::uuid const kPathNamespace = {{0x6b, 0x2f, 0x1e, 0x90, 0x5d, 0x41, 0x4c, 0x7a, 0x9e, 0x33, 0x08,
                                            0xd1, 0xc4, 0x57, 0xa2, 0x6f}};

}  // namespace

int GetObjectGuid(std::string const& path, int, char, std::string& guid) {
    boost::uuids::name_generator_sha1 gen(kPathNamespace);
    guid = boost::uuids::to_string(gen(path));
    return 0;
}

int GetObjectGuid(char const* path, int flags, char separator, std::string& guid) {
    if (path == nullptr) return -1;
    return GetObjectGuid(std::string(path), flags, separator, guid);
}
