// Stopping the link in the background: the window's way of keeping the port
// close waits off its thread, checked here without Qt (and under
// ThreadSanitizer, which the window's own tests cannot use).
#include "app/FieldbookView.h"

#include <atomic>
#include <chrono>
#include <gtest/gtest.h>
#include <thread>

#include "app/ConfigFile.h"
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

    bool WaitStopped() const
    {
        for (int i = 0; i < 1000 && !m_stopped; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return m_stopped;
    }

    std::atomic<bool> m_stopped{false};
    int m_running = -1; // user-interface thread only
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

} // namespace
