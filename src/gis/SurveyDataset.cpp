#include "gis/SurveyDataset.h"

#include <algorithm>
#include <cpl_vsi.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <cmath>
#include <future>
#include <optional>
#include <system_error>
#include <utility>
#include <ogr_spatialref.h>

#include "gis/PointTime.h"
#include "gis/GdalErrors.h"
#include "gis/LayerStyles.h"
#include "gis/UtilityLines.h"
#include "point/ColourNames.h"

namespace {

// Points filled ahead while the previous ones are inserted: a few hundred
// keep both threads busy and hold little memory.
constexpr size_t kChunkPoints = 256;

bool Exists(const std::string& path)
{
    VSIStatBufL stat;
    return VSIStatL(path.c_str(), &stat) == 0;
}

bool IsEmptyFile(const std::string& path)
{
    VSIStatBufL stat;
    return VSIStatL(path.c_str(), &stat) == 0 && VSI_ISREG(stat.st_mode) && stat.st_size == 0;
}

// SQL string literal for an attribute filter.
std::string Quoted(const std::string& text)
{
    std::string quoted = "'";
    for (char c : text) {
        if (c == '\'')
            quoted += '\'';
        quoted += c;
    }
    return quoted + "'";
}

// Longitude first, whatever the authority's axis order says.
OGRSpatialReference* Wgs84()
{
    static OGRSpatialReference* srs = [] {
        auto* s = new OGRSpatialReference();
        s->importFromEPSG(4326);
        s->SetAxisMappingStrategy(OAMS_TRADITIONAL_GIS_ORDER);
        return s;
    }();
    return srs;
}

char** Options(const char* const* list) { return const_cast<char**>(list); }

GDALDataset* CreateDataset(const GIS_FORMAT& format, const std::string& path, std::string& error)
{
    GDALDriver* driver = GetGDALDriverManager()->GetDriverByName(format.pszDriver);
    if (driver == nullptr) {
        error = std::string("GDAL has no ") + format.pszDriver + " driver";
        return nullptr;
    }
    // Never removed here: whatever stands at path is someone's.
    if (Exists(path)) {
        error = path + " exists";
        return nullptr;
    }
    GDALDataset* dataset = driver->Create(path.c_str(), 0, 0, 0, GDT_Unknown, Options(format.papszDatasetOptions));
    if (dataset == nullptr)
        error = "cannot create " + path;
    return dataset;
}

bool AddField(OGRLayer& layer, const char* name, OGRFieldType type, int& index, std::string& error)
{
    OGRFieldDefn field(name, type);
    if (layer.CreateField(&field) != OGRERR_NONE) {
        error = std::string("cannot add the field ") + name;
        return false;
    }
    index = layer.GetLayerDefn()->GetFieldCount() - 1;
    return true;
}

} // namespace

CSurveyDataset::~CSurveyDataset()
{
    CGdalMessages messages;
    Rollback();
    m_points.reset();
    m_trackFile.reset();
    RepairCounts();
}

// GDAL's KML writer has no time for a placemark: each point's UTC instant goes
// in as KML's TimeStamp (after the description, before ExtendedData and the
// geometry, as KML orders a Feature's elements), the n-th placemark of the
// points' folder taking the n-th point written.
static bool StampKmlTimes(const std::string& path, const std::vector<POINT_UTC>& times)
{
    std::ifstream in(path);
    const std::string stamped = path + ".stamp";
    std::ofstream out(stamped);
    if (!in || !out)
        return false;
    const std::string folder = std::string("<Folder><name>") + kPointLayer + "</name>";
    bool inPoints = false, pending = false;
    size_t next = 0;
    std::string line;
    while (std::getline(in, line)) {
        if (line.find(folder) != std::string::npos)
            inPoints = true;
        else if (inPoints && line.find("</Folder>") != std::string::npos)
            inPoints = false;
        if (pending && (line.find("<ExtendedData>") != std::string::npos || line.find("<Point>") != std::string::npos ||
                        line.find("</Placemark>") != std::string::npos)) {
            pending = false;
            const POINT_UTC& utc = times[next - 1];
            if (utc.nYear > 0) {
                char when[80];
                std::snprintf(when, sizeof when, "\t<TimeStamp><when>%04d-%02d-%02dT%02d:%02d:%02dZ</when></TimeStamp>",
                              utc.nYear, utc.nMonth, utc.nDay, utc.nHour, utc.nMinute,
                              static_cast<int>(utc.dfSecond));
                out << when << '\n';
            }
        }
        out << line << '\n';
        if (inPoints && line.find("<Placemark>") != std::string::npos && next < times.size()) {
            ++next;
            pending = true;
        }
    }
    out.close();
    if (in.bad() || !out)
        return false;
    return std::rename(stamped.c_str(), path.c_str()) == 0;
}

// GDAL keeps a GeoPackage's feature counts in memory and writes them to
// gpkg_ogr_contents as it closes the file, outside any transaction: after a
// batch was undone they would count the points that never stayed. Once the
// file is closed, each count is what its table holds.
void CSurveyDataset::RepairCounts()
{
    if (!m_bCountsStale || !m_format->bAppendable)
        return;
    m_bCountsStale = false;
    const char* const drivers[] = {"GPKG", nullptr};
    GDALDatasetUniquePtr file(GDALDataset::Open(m_path.c_str(), GDAL_OF_VECTOR | GDAL_OF_UPDATE, drivers));
    if (!file)
        return;
    std::vector<std::string> tables;
    if (OGRLayer* rows = file->ExecuteSQL("SELECT table_name FROM gpkg_ogr_contents", nullptr, nullptr)) {
        for (auto& row : *rows)
            tables.push_back(row->GetFieldAsString(0));
        file->ReleaseResultSet(rows);
    }
    for (const std::string& table : tables) {
        std::string name = "\"";
        for (char c : table)
            name += c == '"' ? std::string("\"\"") : std::string(1, c);
        name += '"';
        file->ExecuteSQL(("UPDATE gpkg_ogr_contents SET feature_count = (SELECT count(*) FROM " + name +
                          ") WHERE table_name = " + Quoted(table)).c_str(),
                         nullptr, nullptr);
    }
}

std::unique_ptr<CSurveyDataset> CSurveyDataset::Open(const GIS_FORMAT& format, const std::string& path,
                                                     std::string& error, int lockWaitMs,
                                                     const std::string& trackPath, const CMapGrid* grid)
{
    CGdalMessages messages;
    std::unique_ptr<CSurveyDataset> output(new CSurveyDataset());
    output->m_grid = grid;
    output->m_srs = Wgs84();
    if (grid != nullptr) {
        output->m_gridSrs = std::make_unique<OGRSpatialReference>();
        if (output->m_gridSrs->importFromWkt(grid->TargetWkt().c_str()) != OGRERR_NONE) {
            error = "GDAL cannot take the CRS " + grid->TargetCrs();
            return nullptr;
        }
        output->m_gridSrs->SetAxisMappingStrategy(OAMS_TRADITIONAL_GIS_ORDER);
        output->m_srs = output->m_gridSrs.get();
    }
    output->m_format = &format;
    output->m_bKmlTimes = std::strcmp(format.pszDriver, "KML") == 0;
    output->m_path = path;
    output->m_lockWaitMs = lockWaitMs;
    output->m_trackPath = trackPath;
    // A file of no bytes is what a crash leaves between creating a GeoPackage
    // and writing its first page; there is nothing in it to keep.
    const bool bExisting = format.bAppendable && Exists(path) && !IsEmptyFile(path);
    const bool ok = bExisting ? output->OpenExisting(error) : output->Create(error);
    if (!ok) {
        error = messages.LastError(error);
        return nullptr;
    }
    return output;
}

// Before anything else touches the file: GDAL creates new tables only when
// they are first needed, and every statement it runs then waits as set here.
void CSurveyDataset::SetLockWait(GDALDataset& dataset) const
{
    if (m_lockWaitMs < 0 || std::string(m_format->pszDriver) != "GPKG")
        return;
    OGRLayer* result =
        dataset.ExecuteSQL(("PRAGMA busy_timeout = " + std::to_string(m_lockWaitMs)).c_str(), nullptr, nullptr);
    if (result != nullptr)
        dataset.ReleaseResultSet(result);
}

bool CSurveyDataset::OpenExisting(std::string& error)
{
    const char* const drivers[] = {m_format->pszDriver, nullptr};
    m_points.reset(GDALDataset::Open(m_path.c_str(), GDAL_OF_VECTOR | GDAL_OF_UPDATE, drivers));
    if (!m_points) {
        error = "cannot open " + m_path;
        return false;
    }
    SetLockWait(*m_points);
    m_pointLayer = m_points->GetLayerByName(m_format->pszPointLayer);
    if (m_pointLayer == nullptr) {
        if (!CreatePointLayer(error))
            return false;
    } else {
        m_fields = MapSurveyFields(*m_pointLayer);
        if (m_fields.anIndex[kLogField] < 0 || m_fields.anIndex[kLogFileField] < 0) {
            error = m_path + " has a layer " + m_format->pszPointLayer + " that fieldbook did not write";
            return false;
        }
        if (!SameCrs(*m_pointLayer, error))
            return false;
        if (!AddMissingSurveyFields(*m_pointLayer, m_fields, error))
            return false;
    }
    m_trackLayer = m_points->GetLayerByName(m_format->pszTrackLayer);
    if (m_trackLayer == nullptr) {
        if (!CreateTrackLayer(*m_points, error))
            return false;
    } else {
        OGRFeatureDefn* defn = m_trackLayer->GetLayerDefn();
        m_trackLogFileField = defn->GetFieldIndex("LogFile");
        m_trackSurveyField = defn->GetFieldIndex(kSurveyFields[kSurveyField].pszName);
        if (m_trackLogFileField >= 0 && m_trackSurveyField < 0 &&
            !AddField(*m_trackLayer, kSurveyFields[kSurveyField].pszName, OFTString, m_trackSurveyField, error))
            return false;
    }
    return OpenUtilityLayer(error) && LoadKeys(error);
}

bool CSurveyDataset::Create(std::string& error)
{
    m_points.reset(CreateDataset(*m_format, m_path, error));
    if (!m_points)
        return false;
    SetLockWait(*m_points);
    if (!CreatePointLayer(error) || !OpenUtilityLayer(error))
        return false;
    // KML writes a layer's features as one folder: the track's layer may
    // only begin once every point is written (Commit creates it).
    if (m_format->eTrack == TrackLayout::SameDataset)
        return true;
    if (m_trackPath.empty()) {
        error = std::string("no place for the track of ") + m_path;
        return false;
    }
    m_trackFile.reset(CreateDataset(*m_format, m_trackPath, error));
    return m_trackFile && CreateTrackLayer(*m_trackFile, error);
}

bool CSurveyDataset::CreatePointLayer(std::string& error)
{
    m_pointLayer = m_points->CreateLayer(m_format->pszPointLayer, m_srs, wkbPoint25D,
                                         Options(m_format->papszPointOptions));
    if (m_pointLayer == nullptr) {
        error = std::string("cannot create the layer ") + m_format->pszPointLayer + " in " + m_path;
        return false;
    }
    for (int& index : m_fields.anIndex)
        index = -1;
    OGRFeatureDefn* defn = m_pointLayer->GetLayerDefn();
    switch (m_format->eAttributes) {
    case PointAttributes::SurveyNamed:
        if (!AddField(*m_pointLayer, "Name", OFTString, m_nameField, error) ||
            !AddField(*m_pointLayer, "Description", OFTString, m_descField, error))
            return false;
        [[fallthrough]];
    case PointAttributes::Survey:
        if (!CreateSurveyFields(*m_pointLayer, m_fields, error))
            return false;
        // Kept and written to again: the units must be known to the next
        // writer, even after a crash, so they are on the disk before a point.
        if (m_format->bAppendable) {
            MarkUnits(*m_pointLayer);
            m_pointLayer->SyncToDisk();
        }
        return true;
    case PointAttributes::GpxWaypoint:
        // The layer comes with GPX's own elements as its fields.
        m_nameField = defn->GetFieldIndex("name");
        m_descField = defn->GetFieldIndex("desc");
        m_timeField = defn->GetFieldIndex("time");
        m_eleField = defn->GetFieldIndex("ele");
        return true;
    case PointAttributes::CadEntity:
        m_cadLayerField = defn->GetFieldIndex("Layer");
        return true;
    }
    return true;
}

bool CSurveyDataset::CreateTrackLayer(GDALDataset& dataset, std::string& error)
{
    // DXF has one layer of entities: the track is one more entity in it.
    if (m_format->eTrack == TrackLayout::SameDataset &&
        std::string(m_format->pszTrackLayer) == m_format->pszPointLayer) {
        m_trackLayer = m_pointLayer;
        return true;
    }
    m_trackLayer = dataset.CreateLayer(m_format->pszTrackLayer, m_srs, wkbLineString25D,
                                       Options(m_format->papszTrackOptions));
    if (m_trackLayer == nullptr) {
        error = std::string("cannot create the layer ") + m_format->pszTrackLayer;
        return false;
    }
    switch (m_format->eAttributes) {
    case PointAttributes::SurveyNamed:
        if (!AddField(*m_trackLayer, "Name", OFTString, m_trackNameField, error))
            return false;
        [[fallthrough]];
    case PointAttributes::Survey:
        return AddField(*m_trackLayer, "LogFile", OFTString, m_trackLogFileField, error) &&
               AddField(*m_trackLayer, kSurveyFields[kSurveyField].pszName, OFTString, m_trackSurveyField, error);
    case PointAttributes::GpxWaypoint:
        m_trackNameField = m_trackLayer->GetLayerDefn()->GetFieldIndex("name");
        m_trackDescField = m_trackLayer->GetLayerDefn()->GetFieldIndex("desc");
        return true;
    case PointAttributes::CadEntity:
        return true;
    }
    return true;
}

namespace {
// The utility layer's attributes: enough to find the point (the key) and
// what the utility is (its depth and elevation).
constexpr int kUtilityFields[] = {kLogField, kDepthField, kUtilityElevationField, kLogFileField, kSurveyField};
} // namespace

bool CSurveyDataset::OpenUtilityLayer(std::string& error)
{
    for (int& index : m_utilityFields.anIndex)
        index = -1;
    const char* name = m_format->pszUtilityLayer;
    if (name == nullptr)
        return true;
    if (std::string(name) == m_format->pszPointLayer) {
        m_utilityLayer = m_pointLayer; // DXF: an entity on the drawing layer utility_points
        return true;
    }
    m_utilityLayer = m_points->GetLayerByName(name);
    if (m_utilityLayer != nullptr) {
        const SURVEY_FIELD_MAP all = MapSurveyFields(*m_utilityLayer);
        for (const int field : kUtilityFields)
            m_utilityFields.anIndex[field] = all.anIndex[field];
        return true;
    }
    m_utilityLayer = m_points->CreateLayer(name, m_srs, wkbPoint25D, Options(m_format->papszPointOptions));
    if (m_utilityLayer == nullptr) {
        error = std::string("cannot create the layer ") + name + " in " + m_path;
        return false;
    }
    for (const int field : kUtilityFields) {
        OGRFieldDefn defn(kSurveyFields[field].pszName, kSurveyFields[field].eType);
        if (field == kDepthField)
            defn.SetAlternativeName(kDepthAlias);
        if (m_utilityLayer->CreateField(&defn) != OGRERR_NONE) {
            error = std::string("cannot add the field ") + kSurveyFields[field].pszName + " to " + name;
            return false;
        }
        m_utilityFields.anIndex[field] = m_utilityLayer->GetLayerDefn()->GetFieldCount() - 1;
    }
    return true;
}

bool CSurveyDataset::WriteUtility(OGRFeature& feature, const GIS_POINT& gp, const LOG_ID& log)
{
    const std::optional<double>& elevation = gp.Heights.UtilityElevation;
    if (m_utilityLayer == nullptr || !elevation || gp.Point.GpsFix.nGpsFix == 0)
        return true;
    feature.SetFID(OGRNullFID);
    if (m_utilityLayer == m_pointLayer) {
        if (m_cadLayerField >= 0)
            feature.SetField(m_cadLayerField, kUtilityLayer);
    } else {
        const int* x = m_utilityFields.anIndex;
        feature.SetField(x[kLogField], static_cast<int>(gp.Point.LocateData.u32EepromFileIndex));
        feature.SetField(x[kDepthField], DepthMetres(gp.Point.LocateData));
        feature.SetField(x[kUtilityElevationField], *elevation);
        feature.SetField(x[kLogFileField], log.logFile.c_str());
        feature.SetField(x[kSurveyField], log.survey.c_str());
    }
    bool withoutZ = false;
    OGRPoint position = Placed(gp, UtilityZ(gp), withoutZ);
    m_utilitiesWithoutZ += withoutZ ? 1 : 0;
    feature.SetGeometry(&position);
    if (m_utilityLayer->CreateFeature(&feature) != OGRERR_NONE)
        return false;
    if (m_utilityLayer == m_pointLayer) {
        ++m_pointFeatures;
        ++m_placedFeatures;
    }
    return true;
}

double CSurveyDataset::AntennaZ(const GIS_POINT& gp) const
{
    // An epoch whose GGA left the altitude empty has none (the field holds
    // the last one for the CSV's sake).
    if ((gp.Point.GpsFix.u32Missing & FIX_NO_ALTITUDE) != 0)
        return std::nan("");
    if (m_grid == nullptr || !m_grid->HasVertical())
        return gp.Point.GpsFix.dfAltVal;
    return gp.Heights.EllipsoidHeight.value_or(std::nan(""));
}

double CSurveyDataset::UtilityZ(const GIS_POINT& gp) const
{
    if (m_grid == nullptr || !m_grid->HasVertical())
        return gp.Heights.UtilityElevation.value_or(std::nan(""));
    // Into a vertical datum the utility goes in at its own ellipsoidal height:
    // the antenna's, less the pole and the depth. Its orthometric height is
    // taken against whatever geoid made it, which need not be the datum's.
    const std::optional<double> depth = PointDepthMetres(gp.Point);
    if (!gp.Heights.EllipsoidHeight || !gp.Record.AntennaHeight || !depth)
        return std::nan("");
    return *gp.Heights.EllipsoidHeight - *gp.Record.AntennaHeight - *depth;
}

OGRPoint CSurveyDataset::Placed(const GIS_POINT& gp, double z, bool& withoutZ) const
{
    withoutZ = false;
    OGRPoint position = PointGeometry(gp.Point);
    if (position.IsEmpty())
        return position;
    double x = position.getX(), y = position.getY(), height = z;
    if (m_grid != nullptr && !m_grid->Transform(position.getY(), position.getX(), z, x, y, height)) {
        OGRPoint empty;
        empty.set3D(TRUE);
        return empty;
    }
    if (std::isfinite(height))
        return OGRPoint(x, y, height);
    // No NaN ever goes out as a coordinate: the point keeps its place without
    // a height, or, in a format whose every point has one, at 0 (its height
    // fields are NULL and the export counts it).
    withoutZ = true;
    return m_format->bPointWithoutZ ? OGRPoint(x, y) : OGRPoint(x, y, 0.0);
}

bool CSurveyDataset::SameCrs(OGRLayer& layer, std::string& error) const
{
    const OGRSpatialReference* held = layer.GetSpatialRef();
    if (held == nullptr || held->IsSame(m_srs))
        return true;
    const char* name = held->GetName();
    error = m_path + " holds " + layer.GetName() + " in " + (name != nullptr ? name : "another CRS") + ", not " +
            (m_grid != nullptr ? m_grid->TargetCrs() : std::string("WGS 84")) + "; name another output";
    return false;
}

bool CSurveyDataset::LoadKeys(std::string& error)
{
    const int logIndex = m_fields.anIndex[kLogField];
    const int fileIndex = m_fields.anIndex[kLogFileField];
    const int surveyIndex = m_fields.anIndex[kSurveyField];
    // Only the key is read: no geometry, no other attribute.
    OGRFeatureDefn* defn = m_pointLayer->GetLayerDefn();
    std::vector<const char*> ignored;
    for (int i = 0; i < defn->GetFieldCount(); ++i) {
        if (i != logIndex && i != fileIndex && i != surveyIndex)
            ignored.push_back(defn->GetFieldDefn(i)->GetNameRef());
    }
    ignored.push_back("OGR_GEOMETRY");
    ignored.push_back(nullptr);
    m_pointLayer->SetIgnoredFields(ignored.data());
    m_pointLayer->ResetReading();
    for (auto& feature : *m_pointLayer) {
        LOG_ID id{feature->GetFieldAsString(fileIndex), ""};
        if (surveyIndex >= 0 && feature->IsFieldSetAndNotNull(surveyIndex))
            id.survey = feature->GetFieldAsString(surveyIndex);
        ++m_keys[id][feature->GetFieldAsInteger(logIndex)];
        ++m_counts[id];
    }
    m_pointLayer->SetIgnoredFields(nullptr);
    if (CPLGetLastErrorType() >= CE_Failure && m_counts.empty() && m_pointLayer->GetFeatureCount() > 0) {
        error = "cannot read " + m_path;
        return false;
    }
    return true;
}

const LOG_ID* CSurveyDataset::Held(const LOG_ID& log) const
{
    const auto own = m_counts.find(log);
    if (own != m_counts.end())
        return &own->first;
    const auto older = m_counts.find(LOG_ID{log.logFile, ""});
    return older != m_counts.end() && !log.survey.empty() ? &older->first : nullptr;
}

size_t CSurveyDataset::CountPoints(const LOG_ID& log) const
{
    const LOG_ID* held = Held(log);
    return held == nullptr ? 0 : m_counts.at(*held);
}

uint32_t& CSurveyDataset::KEY_COUNTS::operator[](int key)
{
    if (key < 0 || key >= kDense)
        return m_sparse[key];
    if (static_cast<size_t>(key) >= m_dense.size())
        m_dense.resize(static_cast<size_t>(key) + 1);
    return m_dense[static_cast<size_t>(key)];
}

uint32_t CSurveyDataset::KEY_COUNTS::Count(int key) const
{
    if (key >= 0 && key < kDense)
        return static_cast<size_t>(key) < m_dense.size() ? m_dense[static_cast<size_t>(key)] : 0;
    const auto found = m_sparse.find(key);
    return found == m_sparse.end() ? 0 : found->second;
}

bool CSurveyDataset::KEY_COUNTS::operator==(const KEY_COUNTS& other) const
{
    const std::vector<uint32_t>& longer = m_dense.size() >= other.m_dense.size() ? m_dense : other.m_dense;
    const std::vector<uint32_t>& shorter = m_dense.size() >= other.m_dense.size() ? other.m_dense : m_dense;
    return std::equal(shorter.begin(), shorter.end(), longer.begin()) &&
           std::all_of(longer.begin() + static_cast<std::ptrdiff_t>(shorter.size()), longer.end(),
                       [](uint32_t n) { return n == 0; }) &&
           m_sparse == other.m_sparse;
}

bool CSurveyDataset::HoldsPrefixOf(const LOG_ID& log, const GIS_POINT* points, size_t count) const
{
    const size_t held = CountPoints(log);
    if (held > count)
        return false;
    KEY_COUNTS keys;
    for (size_t i = 0; i < held; ++i)
        ++keys[static_cast<int>(points[i].Point.LocateData.u32EepromFileIndex)];
    return held == 0 || m_keys.at(*Held(log)) == keys;
}

bool CSurveyDataset::HoldsOtherSurvey(const LOG_ID& log) const
{
    for (const auto& [id, count] : m_counts) {
        if (id.logFile == log.logFile && id.survey != log.survey && !id.survey.empty())
            return true;
    }
    return false;
}

// Points written before Survey existed carry none: the first survey of that
// file name appended here is theirs, as the GeoPackage beside a log holds one.
bool CSurveyDataset::Adopt(const LOG_ID& log, std::string& error)
{
    const LOG_ID older{log.logFile, ""};
    if (log.survey.empty() || m_counts.count(log) != 0 || m_counts.count(older) == 0)
        return true;
    for (OGRLayer* layer : {m_pointLayer, m_trackLayer, m_utilityLayer}) {
        if (layer == nullptr || layer->GetLayerDefn()->GetFieldIndex(kSurveyFields[kSurveyField].pszName) < 0)
            continue;
        const std::string sql = std::string("UPDATE \"") + layer->GetName() + "\" SET \"Survey\" = " +
                                Quoted(log.survey) + " WHERE \"LogFile\" = " + Quoted(log.logFile) +
                                " AND \"Survey\" IS NULL";
        CPLErrorReset();
        OGRLayer* result = m_points->ExecuteSQL(sql.c_str(), nullptr, nullptr);
        if (result != nullptr)
            m_points->ReleaseResultSet(result);
        if (CPLGetLastErrorType() >= CE_Failure) {
            error = "cannot mark the points of " + log.logFile + " in " + m_path;
            return false;
        }
    }
    m_keys[log] = std::move(m_keys[older]);
    m_counts[log] = m_counts[older];
    m_keys.erase(older);
    m_counts.erase(older);
    return true;
}

bool CSurveyDataset::RemoveLog(const std::string& logFile, std::string& error)
{
    CGdalMessages messages;
    if (!Begin(error)) {
        error = messages.LastError(error);
        return false;
    }
    const std::string filter = "LogFile = " + Quoted(logFile);
    if (m_linesLayer == nullptr && m_format->bAppendable)
        m_linesLayer = m_points->GetLayerByName(kUtilityLinesLayer);
    for (OGRLayer* layer : {m_pointLayer, m_trackLayer, m_utilityLayer == m_pointLayer ? nullptr : m_utilityLayer,
                            m_linesLayer}) {
        if (layer == nullptr || layer->GetLayerDefn()->GetFieldIndex("LogFile") < 0)
            continue;
        std::vector<GIntBig> fids;
        layer->SetAttributeFilter(filter.c_str());
        layer->ResetReading();
        for (auto& feature : *layer)
            fids.push_back(feature->GetFID());
        layer->SetAttributeFilter(nullptr);
        for (const GIntBig fid : fids) {
            if (layer->DeleteFeature(fid) != OGRERR_NONE) {
                error = messages.LastError("cannot remove the points of " + logFile + " from " + m_path);
                Rollback();
                return false;
            }
        }
    }
    std::erase_if(m_keys, [&](const auto& entry) { return entry.first.logFile == logFile; });
    std::erase_if(m_counts, [&](const auto& entry) { return entry.first.logFile == logFile; });
    std::erase_if(m_trackFeatures, [&](const auto& entry) { return entry.first.logFile == logFile; });
    std::erase_if(m_newTrack, [&](const auto& entry) { return entry.first.logFile == logFile; });
    std::erase_if(m_linePoints, [&](const auto& entry) { return entry.first.logFile == logFile; });
    std::erase_if(m_linesStale, [&](const LOG_ID& entry) { return entry.logFile == logFile; });
    return true;
}

bool CSurveyDataset::Begin(std::string& error)
{
    if (m_bInTransaction)
        return true;
    const OGRErr result = m_points->StartTransaction(FALSE);
    if (result == OGRERR_NONE) {
        m_bInTransaction = true;
        return true;
    }
    if (result == OGRERR_UNSUPPORTED_OPERATION)
        return true; // a plain file: it is written whole or replaced on the next run
    error = "cannot start a transaction in " + m_path;
    return false;
}

bool CSurveyDataset::PrepareFeature(OGRFeature& feature, const GIS_POINT& gp, const LOG_ID& log) const
{
    const GPS_FIX& fix = gp.Point.GpsFix;
    bool withoutZ = false;
    OGRPoint position = Placed(gp, AntennaZ(gp), withoutZ);
    if (!position.IsEmpty()) {
        m_pointsWithoutZ += withoutZ ? 1 : 0;
        if (m_grid != nullptr && !m_grid->InAreaOfUse(SignedLatitude(fix), SignedLongitude(fix)))
            ++m_outsideArea;
    }
    // GPX and DXF have no empty point: a point without a fix has no waypoint
    // or entity there (its key is still taken, as it is logged).
    if (position.IsEmpty() && (m_format->eAttributes == PointAttributes::GpxWaypoint ||
                               m_format->eAttributes == PointAttributes::CadEntity))
        return false;
    // The feature is used again for later points: every field is set or unset.
    feature.SetFID(OGRNullFID);
    FillSurveyFields(feature, m_fields, gp, log);
    if (m_nameField >= 0)
        feature.SetField(m_nameField,
                         (log.logFile + ":" + std::to_string(static_cast<int>(gp.Point.LocateData.u32EepromFileIndex))).c_str());
    if (m_descField >= 0)
        feature.SetField(m_descField, MeasurementSummary(gp).c_str());
    if (m_cadLayerField >= 0)
        feature.SetField(m_cadLayerField, kPointLayer);
    if (m_timeField >= 0) {
        // UTC whatever the tablet's zone: the log's own local parts converted.
        POINT_UTC utc;
        if (PointUtcTime(gp.Point, utc)) {
            feature.SetField(m_timeField, utc.nYear, utc.nMonth, utc.nDay, utc.nHour, utc.nMinute,
                             static_cast<float>(utc.dfSecond), 100);
        } else {
            feature.UnsetField(m_timeField);
        }
    }
    if (m_eleField >= 0) {
        if (fix.nGpsFix != 0 && std::isfinite(fix.dfAltVal))
            feature.SetField(m_eleField, fix.dfAltVal);
        else
            feature.UnsetField(m_eleField);
    }
    if (position.IsEmpty() && !m_format->bEmptyGeometry)
        feature.SetGeometryDirectly(nullptr);
    else
        feature.SetGeometry(&position);
    return true;
}

bool CSurveyDataset::AppendPoints(const LOG_ID& log, const GIS_POINT* points, size_t count,
                                  size_t firstIndex, std::string& error)
{
    CGdalMessages messages;
    const size_t present = CountPoints(log);
    if (firstIndex > present) {
        error = m_path + " lacks points of " + log.logFile + " before number " + std::to_string(firstIndex);
        return false;
    }
    if (!Begin(error) || !Adopt(log, error)) {
        error = messages.LastError(error);
        Rollback();
        return false;
    }
    if (!NoteLineSurvey(log, present, error)) {
        error = messages.LastError(error);
        Rollback();
        return false;
    }
    std::vector<LOGGED_POINT>& linePoints = m_linePoints[log];
    KEY_COUNTS& held = m_keys[log];
    size_t& counted = m_counts[log];
    // The n-th point of this log with a given Log number is present when the
    // output held at least n features with that key before this call.
    const KEY_COUNTS heldBefore = firstIndex == 0 ? held : KEY_COUNTS{};
    KEY_COUNTS seen;
    NEW_TRACK& newTrack = m_newTrack[log];
    if (!newTrack.line) {
        newTrack.line = std::make_unique<OGRLineString>();
        newTrack.line->set3D(TRUE);
        newTrack.bWhole = present == 0;
    }
    OGRLineString& track = *newTrack.line;

    // Features are filled a chunk ahead on a second thread while this one
    // inserts: a large export keeps both cores busy. Only the filler touches
    // next, seen and heldBefore; only this thread touches the output.
    OGRFeatureDefn* defn = m_pointLayer->GetLayerDefn();
    size_t next = 0;
    auto fill = [&](PREPARED_CHUNK& chunk) {
        chunk.entries.clear();
        size_t used = 0;
        while (next < count && chunk.entries.size() < kChunkPoints) {
            const size_t i = next++;
            const int key = static_cast<int>(points[i].Point.LocateData.u32EepromFileIndex);
            if (firstIndex == 0) {
                if (++seen[key] <= heldBefore.Count(key))
                    continue;
            } else if (firstIndex + i < present) {
                continue;
            }
            if (used == chunk.features.size())
                chunk.features.emplace_back(new OGRFeature(defn));
            const bool bWrite = PrepareFeature(*chunk.features[used], points[i], log);
            if (bWrite)
                ++used;
            chunk.entries.emplace_back(i, bWrite);
        }
    };

    OGRFeatureUniquePtr utility(m_utilityLayer != nullptr ? new OGRFeature(m_utilityLayer->GetLayerDefn()) : nullptr);
    PREPARED_CHUNK chunks[2];
    fill(chunks[0]);
    int current = 0;
    while (!chunks[current].entries.empty()) {
        PREPARED_CHUNK& following = chunks[1 - current];
        following.entries.clear();
        std::future<void> ahead;
        if (next < count) {
            try {
                ahead = std::async(std::launch::async, [&fill, &following] { fill(following); });
            } catch (const std::system_error&) {
                fill(following); // no thread to be had: one after the other
            }
        }
        bool ok = true;
        size_t written = 0;
        for (const auto& [i, bWrite] : chunks[current].entries) {
            // An error GDAL raises without failing the call (SQLite out of
            // room while updating the spatial index) may have ended the whole
            // transaction: nothing more may be written, or it would stand on
            // its own, committed point by point.
            if (bWrite && (m_pointLayer->CreateFeature(chunks[current].features[written++].get()) != OGRERR_NONE ||
                           (utility && !WriteUtility(*utility, points[i], log)) || messages.HadError())) {
                ok = false;
                break;
            }
            if (bWrite && m_bStyled && !m_bStylesStale) {
                const double depth = m_fields.bMetric ? DepthMetres(points[i].Point.LocateData)
                                                      : FloatAsDecimal(points[i].Point.LocateData.fDepth);
                const std::optional<double>& elevation = points[i].Heights.UtilityElevation;
                m_bStylesStale = depth < m_styled.dfDepthMin || depth > m_styled.dfDepthMax ||
                                 (elevation && (*elevation < m_styled.dfElevationMin ||
                                                *elevation > m_styled.dfElevationMax));
            }
            if (bWrite && m_bKmlTimes) {
                POINT_UTC utc;
                m_kmlTimes.push_back(PointUtcTime(points[i].Point, utc) ? utc : POINT_UTC{});
            }
            if (bWrite && points[i].Record.Utility.IsSet()) {
                linePoints.push_back(points[i]);
                m_linesStale.insert(log);
            }
            m_pointFeatures += bWrite ? 1 : 0;
            m_placedFeatures += bWrite && points[i].Point.GpsFix.nGpsFix != 0 ? 1 : 0;
            ++held[static_cast<int>(points[i].Point.LocateData.u32EepromFileIndex)];
            ++counted;
            if (points[i].Point.GpsFix.nGpsFix != 0) {
                // A track through heights leaves out the vertices without one.
                bool withoutZ = false;
                OGRPoint position = Placed(points[i], AntennaZ(points[i]), withoutZ);
                if (!position.IsEmpty() && !withoutZ)
                    track.addPoint(&position);
            }
        }
        if (ahead.valid())
            ahead.wait();
        if (!ok) {
            error = messages.LastError("cannot write a point to " + m_path);
            Rollback();
            return false;
        }
        current = 1 - current;
    }
    return true;
}

// The vertices of log's track held so far: those of its track feature, else
// (no feature yet, since a line needs two vertices) its fixed points.
bool CSurveyDataset::TrackSoFar(const LOG_ID& log, OGRLineString& line)
{
    line.set3D(TRUE);
    if (!m_format->bAppendable)
        return true;
    std::string filter = "LogFile = " + Quoted(log.logFile);
    if (m_fields.anIndex[kSurveyField] >= 0)
        filter += " AND Survey = " + Quoted(log.survey);
    m_pointLayer->SetAttributeFilter(filter.c_str());
    m_pointLayer->ResetReading();
    for (auto& feature : *m_pointLayer) {
        const OGRGeometry* geometry = feature->GetGeometryRef();
        if (geometry != nullptr && !geometry->IsEmpty() && wkbFlatten(geometry->getGeometryType()) == wkbPoint &&
            geometry->Is3D())
            line.addPoint(geometry->toPoint());
    }
    m_pointLayer->SetAttributeFilter(nullptr);
    return true;
}

bool CSurveyDataset::WriteTrack(const LOG_ID& log, NEW_TRACK added, std::string& error)
{
    if (!added.line || added.line->getNumPoints() == 0)
        return true;
    if (m_trackLayer == nullptr && !CreateTrackLayer(*m_points, error))
        return false;
    OGRFeatureUniquePtr& existing = m_trackFeatures[log];
    if (!existing && m_format->bAppendable && m_trackLogFileField >= 0) {
        std::string filter = "LogFile = " + Quoted(log.logFile);
        if (m_trackSurveyField >= 0)
            filter += " AND Survey = " + Quoted(log.survey);
        m_trackLayer->SetAttributeFilter(filter.c_str());
        m_trackLayer->ResetReading();
        existing.reset(m_trackLayer->GetNextFeature());
        m_trackLayer->SetAttributeFilter(nullptr);
    }
    if (existing) {
        OGRGeometry* geometry = existing->GetGeometryRef();
        if (geometry != nullptr && wkbFlatten(geometry->getGeometryType()) == wkbLineString) {
            geometry->toLineString()->addSubLineString(added.line.get());
        } else {
            existing->SetGeometryDirectly(added.line.release());
        }
        if (m_trackLayer->SetFeature(existing.get()) != OGRERR_NONE) {
            error = "cannot extend the track in " + m_path;
            return false;
        }
        return true;
    }
    // A line needs two vertices (a database calls one of one vertex
    // invalid): none is written before the survey has two fixes, in this
    // batch or with those the output holds.
    std::unique_ptr<OGRLineString> line = std::move(added.line);
    if (m_format->bAppendable && !added.bWhole) {
        line = std::make_unique<OGRLineString>();
        TrackSoFar(log, *line); // the points of this batch are in the layer already
    }
    if (line->getNumPoints() < 2) {
        m_trackFeatures.erase(log);
        return true;
    }
    // The line goes into the feature, and the feature is kept as the track
    // held: a long survey's line is not copied on its way.
    OGRFeatureUniquePtr feature(new OGRFeature(m_trackLayer->GetLayerDefn()));
    if (m_trackLogFileField >= 0)
        feature->SetField(m_trackLogFileField, log.logFile.c_str());
    if (m_trackSurveyField >= 0)
        feature->SetField(m_trackSurveyField, log.survey.c_str());
    if (m_trackNameField >= 0)
        feature->SetField(m_trackNameField, log.logFile.c_str());
    // GPX has no columns of ours and GDAL 3.6 writes no <metadata>: the job
    // goes into the survey track's own description.
    if (m_trackDescField >= 0 && log.job.IsSet()) {
        std::string job = "Job:";
        for (const auto& [word, value] : {std::pair<const char*, const std::string&>{"ticket", log.job.ticket},
                                          {"client", log.job.client},
                                          {"site", log.job.site},
                                          {"crew", log.job.crew}})
            if (!value.empty())
                job += std::string(job.size() > 4 ? "; " : " ") + word + " " + value;
        feature->SetField(m_trackDescField, job.c_str());
    }
    const int cadLayer = m_trackLayer->GetLayerDefn()->GetFieldIndex("Layer");
    if (m_format->eAttributes == PointAttributes::CadEntity && cadLayer >= 0)
        feature->SetField(cadLayer, kTrackLayer);
    feature->SetGeometryDirectly(line.release());
    if (m_trackLayer->CreateFeature(feature.get()) != OGRERR_NONE) {
        error = "cannot write the track to " + m_path;
        return false;
    }
    ++m_writtenTracks;
    if (m_format->bAppendable)
        existing = std::move(feature);
    return true;
}

bool CSurveyDataset::Commit(std::string& error)
{
    CGdalMessages messages;
    for (auto& [log, added] : m_newTrack) {
        // The job of each log in the output's own metadata (a GeoPackage
        // keeps it in gpkg_metadata), where a reader of the file finds it
        // without reading a feature.
        if (m_format->bAppendable && m_pointLayer != nullptr)
            WriteJobMetadata(*m_pointLayer, log);
        if (!WriteTrack(log, std::move(added), error)) {
            error = messages.LastError(error);
            Rollback();
            return false;
        }
    }
    m_newTrack.clear();
    for (const LOG_ID& log : m_linesStale) {
        if (!WriteUtilityLines(log, error)) {
            error = messages.LastError(error);
            Rollback();
            return false;
        }
    }
    m_linesStale.clear();
    // The styles go with the points they were made for; a file whose styles
    // cannot be written still takes its points.
    if (m_format->bLayerStyles && m_bStylesStale && m_pointFeatures > 0) {
        CGdalMessages quiet;
        std::string ignored;
        const STYLE_RANGES ranges = StyleRangesOf(*m_points);
        if (WriteLayerStyles(*m_points, ranges, ignored)) {
            m_styled = ranges;
            m_bStyled = true;
            m_bStylesStale = false;
        }
    }
    if (m_bInTransaction) {
        m_bInTransaction = false;
        if (m_points->CommitTransaction() != OGRERR_NONE) {
            error = messages.LastError("cannot commit to " + m_path);
            m_bCountsStale = true;
            m_bStylesStale = true;
            m_trackFeatures.clear();
            m_keys.clear();
            m_counts.clear();
            LoadKeys(error);
            return false;
        }
    }
    return true;
}

void CSurveyDataset::Rollback()
{
    m_bStylesStale = true;
    m_newTrack.clear();
    m_trackFeatures.clear(); // they may hold vertices that are not in the file
    m_linePoints.clear();    // read again from what the output holds
    m_linesStale.clear();
    if (!m_bInTransaction)
        return;
    m_bInTransaction = false;
    m_bCountsStale = true;
    m_points->RollbackTransaction();
    // What the output holds is what it held before the batch.
    m_keys.clear();
    m_counts.clear();
    std::string ignored;
    LoadKeys(ignored);
}

bool CSurveyDataset::Close(std::string& error)
{
    CGdalMessages messages;
    if (!m_newTrack.empty() || m_bInTransaction) {
        if (!Commit(error))
            return false;
    }
    for (GDALDatasetUniquePtr* dataset : {&m_points, &m_trackFile, &m_linesFile}) {
        if (*dataset) {
            // Formats that write on close report their trouble while closing.
            (*dataset)->FlushCache(true);
            dataset->reset();
        }
    }
    const bool ok = !messages.HadError();
    if (!ok)
        error = messages.LastError("cannot finish " + m_path);
    m_pointLayer = nullptr;
    m_trackLayer = nullptr;
    m_linesLayer = nullptr;
    RepairCounts();
    if (ok && m_bKmlTimes && !StampKmlTimes(m_path, m_kmlTimes)) {
        error = "cannot write the times into " + m_path + ": " + std::strerror(errno);
        return false;
    }
    return ok;
}

// utility_lines: one feature per utility segment of a survey, built by
// BuildUtilityLines from the survey's points that carry a utility. The
// dataset keeps those points of each survey it writes, so a commit writes the
// survey's lines anew without reading its points back; a GeoPackage opened
// again reads them back once, on the survey's first batch.

namespace {
struct LINE_FIELD {
    const char* pszName;
    OGRFieldType eType;
};
constexpr LINE_FIELD kLineFields[] = {
    {"UtilityType", OFTString}, {"UtilityId", OFTString}, {"Colour", OFTString}, {"QualityLevel", OFTString},
    {"Segment", OFTInteger},    {"Points", OFTInteger},   {"Length", OFTReal},   {"MinDepth", OFTReal},
    {"MaxDepth", OFTReal},      {"FirstLog", OFTInteger}, {"LastLog", OFTInteger}, {"Ticket", OFTString},
    {"LogFile", OFTString},     {"Survey", OFTString},
};

std::string LineName(const UTILITY_TAG& u)
{
    return u.type + (u.id.empty() ? "" : " " + u.id) + " segment " + std::to_string(u.segment);
}

std::string PenStyle(const std::string& colour)
{
    char style[48];
    std::snprintf(style, sizeof style, "PEN(c:#%06X,w:3px)", static_cast<unsigned>(ColourRgb(colour)));
    return style;
}

std::string LinesSiblingPath(const std::string& trackPath)
{
    const size_t at = trackPath.rfind("_track");
    return at == std::string::npos ? trackPath + "_lines" : trackPath.substr(0, at) + "_lines" + trackPath.substr(at + 6);
}
} // namespace

bool CSurveyDataset::NoteLineSurvey(const LOG_ID& log, size_t present, std::string& error)
{
    if (m_linePoints.contains(log))
        return true;
    std::vector<LOGGED_POINT>& kept = m_linePoints[log];
    if (present == 0 || !m_format->bAppendable || m_fields.anIndex[kUtilityTypeField] < 0)
        return true;
    std::string filter = "LogFile = " + Quoted(log.logFile) + " AND UtilityType IS NOT NULL";
    if (m_fields.anIndex[kSurveyField] >= 0)
        filter += " AND Survey = " + Quoted(log.survey);
    if (m_pointLayer->SetAttributeFilter(filter.c_str()) != OGRERR_NONE) {
        error = "cannot read the utility points of " + log.logFile + " in " + m_path;
        return false;
    }
    m_pointLayer->ResetReading();
    for (auto& feature : *m_pointLayer) {
        GIS_POINT point;
        LOG_ID ignored;
        ReadSurveyFields(*feature, m_fields, point, ignored);
        kept.push_back(std::move(point));
    }
    m_pointLayer->SetAttributeFilter(nullptr);
    return true;
}

bool CSurveyDataset::OpenLinesLayer(std::string& error)
{
    if (m_linesLayer != nullptr)
        return true;
    switch (m_format->eAttributes) {
    case PointAttributes::CadEntity: // DXF: entities on a drawing layer per utility type
        m_linesLayer = m_pointLayer;
        return true;
    case PointAttributes::GpxWaypoint: // GPX: one more track per segment
        if (m_trackLayer == nullptr && !CreateTrackLayer(*m_points, error))
            return false;
        m_linesLayer = m_trackLayer;
        return true;
    case PointAttributes::Survey:
    case PointAttributes::SurveyNamed:
        break;
    }
    GDALDataset* dataset = m_points.get();
    if (m_format->eTrack == TrackLayout::SiblingFile) {
        if (m_trackPath.empty()) {
            error = std::string("no place for the utility lines of ") + m_path;
            return false;
        }
        m_linesFile.reset(CreateDataset(*m_format, LinesSiblingPath(m_trackPath), error));
        if (!m_linesFile)
            return false;
        dataset = m_linesFile.get();
    } else {
        m_linesLayer = dataset->GetLayerByName(kUtilityLinesLayer);
        if (m_linesLayer != nullptr)
            return true;
    }
    m_linesLayer = dataset->CreateLayer(kUtilityLinesLayer, m_srs, wkbLineString25D,
                                        Options(m_format->papszTrackOptions));
    if (m_linesLayer == nullptr) {
        error = std::string("cannot create the layer ") + kUtilityLinesLayer + " in " + m_path;
        return false;
    }
    int ignored = -1;
    if (m_format->eAttributes == PointAttributes::SurveyNamed && !AddField(*m_linesLayer, "Name", OFTString, ignored, error))
        return false;
    for (const LINE_FIELD& field : kLineFields)
        if (!AddField(*m_linesLayer, field.pszName, field.eType, ignored, error))
            return false;
    return true;
}

bool CSurveyDataset::WriteUtilityLines(const LOG_ID& log, std::string& error)
{
    const std::vector<LOGGED_POINT>& points = m_linePoints[log];
    if (!OpenLinesLayer(error))
        return false;
    OGRFeatureDefn* defn = m_linesLayer->GetLayerDefn();
    const bool bOwnLayer = m_linesLayer != m_pointLayer && m_linesLayer != m_trackLayer;
    // The survey's lines as they stood go; its lines as they stand now come.
    if (m_format->bAppendable && bOwnLayer) {
        std::string filter = "LogFile = " + Quoted(log.logFile) + " AND Survey = " + Quoted(log.survey);
        std::vector<GIntBig> fids;
        m_linesLayer->SetAttributeFilter(filter.c_str());
        m_linesLayer->ResetReading();
        for (auto& feature : *m_linesLayer)
            fids.push_back(feature->GetFID());
        m_linesLayer->SetAttributeFilter(nullptr);
        for (const GIntBig fid : fids)
            if (m_linesLayer->DeleteFeature(fid) != OGRERR_NONE) {
                error = "cannot replace the utility lines of " + log.logFile + " in " + m_path;
                return false;
            }
    }
    const int cadLayer = defn->GetFieldIndex("Layer");
    const int gpxName = defn->GetFieldIndex("name");
    for (const UTILITY_LINE& line : BuildUtilityLines(points.data(), points.size())) {
        auto geometry = std::make_unique<OGRLineString>();
        // At the utility's height in the output's CRS where every vertex has
        // one; else the line is drawn flat, never with a made-up Z.
        bool bAllZ = true;
        for (size_t v = 0; v < line.points.size(); ++v) {
            const GIS_POINT& vertex = points[line.points[v]];
            bool withoutZ = false;
            OGRPoint position = Placed(vertex, UtilityZ(vertex), withoutZ);
            bAllZ = bAllZ && !withoutZ;
            if (!position.IsEmpty())
                geometry->addPoint(&position);
        }
        if (!bAllZ)
            geometry->flattenTo2D();
        if (geometry->getNumPoints() < 2)
            continue; // one vertex is no line
        OGRFeatureUniquePtr feature(new OGRFeature(defn));
        const UTILITY_TAG& u = line.Utility;
        auto text = [&](const char* name, const std::string& value) {
            const int index = defn->GetFieldIndex(name);
            if (index >= 0 && !value.empty())
                feature->SetField(index, value.c_str());
        };
        auto number = [&](const char* name, std::optional<double> value) {
            const int index = defn->GetFieldIndex(name);
            if (index >= 0 && value)
                feature->SetField(index, *value);
        };
        if (std::find_if(m_styled.utilityTypes.begin(), m_styled.utilityTypes.end(),
                         [&u](const auto& t) { return t.first == u.type; }) == m_styled.utilityTypes.end())
            m_bStylesStale = true; // a type the styles have no colour for yet
        text("UtilityType", u.type);
        text("UtilityId", u.id);
        text("Colour", u.colour);
        text("QualityLevel", u.qualityLevel);
        text("Ticket", log.job.ticket);
        text("LogFile", log.logFile);
        text("Survey", log.survey);
        text("Name", LineName(u));
        number("Segment", u.segment);
        number("Points", static_cast<double>(line.points.size()));
        number("Length", std::round(line.dfLength * 1000.0) / 1000.0);
        number("MinDepth", line.MinDepth);
        number("MaxDepth", line.MaxDepth);
        number("FirstLog", static_cast<int>(line.u32FirstLog));
        number("LastLog", static_cast<int>(line.u32LastLog));
        if (cadLayer >= 0)
            feature->SetField(cadLayer, u.type.c_str());
        if (gpxName >= 0)
            feature->SetField(gpxName, LineName(u).c_str());
        feature->SetStyleString(PenStyle(u.colour).c_str());
        feature->SetGeometryDirectly(geometry.release());
        if (m_linesLayer->CreateFeature(feature.get()) != OGRERR_NONE) {
            error = "cannot write a utility line to " + m_path;
            return false;
        }
        // Features on the point or track layer count with the track's, as
        // the staged output's check reads them back there.
        if (!bOwnLayer)
            ++m_writtenTracks;
        ++m_writtenLines;
    }
    return true;
}

bool CSurveyDataset::AmendPoints(const LOG_ID& log, const std::vector<POINT_AMEND>& amends, std::string& error)
{
    const int voidField = m_fields.anIndex[kVoidField];
    const int noteField = m_fields.anIndex[kNoteField];
    if (amends.empty() || !m_format->bAppendable || voidField < 0 || noteField < 0)
        return true;
    CGdalMessages messages;
    if (!Begin(error)) {
        error = messages.LastError(error);
        return false;
    }
    const LOG_ID* held = Held(log);
    for (const POINT_AMEND& amend : amends) {
        std::string filter = "LogFile = " + Quoted(log.logFile) + " AND Log = " + std::to_string(amend.key);
        if (held != nullptr && !held->survey.empty())
            filter += " AND Survey = " + Quoted(held->survey);
        m_pointLayer->SetAttributeFilter(filter.c_str());
        m_pointLayer->ResetReading();
        OGRFeatureUniquePtr feature;
        for (int n = 0; n <= amend.occurrence; ++n) {
            feature.reset(m_pointLayer->GetNextFeature());
            if (!feature)
                break;
        }
        m_pointLayer->SetAttributeFilter(nullptr);
        if (!feature)
            continue;
        feature->SetField(voidField, amend.bVoid ? 1 : 0);
        if (amend.note.empty())
            feature->SetFieldNull(noteField);
        else
            feature->SetField(noteField, amend.note.c_str());
        if (m_pointLayer->SetFeature(feature.get()) != OGRERR_NONE) {
            error = messages.LastError("cannot mark a point in " + m_path);
            Rollback();
            return false;
        }
    }
    // The lines are built again from the points as they now stand.
    m_linePoints.erase(log);
    if (!NoteLineSurvey(log, CountPoints(log), error)) {
        Rollback();
        return false;
    }
    m_linesStale.insert(log);
    return true;
}
