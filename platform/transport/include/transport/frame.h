// The frames of the host's client socket: a 12-byte header and a payload, in both directions.
// docs/protocol.md describes the bytes and the rules of the conversation exactly, for clients
// written in other languages.
//
//   offset 0  u32 LE  payload length, at most kMaxFramePayload
//   offset 4  u16 LE  frame type (FrameType)
//   offset 6  u16 LE  flags, always 0
//   offset 8  u32 LE  request id (chosen by the client; 0 in frames the host starts)
//
// Writing: each Append...Frame appends one whole frame to a byte vector.
//
//   std::vector<std::uint8_t> out;
//   transport::AppendIoControlFrame(&out, id, {code, capacity, input});
//
// Reading: a FrameReader takes bytes as they arrive, in pieces of any size, and takes from them
// no more than the frame it is reading needs; the rest stays with the caller for the next call.
//
//   transport::FrameReader reader;
//   std::span<const std::uint8_t> input(buffer, received);
//   while (!input.empty()) {
//       auto status = reader.Read(&input);
//       if (status == transport::ReadStatus::kNeedMore) break;
//       if (status == transport::ReadStatus::kFramingError) { ... reader.Error() ...; close; }
//       transport::IoControlPayload request;
//       if (reader.Header().type == FrameType::kIoControl && SUCCEEDED(DecodeIoControl(reader.Payload(), &request))) ...
//   }
//
// Every decoder takes untrusted bytes, never reads outside them, and answers a payload that is too
// short, too long or otherwise not of its type with kMalformedFrame and leaves *out unspecified.
// Views in decoded payloads (input, output, text) point into the bytes decoded.
//
// Thread safety: the functions keep no shared state; a FrameReader belongs to one reader at a time.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "platform/export.h"
#include "platform/com/hresult.h"
#include "transport/values_codec.h"

PLATFORM_API_BEGIN

namespace transport {

inline constexpr std::uint16_t kProtocolVersion = 1;
inline constexpr std::uint32_t kHelloMagic = 0x54505242;  // "BRPT" in memory: the bytes 42 52 50 54
inline constexpr std::size_t kFrameHeaderSize = 12;
// The most bytes a control request carries in, or its reply carries out: a whole largest encoding.
inline constexpr std::uint32_t kMaxIoBytes = static_cast<std::uint32_t>(kMaxEncodedBytes);
// The longest payload: the largest I/O data and the 8 bytes before it in kIoControl and kIoReply.
inline constexpr std::uint32_t kMaxFramePayload = kMaxIoBytes + 8;

// Results carried in kError, kIoReply, kSimulateReply and kTraceReply, besides the host's own.
inline constexpr HRESULT kMalformedFrame = HRESULT_FROM_WIN32(13);        // ERROR_INVALID_DATA
inline constexpr HRESULT kFrameTooLarge = HRESULT_FROM_WIN32(111);        // ERROR_BUFFER_OVERFLOW
inline constexpr HRESULT kUnsupportedFrame = HRESULT_FROM_WIN32(50);      // ERROR_NOT_SUPPORTED
inline constexpr HRESULT kVersionMismatch = HRESULT_FROM_WIN32(1306);     // ERROR_REVISION_MISMATCH
// What a client sees of the connection itself.
inline constexpr HRESULT kHostNotFound = HRESULT_FROM_WIN32(2);            // ERROR_FILE_NOT_FOUND
inline constexpr HRESULT kHostRefused = HRESULT_FROM_WIN32(1225);          // ERROR_CONNECTION_REFUSED
inline constexpr HRESULT kConnectionClosed = HRESULT_FROM_WIN32(109);      // ERROR_BROKEN_PIPE
inline constexpr HRESULT kReplyTimedOut = HRESULT_FROM_WIN32(1460);        // ERROR_TIMEOUT

enum class FrameType : std::uint16_t {
    kHello = 1,           // client to host
    kHelloReply = 2,      // host to client
    kIoControl = 3,       // client to host
    kIoReply = 4,         // host to client
    kEvent = 5,           // host to client
    kEventsDropped = 6,   // host to client
    kSimulate = 7,        // client to host
    kSimulateReply = 8,   // host to client
    kTrace = 9,           // client to host
    kTraceLine = 10,      // host to client
    kError = 11,          // host to client
    kTraceReply = 12,     // host to client
};

// The access a connection's file was opened with, as the hello reply names it.
enum class WireAccess : std::uint16_t {
    kRead = 1,
    kReadWrite = 2,
};

// Trace levels of kTrace and of the lines the host sends.
inline constexpr std::uint8_t kTraceOff = 0;
inline constexpr std::uint8_t kTraceMaxLevel = 4;  // 1 error, 2 warning, 3 information, 4 verbose

struct FrameHeader {
    std::uint32_t length = 0;
    std::uint16_t type = 0;  // a FrameType, or a value no type has
    std::uint16_t flags = 0;
    std::uint32_t id = 0;
};

// ---- Payloads. ----

struct HelloPayload {
    std::uint32_t magic = kHelloMagic;
    std::uint16_t version = kProtocolVersion;
};

struct HelloReplyPayload {
    std::uint16_t version = kProtocolVersion;
    WireAccess access = WireAccess::kRead;
    std::uint32_t maxPayload = kMaxFramePayload;
    std::uint32_t eventBufferFrames = 0;
    bool simulationAllowed = false;
};

struct IoControlPayload {
    std::uint32_t controlCode = 0;
    std::uint32_t outputCapacity = 0;
    std::span<const std::uint8_t> input;
};

// Output bytes travel only with a successful status; a failure carries none.
struct IoReplyPayload {
    HRESULT status = S_OK;
    std::uint32_t information = 0;
    std::span<const std::uint8_t> output;
};

// kSimulateReply and kError.
struct StatusTextPayload {
    HRESULT status = S_OK;
    std::string_view text;
};

// ---- Writing. Each appends one whole frame; a payload longer than kMaxFramePayload is the
// caller's error (the bytes would be refused by the other side), so callers bound what they send.

void AppendFrameHeader(std::vector<std::uint8_t>* out, FrameType type, std::uint32_t id, std::size_t payloadLength);
void AppendFrame(std::vector<std::uint8_t>* out, FrameType type, std::uint32_t id,
                 std::span<const std::uint8_t> payload);

void AppendHelloFrame(std::vector<std::uint8_t>* out, std::uint32_t id, const HelloPayload& hello);
void AppendHelloReplyFrame(std::vector<std::uint8_t>* out, std::uint32_t id, const HelloReplyPayload& reply);
void AppendIoControlFrame(std::vector<std::uint8_t>* out, std::uint32_t id, const IoControlPayload& request);
void AppendIoReplyFrame(std::vector<std::uint8_t>* out, std::uint32_t id, const IoReplyPayload& reply);
// kEvent: one event message of the sensor protocol (sensor_protocol.h).
void AppendEventFrame(std::vector<std::uint8_t>* out, std::span<const std::uint8_t> eventMessage);
void AppendEventsDroppedFrame(std::vector<std::uint8_t>* out, std::uint32_t dropped);
void AppendSimulateFrame(std::vector<std::uint8_t>* out, std::uint32_t id, std::string_view commandLine);
void AppendSimulateReplyFrame(std::vector<std::uint8_t>* out, std::uint32_t id, const StatusTextPayload& reply);
void AppendTraceFrame(std::vector<std::uint8_t>* out, std::uint32_t id, std::uint8_t level);
void AppendTraceReplyFrame(std::vector<std::uint8_t>* out, std::uint32_t id, HRESULT status);
void AppendTraceLineFrame(std::vector<std::uint8_t>* out, std::string_view line);
void AppendErrorFrame(std::vector<std::uint8_t>* out, std::uint32_t id, const StatusTextPayload& error);

// The bytes before the variable part of a frame, for writers that send the variable bytes from
// where they lie (scatter-gather): a frame header for `payloadLength` bytes, and the header with
// the status and information of a kIoReply whose output (reply.output) follows.
std::array<std::uint8_t, kFrameHeaderSize> MakeFrameHeader(FrameType type, std::uint32_t id,
                                                           std::size_t payloadLength);
std::array<std::uint8_t, kFrameHeaderSize + 8> MakeIoReplyPrefix(std::uint32_t id, const IoReplyPayload& reply);

// ---- Reading. ----

// Reads the header at the start of `bytes` (at least kFrameHeaderSize of them; false otherwise).
bool DecodeFrameHeader(std::span<const std::uint8_t> bytes, FrameHeader* out);
// S_OK, kFrameTooLarge for a length above `maxPayload`, or kMalformedFrame for non-zero flags.
HRESULT CheckFrameHeader(const FrameHeader& header, std::uint32_t maxPayload = kMaxFramePayload);

HRESULT DecodeHello(std::span<const std::uint8_t> payload, HelloPayload* out);
HRESULT DecodeHelloReply(std::span<const std::uint8_t> payload, HelloReplyPayload* out);
HRESULT DecodeIoControl(std::span<const std::uint8_t> payload, IoControlPayload* out);
// Also kMalformedFrame when the output length differs from the information of a successful
// status, or when a failure carries output.
HRESULT DecodeIoReply(std::span<const std::uint8_t> payload, IoReplyPayload* out);
HRESULT DecodeEventsDropped(std::span<const std::uint8_t> payload, std::uint32_t* out);
// kSimulateReply and kError.
HRESULT DecodeStatusText(std::span<const std::uint8_t> payload, StatusTextPayload* out);
// Also kMalformedFrame for a level above kTraceMaxLevel.
HRESULT DecodeTrace(std::span<const std::uint8_t> payload, std::uint8_t* level);
HRESULT DecodeTraceReply(std::span<const std::uint8_t> payload, HRESULT* status);

enum class ReadStatus {
    kNeedMore,      // every byte given was taken; the frame is not complete yet
    kFrame,         // a whole frame is ready: Header() and Payload()
    kFramingError,  // the header is not acceptable (Error()); the stream cannot be followed further
};

class FrameReader {
public:
    explicit FrameReader(std::uint32_t maxPayload = kMaxFramePayload) : m_maxPayload(maxPayload) {}

    // Takes bytes from the front of *input, advancing it, up to the end of the current frame. After
    // kFramingError every further call answers it again and takes nothing.
    ReadStatus Read(std::span<const std::uint8_t>* input);

    // The frame read (after kFrame), or the refused header (after kFramingError).
    const FrameHeader& Header() const { return m_header; }
    // After kFrame, until the next Read.
    std::span<const std::uint8_t> Payload() const { return m_payload; }
    // After kFramingError: what CheckFrameHeader answered.
    HRESULT Error() const { return m_error; }
    // Whether bytes of an unfinished frame are held.
    bool InFrame() const { return m_headerFilled != 0 || m_inPayload; }

private:
    static constexpr std::size_t kShrinkAbove = 64 * 1024;

    const std::uint32_t m_maxPayload;
    std::uint8_t m_headerBytes[kFrameHeaderSize] = {};
    std::size_t m_headerFilled = 0;
    bool m_inPayload = false;
    bool m_frameReady = false;
    FrameHeader m_header;
    std::vector<std::uint8_t> m_payload;
    HRESULT m_error = S_OK;
};

}  // namespace transport
PLATFORM_API_END
