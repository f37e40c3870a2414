// Feeds arbitrary bytes to the frame reader, in pieces whose sizes the input itself chooses, and
// every frame it reads to every payload decoder. The reader must take exactly the bytes it is
// given up to a framing error, never more, and hand out the same frames however the bytes are cut.
// Whatever a decoder accepts must encode back to the very same frame.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string_view>
#include <vector>

#include "transport/frame.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

struct Frame {
    transport::FrameHeader header;
    Bytes payload;
};

void Check(bool condition)
{
    if (!condition) std::abort();
}

// Reads `stream` cut into pieces of the sizes in `cuts` (repeated), and returns the frames.
std::vector<Frame> ReadAll(std::span<const std::uint8_t> stream, std::span<const std::uint8_t> cuts,
                           transport::ReadStatus* last)
{
    std::vector<Frame> frames;
    transport::FrameReader reader;
    std::size_t at = 0;
    std::size_t cut = 0;
    *last = transport::ReadStatus::kNeedMore;
    while (at < stream.size()) {
        std::size_t piece = cuts.empty() ? stream.size() : std::size_t{cuts[cut++ % cuts.size()]} + 1;
        piece = std::min(piece, stream.size() - at);
        std::span<const std::uint8_t> input = stream.subspan(at, piece);
        while (!input.empty()) {
            const std::size_t before = input.size();
            *last = reader.Read(&input);
            Check(input.size() <= before);
            if (*last == transport::ReadStatus::kFramingError) {
                Check(FAILED(reader.Error()));
                Check(FAILED(transport::CheckFrameHeader(reader.Header())));
                return frames;
            }
            if (*last == transport::ReadStatus::kNeedMore) Check(input.empty());
            if (*last == transport::ReadStatus::kFrame) {
                Check(reader.Payload().size() == reader.Header().length);
                Check(reader.Header().length <= transport::kMaxFramePayload);
                frames.push_back({reader.Header(), Bytes(reader.Payload().begin(), reader.Payload().end())});
            }
        }
        at += piece;
    }
    return frames;
}

Bytes Whole(const Frame& frame)
{
    Bytes out;
    transport::AppendFrame(&out, static_cast<transport::FrameType>(frame.header.type), frame.header.id, frame.payload);
    return out;
}

// Decodes the payload as every type; each that accepts it must give back the same frame.
void DecodeEvery(const Frame& frame)
{
    using transport::FrameType;
    const std::uint32_t id = frame.header.id;
    const std::span<const std::uint8_t> payload(frame.payload);
    Bytes again;
    const auto same = [&](FrameType type) {
        Frame expected = frame;
        expected.header.type = static_cast<std::uint16_t>(type);
        Check(again == Whole(expected));
        again.clear();
    };

    transport::HelloPayload hello;
    if (SUCCEEDED(transport::DecodeHello(payload, &hello))) {
        transport::AppendHelloFrame(&again, id, hello);
        same(FrameType::kHello);
    }
    transport::HelloReplyPayload helloReply;
    if (SUCCEEDED(transport::DecodeHelloReply(payload, &helloReply))) {
        transport::AppendHelloReplyFrame(&again, id, helloReply);
        same(FrameType::kHelloReply);
    }
    transport::IoControlPayload request;
    if (SUCCEEDED(transport::DecodeIoControl(payload, &request))) {
        Check(request.input.size() + 8 == payload.size());
        transport::AppendIoControlFrame(&again, id, request);
        same(FrameType::kIoControl);
    }
    transport::IoReplyPayload reply;
    if (SUCCEEDED(transport::DecodeIoReply(payload, &reply))) {
        Check(SUCCEEDED(reply.status) ? reply.output.size() == reply.information : reply.output.empty());
        transport::AppendIoReplyFrame(&again, id, reply);
        same(FrameType::kIoReply);
    }
    std::uint32_t dropped = 0;
    if (SUCCEEDED(transport::DecodeEventsDropped(payload, &dropped))) {
        transport::AppendEventsDroppedFrame(&again, dropped);
        Check(Bytes(again.begin() + transport::kFrameHeaderSize, again.end()) == frame.payload);
        again.clear();
    }
    transport::StatusTextPayload text;
    if (SUCCEEDED(transport::DecodeStatusText(payload, &text))) {
        transport::AppendErrorFrame(&again, id, text);
        same(FrameType::kError);
        transport::AppendSimulateReplyFrame(&again, id, text);
        same(FrameType::kSimulateReply);
    }
    std::uint8_t level = 0;
    if (SUCCEEDED(transport::DecodeTrace(payload, &level))) {
        Check(level <= transport::kTraceMaxLevel);
        transport::AppendTraceFrame(&again, id, level);
        same(FrameType::kTrace);
    }
    HRESULT status = S_OK;
    if (SUCCEEDED(transport::DecodeTraceReply(payload, &status))) {
        transport::AppendTraceReplyFrame(&again, id, status);
        same(FrameType::kTraceReply);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // The first byte says how many of the next bytes are piece sizes; the rest is the stream.
    const std::span<const std::uint8_t> input(data, size);
    const std::size_t cutCount = input.empty() ? 0 : std::min<std::size_t>(input[0] % 8, input.size() - 1);
    const auto cuts = input.empty() ? input : input.subspan(1, cutCount);
    const auto stream = input.empty() ? input : input.subspan(1 + cutCount);

    transport::ReadStatus cutLast;
    transport::ReadStatus wholeLast;
    const std::vector<Frame> cut = ReadAll(stream, cuts, &cutLast);
    const std::vector<Frame> whole = ReadAll(stream, {}, &wholeLast);
    Check(cut.size() == whole.size());
    Check(cutLast == wholeLast);

    Bytes rewritten;
    for (std::size_t i = 0; i < whole.size(); ++i) {
        Check(cut[i].header.id == whole[i].header.id && cut[i].header.type == whole[i].header.type &&
              cut[i].payload == whole[i].payload);
        const Bytes frame = Whole(whole[i]);
        rewritten.insert(rewritten.end(), frame.begin(), frame.end());
        DecodeEvery(whole[i]);
    }
    // The frames read are the stream's first bytes, as they were.
    Check(rewritten.size() <= stream.size());
    Check(std::equal(rewritten.begin(), rewritten.end(), stream.begin()));
    return 0;
}
