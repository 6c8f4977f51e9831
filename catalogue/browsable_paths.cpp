// The process-wide browsable paths of the translator and their texts: the
// browsable-path file with its side files, and the directory-change text.
#include "nuvdbsnap/catalogue/db_path_translator.h"

#include "translator_internal.h"
#include "nuvdbsnap/platform/base/paths.h"

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <set>

namespace {

std::vector<browseablePath_t> m_pathList;
int32_t metaDataType = 0;

constexpr char kHeader[] = "TABLEBACKUPMETADATA**";
constexpr char kConfigMarker[] = "/+ConfigFileInMetaData+/";

bool IsConfigFile(browseablePath_t const& entry) {
    return entry.isDir == 0 && entry.phonyPath.compare(0, sizeof kConfigMarker - 1, kConfigMarker) == 0;
}

// Why an entry's line could not be read back as written, or null.
char const* Unreadable(browseablePath_t const& entry) {
    if (entry.phonyPath.find(',') != std::string::npos) return "a ',' in its phony path";
    if (entry.phonyPath.find('\n') != std::string::npos || entry.osPath.find('\n') != std::string::npos)
        return "a line break";
    return nullptr;
}

std::string SideFilePath(browseablePath_t const& entry, std::string const& directory) {
    return directory + "/" + std::string(CFzPath::GetBaseName(entry.phonyPath).c_str());
}

uint32_t ReadId(std::string const& text, char const* what) {
    uint64_t value = 0;
    if (!nuvcatalogue::ParseUnsigned(text, value) || value > UINT32_MAX) {
        g_ptrLogWriter->Write(-1, "DBPathTranslator::addToBrowsablePath", 0, "%s [%s] is not a 32-bit id: 0 taken",
                              what, text.c_str());
        return 0;
    }
    return static_cast<uint32_t>(value);
}

}  // namespace

namespace nuvcatalogue {
std::vector<browseablePath_t>& PathList() { return m_pathList; }
int32_t& MetaDataType() { return metaDataType; }
}  // namespace nuvcatalogue

std::ostream& operator<<(std::ostream& out, browseablePath_t const& entry) {
    if (char const* why = Unreadable(entry)) {
        g_ptrLogWriter->Write(-1, "operator<<(browseablePath_t)", 0, "Browsable path [%s] refused: %s",
                              entry.phonyPath.c_str(), why);
        out.setstate(std::ios::failbit);
        return out;
    }
    out << entry.phonyPath << ',' << entry.afile.archFileId << ',' << entry.afile.archGroupId << ','
        << entry.afile.brannoxId << ',' << entry.isDir << ',' << entry.spare << ',' << entry.osPath << ','
        << entry.size;
    return out;
}

bool BrowsablePathSearch::operator()(browseablePath_t const& entry) const {
    return entry.phonyPath.compare(0, m_search.size(), m_search) == 0;
}

bool BrowsablePathSearch::operator()(std::string const& prefix) const {
    return m_search.compare(0, prefix.size(), prefix) == 0;
}

int DBPathTranslator::createBinaryDataFile(browseablePath_t& entry, std::string const& directory) {
    static char const kTag[] = "DBPathTranslator::createBinaryDataFile";
    std::string const path = SideFilePath(entry, directory);
    g_ptrLogWriter->Write(2, kTag, 0, "Binary Meta Data File=[%s]", path.c_str());
    if (directory.empty()) {  // never a file under "/"
        g_ptrLogWriter->Write(-1, kTag, 0, "Failed to save the Binary Meta Data in the File=[%s]", path.c_str());
        return -1;
    }
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (out.good()) out.write(entry.osPath.data(), static_cast<std::streamsize>(entry.osPath.size()));
    if (out.good()) out.close();
    if (!out.good()) {
        g_ptrLogWriter->Write(-1, kTag, 0, "Failed to save the Binary Meta Data in the File=[%s]", path.c_str());
        return -1;
    }
    entry.osPath = entry.phonyPath;
    return 0;
}

int DBPathTranslator::readBinaryDataFile(browseablePath_t& entry, std::string const& directory) {
    static char const kTag[] = "DBPathTranslator::readBinaryDataFile";
    std::string const path = SideFilePath(entry, directory);
    g_ptrLogWriter->Write(2, kTag, 0, "Binary Meta Data File=[%s]", path.c_str());
    std::ifstream in;
    if (!directory.empty()) in.open(path, std::ios::binary);
    if (directory.empty() || !in.is_open()) {
        g_ptrLogWriter->Write(-1, kTag, 0, "Failed to read the Binary Meta Data File=[%s]", path.c_str());
        return 0;
    }
    entry.osPath.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    entry.size = entry.osPath.size();
    return 0;
}

int DBPathTranslator::writeBrowseablePathToFile(std::ostream& out) { return writeBrowseablePathToFile(out, ""); }

int DBPathTranslator::writeBrowseablePathToFile(std::ostream& out, std::string const& directory) {
    static char const kTag[] = "DBPathTranslator::writeBrowseablePathToFile";
    static char const kFailed[] = "Failed to save the browseable paths from the snap index";
    if (m_pathList.empty()) return 0;
    if (!out.good()) {
        g_ptrLogWriter->Write(-1, kTag, 0, kFailed);
        return -1;
    }
    out << kHeader << std::endl;
    std::set<std::string> sideFiles;
    for (browseablePath_t const& listed : m_pathList) {
        browseablePath_t entry = listed;  // the list keeps the content
        if (IsConfigFile(entry)) {
            entry.size = entry.osPath.size();
            if (!sideFiles.insert(std::string(CFzPath::GetBaseName(entry.phonyPath).c_str())).second) {
                g_ptrLogWriter->Write(-1, kTag, 0, "Two configuration files named [%s] in one write",
                                      CFzPath::GetBaseName(entry.phonyPath).c_str());
                return -1;
            }
            if (createBinaryDataFile(entry, directory) != 0) return -1;
        }
        if (!out.good()) {
            g_ptrLogWriter->Write(-1, kTag, 0, kFailed);
            return -1;
        }
        out << entry << std::endl;
    }
    out.flush();
    if (!out.good()) {
        g_ptrLogWriter->Write(-1, kTag, 0, kFailed);
        return -1;
    }
    return 0;
}

void DBPathTranslator::addToBrowsablePath(std::string const& line, char const& delimiter) {
    addToBrowsablePath(line, delimiter, "");
}

void DBPathTranslator::addToBrowsablePath(std::string const& line, char const& delimiter,
                                          std::string const& directory) {
    g_ptrLogWriter->Write(2, "DBPathTranslator::addToBrowsablePath", 0, "line=[%s]", line.c_str());
    browseablePath_t entry = browseablePath_t();
    size_t start = 0;
    size_t pos = 0;
    for (int field = 1; field <= 6 && pos != std::string::npos; ++field) {
        pos = line.find(delimiter, start);
        std::string const text = line.substr(start, pos == std::string::npos ? std::string::npos : pos - start);
        switch (field) {
        case 1: entry.phonyPath = text; break;
        case 2: entry.afile.archFileId = ReadId(text, "archive file id"); break;
        case 3: entry.afile.archGroupId = ReadId(text, "archive group id"); break;
        case 4: entry.afile.brannoxId = ReadId(text, "Brannox id"); break;
        case 5: entry.isDir = atoi(text.c_str()); break;
        case 6: entry.spare = atoi(text.c_str()); break;
        }
        start = pos + 1;
    }
    if (pos != std::string::npos) {
        // osPath runs to the last delimiter, size follows it.
        size_t const last = line.rfind(delimiter);
        std::string const text = last >= start ? line.substr(start, last - start) : line.substr(start);
        if (!text.empty()) {
            entry.osPath = text;
            if (IsConfigFile(entry)) readBinaryDataFile(entry, directory);
        }
        if (last >= start) {
            uint64_t size = 0;
            if (nuvcatalogue::ParseUnsigned(line.substr(last + 1), size)) entry.size = size;
        }
    }
    m_pathList.push_back(std::move(entry));
}

int DBPathTranslator::appendBrowsablePathToDirChange(FILE* file) {
    static char const kTag[] = "DBPathTranslator::appendBrowsablePathToDirChange";
    if (m_appType != 22) return 0;
    if (m_pathList.empty()) {
        g_ptrLogWriter->Write(2, kTag, 0, "Snap Index does not have browsable paths");
        return 0;
    }
    if (file == nullptr) {
        g_ptrLogWriter->Write(-1, kTag, 0, "DirChange file pointer is NULL");
        return -1;
    }
    std::string current;
    auto failed = [&](int written) {
        g_ptrLogWriter->Write(-1, kTag, 0, "Failed to write into dirChange file errno = [%d]", errno);
        return written;
    };
    for (browseablePath_t const& entry : m_pathList) {
        if (entry.isDir != 0) {
            if (current.empty() || current != entry.phonyPath) {
                int written = fprintf(file, "%s\n", entry.phonyPath.c_str());
                if (written < 0) return failed(written);
                current.clear();  // the next file names its own parent again
            }
            continue;
        }
        size_t const slash = entry.phonyPath.find_last_of('/');
        std::string parent = slash == std::string::npos ? entry.phonyPath : entry.phonyPath.substr(0, slash);
        std::string const name = slash == std::string::npos ? entry.phonyPath : entry.phonyPath.substr(slash + 1);
        if (parent.empty()) parent = "/";
        if (parent != current) {
            current = parent;
            int written = fprintf(file, "%s\n", parent.c_str());
            if (written < 0) return failed(written);
        }
        int written = fprintf(file, "\t%s\n", name.c_str());
        if (written < 0) return failed(written);
    }
    if (fflush(file) != 0) return failed(-1);
    return 0;
}
