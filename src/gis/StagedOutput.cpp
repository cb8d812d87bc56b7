#include "gis/StagedOutput.h"

#include <cerrno>
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
    if (m_staging.empty())
        return;
    // Only what the format wrote is in there.
    for (const std::string& name : FolderEntries(m_staging))
        ::unlink((m_staging + "/" + name).c_str());
    ::rmdir(m_staging.c_str());
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
    std::string pattern = m_folder + "/.fieldbook-export-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        error = "cannot write in " + m_folder + ": " + std::strerror(errno);
        return false;
    }
    m_staging = pattern;
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

bool CStagedOutput::Publish(std::string& error)
{
    if (m_bInPlace)
        return true;
    const std::vector<std::string> names = FolderEntries(m_staging);
    for (const std::string& name : names) {
        if (!SyncFile(m_staging + "/" + name)) {
            error = "cannot write " + name + " to the disk: " + std::strerror(errno);
            return false;
        }
        if (!CheckDestination(m_folder + "/" + name, error))
            return false;
    }
    for (const std::string& name : names) {
        if (::rename((m_staging + "/" + name).c_str(), (m_folder + "/" + name).c_str()) != 0) {
            error = "cannot put " + name + " in " + m_folder + ": " + std::strerror(errno);
            return false;
        }
    }
    ::rmdir(m_staging.c_str());
    m_staging.clear();
    SyncFile(m_folder);
    return true;
}
