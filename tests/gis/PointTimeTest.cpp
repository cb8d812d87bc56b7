// A point's UTC instant from the log's parts, under the zones the field runs
// tablets in: east of the date line and west of Greenwich, summer and winter.
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "gis/GdalReadBack.h"
#include "gis/PointTime.h"
#include "gis/SurveyExport.h"
#include "support/ScratchDir.h"
#include "surveylog/SamplePoints.h"
#include "surveylog/SurveyLog.h"

namespace {

// TZ for the test's span, the machine's own after it.
struct ZONE {
    explicit ZONE(const char* zone)
    {
        const char* old = std::getenv("TZ");
        m_had = old != nullptr;
        m_old = old != nullptr ? old : "";
        ::setenv("TZ", zone, 1);
        ::tzset();
    }
    ~ZONE()
    {
        if (m_had)
            ::setenv("TZ", m_old.c_str(), 1);
        else
            ::unsetenv("TZ");
        ::tzset();
    }
    bool m_had;
    std::string m_old;
};

std::string Iso(const POINT_UTC& utc)
{
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02.0fZ", utc.nYear, utc.nMonth, utc.nDay, utc.nHour,
                  utc.nMinute, utc.dfSecond);
    return text;
}

} // namespace

TEST(PointTime, LocalPartsOfTheLogBecomeTheUtcInstant)
{
    const struct {
        const char* zone;
        bool fix;
        uint32_t timeInd;
        int year, month, day; // GPSDate as logged
        double gpsUtc;        // GPS_UTC as logged
        const char* utc;
    } cases[] = {
        {"Pacific/Kiritimati", true, 0, 2026, 12, 8, 215839.0, "2026-12-07T21:58:39Z"},
        {"Pacific/Kiritimati", true, 1, 2026, 12, 7, 215839.0, "2026-12-07T21:58:39Z"},
        {"Pacific/Kiritimati", false, 0, 2026, 12, 8, 115839.0, "2026-12-07T21:58:39Z"},
        {"America/New_York", false, 0, 2026, 12, 7, 165839.0, "2026-12-07T21:58:39Z"},
        {"America/New_York", false, 0, 2026, 12, 7, 203000.0, "2026-12-08T01:30:00Z"},
        {"America/New_York", true, 0, 2026, 12, 7, 13000.0, "2026-12-08T01:30:00Z"},
        {"America/New_York", true, 1, 2026, 12, 8, 13000.0, "2026-12-08T01:30:00Z"},
        {"America/New_York", false, 0, 2026, 7, 1, 120000.0, "2026-07-01T16:00:00Z"},
        {"UTC", true, 0, 2026, 12, 31, 235959.0, "2026-12-31T23:59:59Z"},
    };
    for (const auto& c : cases) {
        ZONE zone(c.zone);
        SURVEY_POINT point = NorthEastPoint();
        point.GpsFix.nGpsFix = c.fix ? 1 : 0;
        point.GpsFix.nTimeInd = c.timeInd;
        point.GpsFix.dfUTC = c.gpsUtc;
        point.ZdaData.nYear = c.year;
        point.ZdaData.nMonth = c.month;
        point.ZdaData.nDay = c.day;
        POINT_UTC utc;
        ASSERT_TRUE(PointUtcTime(point, utc)) << c.zone;
        EXPECT_EQ(Iso(utc), c.utc) << c.zone << " " << c.gpsUtc;
    }
    SURVEY_POINT undated = NorthEastPoint();
    undated.ZdaData = ZDA_DATA{};
    POINT_UTC utc;
    EXPECT_FALSE(PointUtcTime(undated, utc));
}

// The GPX waypoint's time (and the GeoPackage's, and KML's) of a point taken on the 7th by a tablet on
// Kiritimati time, whose receiver sent no ZDA.
TEST(PointTime, OutputTimesAreUtcOnATabletEastOfTheDateLine)
{
    ZONE zone("Pacific/Kiritimati");
    ScratchDir dir;
    SURVEY_POINT point = NorthEastPoint();
    point.GpsFix.nTimeInd = 0;
    point.GpsFix.dfUTC = 215839.0;
    point.ZdaData.nYear = 2026;
    point.ZdaData.nMonth = 12;
    point.ZdaData.nDay = 8;
    CSurveyLog* log = CSurveyLog::GetInstance();
    log->Clear();
    log->Add(point);
    ASSERT_TRUE(log->WriteFile(dir.File("0812115839.txt")));
    log->Clear();
    EXPORT_REQUEST request;
    request.output = dir.File("out.gpx");
    request.logs = {dir.File("0812115839.txt")};
    ASSERT_EQ(RunExport(request, stderr), 0);
    const std::string gpx = ReadWholeFile(dir.File("out.gpx"));
    EXPECT_NE(gpx.find("<time>2026-12-07T21:58:39Z</time>"), std::string::npos) << gpx;
    // The GeoPackage's UTC datetime and KML's TimeStamp say the same.
    request.output = dir.File("out.gpkg");
    ASSERT_EQ(RunExport(request, stderr), 0);
    GDALDatasetUniquePtr gpkg = OpenForReading(dir.File("out.gpkg"));
    ASSERT_TRUE(gpkg);
    OGRFeatureUniquePtr row(gpkg->GetLayerByName("survey_points")->GetNextFeature());
    ASSERT_TRUE(row);
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, tz = 0;
    float second = 0;
    ASSERT_TRUE(row->GetFieldAsDateTime(row->GetFieldIndex("UTC"), &year, &month, &day, &hour, &minute, &second, &tz));
    EXPECT_EQ((std::vector<int>{year, month, day, hour, minute, static_cast<int>(second), tz}),
              (std::vector<int>{2026, 12, 7, 21, 58, 39, 100}));
    request.output = dir.File("out.kml");
    ASSERT_EQ(RunExport(request, stderr), 0);
    const std::string kml = ReadWholeFile(dir.File("out.kml"));
    EXPECT_NE(kml.find("<when>2026-12-07T21:58:39Z</when>"), std::string::npos) << kml;
}
