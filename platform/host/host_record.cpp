#include "host/host_record.h"

#include <algorithm>

#include "record_text.h"

namespace platform::host {

const char* ToString(RecordKind kind)
{
    switch (kind) {
        case RecordKind::kCallback:
            return "callback";
        case RecordKind::kDriverCall:
            return "driver call";
        case RecordKind::kDriverError:
            return "driver error";
        case RecordKind::kHostEvent:
            return "host event";
    }
    return "unknown";
}

void RecordText::AssignTo(std::string* out) const
{
    if (m_pieces.size() == 0) {
        out->assign(m_text);
        return;
    }
    out->clear();
    for (const Piece& piece : m_pieces) out->append(piece.View());
}

HostRecord::Token HostRecord::Add(RecordKind kind, std::string_view name, RecordText arguments, RecordText result)
{
    std::lock_guard guard(m_mutex);
    RecordEntry* entry = nullptr;
    if (m_count == m_capacity) {
        // Full: the oldest entry gives its place (and its storage) to the new one.
        entry = &m_slots[m_oldest];
        m_oldest = (m_oldest + 1) % m_slots.size();
        ++m_firstToken;
        ++m_dropped;
    } else {
        if (m_count == m_slots.size()) {
            StraightenLocked();
            m_slots.emplace_back();
        }
        entry = &AtLocked(m_count++);
    }
    entry->kind = kind;
    entry->name.assign(name);
    arguments.AssignTo(&entry->arguments);
    result.AssignTo(&entry->result);
    return m_firstToken + m_count - 1;
}

void HostRecord::SetResult(Token token, RecordText result)
{
    std::lock_guard guard(m_mutex);
    if (token < m_firstToken || token - m_firstToken >= m_count) return;
    result.AssignTo(&AtLocked(token - m_firstToken).result);
}

RecordEntry& HostRecord::AtLocked(std::size_t index)
{
    return m_slots[(m_oldest + index) % m_slots.size()];
}

const RecordEntry& HostRecord::AtLocked(std::size_t index) const
{
    return m_slots[(m_oldest + index) % m_slots.size()];
}

std::vector<RecordEntry> HostRecord::Entries() const
{
    std::lock_guard guard(m_mutex);
    std::vector<RecordEntry> entries;
    entries.reserve(m_count);
    for (std::size_t i = 0; i < m_count; ++i) entries.push_back(AtLocked(i));
    return entries;
}

std::vector<RecordEntry> HostRecord::Entries(RecordKind kind) const
{
    std::lock_guard guard(m_mutex);
    std::vector<RecordEntry> entries;
    for (std::size_t i = 0; i < m_count; ++i) {
        if (AtLocked(i).kind == kind) entries.push_back(AtLocked(i));
    }
    return entries;
}

std::vector<std::string> HostRecord::Names(RecordKind kind) const
{
    std::lock_guard guard(m_mutex);
    std::vector<std::string> names;
    for (std::size_t i = 0; i < m_count; ++i) {
        if (AtLocked(i).kind == kind) names.push_back(AtLocked(i).name);
    }
    return names;
}

std::vector<RecordEntry> HostRecord::Named(std::string_view name) const
{
    std::lock_guard guard(m_mutex);
    std::vector<RecordEntry> entries;
    for (std::size_t i = 0; i < m_count; ++i) {
        if (AtLocked(i).name == name) entries.push_back(AtLocked(i));
    }
    return entries;
}

std::size_t HostRecord::Count(std::string_view name) const
{
    std::lock_guard guard(m_mutex);
    std::size_t count = 0;
    for (std::size_t i = 0; i < m_count; ++i) count += AtLocked(i).name == name ? 1 : 0;
    return count;
}

std::optional<WUDF_DEVICE_POWER_POLICY_IDLE_SETTINGS> HostRecord::LastIdleSettings() const
{
    std::lock_guard guard(m_mutex);
    return m_idleSettings;
}

void HostRecord::SetLastIdleSettings(const WUDF_DEVICE_POWER_POLICY_IDLE_SETTINGS& settings)
{
    std::lock_guard guard(m_mutex);
    m_idleSettings = settings;
}

std::size_t HostRecord::Capacity() const
{
    std::lock_guard guard(m_mutex);
    return m_capacity;
}

void HostRecord::SetCapacity(std::size_t capacity)
{
    std::lock_guard guard(m_mutex);
    m_capacity = std::max<std::size_t>(capacity, 1);
    TrimLocked();
}

std::uint64_t HostRecord::DroppedEntries() const
{
    std::lock_guard guard(m_mutex);
    return m_dropped;
}

void HostRecord::Clear()
{
    std::lock_guard guard(m_mutex);
    m_firstToken += m_count;
    m_count = 0;
    m_oldest = 0;
    m_idleSettings.reset();
}

std::string HostRecord::ToText() const
{
    std::lock_guard guard(m_mutex);
    std::string text;
    for (std::size_t i = 0; i < m_count; ++i) {
        const RecordEntry& entry = AtLocked(i);
        text += ToString(entry.kind);
        text += ' ';
        text += entry.name;
        text += '(';
        text += entry.arguments;
        text += ')';
        if (!entry.result.empty()) {
            text += " -> ";
            text += entry.result;
        }
        text += '\n';
    }
    return text;
}

void HostRecord::TrimLocked()
{
    while (m_count > m_capacity) {
        m_oldest = (m_oldest + 1) % m_slots.size();
        --m_count;
        ++m_firstToken;
        ++m_dropped;
    }
    if (m_slots.size() > m_capacity) {
        StraightenLocked();
        m_slots.resize(m_capacity);
    }
}

void HostRecord::StraightenLocked()
{
    std::rotate(m_slots.begin(), m_slots.begin() + static_cast<std::ptrdiff_t>(m_oldest), m_slots.end());
    m_oldest = 0;
}

}  // namespace platform::host
