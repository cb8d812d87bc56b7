// Counts the allocations of this thread through the program's global operator
// new, and can make one of them fail, to check that the byte path allocates
// nothing and that Init survives running out of memory.
#include <gtest/gtest.h>

#include <cstdlib>
#include <new>
#include <set>

#include "gps/GpsDecoder.h"
#include "platform/Folders.h"
#include "support/NmeaStream.h"
#include "support/ScratchDir.h"

namespace {
thread_local long t_allocations = 0;
thread_local long t_failAt = -1; // allocation number to refuse, -1 none
} // namespace

[[gnu::noinline]] void* operator new(std::size_t size)
{
    if (t_allocations++ == t_failAt)
        throw std::bad_alloc();
    if (void* p = std::malloc(size != 0 ? size : 1))
        return p;
    throw std::bad_alloc();
}

void* operator new(std::size_t size, const std::nothrow_t&) noexcept
{
    try {
        return ::operator new(size);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

// Kept out of line: inlined into a caller, the compiler would pair the free
// with that caller's new expression and complain of a mismatch.
[[gnu::noinline]] void operator delete(void* p) noexcept { std::free(p); }
[[gnu::noinline]] void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

TEST(DecoderAllocations, NoneWhileDecodingWithTheDebugFileOnOrOff)
{
    const NmeaStream stream = MakeNmeaStream({600, 7, true});
    ScratchDir scratch;
    SetDocumentsFolder(scratch.Path());
    const auto* data = reinterpret_cast<const uint8_t*>(stream.bytes.data());
    for (bool debug : {false, true}) {
        CGpsDecoder decoder;
        ASSERT_EQ(decoder.Init(), 0);
        decoder.SetDebug(debug);
        long decoded = 0;
        const long before = t_allocations;
        for (size_t offset = 0; offset < stream.bytes.size(); offset += decoder.GetConsumed()) {
            const int result = decoder.Decode(data + offset, static_cast<uint32_t>(stream.bytes.size() - offset));
            decoded += result == GPS_GGA_DECODED || result == GPS_ZDA_DECODED;
        }
        EXPECT_EQ(t_allocations - before, 0) << "debug " << debug;
        EXPECT_EQ(decoded, static_cast<long>(stream.nGga + stream.nZda));
    }
    EXPECT_NE(ReadWholeFile(scratch.File("GpsDecoder.txt")).find("GetGGAData"), std::string::npos);
    SetDocumentsFolder("");
}

// Whichever allocation fails, Init reports it (147 for the buffers and
// records, 152 for the semaphore), keeps what it has, and a later Init
// completes the decoder.
TEST(DecoderAllocations, InitFailsCleanlyAtEveryAllocation)
{
    std::set<int> seen;
    bool completed = false;
    for (long failAt = 0; failAt < 50 && !completed; ++failAt) {
        CGpsDecoder decoder;
        t_allocations = 0;
        t_failAt = failAt;
        const int result = decoder.Init();
        t_failAt = -1;
        if (result == 0) {
            completed = true;
            break;
        }
        seen.insert(result);
        EXPECT_TRUE(result == GPS_ERR_NO_MEMORY || result == GPS_ERR_SEMAPHORE_CREATE) << result;
        const uint8_t byte = '$';
        EXPECT_EQ(decoder.Decode(&byte, 1), GPS_ERR_NOT_INITIALISED);

        ASSERT_EQ(decoder.Init(), 0) << "after failing allocation " << failAt;
        EXPECT_EQ(DecodeAll(decoder, "$GPZDA,201530.00,04,07,2002,00,00*60\r\n"), std::vector<int>{GPS_ZDA_DECODED});
    }
    EXPECT_TRUE(completed);
    EXPECT_EQ(seen, (std::set<int>{GPS_ERR_NO_MEMORY, GPS_ERR_SEMAPHORE_CREATE}));
}

} // namespace
