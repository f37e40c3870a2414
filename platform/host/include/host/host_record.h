// The host record: every callback the host makes into the driver and every call the driver makes
// into the host, in the order they were made, with their arguments and results as text. Tests
// assert on it at the boundary; the driver-host program can print it.
//
//   auto record = std::make_shared<platform::host::HostRecord>();
//   ...                                               // drive a device through a host using it
//   EXPECT_THAT(record->Names(RecordKind::kCallback),
//               ElementsAre("IPnpCallbackHardware::OnPrepareHardware", "IPnpCallback::OnD0Entry", ...));
//   EXPECT_TRUE(record->Entries(RecordKind::kDriverError).empty());
//   EXPECT_EQ(record->LastIdleSettings()->DxState, PowerDeviceD3);
//
// Names are "Interface::Method" for COM calls and the export's name for module entry points.
// Arguments are "name=value" pairs separated by spaces; results are HRESULTs as HresultText
// renders them, sometimes followed by what the call gave back. An entry is added before the call
// is made, so calls made inside a callback follow the callback's own entry; its result is filled
// in when the call returns.
//
// The record keeps the latest Capacity() entries; older ones are dropped and counted. A new entry
// is written into the storage of the one it drops, so a full record adds entries without
// allocating; arguments and results given in pieces are joined straight into that storage:
//
//   record->Add(RecordKind::kDriverCall, "IWDFIoRequest::CompleteWithInformation",
//               {m_label, " status=", HresultText(hr), " information=", information});
//
// Thread safety: every operation may be called from any thread; one mutex guards the record.
#pragma once

#include <charconv>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/com/hresult.h"
#include "platform/wdf/device.h"
#include "platform_support/hresult_text.h"

namespace platform::host {

enum class RecordKind {
    kCallback,     // the host called the driver (or one of its module's entry points)
    kDriverCall,   // the driver called the host
    kDriverError,  // the driver broke a rule of the host (the host carried on safely)
    kHostEvent,    // the host did something on its own: refused a request, reported a damaged file
};

const char* ToString(RecordKind kind);

struct RecordEntry {
    RecordKind kind;
    std::string name;
    std::string arguments;
    std::string result;
};

// The text of an entry's arguments or result: one text, or pieces (texts and integers) that the
// record joins when it stores them. It only refers to what it is given, so it lives no longer than
// the call it is passed to.
class RecordText {
public:
    class Piece {
    public:
        Piece(const char* text) : m_text(text) {}
        Piece(std::string_view text) : m_text(text) {}
        Piece(const std::string& text) : m_text(text) {}
        template <std::integral Number>
        requires(!std::same_as<Number, bool> && !std::same_as<Number, char>) Piece(Number number)
        {
            m_digitCount =
                static_cast<std::uint8_t>(std::to_chars(m_digits, m_digits + sizeof(m_digits), number).ptr - m_digits);
        }

        std::string_view View() const { return m_digitCount != 0 ? std::string_view(m_digits, m_digitCount) : m_text; }

    private:
        std::string_view m_text;
        char m_digits[20];  // a number's decimal digits, with its sign
        std::uint8_t m_digitCount = 0;
    };

    RecordText() = default;
    RecordText(const char* text) : m_text(text) {}
    RecordText(std::string_view text) : m_text(text) {}
    RecordText(const std::string& text) : m_text(text) {}
    RecordText(std::initializer_list<Piece> pieces) : m_pieces(pieces) {}

    // Replaces *out with the text, keeping its storage.
    void AssignTo(std::string* out) const;

private:
    std::string_view m_text;
    std::initializer_list<Piece> m_pieces;
};

// "S_OK", "S_FALSE", the name of a common failure ("E_NOTIMPL (0x80004001)"), else "0x8007045A".
using support::HresultText;

class HostRecord {
public:
    using Token = std::uint64_t;
    static constexpr std::size_t kDefaultCapacity = 4096;

    // Adds an entry; the token lets SetResult fill in its result later.
    Token Add(RecordKind kind, std::string_view name, RecordText arguments = {}, RecordText result = {});
    // Sets the result of an entry; does nothing when the entry was dropped already.
    void SetResult(Token token, RecordText result);

    std::vector<RecordEntry> Entries() const;
    std::vector<RecordEntry> Entries(RecordKind kind) const;
    // The names of the entries of one kind, in order.
    std::vector<std::string> Names(RecordKind kind) const;
    // The entries with this name, in order.
    std::vector<RecordEntry> Named(std::string_view name) const;
    std::size_t Count(std::string_view name) const;

    // The last idle-settings record the driver assigned, as it passed it.
    std::optional<WUDF_DEVICE_POWER_POLICY_IDLE_SETTINGS> LastIdleSettings() const;
    void SetLastIdleSettings(const WUDF_DEVICE_POWER_POLICY_IDLE_SETTINGS& settings);

    std::size_t Capacity() const;
    void SetCapacity(std::size_t capacity);  // at least 1
    std::uint64_t DroppedEntries() const;

    // Forgets every entry and the idle settings.
    void Clear();
    // One line per entry: "kind name(arguments) -> result".
    std::string ToText() const;

private:
    // The entry `index` places after the oldest one.
    RecordEntry& AtLocked(std::size_t index);
    const RecordEntry& AtLocked(std::size_t index) const;
    // Drops the oldest entries and the slots beyond m_capacity.
    void TrimLocked();
    // Moves the slots so that the oldest entry is the first, as before the ring wrapped.
    void StraightenLocked();

    mutable std::mutex m_mutex;
    // Guarded by m_mutex. A ring: the oldest entry is at m_slots[m_oldest], the others follow it;
    // slots beyond m_count keep the storage of entries that were cleared, for the next ones.
    std::vector<RecordEntry> m_slots;
    std::size_t m_oldest = 0;
    std::size_t m_count = 0;
    Token m_firstToken = 0;  // the token of the oldest entry
    std::size_t m_capacity = kDefaultCapacity;
    std::uint64_t m_dropped = 0;
    std::optional<WUDF_DEVICE_POWER_POLICY_IDLE_SETTINGS> m_idleSettings;
};

}  // namespace platform::host
