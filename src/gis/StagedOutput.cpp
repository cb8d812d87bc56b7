#include "gis/StagedOutput.h"

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <sys/file.h>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gdal_priv.h>
#include <ogrsf_frmts.h>

#include "gis/GdalErrors.h"
#include "surveylog/LogTail.h"

namespace {

bool StatPath(const std::string& path, struct stat& st) { return ::stat(path.c_str(), &st) == 0; }

bool IsFolder(const std::string& path)
{
    struct stat st{};
    return StatPath(path, st) && S_ISDIR(st.st_mode);
}

std::string FolderOf(const std::string& path)
{
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string NameOf(const std::string& path)
{
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The extension of path when it is one the format answers to, else empty.
std::string FormatExtension(const std::string& path, const GIS_FORMAT& format)
{
    const size_t dot = path.rfind('.');
    if (dot == std::string::npos || path.find('/', dot) != std::string::npos || dot == 0 || path[dot - 1] == '/')
        return {};
    const std::string ext = path.substr(dot);
    const bool bJson = std::string(format.pszDriver) == "GeoJSON" && ::strcasecmp(ext.c_str(), ".json") == 0;
    return ::strcasecmp(ext.c_str(), format.pszExtension) == 0 || bJson ? ext : std::string();
}

// One-layer formats whose GDAL driver takes a folder as a dataset of files.
bool TakesFolder(const GIS_FORMAT& format)
{
    const std::string driver = format.pszDriver;
    return driver == "ESRI Shapefile" || driver == "CSV";
}

bool SyncFile(const std::string& path)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool ok = ::fsync(fd) == 0;
    return ::close(fd) == 0 && ok;
}

// The staging folders' names; a file of ours in one, not published.
const char kStagingPrefix[] = ".fieldbook-export-";
const char kJournal[] = ".publish";

std::string StemOf(const std::string& name)
{
    const size_t dot = name.rfind('.');
    return dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
}

std::string ExtensionOf(const std::string& name)
{
    const size_t dot = name.rfind('.');
    return dot == std::string::npos || dot == 0 ? std::string() : name.substr(dot);
}

// The files a staging folder holds for publishing (its own are dot-files).
std::vector<std::string> StagedNames(const std::string& staging)
{
    std::vector<std::string> names;
    for (std::string& name : FolderEntries(staging)) {
        if (name[0] != '.')
            names.push_back(std::move(name));
    }
    return names;
}

void RemoveFolder(const std::string& folder)
{
    for (const std::string& name : FolderEntries(folder))
        ::unlink((folder + "/" + name).c_str());
    ::rmdir(folder.c_str());
}

// from over to, only where to is not there: false with EEXIST when it is.
// Where the file system cannot say so in one call, a hard link can.
bool RenameNew(const std::string& from, const std::string& to)
{
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
        return true;
    if (errno != EINVAL && errno != ENOSYS)
        return false;
    if (::link(from.c_str(), to.c_str()) != 0)
        return false;
    ::unlink(from.c_str());
    return true;
}

// from and to trade places (the old file lands in the staging folder, to be
// put back if a later file fails); a plain rename where that is not possible.
bool Exchange(const std::string& from, const std::string& to, bool& exchanged)
{
    exchanged = ::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_EXCHANGE) == 0;
    if (exchanged)
        return true;
    if (errno != EINVAL && errno != ENOSYS)
        return false;
    return ::rename(from.c_str(), to.c_str()) == 0;
}

// A staging folder whose export is gone (a crash, a kill): nobody holds its
// lock. One cut off while publishing has its journal: the files it had not
// yet put in place go in (each new file named with its inode), so that the
// output is the new set whole; any other is only removed.
void Recover(const std::string& folder, const std::string& name)
{
    const std::string staging = folder + "/" + name;
    const int fd = ::open(staging.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return; // another export at work
    }
    std::ifstream journal(staging + "/" + kJournal);
    std::string file;
    unsigned long long inode = 0;
    while (journal >> file >> inode) {
        struct stat dest{}, staged{};
        if (StatPath(folder + "/" + file, dest) && dest.st_ino == inode)
            continue;
        if (StatPath(staging + "/" + file, staged) && staged.st_ino == inode)
            ::rename((staging + "/" + file).c_str(), (folder + "/" + file).c_str());
    }
    RemoveFolder(staging);
    ::close(fd);
}

} // namespace

std::string TrackSiblingPath(const std::string& path, const GIS_FORMAT& format)
{
    const std::string ext = FormatExtension(path, format);
    if (ext.empty())
        return path + "_track" + format.pszExtension;
    return path.substr(0, path.size() - ext.size()) + "_track" + ext;
}

CStagedOutput::~CStagedOutput()
{
    // Only what the format wrote is in there.
    if (!m_staging.empty())
        RemoveFolder(m_staging);
    if (m_lockFd >= 0)
        ::close(m_lockFd);
}

bool CStagedOutput::CheckDestination(const std::string& path, std::string& error) const
{
    struct stat st{};
    if (!StatPath(path, st))
        return true;
    for (const auto& [dev, ino] : m_inputs) {
        if (st.st_dev == dev && st.st_ino == ino) {
            error = path + " is one of the logs being exported; name another output";
            return false;
        }
    }
    if (S_ISDIR(st.st_mode)) {
        error = path + " is a folder";
        return false;
    }
    if (!m_bOverwrite) {
        error = path + " exists; --overwrite replaces it";
        return false;
    }
    return true;
}

bool CStagedOutput::Plan(const GIS_FORMAT& format, const std::string& output, bool bOverwrite,
                         const std::vector<std::string>& inputs, std::string& error)
{
    m_format = &format;
    m_bOverwrite = bOverwrite;
    std::vector<std::pair<dev_t, ino_t>> folders;
    for (const std::string& input : inputs) {
        struct stat st{};
        if (StatPath(input, st))
            m_inputs.emplace_back(st.st_dev, st.st_ino);
        if (StatPath(FolderOf(input), st))
            folders.emplace_back(st.st_dev, st.st_ino);
    }
    const bool bEndsInSlash = !output.empty() && output.back() == '/';
    const bool bFolder = IsFolder(output) || bEndsInSlash;
    // GDAL's own rule for these drivers: a name without their extension is a
    // folder of files, one per layer.
    const bool bFolderMode = TakesFolder(format) && (bFolder || FormatExtension(output, format).empty());
    if (bFolderMode) {
        m_folder = bEndsInSlash && output.size() > 1 ? output.substr(0, output.size() - 1) : output;
        struct stat st{};
        if (StatPath(m_folder, st) && !S_ISDIR(st.st_mode)) {
            for (const auto& [dev, ino] : m_inputs) {
                if (st.st_dev == dev && st.st_ino == ino) {
                    error = m_folder + " is one of the logs being exported; name another output";
                    return false;
                }
            }
            error = m_folder + " is not a folder; a " + format.pszDriver + " output without " +
                    format.pszExtension + " is a folder of files";
            return false;
        }
        if (StatPath(m_folder, st)) {
            for (const auto& [dev, ino] : folders) {
                if (st.st_dev == dev && st.st_ino == ino) {
                    error = m_folder + " holds logs being exported; name another folder";
                    return false;
                }
            }
        } else if (::mkdir(m_folder.c_str(), 0777) != 0) {
            error = "cannot make the folder " + m_folder + ": " + std::strerror(errno);
            return false;
        }
        m_pointName = std::string(format.pszPointLayer) + format.pszExtension;
        m_trackName = std::string(format.pszTrackLayer) + format.pszExtension;
    } else {
        if (bFolder) {
            error = output + " is a folder; " + format.pszDriver + " writes one file";
            return false;
        }
        m_folder = FolderOf(output);
        m_pointName = NameOf(output);
        if (format.eTrack == TrackLayout::SiblingFile)
            m_trackName = NameOf(TrackSiblingPath(output, format));
    }
    struct stat st{};
    if (!StatPath(m_folder, st) || !S_ISDIR(st.st_mode)) {
        error = "cannot write " + output + ": no folder " + m_folder;
        return false;
    }
    const std::string pointDest = m_folder + "/" + m_pointName;
    if (format.bAppendable && StatPath(pointDest, st) && S_ISREG(st.st_mode) && st.st_size > 0) {
        for (const auto& [dev, ino] : m_inputs) {
            if (st.st_dev == dev && st.st_ino == ino) {
                error = pointDest + " is one of the logs being exported; name another output";
                return false;
            }
        }
        m_bInPlace = true;
        m_pointPath = pointDest;
        return true;
    }
    // A GeoPackage of no bytes is what a crash leaves before its first page.
    const bool bEmptyGpkg = format.bAppendable && StatPath(pointDest, st) && S_ISREG(st.st_mode) && st.st_size == 0;
    if (!bEmptyGpkg && !CheckDestination(pointDest, error))
        return false;
    return m_trackName.empty() || CheckDestination(m_folder + "/" + m_trackName, error);
}

bool CStagedOutput::Stage(std::string& error)
{
    if (m_bInPlace)
        return true;
    // What an export cut off here before left behind.
    for (const std::string& name : FolderEntries(m_folder)) {
        if (name.rfind(kStagingPrefix, 0) == 0)
            Recover(m_folder, name);
    }
    std::string pattern = m_folder + "/" + kStagingPrefix + "XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        error = "cannot write in " + m_folder + ": " + std::strerror(errno);
        return false;
    }
    m_staging = pattern;
    // Held while this export lives: another run leaves the folder alone.
    m_lockFd = ::open(m_staging.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (m_lockFd >= 0)
        ::flock(m_lockFd, LOCK_EX | LOCK_NB);
    // What stands under the output's names now: only that may be replaced.
    for (const std::string& name : FolderEntries(m_folder)) {
        const std::string stem = StemOf(name);
        struct stat st{};
        if ((stem == StemOf(m_pointName) || (!m_trackName.empty() && stem == StemOf(m_trackName))) &&
            StatPath(m_folder + "/" + name, st))
            m_standing[name] = {st.st_dev, st.st_ino};
    }
    m_pointPath = m_staging + "/" + m_pointName;
    m_trackPath = m_trackName.empty() ? std::string() : m_staging + "/" + m_trackName;
    return true;
}

bool CStagedOutput::Verify(size_t pointFeatures, size_t placed, size_t trackFeatures, std::string& error) const
{
    if (m_bInPlace)
        return true;
    CGdalMessages messages;
    const char* const drivers[] = {m_format->pszDriver, nullptr};
    size_t points = 0, tracks = 0;
    auto count = [&](const std::string& path, const char* layerName, size_t& n) {
        GDALDatasetUniquePtr dataset(GDALDataset::Open(path.c_str(), GDAL_OF_VECTOR | GDAL_OF_READONLY, drivers));
        OGRLayer* layer = !dataset ? nullptr
                          : layerName != nullptr ? dataset->GetLayerByName(layerName)
                                                 : dataset->GetLayer(0);
        if (layer == nullptr)
            return !dataset ? false : layerName != nullptr; // a layer the format writes only when it has features
        // A table file cut short by a full disk can read back with its
        // features and none of their fields (a shapefile's DBF header).
        if (&n == &points && m_format->eAttributes == PointAttributes::Survey &&
            layer->GetLayerDefn()->GetFieldIndex("Log") < 0)
            return false;
        // A database file reports its trouble at commit, and counts what it
        // holds; any other file has every feature read, not a count from a
        // header written early.
        if (m_format->bAppendable) {
            const GIntBig count = layer->GetFeatureCount(TRUE);
            n += count > 0 ? static_cast<size_t>(count) : 0;
            return count >= 0;
        }
        for (auto& feature : *layer) {
            (void)feature;
            ++n;
        }
        return true;
    };
    bool ok = true;
    if (m_trackPath.empty()) {
        const bool bOneLayer = std::string(m_format->pszPointLayer) == m_format->pszTrackLayer;
        ok = count(m_pointPath, m_format->pszPointLayer, points) &&
             (bOneLayer || count(m_pointPath, m_format->pszTrackLayer, tracks));
        if (bOneLayer) {
            pointFeatures += trackFeatures;
            placed += trackFeatures;
            trackFeatures = 0;
        }
    } else {
        ok = count(m_pointPath, nullptr, points) && count(m_trackPath, nullptr, tracks);
    }
    if (!ok || messages.HadError() || points < placed || points > pointFeatures || tracks != trackFeatures) {
        error = messages.LastError(NameOf(m_pointPath) + " did not reach the disk whole (" + std::to_string(points) +
                                   " of " + std::to_string(pointFeatures) + " points, " + std::to_string(tracks) +
                                   " of " + std::to_string(trackFeatures) + " tracks read back)");
        return false;
    }
    return true;
}

// A file of another format's set under the same name (a.prj beside a.shp
// when a CSV is written as a.csv) is never ours to replace.
bool CStagedOutput::OthersFile(const std::string& name, std::string& owner) const
{
    const std::string stem = StemOf(name), ext = ExtensionOf(name);
    struct stat st{};
    if (::strcasecmp(ext.c_str(), m_format->pszExtension) == 0 || StatPath(m_folder + "/" + stem + m_format->pszExtension, st))
        return false;
    for (const std::string& entry : FolderEntries(m_folder)) {
        const GIS_FORMAT* other = StemOf(entry) == stem ? FindFormatByPath(entry) : nullptr;
        if (other != nullptr && other != m_format) {
            owner = entry;
            return true;
        }
    }
    return false;
}

bool CStagedOutput::Publish(std::string& error)
{
    if (m_bInPlace)
        return true;
    const std::vector<std::string> names = StagedNames(m_staging);
    std::vector<bool> replace(names.size(), false);
    std::string journal;
    for (size_t i = 0; i < names.size(); ++i) {
        const std::string& name = names[i];
        if (!SyncFile(m_staging + "/" + name)) {
            error = "cannot write " + name + " to the disk: " + std::strerror(errno);
            return false;
        }
        const std::string dest = m_folder + "/" + name;
        std::string owner;
        struct stat st{};
        if (StatPath(dest, st)) {
            const auto standing = m_standing.find(name);
            if (standing == m_standing.end() || standing->second != std::make_pair(st.st_dev, st.st_ino)) {
                error = dest + " appeared while this export ran (another export?); not replaced";
                return false;
            }
            if (OthersFile(name, owner)) {
                error = dest + " belongs to " + m_folder + "/" + owner + "; name another output";
                return false;
            }
            if (!CheckDestination(dest, error))
                return false;
            replace[i] = true;
        }
        if (!StatPath(m_staging + "/" + name, st)) {
            error = "cannot read back " + name + ": " + std::strerror(errno);
            return false;
        }
        journal += name + " " + std::to_string(st.st_ino) + "\n";
    }
    // The journal first: an export cut off among the renames is completed by
    // the next one (see Recover), never left half old, half new.
    {
        std::FILE* file = std::fopen((m_staging + "/" + kJournal).c_str(), "we");
        const bool written = file != nullptr && std::fputs(journal.c_str(), file) >= 0 && std::fflush(file) == 0 &&
                             ::fsync(::fileno(file)) == 0;
        if ((file != nullptr && std::fclose(file) != 0) || !written || !SyncFile(m_staging)) {
            error = "cannot write in " + m_staging + ": " + std::strerror(errno);
            return false;
        }
    }
    // All or nothing: a rename that fails puts back those made before it.
    std::vector<bool> exchanged(names.size(), false);
    for (size_t i = 0; i < names.size(); ++i) {
        const std::string from = m_staging + "/" + names[i], to = m_folder + "/" + names[i];
        bool swapped = false;
        const bool moved = replace[i] ? Exchange(from, to, swapped) : RenameNew(from, to);
        exchanged[i] = swapped;
        if (moved)
            continue;
        error = errno == EEXIST ? to + " appeared while this export ran (another export?); not replaced"
                                : "cannot put " + names[i] + " in " + m_folder + ": " + std::strerror(errno);
        for (size_t back = i; back-- > 0;) {
            const std::string again = m_staging + "/" + names[back], placed = m_folder + "/" + names[back];
            bool ignored = false;
            if (exchanged[back])
                Exchange(again, placed, ignored);
            else if (!replace[back])
                RenameNew(placed, again);
        }
        ::unlink((m_staging + "/" + kJournal).c_str());
        return false;
    }
    RemoveFolder(m_staging);
    m_staging.clear();
    SyncFile(m_folder);
    return true;
}
