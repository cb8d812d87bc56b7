// One GIS output of survey points: a GeoPackage beside a log, an export file,
// later a database. Points are appended in batches keyed on LogFile + Log: a
// point whose key the output holds already is not written again (the n-th
// point of a log with a given Log number matches the n-th such feature), so
// writing a log's points once more, or after a crash, adds only what is
// missing. Each batch is one transaction where the format has them, so a batch
// is in the output whole or not at all.
#pragma once

#include <atomic>
#include <map>
#include <set>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include <gdal_priv.h>
#include <ogr_spatialref.h>

#include "gis/GisFormats.h"
#include "gis/GisSchema.h"
#include "gis/LayerStyles.h"
#include "gis/MapGrid.h"
#include "gis/PointTime.h"

class CSurveyDataset {
public:
    ~CSurveyDataset();
    CSurveyDataset(const CSurveyDataset&) = delete;
    CSurveyDataset& operator=(const CSurveyDataset&) = delete;

    // Opens the output at path. An appendable format (GeoPackage) opens an
    // existing file and takes its keys (adding the survey fields its layer
    // lacks); any other output is created anew where nothing stands (see
    // StagedOutput.h for who makes room). nullptr with the reason in error.
    // lockWaitMs, for a GeoPackage: how long each write waits for a file that
    // another program is writing before it fails (negative: GDAL's own wait,
    // seconds per statement).
    // trackPath: where a one-layer format puts the track.
    // grid, when given (it must outlive the output): every layer in its
    // target CRS, each position transformed (heights as CMapGrid.h says); an
    // existing layer in another CRS is refused, as it is without one when it
    // is not in WGS 84.
    static std::unique_ptr<CSurveyDataset> Open(const GIS_FORMAT& format, const std::string& path,
                                                std::string& error, int lockWaitMs = -1,
                                                const std::string& trackPath = {},
                                                const CMapGrid* grid = nullptr);

    // Number of points of logFile the output holds.
    size_t CountPoints(const LOG_ID& log) const;

    // Adds the points of logFile that the output lacks, in log order, and
    // notes their fixed positions for the track. points are the log's points
    // from number firstIndex on. From the start of a log (firstIndex 0) a
    // point is present when its key is: the n-th point with a given Log number
    // matches the n-th feature of that log with it. A continuation (firstIndex
    // above 0) relies on the output holding a prefix of the log, as every
    // writer here leaves it, and skips the first CountPoints points; it fails
    // when the output holds fewer than firstIndex (the caller sends the points
    // from CountPoints again).
    bool AppendPoints(const LOG_ID& log, const GIS_POINT* points, size_t count, size_t firstIndex,
                      std::string& error);
    // Whether the output's points of logFile are, by their keys, the first
    // CountPoints of points (count of them): false when it holds more than
    // count, or other Log numbers.
    bool HoldsPrefixOf(const LOG_ID& log, const GIS_POINT* points, size_t count) const;
    // Whether the output holds points of another survey under log's file name.
    bool HoldsOtherSurvey(const LOG_ID& log) const;
    // Deletes every point and the track of every survey under logFile, within
    // the transaction of the next Commit.
    bool RemoveLog(const std::string& logFile, std::string& error);

    // Sets Void and Note of points the output holds (a point it lacks is
    // left: it comes with its marks), and has the survey's utility lines
    // written anew at the next Commit.
    bool AmendPoints(const LOG_ID& log, const std::vector<POINT_AMEND>& amends, std::string& error);

    // Writes or extends each track that AppendPoints changed and ends the
    // transaction. On failure nothing of this batch stays.
    bool Commit(std::string& error);
    // Undoes the batch so far (where the format has transactions).
    void Rollback();
    // Closes the output, flushing formats that write on close.
    bool Close(std::string& error);

    const std::string& Path() const { return m_path; }
    // Features written to the point layer since Open (utility points too,
    // where they share it), to be read back once the output is closed.
    size_t PointFeatures() const { return m_pointFeatures; }
    // Of those, the ones with a position (some formats keep no other).
    size_t PlacedFeatures() const { return m_placedFeatures; }
    size_t TrackFeatures() const { return m_writtenTracks; }
    // Points and utility points written with their horizontal position only:
    // no height could be made for them in the output's CRS (no ellipsoidal
    // height for a vertical datum, outside its geoid grid, no antenna height
    // known for a utility). Left out of the track.
    size_t PointsWithoutZ() const { return m_pointsWithoutZ; }
    size_t UtilitiesWithoutZ() const { return m_utilitiesWithoutZ; }
    // Fixed points outside the map grid's CRS's area of use.
    size_t PointsOutsideArea() const { return m_outsideArea; }
    // utility_lines features written since Open (each commit writes a
    // changed survey's lines anew).
    size_t LineFeatures() const { return m_writtenLines; }

private:
    CSurveyDataset() = default;
    bool OpenExisting(std::string& error);
    void SetLockWait(GDALDataset& dataset) const;
    bool Create(std::string& error);
    bool CreatePointLayer(std::string& error);
    bool CreateTrackLayer(GDALDataset& dataset, std::string& error);
    // The format's utility layer: found (its fields mapped), else made.
    bool OpenUtilityLayer(std::string& error);
    // A Point Z at the point's UtilityElevation; true without writing for a
    // point that has none or no fix.
    bool WriteUtility(OGRFeature& feature, const GIS_POINT& point, const LOG_ID& log);
    bool LoadKeys(std::string& error);
    bool Begin(std::string& error);
    // Fills feature from a point; false when the format takes no feature for
    // it (GPX and DXF: a point without a fix).
    bool PrepareFeature(OGRFeature& feature, const GIS_POINT& point, const LOG_ID& log) const;
    // The held keys of log: its own, else those of the same file written
    // before Survey existed (adopted by the first survey appended to it).
    const LOG_ID* Held(const LOG_ID& log) const;
    bool Adopt(const LOG_ID& log, std::string& error);
    bool TrackSoFar(const LOG_ID& log, OGRLineString& line);
    // The point's position in the output's CRS, at height z (as AntennaZ or
    // UtilityZ give it); empty without a fix or where the map grid has no
    // value. withoutZ: no height could be made (see PointsWithoutZ).
    OGRPoint Placed(const GIS_POINT& point, double z, bool& withoutZ) const;
    // The antenna's z as the transformation takes it: the altitude, or the
    // ellipsoidal height into a vertical datum (NaN when the point has none).
    double AntennaZ(const GIS_POINT& point) const;
    // The utility's: its UtilityElevation, or its ellipsoidal height into a
    // vertical datum.
    double UtilityZ(const GIS_POINT& point) const;
    bool SameCrs(OGRLayer& layer, std::string& error) const;

    struct PREPARED_CHUNK {
        std::vector<OGRFeatureUniquePtr> features;       // filled, in entry order of those written
        std::vector<std::pair<size_t, bool>> entries;    // point index, written
    };
    // Fixed positions added in a batch to one survey, in log order.
    struct NEW_TRACK {
        std::unique_ptr<OGRLineString> line;
        bool bWhole = false; // the output held no point of the survey before the batch
    };
    bool WriteTrack(const LOG_ID& log, NEW_TRACK added, std::string& error);
    // utility_lines: the survey's utility points are kept from its first
    // batch on (read back from a GeoPackage that held points of it before).
    bool NoteLineSurvey(const LOG_ID& log, size_t present, std::string& error);
    bool OpenLinesLayer(std::string& error);
    bool WriteUtilityLines(const LOG_ID& log, std::string& error);

    const GIS_FORMAT* m_format = nullptr;
    std::string m_path;
    std::string m_trackPath;
    const CMapGrid* m_grid = nullptr;
    OGRSpatialReference* m_srs = nullptr; // the layers' CRS
    std::unique_ptr<OGRSpatialReference> m_gridSrs;
    GDALDatasetUniquePtr m_points;      // the dataset of the points layer
    GDALDatasetUniquePtr m_trackFile;   // the track's own file, for one-layer formats
    OGRLayer* m_pointLayer = nullptr;
    OGRLayer* m_trackLayer = nullptr;
    OGRLayer* m_utilityLayer = nullptr;
    SURVEY_FIELD_MAP m_fields{};
    SURVEY_FIELD_MAP m_utilityFields{}; // only the fields the utility layer carries
    int m_nameField = -1;    // KML placemark name / GPX name
    int m_descField = -1;    // KML description / GPX desc
    int m_timeField = -1;    // GPX time
    int m_eleField = -1;     // GPX ele
    int m_cadLayerField = -1; // DXF Layer
    int m_trackLogFileField = -1;
    int m_trackNameField = -1;
    int m_trackDescField = -1; // GPX: the track's <desc>, the job
    int m_trackSurveyField = -1;
    size_t m_pointFeatures = 0;
    size_t m_placedFeatures = 0;
    size_t m_writtenTracks = 0;
    // Counted by the filling thread and this one.
    mutable std::atomic<size_t> m_pointsWithoutZ{0};
    std::atomic<size_t> m_utilitiesWithoutZ{0};
    mutable std::atomic<size_t> m_outsideArea{0};
    bool m_bInTransaction = false;
    bool m_bKmlTimes = false;           // KML: TimeStamps written after GDAL closes the file
    std::vector<POINT_UTC> m_kmlTimes;  // of each point feature written, in order
    bool m_bCountsStale = false; // a batch was undone: the file's feature counts are GDAL's, not true
    void RepairCounts();
    int m_lockWaitMs = -1;
    // The value ranges the default styles were written for; written again
    // within a commit only when the points appended go beyond them.
    STYLE_RANGES m_styled{};
    bool m_bStyled = false;
    bool m_bStylesStale = true;

    // Features held per Log number (as the log prints it). A survey numbers
    // its points up from 0, so the counts of the low numbers are a vector by
    // number (4 bytes a point, where a hash node took some 40); any other
    // number goes to a map.
    class KEY_COUNTS {
    public:
        uint32_t& operator[](int key);
        uint32_t Count(int key) const;
        bool operator==(const KEY_COUNTS& other) const;

    private:
        static constexpr int kDense = 1 << 17;
        std::vector<uint32_t> m_dense;
        std::unordered_map<int, uint32_t> m_sparse;
    };
    std::map<LOG_ID, KEY_COUNTS> m_keys;
    std::map<LOG_ID, size_t> m_counts;
    std::map<LOG_ID, NEW_TRACK> m_newTrack;
    // Each survey's track feature as last committed, so that extending it
    // does not read and parse the whole line again (a GeoPackage kept open).
    std::map<LOG_ID, OGRFeatureUniquePtr> m_trackFeatures;

    OGRLayer* m_linesLayer = nullptr;
    GDALDatasetUniquePtr m_linesFile; // one-layer formats: "<stem>_lines<ext>"
    std::map<LOG_ID, std::vector<LOGGED_POINT>> m_linePoints;
    std::set<LOG_ID> m_linesStale;
    size_t m_writtenLines = 0;
};
