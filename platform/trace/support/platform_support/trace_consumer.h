// Trace sessions from outside the provider: enable and disable a registered provider, receive
// every message it issues, and decode messages into lines with the trace format files.
//
//   platform::support::TraceFormatTable formats;
//   formats.LoadDirectory(directory, &why);
//   platform::support::TraceDecoder decoder(formats, [](const std::string& line) { print(line); });
//   platform::support::TraceSession session(decoder);
//   session.Enable(kControlGuid, TRACE_LEVEL_INFORMATION, 0x1);  // the provider's callback runs
//                                                                //   with WMI_ENABLE_EVENTS
//
// Format files: lines starting with '#' are comments; "component {GUID} Name" starts a component;
// "<number> <level> <text>" gives a message, where %1, %2, ... stand for the arguments in order
// and %% is a percent sign. An argument is shown by its shape: a NUL-terminated printable text as
// text, 4 bytes as a signed decimal integer, 8 bytes as a double, anything else as hexadecimal
// bytes. A placeholder may name its kind instead: %1!s! (text), %1!d!, %1!u!, %1!x! (32-bit
// integer, signed, unsigned, hexadecimal), %1!f! (double), %1!I64d!, %1!I64u!, %1!I64x! (64-bit
// integer). An argument that does not fit the named kind is shown by its shape.
//
// A provider is enabled by at most one session at a time. A session disables everything it enabled
// when it is destroyed; its consumer must outlive it.
//
// Thread safety: sessions may be used from any thread. A consumer's OnMessage is called on the
// thread that issued the message, one message at a time across the process; it must not call the
// trace API or a session.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/com/guid.h"
#include "platform/export.h"
#include "platform/trace/trace.h"

PLATFORM_API_BEGIN
namespace platform::support {

// One message as a session received it.
struct TraceMessageRecord {
    GUID messageGuid{};  // GUID_NULL unless TRACE_MESSAGE_GUID was given
    USHORT number = 0;
    ULONG flags = 0;
    ULONG sequence = 0;      // with TRACE_MESSAGE_SEQUENCE: 1, 2, ... per session
    LONGLONG timestamp = 0;  // with TRACE_MESSAGE_TIMESTAMP: the one clock, 100-ns units
    DWORD threadId = 0;      // with TRACE_MESSAGE_SYSTEMINFO: the issuing thread
    std::vector<std::vector<BYTE>> arguments;
};

class TraceConsumer {
public:
    virtual ~TraceConsumer() = default;
    virtual void OnMessage(const TraceMessageRecord& record) = 0;
};

class TraceSession {
public:
    explicit TraceSession(TraceConsumer& consumer);
    ~TraceSession();
    TraceSession(const TraceSession&) = delete;
    TraceSession& operator=(const TraceSession&) = delete;

    // Enables the provider of a control GUID at a level and flags; a registered provider's callback
    // runs with WMI_ENABLE_EVENTS now, a provider that registers later gets it at registration.
    // Enabling again from this session changes level and flags. ERROR_ALREADY_EXISTS when another
    // session enables the GUID.
    ULONG Enable(REFGUID controlGuid, UCHAR level, ULONG flags);
    // Disables it; a registered provider's callback runs with WMI_DISABLE_EVENTS.
    // ERROR_NOT_FOUND when this session does not enable the GUID.
    ULONG Disable(REFGUID controlGuid);

    // The logger handle of this session's enablement of a GUID, or 0.
    TRACEHANDLE LoggerHandle(REFGUID controlGuid) const;

    struct State;  // the trace service's record of this session

private:
    std::unique_ptr<State> m_state;
};

// The message texts of the trace format files.
class TraceFormatTable {
public:
    // Adds the components of one file's text. False, with the line and what is wrong in *error,
    // for malformed text; what came before the bad line stays added.
    bool Parse(std::string_view text, std::string* error = nullptr);
    bool LoadFile(const std::string& path, std::string* error = nullptr);
    // Every *.txt file of a directory, in name order.
    bool LoadDirectory(const std::string& directory, std::string* error = nullptr);

    // "<component> <LEVEL> <text>" with the arguments put in; a message without a format is shown
    // as its GUID, number and arguments.
    std::string Format(const TraceMessageRecord& record) const;

    // Every message of the table, by component (GuidToString) and number.
    struct Entry {
        std::string component;
        USHORT number = 0;
        std::string level;
        std::string text;
    };
    std::vector<Entry> Entries() const;

private:
    struct Message {
        std::string level;
        std::string text;
    };
    struct Component {
        std::string name;
        std::map<USHORT, Message> messages;
    };
    std::map<std::string, Component> m_components;  // keyed by GuidToString
};

// Formats each message with a table and hands the line to a sink.
class TraceDecoder final : public TraceConsumer {
public:
    TraceDecoder(const TraceFormatTable& table, std::function<void(const std::string& line)> sink)
        : m_table(table), m_sink(std::move(sink))
    {
    }
    void OnMessage(const TraceMessageRecord& record) override { m_sink(m_table.Format(record)); }

private:
    const TraceFormatTable& m_table;
    std::function<void(const std::string&)> m_sink;
};

}  // namespace platform::support
PLATFORM_API_END
