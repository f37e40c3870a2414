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

HostRecord::Token HostRecord::Add(RecordKind kind, std::string name, std::string arguments, std::string result)
{
    std::lock_guard guard(m_mutex);
    const Token token = m_firstToken + m_entries.size();
    m_entries.push_back({kind, std::move(name), std::move(arguments), std::move(result)});
    TrimLocked();
    return token;
}

void HostRecord::SetResult(Token token, std::string result)
{
    std::lock_guard guard(m_mutex);
    if (token < m_firstToken || token - m_firstToken >= m_entries.size()) return;
    m_entries[token - m_firstToken].result = std::move(result);
}

std::vector<RecordEntry> HostRecord::Entries() const
{
    std::lock_guard guard(m_mutex);
    return {m_entries.begin(), m_entries.end()};
}

std::vector<RecordEntry> HostRecord::Entries(RecordKind kind) const
{
    std::lock_guard guard(m_mutex);
    std::vector<RecordEntry> entries;
    std::copy_if(m_entries.begin(), m_entries.end(), std::back_inserter(entries),
                 [kind](const RecordEntry& entry) { return entry.kind == kind; });
    return entries;
}

std::vector<std::string> HostRecord::Names(RecordKind kind) const
{
    std::lock_guard guard(m_mutex);
    std::vector<std::string> names;
    for (const auto& entry : m_entries) {
        if (entry.kind == kind) names.push_back(entry.name);
    }
    return names;
}

std::vector<RecordEntry> HostRecord::Named(std::string_view name) const
{
    std::lock_guard guard(m_mutex);
    std::vector<RecordEntry> entries;
    std::copy_if(m_entries.begin(), m_entries.end(), std::back_inserter(entries),
                 [name](const RecordEntry& entry) { return entry.name == name; });
    return entries;
}

std::size_t HostRecord::Count(std::string_view name) const
{
    std::lock_guard guard(m_mutex);
    return static_cast<std::size_t>(std::count_if(m_entries.begin(), m_entries.end(),
                                                  [name](const RecordEntry& entry) { return entry.name == name; }));
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
    m_firstToken += m_entries.size();
    m_entries.clear();
    m_idleSettings.reset();
}

std::string HostRecord::ToText() const
{
    std::lock_guard guard(m_mutex);
    std::string text;
    for (const auto& entry : m_entries) {
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
    while (m_entries.size() > m_capacity) {
        m_entries.pop_front();
        ++m_firstToken;
        ++m_dropped;
    }
}

}  // namespace platform::host
