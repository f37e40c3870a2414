// Frames of the host's client socket: writing them, and reading them from untrusted bytes.
#include "transport/frame.h"

#include <algorithm>
#include <cstring>

namespace transport {

namespace {

void PutU16(std::uint8_t* at, std::uint16_t value)
{
    at[0] = static_cast<std::uint8_t>(value);
    at[1] = static_cast<std::uint8_t>(value >> 8);
}

void PutU32(std::uint8_t* at, std::uint32_t value)
{
    for (int i = 0; i < 4; ++i) at[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

std::uint16_t GetU16(const std::uint8_t* at)
{
    return static_cast<std::uint16_t>(at[0] | (at[1] << 8));
}

std::uint32_t GetU32(const std::uint8_t* at)
{
    std::uint32_t value = 0;
    for (int i = 3; i >= 0; --i) value = (value << 8) | at[i];
    return value;
}

void AppendU16(std::vector<std::uint8_t>* out, std::uint16_t value)
{
    std::uint8_t bytes[2];
    PutU16(bytes, value);
    out->insert(out->end(), bytes, bytes + 2);
}

void AppendU32(std::vector<std::uint8_t>* out, std::uint32_t value)
{
    std::uint8_t bytes[4];
    PutU32(bytes, value);
    out->insert(out->end(), bytes, bytes + 4);
}

void AppendBytes(std::vector<std::uint8_t>* out, std::span<const std::uint8_t> bytes)
{
    out->insert(out->end(), bytes.begin(), bytes.end());
}

void AppendText(std::vector<std::uint8_t>* out, std::string_view text)
{
    const auto* begin = reinterpret_cast<const std::uint8_t*>(text.data());
    out->insert(out->end(), begin, begin + text.size());
}

std::string_view AsText(std::span<const std::uint8_t> bytes)
{
    return std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

// The payloads of fixed size answer kMalformedFrame for any other size.
constexpr std::size_t kHelloSize = 6;
constexpr std::size_t kHelloReplySize = 14;
constexpr std::size_t kIoPrefixSize = 8;
constexpr std::size_t kStatusSize = 4;

}  // namespace

std::array<std::uint8_t, kFrameHeaderSize> MakeFrameHeader(FrameType type, std::uint32_t id, std::size_t payloadLength)
{
    std::array<std::uint8_t, kFrameHeaderSize> header{};
    PutU32(&header[0], static_cast<std::uint32_t>(payloadLength));
    PutU16(&header[4], static_cast<std::uint16_t>(type));
    PutU16(&header[6], 0);
    PutU32(&header[8], id);
    return header;
}

std::array<std::uint8_t, kFrameHeaderSize + 8> MakeIoReplyPrefix(std::uint32_t id, const IoReplyPayload& reply)
{
    std::array<std::uint8_t, kFrameHeaderSize + 8> prefix{};
    const auto header = MakeFrameHeader(FrameType::kIoReply, id, kIoPrefixSize + reply.output.size());
    std::copy(header.begin(), header.end(), prefix.begin());
    PutU32(&prefix[kFrameHeaderSize], static_cast<std::uint32_t>(reply.status));
    PutU32(&prefix[kFrameHeaderSize + 4], reply.information);
    return prefix;
}

void AppendFrameHeader(std::vector<std::uint8_t>* out, FrameType type, std::uint32_t id, std::size_t payloadLength)
{
    const auto header = MakeFrameHeader(type, id, payloadLength);
    out->insert(out->end(), header.begin(), header.end());
}

void AppendFrame(std::vector<std::uint8_t>* out, FrameType type, std::uint32_t id,
                 std::span<const std::uint8_t> payload)
{
    AppendFrameHeader(out, type, id, payload.size());
    AppendBytes(out, payload);
}

void AppendHelloFrame(std::vector<std::uint8_t>* out, std::uint32_t id, const HelloPayload& hello)
{
    AppendFrameHeader(out, FrameType::kHello, id, kHelloSize);
    AppendU32(out, hello.magic);
    AppendU16(out, hello.version);
}

void AppendHelloReplyFrame(std::vector<std::uint8_t>* out, std::uint32_t id, const HelloReplyPayload& reply)
{
    AppendFrameHeader(out, FrameType::kHelloReply, id, kHelloReplySize);
    AppendU16(out, reply.version);
    AppendU16(out, static_cast<std::uint16_t>(reply.access));
    AppendU32(out, reply.maxPayload);
    AppendU32(out, reply.eventBufferFrames);
    AppendU16(out, reply.simulationAllowed ? 1 : 0);
}

void AppendIoControlFrame(std::vector<std::uint8_t>* out, std::uint32_t id, const IoControlPayload& request)
{
    AppendFrameHeader(out, FrameType::kIoControl, id, kIoPrefixSize + request.input.size());
    AppendU32(out, request.controlCode);
    AppendU32(out, request.outputCapacity);
    AppendBytes(out, request.input);
}

void AppendIoReplyFrame(std::vector<std::uint8_t>* out, std::uint32_t id, const IoReplyPayload& reply)
{
    const auto prefix = MakeIoReplyPrefix(id, reply);
    out->insert(out->end(), prefix.begin(), prefix.end());
    AppendBytes(out, reply.output);
}

void AppendEventFrame(std::vector<std::uint8_t>* out, std::span<const std::uint8_t> eventMessage)
{
    AppendFrame(out, FrameType::kEvent, 0, eventMessage);
}

void AppendEventsDroppedFrame(std::vector<std::uint8_t>* out, std::uint32_t dropped)
{
    AppendFrameHeader(out, FrameType::kEventsDropped, 0, 4);
    AppendU32(out, dropped);
}

void AppendSimulateFrame(std::vector<std::uint8_t>* out, std::uint32_t id, std::string_view commandLine)
{
    AppendFrameHeader(out, FrameType::kSimulate, id, commandLine.size());
    AppendText(out, commandLine);
}

void AppendSimulateReplyFrame(std::vector<std::uint8_t>* out, std::uint32_t id, const StatusTextPayload& reply)
{
    AppendFrameHeader(out, FrameType::kSimulateReply, id, kStatusSize + reply.text.size());
    AppendU32(out, static_cast<std::uint32_t>(reply.status));
    AppendText(out, reply.text);
}

void AppendTraceFrame(std::vector<std::uint8_t>* out, std::uint32_t id, std::uint8_t level)
{
    AppendFrameHeader(out, FrameType::kTrace, id, 1);
    out->push_back(level);
}

void AppendTraceReplyFrame(std::vector<std::uint8_t>* out, std::uint32_t id, HRESULT status)
{
    AppendFrameHeader(out, FrameType::kTraceReply, id, kStatusSize);
    AppendU32(out, static_cast<std::uint32_t>(status));
}

void AppendTraceLineFrame(std::vector<std::uint8_t>* out, std::string_view line)
{
    AppendFrameHeader(out, FrameType::kTraceLine, 0, line.size());
    AppendText(out, line);
}

void AppendErrorFrame(std::vector<std::uint8_t>* out, std::uint32_t id, const StatusTextPayload& error)
{
    AppendFrameHeader(out, FrameType::kError, id, kStatusSize + error.text.size());
    AppendU32(out, static_cast<std::uint32_t>(error.status));
    AppendText(out, error.text);
}

bool DecodeFrameHeader(std::span<const std::uint8_t> bytes, FrameHeader* out)
{
    if (bytes.size() < kFrameHeaderSize || out == nullptr) return false;
    out->length = GetU32(&bytes[0]);
    out->type = GetU16(&bytes[4]);
    out->flags = GetU16(&bytes[6]);
    out->id = GetU32(&bytes[8]);
    return true;
}

HRESULT CheckFrameHeader(const FrameHeader& header, std::uint32_t maxPayload)
{
    if (header.length > maxPayload) return kFrameTooLarge;
    if (header.flags != 0) return kMalformedFrame;
    return S_OK;
}

HRESULT DecodeHello(std::span<const std::uint8_t> payload, HelloPayload* out)
{
    if (out == nullptr) return E_POINTER;
    if (payload.size() != kHelloSize) return kMalformedFrame;
    out->magic = GetU32(&payload[0]);
    out->version = GetU16(&payload[4]);
    return S_OK;
}

HRESULT DecodeHelloReply(std::span<const std::uint8_t> payload, HelloReplyPayload* out)
{
    if (out == nullptr) return E_POINTER;
    if (payload.size() != kHelloReplySize) return kMalformedFrame;
    const std::uint16_t access = GetU16(&payload[2]);
    const std::uint16_t simulation = GetU16(&payload[12]);
    if (access != static_cast<std::uint16_t>(WireAccess::kRead) &&
        access != static_cast<std::uint16_t>(WireAccess::kReadWrite)) {
        return kMalformedFrame;
    }
    if (simulation > 1) return kMalformedFrame;
    out->version = GetU16(&payload[0]);
    out->access = static_cast<WireAccess>(access);
    out->maxPayload = GetU32(&payload[4]);
    out->eventBufferFrames = GetU32(&payload[8]);
    out->simulationAllowed = simulation == 1;
    return S_OK;
}

HRESULT DecodeIoControl(std::span<const std::uint8_t> payload, IoControlPayload* out)
{
    if (out == nullptr) return E_POINTER;
    if (payload.size() < kIoPrefixSize) return kMalformedFrame;
    out->controlCode = GetU32(&payload[0]);
    out->outputCapacity = GetU32(&payload[4]);
    out->input = payload.subspan(kIoPrefixSize);
    return S_OK;
}

HRESULT DecodeIoReply(std::span<const std::uint8_t> payload, IoReplyPayload* out)
{
    if (out == nullptr) return E_POINTER;
    if (payload.size() < kIoPrefixSize) return kMalformedFrame;
    const auto status = static_cast<HRESULT>(GetU32(&payload[0]));
    const std::uint32_t information = GetU32(&payload[4]);
    const auto output = payload.subspan(kIoPrefixSize);
    if (SUCCEEDED(status) ? output.size() != information : !output.empty()) return kMalformedFrame;
    out->status = status;
    out->information = information;
    out->output = output;
    return S_OK;
}

HRESULT DecodeEventsDropped(std::span<const std::uint8_t> payload, std::uint32_t* out)
{
    if (out == nullptr) return E_POINTER;
    if (payload.size() != 4) return kMalformedFrame;
    *out = GetU32(&payload[0]);
    return S_OK;
}

HRESULT DecodeStatusText(std::span<const std::uint8_t> payload, StatusTextPayload* out)
{
    if (out == nullptr) return E_POINTER;
    if (payload.size() < kStatusSize) return kMalformedFrame;
    out->status = static_cast<HRESULT>(GetU32(&payload[0]));
    out->text = AsText(payload.subspan(kStatusSize));
    return S_OK;
}

HRESULT DecodeTrace(std::span<const std::uint8_t> payload, std::uint8_t* level)
{
    if (level == nullptr) return E_POINTER;
    if (payload.size() != 1 || payload[0] > kTraceMaxLevel) return kMalformedFrame;
    *level = payload[0];
    return S_OK;
}

HRESULT DecodeTraceReply(std::span<const std::uint8_t> payload, HRESULT* status)
{
    if (status == nullptr) return E_POINTER;
    if (payload.size() != kStatusSize) return kMalformedFrame;
    *status = static_cast<HRESULT>(GetU32(&payload[0]));
    return S_OK;
}

ReadStatus FrameReader::Read(std::span<const std::uint8_t>* input)
{
    if (FAILED(m_error)) return ReadStatus::kFramingError;
    if (m_frameReady) {
        // The previous frame was handed out; its payload is no longer needed. A buffer that once
        // held a large frame is given back so an idle connection stays small.
        m_frameReady = false;
        m_payload.clear();
        if (m_payload.capacity() > kShrinkAbove) std::vector<std::uint8_t>().swap(m_payload);
    }
    if (!m_inPayload) {
        const std::size_t take = std::min(kFrameHeaderSize - m_headerFilled, input->size());
        if (take != 0) std::memcpy(m_headerBytes + m_headerFilled, input->data(), take);
        m_headerFilled += take;
        *input = input->subspan(take);
        if (m_headerFilled < kFrameHeaderSize) return ReadStatus::kNeedMore;
        DecodeFrameHeader(std::span<const std::uint8_t>(m_headerBytes, kFrameHeaderSize), &m_header);
        m_headerFilled = 0;
        m_error = CheckFrameHeader(m_header, m_maxPayload);
        if (FAILED(m_error)) return ReadStatus::kFramingError;
        // The payload grows as its bytes arrive, not by the length the peer announced.
        m_inPayload = true;
    }
    const std::size_t take = std::min<std::size_t>(m_header.length - m_payload.size(), input->size());
    m_payload.insert(m_payload.end(), input->begin(), input->begin() + static_cast<std::ptrdiff_t>(take));
    *input = input->subspan(take);
    if (m_payload.size() < m_header.length) return ReadStatus::kNeedMore;
    m_inPayload = false;
    m_frameReady = true;
    return ReadStatus::kFrame;
}

}  // namespace transport
