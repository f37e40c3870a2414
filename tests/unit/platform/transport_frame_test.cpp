#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "transport/frame.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using transport::FrameReader;
using transport::FrameType;
using transport::kMalformedFrame;
using transport::ReadStatus;

std::span<const std::uint8_t> View(const Bytes& bytes)
{
    return std::span<const std::uint8_t>(bytes);
}

// Reads every frame of `stream`, `piece` bytes at a time; stops at a framing error.
struct ReadAll {
    std::vector<transport::FrameHeader> headers;
    std::vector<Bytes> payloads;
    ReadStatus last = ReadStatus::kNeedMore;
};

ReadAll ReadInPieces(const Bytes& stream, std::size_t piece)
{
    ReadAll result;
    FrameReader reader;
    for (std::size_t at = 0; at < stream.size(); at += piece) {
        std::span<const std::uint8_t> input = View(stream).subspan(at, std::min(piece, stream.size() - at));
        while (!input.empty()) {
            const std::size_t before = input.size();
            result.last = reader.Read(&input);
            if (result.last == ReadStatus::kFramingError) return result;
            if (result.last == ReadStatus::kFrame) {
                result.headers.push_back(reader.Header());
                result.payloads.emplace_back(reader.Payload().begin(), reader.Payload().end());
            } else {
                EXPECT_TRUE(input.empty()) << "kNeedMore must take everything it was given";
            }
            EXPECT_LE(input.size(), before);
        }
    }
    return result;
}

TEST(TransportFrame, Header_IsLittleEndianWithTypeFlagsAndId)
{
    Bytes out;
    transport::AppendFrame(&out, FrameType::kSimulate, 0x01020304, Bytes{0xAA, 0xBB});
    EXPECT_EQ(out, (Bytes{2, 0, 0, 0, 7, 0, 0, 0, 4, 3, 2, 1, 0xAA, 0xBB}));

    out.clear();
    transport::AppendHelloFrame(&out, 1, {});
    EXPECT_EQ(out, (Bytes{6, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 0x42, 0x52, 0x50, 0x54, 1, 0}));
}

TEST(TransportFrame, EveryPayload_RoundTrips)
{
    const Bytes input{1, 2, 3};
    Bytes stream;
    transport::AppendHelloFrame(&stream, 1, {transport::kHelloMagic, 7});
    transport::AppendHelloReplyFrame(&stream, 1, {1, transport::WireAccess::kReadWrite, 99, 256, true});
    transport::AppendIoControlFrame(&stream, 2, {0x0040C108, 4096, input});
    transport::AppendIoReplyFrame(&stream, 2, {S_OK, 3, input});
    transport::AppendIoReplyFrame(&stream, 3, {E_ACCESSDENIED, 0, {}});
    transport::AppendEventFrame(&stream, input);
    transport::AppendEventsDroppedFrame(&stream, 12345);
    transport::AppendSimulateFrame(&stream, 4, "power dc");
    transport::AppendSimulateReplyFrame(&stream, 4, {E_INVALIDARG, "no such command"});
    transport::AppendTraceFrame(&stream, 5, 4);
    transport::AppendTraceReplyFrame(&stream, 5, S_OK);
    transport::AppendTraceLineFrame(&stream, "a line");
    transport::AppendErrorFrame(&stream, 6, {transport::kUnsupportedFrame, "unknown frame type 99"});

    for (std::size_t piece : {std::size_t{1}, std::size_t{5}, std::size_t{13}, stream.size()}) {
        SCOPED_TRACE(piece);
        const ReadAll all = ReadInPieces(stream, piece);
        ASSERT_EQ(all.headers.size(), 13u);

        transport::HelloPayload hello;
        ASSERT_EQ(transport::DecodeHello(all.payloads[0], &hello), S_OK);
        EXPECT_EQ(hello.magic, transport::kHelloMagic);
        EXPECT_EQ(hello.version, 7);

        transport::HelloReplyPayload helloReply;
        ASSERT_EQ(transport::DecodeHelloReply(all.payloads[1], &helloReply), S_OK);
        EXPECT_EQ(helloReply.access, transport::WireAccess::kReadWrite);
        EXPECT_EQ(helloReply.maxPayload, 99u);
        EXPECT_EQ(helloReply.eventBufferFrames, 256u);
        EXPECT_TRUE(helloReply.simulationAllowed);

        transport::IoControlPayload request;
        ASSERT_EQ(transport::DecodeIoControl(all.payloads[2], &request), S_OK);
        EXPECT_EQ(all.headers[2].id, 2u);
        EXPECT_EQ(request.controlCode, 0x0040C108u);
        EXPECT_EQ(request.outputCapacity, 4096u);
        EXPECT_EQ(Bytes(request.input.begin(), request.input.end()), input);

        transport::IoReplyPayload reply;
        ASSERT_EQ(transport::DecodeIoReply(all.payloads[3], &reply), S_OK);
        EXPECT_EQ(reply.status, S_OK);
        EXPECT_EQ(Bytes(reply.output.begin(), reply.output.end()), input);
        ASSERT_EQ(transport::DecodeIoReply(all.payloads[4], &reply), S_OK);
        EXPECT_EQ(reply.status, E_ACCESSDENIED);
        EXPECT_TRUE(reply.output.empty());

        EXPECT_EQ(all.headers[5].type, static_cast<std::uint16_t>(FrameType::kEvent));
        EXPECT_EQ(all.headers[5].id, 0u);
        EXPECT_EQ(all.payloads[5], input);

        std::uint32_t dropped = 0;
        ASSERT_EQ(transport::DecodeEventsDropped(all.payloads[6], &dropped), S_OK);
        EXPECT_EQ(dropped, 12345u);

        EXPECT_EQ(std::string(all.payloads[7].begin(), all.payloads[7].end()), "power dc");
        transport::StatusTextPayload text;
        ASSERT_EQ(transport::DecodeStatusText(all.payloads[8], &text), S_OK);
        EXPECT_EQ(text.status, E_INVALIDARG);
        EXPECT_EQ(text.text, "no such command");

        std::uint8_t level = 0;
        ASSERT_EQ(transport::DecodeTrace(all.payloads[9], &level), S_OK);
        EXPECT_EQ(level, 4);
        HRESULT status = E_FAIL;
        ASSERT_EQ(transport::DecodeTraceReply(all.payloads[10], &status), S_OK);
        EXPECT_EQ(status, S_OK);
        EXPECT_EQ(std::string(all.payloads[11].begin(), all.payloads[11].end()), "a line");
        ASSERT_EQ(transport::DecodeStatusText(all.payloads[12], &text), S_OK);
        EXPECT_EQ(all.headers[12].id, 6u);
        EXPECT_EQ(text.status, transport::kUnsupportedFrame);
    }
}

TEST(TransportFrame, Reader_TakesOnlyTheBytesOfItsFrame)
{
    Bytes stream;
    transport::AppendTraceLineFrame(&stream, "first");
    const std::size_t firstSize = stream.size();
    transport::AppendTraceLineFrame(&stream, "second");

    FrameReader reader;
    std::span<const std::uint8_t> input = View(stream);
    ASSERT_EQ(reader.Read(&input), ReadStatus::kFrame);
    EXPECT_EQ(input.size(), stream.size() - firstSize);
    ASSERT_EQ(reader.Read(&input), ReadStatus::kFrame);
    EXPECT_TRUE(input.empty());
    EXPECT_EQ(std::string(reader.Payload().begin(), reader.Payload().end()), "second");
    EXPECT_FALSE(reader.InFrame());

    std::span<const std::uint8_t> nothing;
    EXPECT_EQ(reader.Read(&nothing), ReadStatus::kNeedMore);
}

TEST(TransportFrame, Reader_RefusesOversizedLengthAndFlagsForGood)
{
    const Bytes oversized{0x09, 0x00, 0x10, 0x00, 3, 0, 0, 0, 1, 0, 0, 0};  // 1 MiB + 9
    FrameReader reader;
    std::span<const std::uint8_t> input = View(oversized);
    EXPECT_EQ(reader.Read(&input), ReadStatus::kFramingError);
    EXPECT_EQ(reader.Error(), transport::kFrameTooLarge);
    EXPECT_EQ(reader.Header().length, transport::kMaxFramePayload + 1);

    Bytes good;
    transport::AppendTraceFrame(&good, 1, 1);
    input = View(good);
    EXPECT_EQ(reader.Read(&input), ReadStatus::kFramingError);
    EXPECT_EQ(input.size(), good.size());

    const Bytes flagged{0, 0, 0, 0, 9, 0, 1, 0, 1, 0, 0, 0};
    FrameReader second;
    input = View(flagged);
    EXPECT_EQ(second.Read(&input), ReadStatus::kFramingError);
    EXPECT_EQ(second.Error(), kMalformedFrame);

    // The largest payload is accepted by the header check, and a smaller maximum is honoured.
    transport::FrameHeader largest{transport::kMaxFramePayload, 3, 0, 1};
    EXPECT_EQ(transport::CheckFrameHeader(largest), S_OK);
    EXPECT_EQ(transport::CheckFrameHeader(largest, 100), transport::kFrameTooLarge);
}

TEST(TransportFrame, Decoders_RefuseWrongSizesAndValues)
{
    transport::HelloPayload hello;
    EXPECT_EQ(transport::DecodeHello(Bytes{0x42, 0x52, 0x50, 0x54, 1}, &hello), kMalformedFrame);
    EXPECT_EQ(transport::DecodeHello(Bytes(7, 0), &hello), kMalformedFrame);

    transport::HelloReplyPayload helloReply;
    Bytes reply(14, 0);
    reply[2] = 3;  // no such access
    EXPECT_EQ(transport::DecodeHelloReply(reply, &helloReply), kMalformedFrame);
    reply[2] = 1;
    reply[12] = 2;  // simulation allowed is 0 or 1
    EXPECT_EQ(transport::DecodeHelloReply(reply, &helloReply), kMalformedFrame);

    transport::IoControlPayload request;
    EXPECT_EQ(transport::DecodeIoControl(Bytes(7, 0), &request), kMalformedFrame);
    EXPECT_EQ(transport::DecodeIoControl(Bytes(8, 0), &request), S_OK);
    EXPECT_TRUE(request.input.empty());

    transport::IoReplyPayload ioReply;
    // Success whose output length differs from its information, and a failure with output.
    EXPECT_EQ(transport::DecodeIoReply(Bytes{0, 0, 0, 0, 2, 0, 0, 0, 9}, &ioReply), kMalformedFrame);
    EXPECT_EQ(transport::DecodeIoReply(Bytes{5, 0, 7, 0x80, 0, 0, 0, 0, 9}, &ioReply), kMalformedFrame);
    EXPECT_EQ(transport::DecodeIoReply(Bytes{0xEA, 0, 7, 0x80, 0, 0, 0x10, 0}, &ioReply), S_OK);
    EXPECT_EQ(ioReply.information, 0x100000u);  // ERROR_MORE_DATA names the size needed

    std::uint32_t dropped = 0;
    EXPECT_EQ(transport::DecodeEventsDropped(Bytes(3, 0), &dropped), kMalformedFrame);
    transport::StatusTextPayload text;
    EXPECT_EQ(transport::DecodeStatusText(Bytes(3, 0), &text), kMalformedFrame);
    EXPECT_EQ(transport::DecodeStatusText(Bytes(4, 0), &text), S_OK);
    EXPECT_TRUE(text.text.empty());
    std::uint8_t level = 0;
    EXPECT_EQ(transport::DecodeTrace(Bytes{5}, &level), kMalformedFrame);
    EXPECT_EQ(transport::DecodeTrace(Bytes{}, &level), kMalformedFrame);
    HRESULT status = S_OK;
    EXPECT_EQ(transport::DecodeTraceReply(Bytes(5, 0), &status), kMalformedFrame);
    EXPECT_EQ(transport::DecodeHello(Bytes{}, nullptr), E_POINTER);
}

TEST(TransportFrame, Reader_HandsOutEmptyPayloadsAndGarbageTypes)
{
    // A frame of an unknown type with no payload is still a frame: what to do with it is the
    // receiver's choice, not the reader's.
    const Bytes stream{0, 0, 0, 0, 0xFF, 0xFF, 0, 0, 9, 0, 0, 0};
    const ReadAll all = ReadInPieces(stream, 1);
    ASSERT_EQ(all.headers.size(), 1u);
    EXPECT_EQ(all.headers[0].type, 0xFFFF);
    EXPECT_TRUE(all.payloads[0].empty());
}

}  // namespace
