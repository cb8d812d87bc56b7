// Stopping the link in the background: the window's way of keeping the port
// close waits off its thread, checked here without Qt (and under
// ThreadSanitizer, which the window's own tests cannot use).
#include "app/FieldbookView.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <chrono>
#include <gtest/gtest.h>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/ConfigFile.h"
#include "app/Corrections.h"
#include "app/GeoidModel.h"
#include "link/LinkOwner.h"
#include "platform/Folders.h"
#include "support/ScratchDir.h"

namespace {

// A face as the window's: any thread may call the first three.
class StopFace : public IViewFace {
public:
    void OnBitmapChanged(int, int) override {}
    void OnRawData(const std::string&) override {}
    void OnLinkStopped() override { m_stopped = true; }
    void OnTestWindowCleared() override {}
    void OnTestWindowLayout(bool) override {}
    void OnRunningChanged(bool running) override { m_running = running ? 1 : 0; }
    void StartRecordTimer() override {}
    void StopRecordTimer() override {}
    void OnNotice(const std::string& text, bool) override
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_notices.push_back(text);
    }
    void OnCorrections(const std::string& line, bool) override
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_corrections.push_back(line);
    }

    bool WaitStopped() const
    {
        for (int i = 0; i < 1000 && !m_stopped; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return m_stopped;
    }

    std::atomic<bool> m_stopped{false};
    int m_running = -1; // user-interface thread only
    std::mutex m_mutex;
    std::vector<std::string> m_notices;     // under m_mutex
    std::vector<std::string> m_corrections; // under m_mutex
};

TEST(FieldbookView, BackgroundStopHandsBackToTheCallersThread)
{
    ScratchDir documents;
    ScratchDir ports; // empty: the readers keep failing to open their ports
    SetDocumentsFolder(documents.Path());
    SetPortsFolder(ports.Path());
    GetConfig().ResetToDefaults();
    StopFace face;
    {
        CFieldbookView view(face);
        ASSERT_TRUE(view.IsRunning());
        ASSERT_TRUE(view.BeginStopLink());
        EXPECT_FALSE(view.BeginStopLink());
        EXPECT_FALSE(view.IsRunning());
        EXPECT_TRUE(view.IsStopping());
        EXPECT_EQ(view.TransferPaneText(), "XFER Stopping");
        // No new threads on ports still being let go of.
        view.StartLink();
        EXPECT_FALSE(view.IsRunning());

        ASSERT_TRUE(face.WaitStopped());
        EXPECT_EQ(view.m_wndGpsLamp.GetBitmap(), IDB_LAMP_RED);
        EXPECT_EQ(face.m_running, 1); // from the start; the stop is not reported yet
        view.FinishStopLink();
        EXPECT_FALSE(view.IsStopping());
        EXPECT_EQ(face.m_running, 0);
        EXPECT_EQ(view.TransferPaneText(), "XFER Off");
        view.FinishStopLink(); // harmless twice

        view.StartLink();
        EXPECT_TRUE(view.IsRunning());
        // A plain StopLink during a background stop waits for it and ends it.
        face.m_stopped = false;
        ASSERT_TRUE(view.BeginStopLink());
        view.StopLink();
        EXPECT_FALSE(view.IsStopping());
        EXPECT_EQ(face.m_running, 0);
    }
    GetConfig().ResetToDefaults();
    SetDocumentsFolder("");
    SetPortsFolder("");
}

// The corrections run with the link, stop with it (in the background too), and
// are refused beside gpsd, which takes the caster itself.
TEST(FieldbookView, CorrectionsFollowTheLinkAndAreRefusedWithGpsd)
{
    ScratchDir documents;
    ScratchDir ports;
    SetDocumentsFolder(documents.Path());
    SetPortsFolder(ports.Path());
    struct Row {
        const char* gpsd;
        bool runs;
        size_t notices;
    } rows[] = {{"", true, 0}, {"127.0.0.1:1", false, 1}};
    for (const Row& row : rows) {
        GetConfig().ResetToDefaults();
        // Nothing listens on port 1: the client is refused and retries.
        GetConfig().m_strNtrip = "ntrip://127.0.0.1:1/MOUNT";
        GetConfig().m_strGpsd = row.gpsd;
        StopFace face;
        {
            CFieldbookView view(face);
            EXPECT_EQ(view.Corrections() != nullptr, row.runs) << row.gpsd;
            if (row.runs) {
                EXPECT_NE(view.Corrections()->Status().state, NtripState::Off);
                ASSERT_TRUE(view.BeginStopLink());
                ASSERT_TRUE(face.WaitStopped());
                view.FinishStopLink();
                EXPECT_EQ(view.Corrections()->Status().state, NtripState::Off);
                view.StartLink();
                EXPECT_NE(view.Corrections()->Status().state, NtripState::Off);
                // The refused connect is told by the client's thread: wait for it (bounded).
                for (int i = 0; i < 500; ++i) {
                    {
                        std::lock_guard<std::mutex> guard(face.m_mutex);
                        if (!face.m_corrections.empty())
                            break;
                    }
                    std::this_thread::sleep_for(std::chrono::milliseconds(10));
                }
            }
        }
        std::lock_guard<std::mutex> guard(face.m_mutex);
        EXPECT_EQ(face.m_notices.size(), row.notices) << row.gpsd;
        if (row.runs) {
            ASSERT_FALSE(face.m_corrections.empty());
            EXPECT_EQ(face.m_corrections[0], "NTRIP: cannot reach 127.0.0.1:1, retrying in 1 s");
        }
    }
    GetConfig().ResetToDefaults();
    SetDocumentsFolder("");
    SetPortsFolder("");
}

class FlatGeoid : public IGeoidModel {
public:
    bool Undulation(double, double, double& metres) const override
    {
        metres = 47.0;
        return true;
    }
    const std::string& Name() const override { return m_name; }

private:
    std::string m_name = "egm96_15.gtx";
};

// A receiver that applies no geoid (separation empty or 0) leaves the points
// without elevations under the receiver's geoid: the crew is told once a run
// to set a grid; not with a grid, and not for a receiver with a geoid.
TEST(FieldbookView, ReceiverWithoutGeoidIsToldOnce)
{
    ScratchDir documents;
    ScratchDir ports;
    SetDocumentsFolder(documents.Path());
    SetPortsFolder(ports.Path());
    SetGeoidModelFactory([](const std::string&, std::string&) -> std::unique_ptr<IGeoidModel> {
        return std::make_unique<FlatGeoid>();
    });
    const std::string notice = "GPS: the receiver applies no geoid (its geoid separation is empty or 0), so its "
                               "altitude is an ellipsoidal height and points get no ground or utility elevation; set "
                               "a geoid grid (GPS#GEOID#egm96_15.gtx, or the Heights page) in " +
                               documents.Path() + "KV4300TraceProofIni+.txt";
    const struct {
        const char* grid;
        const char* separation; // "" empty
        size_t notices;
    } rows[] = {{"", "0", 1}, {"", "", 1}, {"", "47.4", 0}, {"egm96_15.gtx", "0", 0}};
    for (const auto& row : rows) {
        GetConfig().ResetToDefaults();
        std::string message;
        ASSERT_TRUE(LoadGeoidModel(row.grid, message)) << message;
        SURVEY_POINT point;
        point.GpsFix.nGpsFix = FIX_DGPS;
        point.GpsFix.dfAltVal = 520.0;
        point.GpsFix.nAltUnits = UNITS_METRES;
        point.GpsFix.dfGeoidVal = std::atof(row.separation);
        point.GpsFix.nGeoidUnits = UNITS_METRES;
        point.GpsFix.u32Missing = row.separation[0] == '\0' ? uint32_t{FIX_NO_SEPARATION} : 0u;
        StopFace face;
        {
            CFieldbookView view(face);
            view.PointCheck()->OnLogged(point, 1);
            view.PointCheck()->OnLogged(point, 2);
            view.StopLink();
        }
        std::lock_guard<std::mutex> guard(face.m_mutex);
        EXPECT_EQ(std::count(face.m_notices.begin(), face.m_notices.end(), notice), static_cast<long>(row.notices))
            << row.grid << " " << row.separation;
    }
    std::string message;
    LoadGeoidModel("", message);
    SetGeoidModelFactory(nullptr);
    GetConfig().ResetToDefaults();
    SetDocumentsFolder("");
    SetPortsFolder("");
}

} // namespace
