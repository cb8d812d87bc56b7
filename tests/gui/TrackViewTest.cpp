#include "gui/TrackView.h"

#include <QMessageBox>
#include <QToolButton>
#include <cstdlib>
#include <gtest/gtest.h>

#include "GuiTestSupport.h"
#include "app/Application.h"
#include "app/ConfigFile.h"
#include "app/MapBackdrop.h"
#include "gis/MapRaster.h"
#include "gui/FieldbookForm.h"
#include "gui/MainFrame.h"
#include "gui/PointReadout.h"
#include "gui/QtFace.h"
#include "platform/Clock.h"
#include "surveylog/SurveyLog.h"
#include "support/TestRaster.h"

namespace {

// The window on scratch folders, points put straight into the survey log as
// the record timer would, the timer's signal raised by hand.
class TrackViewTest : public ::testing::Test {
protected:
    TrackViewTest()
    {
        const LOCAL_TIME time{2026, 12, 6, 14, 30, 5};
        SetLocalTimeForTest(&time);
        CSurveyLog::GetInstance()->SetNewFileWait(std::chrono::milliseconds(0));
        m_app.Start();
        m_frame.show();
    }
    ~TrackViewTest() override
    {
        m_frame.RunExitSequence();
        CSurveyLog::DestroyInstance();
        SetLocalTimeForTest(nullptr);
    }

    // A point walked east along 52.5 N, every 2 m or so; depth in centimetres.
    void Log(int step, bool fix, float depthCm, const GPS_QUALITY& quality = {})
    {
        SURVEY_POINT p;
        p.LocateData.nProtocolId = 2;
        p.LocateData.fDepth = depthCm;
        p.LocateData.fCurrent = 40.0f + static_cast<float>(step);
        p.LocateData.fSignal = 55.5f;
        p.nLocatorMode = 1;
        p.RtcTime = RTC_TIME::Make(14, 31, static_cast<uint32_t>(step));
        if (fix) {
            p.GpsFix.nGpsFix = 1;
            p.GpsFix.nNoSats = 9;
            p.GpsFix.dfLatAng = 52.5;
            p.GpsFix.dfLongAng = 13.4 + step * 0.00003;
            p.GpsFix.dfAltVal = 40.0 + step;
            p.GpsFix.nAltUnits = UNITS_METRES;
            // A receiver that applies a geoid: its altitude is an elevation.
            p.GpsFix.dfGeoidVal = 39.6;
            p.GpsFix.nGeoidUnits = UNITS_METRES;
        }
        p.Quality = quality;
        CSurveyLog::GetInstance()->Add(p);
        emit m_face.RecordsProcessed();
    }
    CTrackView& Track() { return *m_frame.TrackView(); }
    std::string Readout() { return m_frame.Form()->Readout()->text().toStdString(); }

    ScratchFolders m_folders;
    CQtFace m_face;
    CFieldbookApp m_app{m_face};
    CMainFrame m_frame{m_app, m_face, false};
};

TEST_F(TrackViewTest, FollowsTheLogShowsValuesAndStartsOverWithANewLog)
{
    EXPECT_EQ(Readout(), "Last point: none logged yet");
    GetConfig().m_dfAntennaHeight = 1.5;
    Log(0, true, 120.0f);
    Log(1, false, 130.0f);
    Log(2, true, 250.0f);
    Log(3, true, 180.0f);
    ASSERT_EQ(Track().Model().Size(), 3u);
    EXPECT_EQ(Track().Model().WithoutFix(), 1u);
    EXPECT_EQ(Readout(), "Last point 4   14:31:03   GPS, 9 satellites, accuracy unknown\n"
                         "Depth 1.80 m   Utility at 39.70 m   Current 43.0 mA\nSignal 55.5 dBuV   Mode POWER");
    GetConfig().m_dfAntennaHeight = 0.0;
    // Following: every point in view.
    for (size_t i = 0; i < Track().Model().Size(); ++i)
        EXPECT_TRUE(QRectF(Track().rect()).contains(Track().ScreenPos(i))) << i;

    // A click on the third point drawn (the fourth logged) shows its values.
    QTest::mouseClick(&Track(), Qt::LeftButton, {}, Track().ScreenPos(2).toPoint());
    EXPECT_EQ(Track().Selected(), 2);
    EXPECT_EQ(Track().SelectedText().toStdString(), "Point: 4\nDepth: 1.80 m\nCurrent: 43.0 mA\nSignal: 55.5 dBuV\n"
                                      "Frequency: 0 Hz\nMode: POWER\nTime: 14:31:03\nFix: GPS, 9 satellites\n"
                                                                     "Accuracy: unknown");

    // The keys step through the points.
    QTest::keyClick(&Track(), Qt::Key_Left);
    EXPECT_EQ(Track().Selected(), 1);
    QTest::keyClick(&Track(), Qt::Key_End);
    EXPECT_EQ(Track().Selected(), 2);
    QTest::keyClick(&Track(), Qt::Key_Escape);
    EXPECT_EQ(Track().Selected(), -1);

    // Zooming stops the following; Fit brings it back.
    QWheelEvent wheel(QPointF(10, 10), Track().mapToGlobal(QPointF(10, 10)), {}, {0, 480}, Qt::NoButton, {},
                      Qt::NoScrollPhase, false);
    QApplication::sendEvent(&Track(), &wheel);
    EXPECT_FALSE(Track().Following());
    Track().FitButton()->click();
    EXPECT_TRUE(Track().Following());

    // The next survey, a minute later.
    const LOCAL_TIME later{2026, 12, 6, 14, 31, 5};
    SetLocalTimeForTest(&later);
    m_frame.Command(ID_NEW_LOG)->trigger();
    EXPECT_EQ(Track().Model().Taken(), 0u);
    EXPECT_EQ(Track().Selected(), -1);
    EXPECT_EQ(Readout(), "Last point: none logged yet");
    Log(4, true, 90.0f);
    EXPECT_EQ(Track().Model().Size(), 1u);
}

// Points the quality gate found wanting: the readout turns red while such a
// point is the last one, and the track view draws it hollow.
TEST_F(TrackViewTest, PointsBelowTheGateShowRedAndHollow)
{
    GPS_QUALITY met;
    met.u32Present = QUALITY_FIX_TYPE | QUALITY_H_ACCURACY | QUALITY_CHECKED;
    met.nFixType = FIX_RTK_FIXED;
    met.dfHAccuracy = 0.02;
    met.bQualityOK = true;
    GPS_QUALITY below = met;
    below.nFixType = FIX_RTK_FLOAT;
    below.dfHAccuracy = 0.31;
    below.bQualityOK = false;

    Log(0, true, 100.0f, met);
    EXPECT_FALSE(m_frame.Form()->Readout()->BelowGate());
    Log(1, true, 100.0f, below);
    EXPECT_TRUE(m_frame.Form()->Readout()->BelowGate());
    EXPECT_NE(Readout().find("accuracy 0.31 m"), std::string::npos) << Readout();
    Log(2, true, 100.0f, met);
    EXPECT_FALSE(m_frame.Form()->Readout()->BelowGate());
    ASSERT_EQ(Track().Model().Size(), 3u);
    EXPECT_FALSE(Track().Model().At(0).bBelowGate);
    EXPECT_TRUE(Track().Model().At(1).bBelowGate);
    EXPECT_FALSE(Track().Model().At(2).bBelowGate);
    // The legend keys the hollow points (counted, not looked for at each paint).
    EXPECT_EQ(Track().Model().BelowGate(), 1u);
    Track().repaint();
}

// The picture of the window's track view over a raster in UTM whose middle
// lies 20 m north of the walk: the walk's west half over the south-west
// quadrant, its east half over the south-east one, the points on top.
TEST_F(TrackViewTest, ScreenshotShowsTheMapUnderTheTrack)
{
    SetMapBackdropFactory(OpenMapRaster);
    const std::string path = m_folders.Documents().File("site.tif");
    std::string error;
    ASSERT_TRUE(WriteTestRaster(path,
                                {.crs = "EPSG:32633",
                                 .dfCentreLat = 52.5 + 20.0 / 111195.0,
                                 .dfCentreLong = 13.4 + 19 * 0.00003 / 2,
                                 .dfHalfMetres = 150.0},
                                error))
        << error;
    GetConfig().m_strMapRaster = path;
    m_frame.LoadMap();
    EXPECT_EQ(Track().MapPath().toStdString(), path);
    for (int step = 0; step < 20; ++step)
        Log(step, true, 150.0f);
    ASSERT_TRUE(ProcessEventsUntil([this] { return Track().MapCurrent(); }));
    const QImage shot = Track().grab().toImage();
    if (const char* dir = std::getenv("FIELDBOOK_SCREENSHOT_DIR"))
        shot.save(QString::fromUtf8(dir) + QStringLiteral("/track-map.png"));

    const QPointF first = Track().ScreenPos(0);
    const QPointF last = Track().ScreenPos(19);
    auto rgb = [&shot](QPointF at) { return shot.pixel(at.toPoint()) & 0xffffffu; };
    const QPointF up(0.0, -20.0);
    EXPECT_EQ(rgb(first + (last - first) * 0.25 + up), kQuadrantColour[2]) << "south-west, under the walk's west half";
    EXPECT_EQ(rgb(first + (last - first) * 0.75 + up), kQuadrantColour[3]) << "south-east, under its east half";
    EXPECT_EQ(rgb(first + (last - first) * 0.75 - up), kQuadrantColour[3]) << "south of the walk too";
    // A point's dot in its depth colour over the map (one depth: the middle class).
    EXPECT_EQ(rgb(Track().ScreenPos(5)), DepthClassColour(CTrackView::kDepthClasses / 2).rgb() & 0xffffffu);
    EXPECT_TRUE(Track().findChildren<QMessageBox*>().isEmpty());
    GetConfig().m_strMapRaster.clear();
    m_frame.LoadMap();
    EXPECT_TRUE(Track().MapPath().isEmpty());
}

// A map that cannot be drawn is said once, in words; the track view goes on
// without it.
TEST_F(TrackViewTest, MapThatCannotBeDrawnIsToldOnce)
{
    SetMapBackdropFactory(OpenMapRaster);
    const std::string path = m_folders.Documents().File("gone.tif");
    GetConfig().m_strMapRaster = path;
    m_frame.LoadMap();
    m_frame.LoadMap();
    const QList<QMessageBox*> boxes = m_frame.findChildren<QMessageBox*>(QStringLiteral("noticeBox"));
    ASSERT_EQ(boxes.size(), 1);
    EXPECT_EQ(boxes[0]->text().toStdString(), "No map under the track: the map " + path + " does not exist");
    EXPECT_TRUE(Track().MapPath().isEmpty());
    Log(0, true, 150.0f);
    EXPECT_FALSE(Track().grab().isNull());
    boxes[0]->close();
}

} // namespace
