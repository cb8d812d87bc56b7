// The default styles as QGIS itself applies them: a survey's GeoPackage as the
// export writes it is opened by QGIS (offscreen) and rendered; the picture
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
    // The export writes the styles itself, as the keeper beside a log does;
    // the utility under each point is 1.5 m lower than the ground.
    std::FILE* sink = std::fopen("/dev/null", "w");
    ASSERT_EQ(RunExport({.format = "GPKG", .output = gpkg, .logs = {log}, .dfAntennaHeight = 1.5}, sink), 0);
    std::fclose(sink);

    const std::string outputDir = std::string(FIELDBOOK_BINARY_DIR) + "/tests/output";
    ::mkdir(outputDir.c_str(), 0755);
    const std::string png = outputDir + "/qgis-survey.png";
    std::remove(png.c_str());
    const QGIS_RESULT qgis = QgisOpenAndRender(gpkg, {"survey_track", "utility_points", "survey_points"}, png);
    ASSERT_TRUE(qgis.bRan) << qgis.error;

    const QGIS_LAYER* points = qgis.Find("survey_points");
    ASSERT_NE(points, nullptr);
    EXPECT_TRUE(points->bValid);
    // Eight depth classes and the gate's own entry.
    EXPECT_EQ(points->renderer, "RuleRenderer");
    EXPECT_EQ(points->nClasses, 9);
    EXPECT_EQ(points->firstColour, "#fff9d03c"); // the track view's shallowest class
    ASSERT_EQ(points->legend.size(), 9u);
    // The sample's depths, 120.5 to 129.5 m as its protocol (id 0) sends
    // them, in classes of 1.125 m; two decimals whatever the limits hold.
    EXPECT_EQ(points->legend.front(), "120.50 - 121.62 m");
    EXPECT_EQ(points->legend[7], "128.38 - 129.50 m");
    EXPECT_EQ(points->legend.back(), "below the quality gate");
    EXPECT_TRUE(points->bLabels);
    EXPECT_EQ(points->labelField, "Log");
    const QGIS_LAYER* utilities = qgis.Find("utility_points");
    ASSERT_NE(utilities, nullptr);
    EXPECT_EQ(utilities->renderer, "graduatedSymbol");
    EXPECT_EQ(utilities->attribute, "UtilityElevation");
    ASSERT_FALSE(utilities->legend.empty());
    EXPECT_NE(utilities->legend.front().find(" m"), std::string::npos);
    EXPECT_EQ(utilities->legend.front().find('.'), utilities->legend.front().find(" - ") - 3);
    // Inside the survey point's 2.4 mm ring, leaving it in sight.
    EXPECT_LT(utilities->dfSymbolSize, points->dfSymbolSize / 2 + 0.1);
    const QGIS_LAYER* track = qgis.Find("survey_track");
    ASSERT_NE(track, nullptr);
    EXPECT_EQ(track->renderer, "singleSymbol");
    EXPECT_EQ(track->firstColour, "#ff707078");
    struct stat picture {};
    ASSERT_EQ(::stat(png.c_str(), &picture), 0);
    EXPECT_GT(picture.st_size, 2000); // more than an empty background
}

} // namespace
