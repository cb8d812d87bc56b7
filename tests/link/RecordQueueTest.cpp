// The record queue between the Bluetooth reader and the survey log. Records are
// produced the way the link produces them: from locator frames.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "link/LocatorLink.h"
#include "platform/Folders.h"
#include "support/LocatorPackets.h"
#include "support/RecordingOwner.h"
#include "support/ScratchDir.h"

namespace {

// The locator's shortest measurement: FF 03 00 21 01.
const std::string kFrame = LocatorPacket(5).U8(4, 1).Frame();

class RecordQueueTest : public ::testing::Test {
protected:
    void SetUp() override { SetDocumentsFolder(m_docs.Path()); }
    void TearDown() override { SetDocumentsFolder(""); }

    // The Bluetooth port stays closed: replies fail, records are queued all the same.
    void Produce(int count)
    {
        for (int i = 0; i < count; ++i)
            m_link.AssembleFrames(reinterpret_cast<const uint8_t*>(kFrame.data()),
                                  static_cast<uint32_t>(kFrame.size()));
    }

    ScratchDir m_docs;
    RecordingOwner m_owner;
    CLocatorLink m_link{m_owner};
};

TEST_F(RecordQueueTest, AccessorsBeforeInitialiseDoNothing)
{
    EXPECT_EQ(m_link.PeekLocateRecord(), nullptr);
    EXPECT_EQ(m_link.LastRetCode(), LINK_ERR_NOT_INITIALISED);
    m_link.PopLocateRecord();
    m_link.ClearLocateRecords();
    Produce(1);
    EXPECT_EQ(m_link.NextPacketNumber(), 1u);
}

TEST_F(RecordQueueTest, PeekAndPopGoOldestFirst)
{
    ASSERT_EQ(m_link.Initialise(), LINK_OK);
    EXPECT_EQ(m_link.PeekLocateRecord(), nullptr);
    EXPECT_EQ(m_link.LastRetCode(), LINK_OK);
    m_link.PopLocateRecord(); // empty: nothing happens

    Produce(2);
    SURVEY_POINT* first = m_link.PeekLocateRecord();
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->u32AppIdentifier, 1u);
    EXPECT_EQ(m_link.PeekLocateRecord(), first); // peek leaves it queued
    m_link.PopLocateRecord();
    SURVEY_POINT* second = m_link.PeekLocateRecord();
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(second->u32AppIdentifier, 2u);
    m_link.PopLocateRecord();
    EXPECT_EQ(m_link.PeekLocateRecord(), nullptr);
    EXPECT_EQ(m_link.LastRetCode(), LINK_OK);
}

TEST_F(RecordQueueTest, PeekThatCannotTakeTheLockReportsTimeout)
{
    ASSERT_EQ(m_link.Initialise(), LINK_OK);
    Produce(1);
    ASSERT_EQ(m_link.GetLocateSemaphore()->Wait(0), SemWait::Obtained);
    EXPECT_EQ(m_link.PeekLocateRecord(), nullptr);
    EXPECT_EQ(m_link.LastRetCode(), LINK_ERR_WAIT_TIMEOUT);
    m_link.PopLocateRecord(); // cannot take the lock either: nothing removed
    ASSERT_TRUE(m_link.GetLocateSemaphore()->Release());
    EXPECT_NE(m_link.PeekLocateRecord(), nullptr);
}

TEST_F(RecordQueueTest, ClearAndShutdownFreeEveryRecordAndRestartNumbering)
{
    ASSERT_EQ(m_link.Initialise(), LINK_OK);
    Produce(3);
    m_link.ClearLocateRecords();
    EXPECT_EQ(m_link.PeekLocateRecord(), nullptr);

    Produce(5); // left queued: Shutdown frees them (the leak checker would see otherwise)
    EXPECT_EQ(m_link.NextPacketNumber(), 9u);
    m_link.Shutdown();
    EXPECT_FALSE(m_link.IsInitialised());
    EXPECT_EQ(m_link.NextPacketNumber(), 1u);

    ASSERT_EQ(m_link.Initialise(), LINK_OK);
    EXPECT_EQ(m_link.PeekLocateRecord(), nullptr);
    Produce(1);
    ASSERT_NE(m_link.PeekLocateRecord(), nullptr);
    EXPECT_EQ(m_link.PeekLocateRecord()->u32AppIdentifier, 1u);
}

TEST_F(RecordQueueTest, ReinitialiseGoesThroughShutdown)
{
    ASSERT_EQ(m_link.Initialise(), LINK_OK);
    Produce(2);
    ASSERT_EQ(m_link.Initialise(), LINK_OK);
    EXPECT_EQ(m_link.PeekLocateRecord(), nullptr);
    EXPECT_EQ(m_link.NextPacketNumber(), 1u);
}

TEST_F(RecordQueueTest, OneProducerOneConsumerLoseAndReorderNothing)
{
    ASSERT_EQ(m_link.Initialise(), LINK_OK);
    constexpr uint32_t kRecords = 100000;

    std::atomic<bool> producing{true};
    std::thread producer([&] {
        Produce(static_cast<int>(kRecords));
        producing = false;
    });

    uint32_t expected = 1;
    bool inOrder = true;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    while (expected <= kRecords && std::chrono::steady_clock::now() < deadline) {
        SURVEY_POINT* p = m_link.PeekLocateRecord();
        if (p == nullptr) {
            if (!producing)
                break;
            std::this_thread::yield();
            continue;
        }
        // The consumer may change the record it peeked until it pops it.
        p->GpsFix.dfLatAng = -1.0;
        if (p->u32AppIdentifier != expected)
            inOrder = false;
        ++expected;
        m_link.PopLocateRecord();
    }
    producer.join();
    while (SURVEY_POINT* p = m_link.PeekLocateRecord()) {
        if (p->u32AppIdentifier != expected)
            inOrder = false;
        ++expected;
        m_link.PopLocateRecord();
    }
    EXPECT_TRUE(inOrder);
    EXPECT_EQ(expected - 1, kRecords);
    EXPECT_EQ(m_link.NextPacketNumber(), kRecords + 1);
}

} // namespace
