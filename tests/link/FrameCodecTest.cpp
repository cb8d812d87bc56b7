#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "link/FrameCodec.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Cat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

// RFC 1662 FCS-16 worked bit by bit, so that the frames the tests build do not
// lean on the table the codec uses.
uint16_t BitwiseFcs(const Bytes& data)
{
    uint16_t fcs = 0xFFFF;
    for (uint8_t byte : data) {
        fcs ^= byte;
        for (int bit = 0; bit < 8; ++bit)
            fcs = (fcs & 1u) ? static_cast<uint16_t>((fcs >> 1) ^ 0x8408u) : static_cast<uint16_t>(fcs >> 1);
    }
    return fcs;
}

void PutEscaped(Bytes& out, uint8_t byte)
{
    if (byte == 0x7E || byte == 0x7D) {
        out.push_back(0x7D);
        out.push_back(byte ^ 0x20);
    } else {
        out.push_back(byte);
    }
}

// A frame as the locator sends it: flag, escaped payload and complemented FCS
// (low byte first), flag.
Bytes Frame(const Bytes& payload)
{
    const uint16_t fcs = static_cast<uint16_t>(~BitwiseFcs(payload));
    Bytes out{0x7E};
    for (uint8_t byte : payload)
        PutEscaped(out, byte);
    PutEscaped(out, static_cast<uint8_t>(fcs & 0xFF));
    PutEscaped(out, static_cast<uint8_t>(fcs >> 8));
    out.push_back(0x7E);
    return out;
}

Bytes WithBadFcs(Bytes frame)
{
    frame[frame.size() - 2] ^= 0x01;
    return frame;
}

// A good frame exactly rawSize bytes long, flags included; the filler is chosen
// so that neither FCS byte needs an escape.
Bytes FrameOfRawSize(size_t rawSize)
{
    Bytes payload(rawSize - 4, 0x41);
    for (int tweak = 0; tweak < 256; ++tweak) {
        payload.back() = static_cast<uint8_t>(tweak);
        Bytes frame = Frame(payload);
        if (frame.size() == rawSize)
            return frame;
    }
    ADD_FAILURE() << "no frame of " << rawSize << " bytes";
    return {};
}

// The packet of a frame built without escapes.
Bytes PacketOf(const Bytes& frame) { return Bytes(frame.begin() + 1, frame.end() - 3); }

Bytes Junk(size_t count)
{
    Bytes out(count);
    for (size_t i = 0; i < count; ++i)
        out[i] = static_cast<uint8_t>(0x30 + i % 64); // never 0x7E
    return out;
}

// What the assembler reported: 'G' good frame (its packet, FCS stripped),
// 'F' bad FCS, 'E' any other decoder result.
struct Event {
    char kind;
    int code;
    Bytes packet;
    bool operator==(const Event&) const = default;
};

Event Good(const Bytes& packet) { return {'G', FRAME_COMPLETE, packet}; }
Event BadFcs() { return {'F', FRAME_BAD_FCS, {}}; }
Event Error(int code) { return {'E', code, {}}; }

std::ostream& operator<<(std::ostream& os, const Event& e)
{
    os << e.kind << e.code << '[';
    for (uint8_t b : e.packet)
        os << ' ' << std::hex << int(b) << std::dec;
    return os << " ]";
}

class RecordingSink : public IFrameSink {
public:
    void OnGoodFrame(const CFrameCodec& codec) override
    {
        const uint8_t* rx = codec.RxBuffer();
        events.push_back(Good(Bytes(rx, rx + codec.RxLength() - 2)));
    }
    void OnBadFcs() override { events.push_back(BadFcs()); }
    void OnFrameError(int code) override { events.push_back(Error(code)); }

    std::vector<Event> events;
};

struct Link {
    CFrameCodec codec;
    CFrameAssembler assembler;
    RecordingSink sink;

    // Each chunk gets an allocation of its own, so that AddressSanitizer sees a
    // read past the end of what the port handed over.
    void Feed(const Bytes& stream, size_t chunk = 128)
    {
        for (size_t at = 0; at < stream.size(); at += chunk) {
            const size_t n = std::min(chunk, stream.size() - at);
            Bytes piece(stream.begin() + static_cast<std::ptrdiff_t>(at),
                        stream.begin() + static_cast<std::ptrdiff_t>(at + n));
            EXPECT_EQ(assembler.AssembleFrames(codec, sink, piece.data(), static_cast<uint32_t>(n)), 0);
        }
    }
};

const Bytes A{0x01, 0x02, 0x03, 0x04, 0x05};
const Bytes B{0x10, 0x7E, 0x11, 0x7D, 0x12};
const Bytes C{0xC0, 0xC1, 0xC2, 0xC3, 0xC4, 0xC5};
const Bytes D{0xD0, 0xD1};

// ---------------------------------------------------------------- FCS-16

TEST(Fcs16, TableEntriesOfRfc1662)
{
    // A single step from 0 over byte b yields table entry b.
    const struct {
        uint8_t index;
        uint16_t entry;
    } rows[] = {{0, 0x0000},   {1, 0x1189},   {2, 0x2312},   {3, 0x329B},
                {4, 0x4624},   {7, 0x74BF},   {128, 0x8408}, {255, 0x0F78}};
    for (const auto& row : rows)
        EXPECT_EQ(Fcs16(0x0000, &row.index, 1), row.entry) << "entry " << int(row.index);
}

TEST(Fcs16, GoodFrameLeavesTheMagicResidue)
{
    const Bytes payloads[] = {{}, {0x00}, {0xFF, 0x03, 0x00, 0x21, 0x01, 0x02}, A, B, Junk(190)};
    for (const Bytes& p : payloads) {
        const uint16_t fcs = static_cast<uint16_t>(~Fcs16(FCS16_INIT, p.data(), p.size()));
        Bytes withFcs = Cat({p, {static_cast<uint8_t>(fcs & 0xFF), static_cast<uint8_t>(fcs >> 8)}});
        EXPECT_EQ(Fcs16(FCS16_INIT, withFcs.data(), withFcs.size()), 0xF0B8) << p.size() << " bytes";
        EXPECT_EQ(Fcs16(FCS16_INIT, p.data(), p.size()), BitwiseFcs(p));
    }
    // The published check value of this CRC over "123456789" is 0x906E once complemented.
    const std::string check = "123456789";
    EXPECT_EQ(Fcs16(FCS16_INIT, reinterpret_cast<const uint8_t*>(check.data()), check.size()), 0x6F91);
}

// ---------------------------------------------------------------- decoder

struct DecodeCase {
    const char* name;
    Bytes input;
    int result;
    Bytes stored; // receive buffer after the call; not checked when empty
};

void PrintTo(const DecodeCase& c, std::ostream* os) { *os << c.name; }

std::vector<DecodeCase> DecodeCases()
{
    const Bytes oneByte = Frame({0x42});
    return {
        {"no_closing_flag", {0x7E, 0x01, 0x02}, FRAME_MORE, {0x01, 0x02}},
        {"good", Frame(A), FRAME_COMPLETE, Cat({A, {0xEC, 0x22}})}, // FCS 0x22EC
        {"two_bytes_plus_fcs_is_enough", Frame({0x55, 0x66}), FRAME_COMPLETE, {}},
        {"flags_only", {0x7E, 0x7E}, FRAME_EMPTY, {}},
        {"escape_then_flag_stores_nothing", {0x7E, 0x7D, 0x7E}, FRAME_EMPTY, {}},
        {"one_byte_and_fcs", oneByte, FRAME_TOO_SHORT, {}},
        {"no_payload_only_fcs", Frame({}), FRAME_TOO_SHORT, {0x00, 0x00}},
        // The FCS is judged before the length.
        {"one_byte_bad_fcs", WithBadFcs(oneByte), FRAME_BAD_FCS, {}},
        {"bad_fcs", WithBadFcs(Frame(A)), FRAME_BAD_FCS, {}},
        {"escaped_flag_and_escape", {0x7E, 0x7D, 0x5E, 0x7D, 0x5D, 0x7D, 0x41}, FRAME_MORE, {0x7E, 0x7D, 0x61}},
        // Without a leading flag the first byte is contents like any other.
        {"no_opening_flag", {0x01, 0x02, 0x7E}, FRAME_BAD_FCS, {0x01, 0x02}},
        {"stops_at_closing_flag", Cat({Frame(A), {0x99, 0x7E}}), FRAME_COMPLETE, {}},
        {"raw_192_alone", FrameOfRawSize(192), FRAME_COMPLETE, {}},
        {"input_193", Cat({FrameOfRawSize(192), {0x00}}), FRAME_TOO_LONG, {}},
    };
}

class DecodeTable : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(DecodeTable, ResultAndReceiveBuffer)
{
    const DecodeCase& c = GetParam();
    auto codec = std::make_unique<CFrameCodec>();
    Bytes input = c.input;
    EXPECT_EQ(codec->DecodeFrame(input.data(), static_cast<uint32_t>(input.size()), true), c.result);
    if (!c.stored.empty()) {
        ASSERT_EQ(codec->RxLength(), c.stored.size());
        EXPECT_EQ(Bytes(codec->RxBuffer(), codec->RxBuffer() + codec->RxLength()), c.stored);
    }
}

INSTANTIATE_TEST_SUITE_P(Frames, DecodeTable, ::testing::ValuesIn(DecodeCases()),
                         [](const ::testing::TestParamInfo<DecodeCase>& info) { return std::string(info.param.name); });

TEST(FrameDecoder, NoDataAndTooLong)
{
    CFrameCodec codec;
    uint8_t big[193] = {0x7E};
    EXPECT_EQ(codec.DecodeFrame(nullptr, 5, true), FRAME_NO_DATA);
    EXPECT_EQ(codec.DecodeFrame(big, 0, true), FRAME_NO_DATA);
    EXPECT_EQ(codec.DecodeFrame(big, 193, true), FRAME_TOO_LONG);
}

TEST(FrameDecoder, EscapedBytesAreWrittenBackOverTheInput)
{
    CFrameCodec codec;
    Bytes input = Frame({0x7E, 0x7D, 0x7E, 0x7D});
    ASSERT_EQ(codec.DecodeFrame(input.data(), static_cast<uint32_t>(input.size()), true), FRAME_COMPLETE);
    EXPECT_EQ(Bytes(input.begin() + 1, input.begin() + 9), (Bytes{0x7D, 0x7E, 0x7D, 0x7D, 0x7D, 0x7E, 0x7D, 0x7D}));
    EXPECT_EQ(Bytes(codec.RxBuffer(), codec.RxBuffer() + 4), (Bytes{0x7E, 0x7D, 0x7E, 0x7D}));
}

TEST(FrameDecoder, ReceiveBufferOverflowsWhenNotReset)
{
    CFrameCodec codec;
    Bytes first(192, 0x01);
    ASSERT_EQ(codec.DecodeFrame(first.data(), 192, true), FRAME_MORE);
    ASSERT_EQ(codec.RxLength(), 192u);
    Bytes more(7, 0x02);
    EXPECT_EQ(codec.DecodeFrame(more.data(), 7, false), FRAME_RX_OVERFLOW);
    EXPECT_EQ(codec.RxLength(), 198u);
    EXPECT_EQ(codec.RxBuffer()[197], 0x02);
    // With reset the same input is taken afresh.
    EXPECT_EQ(codec.DecodeFrame(more.data(), 7, true), FRAME_MORE);
    EXPECT_EQ(codec.RxLength(), 7u);
}

// ---------------------------------------------------------------- encoder

struct EncodeCase {
    const char* name;
    Bytes payload;
    Bytes frame;
};

void PrintTo(const EncodeCase& c, std::ostream* os) { *os << c.name; }

class EncodeTable : public ::testing::TestWithParam<EncodeCase> {};

TEST_P(EncodeTable, BuildsTheFrameByteForByte)
{
    const EncodeCase& c = GetParam();
    auto codec = std::make_unique<CFrameCodec>();
    ASSERT_EQ(codec->EncodeFrame(c.payload.data(), static_cast<uint32_t>(c.payload.size())), FRAME_ENCODED);
    EXPECT_EQ(Bytes(codec->TxBuffer(), codec->TxBuffer() + codec->TxLength()), c.frame);

    // And the decoder takes it back.
    Bytes frame = c.frame;
    ASSERT_EQ(codec->DecodeFrame(frame.data(), static_cast<uint32_t>(frame.size()), true), FRAME_COMPLETE);
    EXPECT_EQ(Bytes(codec->RxBuffer(), codec->RxBuffer() + codec->RxLength() - 2), c.payload);
}

// FCS values worked out by hand from the RFC 1662 polynomial (complemented).
INSTANTIATE_TEST_SUITE_P(
    Frames, EncodeTable,
    ::testing::Values(
        // FCS 0x7444.
        EncodeCase{"example_packet", {0xFF, 0x03, 0x00, 0x21, 0x01, 0x02},
                   {0x7E, 0xFF, 0x03, 0x00, 0x21, 0x01, 0x02, 0x44, 0x74, 0x7E}},
        // FCS 0x37B1.
        EncodeCase{"escapes_in_payload", {0x7E, 0x7D, 0x20}, {0x7E, 0x7D, 0x5E, 0x7D, 0x5D, 0x20, 0xB1, 0x37, 0x7E}},
        // FCS 0x8F7E: the low byte is a flag.
        EncodeCase{"escaped_fcs_low", {0x01, 0x4D}, {0x7E, 0x01, 0x4D, 0x7D, 0x5E, 0x8F, 0x7E}},
        // FCS 0x7DD9: the high byte is an escape.
        EncodeCase{"escaped_fcs_high", {0x01, 0xE8}, {0x7E, 0x01, 0xE8, 0xD9, 0x7D, 0x5D, 0x7E}},
        // Control characters go as they are: the escape map holds only 7D and 7E.
        EncodeCase{"controls_unescaped", {0x00, 0x11, 0x13, 0x1F}, Frame({0x00, 0x11, 0x13, 0x1F})}),
    [](const ::testing::TestParamInfo<EncodeCase>& info) { return std::string(info.param.name); });

TEST(FrameEncoder, RejectsNoDataAndTooLong)
{
    CFrameCodec codec;
    const Bytes big(193, 0x00);
    EXPECT_EQ(codec.EncodeFrame(nullptr, 4), FRAME_NO_DATA);
    EXPECT_EQ(codec.EncodeFrame(big.data(), 0), FRAME_NO_DATA);
    EXPECT_EQ(codec.EncodeFrame(big.data(), 193), FRAME_TOO_LONG);
}

// Against frames built independently: every byte value, and the longest
// payload with every byte escaped (384 bytes of it, still inside the buffer).
TEST(FrameEncoder, MatchesIndependentlyBuiltFrames)
{
    std::vector<Bytes> payloads{Bytes(192, 0x7E)};
    for (int start = 0; start < 256; start += 64) {
        payloads.emplace_back();
        for (int v = start; v < start + 64; ++v)
            payloads.back().push_back(static_cast<uint8_t>(v));
    }
    CFrameCodec codec;
    for (const Bytes& p : payloads) {
        ASSERT_EQ(codec.EncodeFrame(p.data(), static_cast<uint32_t>(p.size())), FRAME_ENCODED);
        EXPECT_EQ(Bytes(codec.TxBuffer(), codec.TxBuffer() + codec.TxLength()), Frame(p));
    }
}

// ---------------------------------------------------------------- assembler

struct StreamCase {
    const char* name;
    Bytes stream;
    std::vector<Event> events;
};

void PrintTo(const StreamCase& c, std::ostream* os) { *os << c.name; }

std::vector<StreamCase> StreamCases()
{
    const Bytes a = Frame(A), b = Frame(B), c = Frame(C), d = Frame(D);
    // 7E A 7E B 7E: the middle flag closes A and opens B at once.
    const Bytes shared = Cat({Bytes(a.begin(), a.end() - 1), b});
    return {
        {"one_good_frame", a, {Good(A)}},
        {"back_to_back", Cat({a, b, c}), {Good(A), Good(B), Good(C)}},
        {"escaped_flag_does_not_end_frame", b, {Good(B)}},
        {"bad_fcs_is_counted", Cat({WithBadFcs(a), b}), {BadFcs(), Good(B)}},
        {"too_short", Frame({0x42}), {Error(FRAME_TOO_SHORT)}},
        {"junk_before_first_flag", Cat({{0x7D, 0x00, 0x7D}, Junk(50), a}), {Good(A)}},
        {"raw_191_decoded", FrameOfRawSize(191), {Good(PacketOf(FrameOfRawSize(191)))}},
        {"raw_192_too_long", Cat({FrameOfRawSize(192), a}), {Error(FRAME_TOO_LONG), Good(A)}},
        // B is lost; the flag after it opens a frame that C's opening flag
        // closes empty. That second flag opens C, so the pairing recovers at once.
        {"shared_flag", Cat({shared, c, d}), {Good(A), Error(FRAME_EMPTY), Good(C), Good(D)}},
        {"starts_inside_a_frame", Cat({Bytes(a.begin() + 3, a.end()), b, c}),
         {Error(FRAME_EMPTY), Good(B), Good(C)}},
        {"odd_flags_twice", Cat({shared, c, {0x7E}, d}),
         {Good(A), Error(FRAME_EMPTY), Good(C), Error(FRAME_EMPTY), Good(D)}},
        // Flags sent as idle fill between frames: each pair is reported empty, and
        // the frame after them still arrives.
        {"flag_pairs_between_frames", Cat({a, {0x7E, 0x7E}, b}),
         {Good(A), Error(FRAME_EMPTY), Error(FRAME_EMPTY), Good(B)}},
    };
}

class StreamTable : public ::testing::TestWithParam<StreamCase> {};

TEST_P(StreamTable, ReportsEachFrameOnce)
{
    const StreamCase& c = GetParam();
    auto link = std::make_unique<Link>();
    link->Feed(c.stream);
    EXPECT_EQ(link->sink.events, c.events);
}

INSTANTIATE_TEST_SUITE_P(Streams, StreamTable, ::testing::ValuesIn(StreamCases()),
                         [](const ::testing::TestParamInfo<StreamCase>& info) { return std::string(info.param.name); });

// The port hands over whatever it has: a frame may be cut anywhere, even
// between an escape and the byte it escapes.
class ChunkedStream : public ::testing::TestWithParam<size_t> {};

TEST_P(ChunkedStream, SameFramesWhateverTheChunkSize)
{
    Bytes all;
    std::vector<Event> expected;
    for (const StreamCase& c : StreamCases()) {
        all.insert(all.end(), c.stream.begin(), c.stream.end());
        expected.insert(expected.end(), c.events.begin(), c.events.end());
    }
    const Bytes f191 = FrameOfRawSize(191);
    all = Cat({all, Junk(205), f191, Junk(1000), Frame(C)});
    expected.push_back(Good(PacketOf(f191)));
    expected.push_back(Good(C));

    auto link = std::make_unique<Link>();
    link->Feed(all, GetParam());
    EXPECT_EQ(link->sink.events, expected);
}

INSTANTIATE_TEST_SUITE_P(Sizes, ChunkedStream, ::testing::Values(1, 2, 3, 7, 64, 127, 128, 100000));

// ------------------------------------------- stream buffer limit (396 bytes)

TEST(FrameAssembler, FullStreamBufferIsDroppedAndHuntingStartsAgain)
{
    struct {
        const char* name;
        Bytes before;
    } rows[] = {
        {"opening flag and 395 bytes", Cat({{0x7E}, Junk(395)})},
        {"opening flag and 500 bytes", Cat({{0x7E}, Junk(500)})},
        {"1000 bytes with no flag", Junk(1000)},
        {"junk, opening flag, 400 bytes", Cat({Junk(100), {0x7E}, Junk(400)})},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        auto link = std::make_unique<Link>();
        link->Feed(row.before);
        EXPECT_TRUE(link->sink.events.empty());
        EXPECT_LT(link->assembler.Pending(), CFrameAssembler::kStreamSize);
        link->Feed(Cat({Frame(A), Frame(B)}));
        EXPECT_EQ(link->sink.events, (std::vector<Event>{Good(A), Good(B)}));
    }
}

// Frames of the longest raw size after line noise.
TEST(FrameAssembler, LongestFramesAfterLineNoise)
{
    const Bytes f191 = FrameOfRawSize(191);
    const Bytes f192 = FrameOfRawSize(192);
    const Bytes packet191 = PacketOf(f191);
    struct {
        const char* name;
        Bytes stream;
        std::vector<Event> events;
    } rows[] = {
        {"191-byte frame after 205 junk bytes", Cat({Junk(205), f191, Frame(A)}), {Good(packet191), Good(A)}},
        {"192-byte frame after 204 junk bytes", Cat({Junk(204), f192, Frame(A)}),
         {Error(FRAME_TOO_LONG), Good(A)}},
        // Junk ahead of the opening flag takes no room: however much line noise
        // came first, the frame is still decoded.
        {"191-byte frame after 206 junk bytes", Cat({Junk(206), f191, Frame(A)}), {Good(packet191), Good(A)}},
        {"191-byte frame after 5000 junk bytes", Cat({Junk(5000), f191, Frame(A)}), {Good(packet191), Good(A)}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        for (size_t chunk : {size_t{1}, size_t{128}}) {
            auto link = std::make_unique<Link>();
            link->Feed(row.stream, chunk);
            EXPECT_EQ(link->sink.events, row.events);
        }
    }
}

} // namespace
