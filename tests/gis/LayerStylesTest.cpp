// The default styles as QGIS itself applies them: a survey's GeoPackage with
// the styles written is opened by QGIS (offscreen) and rendered; the picture
// stays in the tests' output folder (tests/output/qgis-survey.png in the build).
#include <cstdio>
#include <string>
#include <sys/stat.h>
#include <vector>

#include <gtest/gtest.h>

#include "gis/GdalReadBack.h"
#include "gis/LayerStyles.h"
#include "gis/SurveyExport.h"
#include "support/QgisRun.h"
#include "support/ScratchDir.h"
#include "support/SurveyLogFiles.h"

namespace {

TEST(LayerStyles, QgisOpensTheSurveyWithItsDefaultStylesAndRendersIt)
{
    ScratchDir dir;
    const std::string log = dir.File("0612143005.txt");
    const std::string gpkg = dir.File("0612143005.gpkg");
    // Sample points carry depths of 120.5 to 129.5 cm.
    ASSERT_TRUE(WriteSurveyLog(log, SamplePoints(0, 60)));
    std::FILE* sink = std::fopen("/dev/null", "w");
    ASSERT_EQ(RunExport({.format = "GPKG", .output = gpkg, .logs = {log}}, sink), 0);
    std::fclose(sink);
    {
        GDALDatasetUniquePtr dataset = OpenForReading(gpkg, {}, true);
        ASSERT_TRUE(dataset);
        // Every fifth point failed the quality gate, and the picture shows those hollow.
        OGRLayer* points = dataset->GetLayerByName("survey_points");
        for (const auto& feature : Features(*points)) {
            feature->SetField("QualityOK", feature->GetFieldAsInteger("Log") % 5 == 0 ? 0 : 1);
            ASSERT_EQ(points->SetFeature(feature.get()), OGRERR_NONE);
        }
        const STYLE_RANGES ranges = StyleRangesOf(*dataset);
        EXPECT_DOUBLE_EQ(ranges.dfDepthMin, 120.5);
        EXPECT_DOUBLE_EQ(ranges.dfDepthMax, 129.5);
        std::string error;
        ASSERT_TRUE(WriteLayerStyles(*dataset, ranges, error)) << error;
        // Written again (a later save): still one default per layer.
        ASSERT_TRUE(WriteLayerStyles(*dataset, ranges, error)) << error;
        OGRLayer* styles = dataset->GetLayerByName(kStyleTable);
        ASSERT_NE(styles, nullptr);
        EXPECT_EQ(styles->GetFeatureCount(), 2); // survey_points and survey_track
    }

    const std::string outputDir = std::string(FIELDBOOK_BINARY_DIR) + "/tests/output";
    ::mkdir(outputDir.c_str(), 0755);
    const std::string png = outputDir + "/qgis-survey.png";
    std::remove(png.c_str());
    const QGIS_RESULT qgis = QgisOpenAndRender(gpkg, {"survey_track", "survey_points"}, png);
    ASSERT_TRUE(qgis.bRan) << qgis.error;

    const QGIS_LAYER* points = qgis.Find("survey_points");
    ASSERT_NE(points, nullptr);
    EXPECT_TRUE(points->bValid);
    EXPECT_EQ(points->renderer, "graduatedSymbol");
    EXPECT_EQ(points->attribute, "Depth");
    EXPECT_EQ(points->nClasses, 8);
    EXPECT_EQ(points->firstColour, "#fff9d03c"); // the track view's shallowest class
    EXPECT_TRUE(points->bLabels);
    EXPECT_EQ(points->labelField, "Log");
    const QGIS_LAYER* track = qgis.Find("survey_track");
    ASSERT_NE(track, nullptr);
    EXPECT_EQ(track->renderer, "singleSymbol");
    EXPECT_EQ(track->firstColour, "#ff707078");
    struct stat picture {};
    ASSERT_EQ(::stat(png.c_str(), &picture), 0);
    EXPECT_GT(picture.st_size, 2000); // more than an empty background
}

} // namespace
