// The catalogue index file of an OraDBInfo and the type-name table.
#include "nuvdbsnap/catalogue/ora_db_info.h"

#include "mount_prefix.h"

#include <cstdio>
#include <strings.h>

namespace {

char const* const OraElementTypeStr[] = {"UNKNOWN",            "LOG",          "CONTROL_FILE",  "SP_FILE",
                                         "CONFIG_FILE",        "BLOCKTRACKING_FILE", "REDOLOG_FILE", "METADATA_FILE"};

// Lines of the index file: the header's first line ends with a newline, every
// line after the header starts with one, so the file never ends with a newline. Flushed at every newline.
class IndexFileWriter {
public:
    IndexFileWriter(std::string const& path, bool append) : m_file(fopen(path.c_str(), append ? "a" : "w")) {}
    ~IndexFileWriter() {
        if (m_file) fclose(m_file);
    }
    bool opened() const { return m_file != nullptr; }
    void header(std::string const& dbLine) { put("/\n" + dbLine); }
    void line(std::string const& text) { put("\n" + text); }
    // True when every write, flush and the close succeeded.
    bool close() {
        FILE* file = m_file;
        m_file = nullptr;
        return fclose(file) == 0 && m_good;
    }

private:
    void put(std::string const& text) {
        if (!m_good) return;
        m_good = fwrite(text.data(), 1, text.size(), m_file) == text.size() && fflush(m_file) == 0;
    }
    FILE* m_file;
    bool m_good = true;
};

std::string TypeName(OraElementType type) {
    char const* name = OraDBInfo::getElementTypeStr(type);
    return name ? name : "UNKNOWN";
}

}  // namespace

char const* OraDBInfo::getElementTypeStr(OraElementType const& type) {
    int const position = type == 0 ? 0 : ffs(static_cast<int>(type));
    if (position < 0 || static_cast<size_t>(position) >= sizeof OraElementTypeStr / sizeof OraElementTypeStr[0])
        return nullptr;
    return OraElementTypeStr[position];
}

int OraDBInfo::createOracleBCDIndexFile(std::string const& path, bool const& withData, bool const& append) {
    IndexFileWriter out(path, append);
    if (!out.opened()) return -1;
    std::string const dbLine = "/" + m_dbName;
    if (!append) {
        out.header(dbLine);
    }
    // A category is written only when it differs from the last directory line
    // that named one; any other directory line forgets it.
    int lastTablespace = -1;
    int lastType = 0;
    auto elementLines = [&](OraElement& element, std::string const& category) {
        ASMDiskGroup const* group = diskGroupOf(element);
        bool const knownTablespace = element.m_type != TABLESPACE_FILE ||
                                     (element.m_tsInd >= 0 && static_cast<size_t>(element.m_tsInd) < m_tsNames.size());
        if (group == nullptr || !knownTablespace) {
            element.toString(*this, std::string());  // normalises the path as the catalogue path writes it
            out.line("\t" + nuvcatalogue::ReplaceChar(element.m_path, '/', '~'));
            return;
        }
        out.line(dbLine + "/" + category + "/+" + group->m_name);
        lastTablespace = -1;
        lastType = 0;
        for (ASMDisk const& disk : group->m_disks) {
            std::string const cataloguePath = element.toString(*this, disk.m_diskPath);
            size_t const slash = cataloguePath.find_last_of('/');
            out.line(cataloguePath.substr(0, slash));
            out.line("\t" + cataloguePath.substr(slash + 1));
        }
    };

    if (withData) {
        for (OraElement& element : m_dataElements) {
            std::string category;
            if (element.m_type == TABLESPACE_FILE) {
                bool const valid = element.m_tsInd >= 0 && static_cast<size_t>(element.m_tsInd) < m_tsNames.size();
                category = valid ? m_tsNames[element.m_tsInd] : "UNKNOWN";
                if (element.m_tsInd != lastTablespace) {
                    out.line(dbLine + "/" + category);
                    lastTablespace = element.m_tsInd;
                }
            } else {
                category = TypeName(element.m_type);
                out.line(dbLine + "/" + category);
                lastTablespace = -1;
            }
            elementLines(element, category);
        }
    }
    lastTablespace = -1;
    lastType = 0;
    for (OraElement& element : m_archElements) {
        std::string const category = TypeName(element.m_type);
        if (element.m_type != lastType) {
            out.line(dbLine + "/" + category);
            lastType = element.m_type;
        }
        elementLines(element, category);
    }
    return out.close() ? 0 : -1;
}
