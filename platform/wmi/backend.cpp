#include "sim/wmi.h"

#include <algorithm>

#include "com/variant_types.h"
#include "core/wait.h"
#include "wmi/repository.h"

namespace sim {
namespace {

using platform::detail::EqualsIgnoringCase;
using platform::detail::KernelLock;
using platform::detail::WmiInstance;
using platform::detail::WmiRepositoryLocked;

std::vector<WmiProperty>::iterator FindProperty(std::vector<WmiProperty>& properties, std::u16string_view name)
{
    return std::find_if(properties.begin(), properties.end(),
                        [&](const WmiProperty& property) { return EqualsIgnoringCase(property.name, name); });
}

// Replaces an instance with a changed copy, so that snapshots keep what they saw.
template <class Change>
bool ChangeInstance(int instance, Change change)
{
    std::lock_guard lock(KernelLock());
    auto& instances = WmiRepositoryLocked().instances;
    const auto it = instances.find(instance);
    if (it == instances.end()) return false;
    auto changed = std::make_shared<WmiInstance>(*it->second);
    if (!change(changed->properties)) return false;
    it->second = std::move(changed);
    return true;
}

}  // namespace

WmiValue WmiValue::Null()
{
    WmiValue value;
    value.m_value.vt = VT_NULL;
    return value;
}

WmiValue WmiValue::I2(std::int16_t v)
{
    WmiValue value;
    value.m_value.vt = VT_I2;
    value.m_value.iVal = v;
    return value;
}

WmiValue WmiValue::I4(std::int32_t v)
{
    WmiValue value;
    value.m_value.vt = VT_I4;
    value.m_value.lVal = v;
    return value;
}

WmiValue WmiValue::UI4(std::uint32_t v)
{
    WmiValue value;
    value.m_value.vt = VT_UI4;
    value.m_value.ulVal = v;
    return value;
}

WmiValue WmiValue::R8(double v)
{
    WmiValue value;
    value.m_value.vt = VT_R8;
    value.m_value.dblVal = v;
    return value;
}

WmiValue WmiValue::Bool(bool v)
{
    WmiValue value;
    value.m_value.vt = VT_BOOL;
    value.m_value.boolVal = v ? VARIANT_TRUE : VARIANT_FALSE;
    return value;
}

WmiValue WmiValue::String(std::u16string_view text)
{
    WmiValue value;
    value.m_value.vt = VT_BSTR;
    value.m_text = text;
    return value;
}

WmiValue WmiValue::Plain(const VARIANT& v)
{
    WmiValue value;
    if (platform::detail::IsPlainVariantType(v.vt)) value.m_value = v;
    return value;
}

HRESULT WmiValue::CopyTo(VARIANT* out) const
{
    VARIANT copy = m_value;
    if (m_value.vt == VT_BSTR) {
        copy.bstrVal = SysAllocStringLen(m_text.data(), static_cast<UINT>(m_text.size()));
        if (copy.bstrVal == nullptr) return E_OUTOFMEMORY;
    }
    *out = copy;
    return S_OK;
}

int AddWmiInstance(std::u16string_view className, std::vector<WmiProperty> properties)
{
    auto instance = std::make_shared<WmiInstance>(WmiInstance{std::u16string(className), std::move(properties)});
    std::lock_guard lock(KernelLock());
    auto& repository = WmiRepositoryLocked();
    if (!EqualsIgnoringCase(className, u"ThermalTemperature") &&
        std::none_of(repository.addedClasses.begin(), repository.addedClasses.end(),
                     [&](const std::u16string& added) { return EqualsIgnoringCase(className, added); })) {
        repository.addedClasses.emplace_back(className);
    }
    const int id = repository.nextInstance++;
    repository.instances.emplace(id, std::move(instance));
    return id;
}

int AddThermalTemperature(std::u16string_view instanceName, std::int32_t temperature)
{
    return AddWmiInstance(u"ThermalTemperature", {{u"InstanceName", WmiValue::String(instanceName)},
                                                  {u"Temperature", WmiValue::I4(temperature)}});
}

bool SetWmiProperty(int instance, std::u16string_view name, WmiValue value)
{
    return ChangeInstance(instance, [&](std::vector<WmiProperty>& properties) {
        const auto it = FindProperty(properties, name);
        if (it != properties.end()) {
            it->value = std::move(value);
        } else {
            properties.push_back({std::u16string(name), std::move(value)});
        }
        return true;
    });
}

bool RemoveWmiProperty(int instance, std::u16string_view name)
{
    return ChangeInstance(instance, [&](std::vector<WmiProperty>& properties) {
        const auto it = FindProperty(properties, name);
        if (it == properties.end()) return false;
        properties.erase(it);
        return true;
    });
}

bool RemoveWmiInstance(int instance)
{
    std::lock_guard lock(KernelLock());
    return WmiRepositoryLocked().instances.erase(instance) == 1;
}

std::vector<int> ThermalTemperatureInstances(std::optional<std::u16string_view> instanceName)
{
    std::vector<int> found;
    std::lock_guard lock(KernelLock());
    for (const auto& [id, instance] : WmiRepositoryLocked().instances) {
        if (!EqualsIgnoringCase(instance->className, u"ThermalTemperature")) continue;
        if (instanceName) {
            const auto it =
                std::find_if(instance->properties.begin(), instance->properties.end(),
                             [](const WmiProperty& p) { return EqualsIgnoringCase(p.name, u"InstanceName"); });
            if (it == instance->properties.end() || it->value.Type() != VT_BSTR || it->value.Text() != *instanceName) {
                continue;
            }
        }
        found.push_back(id);
    }
    return found;
}

void HoldWmiReads()
{
    std::lock_guard lock(KernelLock());
    WmiRepositoryLocked().readsHeld = true;
}

void ReleaseWmiReads()
{
    std::lock_guard lock(KernelLock());
    WmiRepositoryLocked().readsHeld = false;
    platform::detail::WakeWaitersLocked();
}

std::size_t BlockedWmiReads()
{
    std::lock_guard lock(KernelLock());
    return WmiRepositoryLocked().blockedReads;
}

std::uint64_t WmiNextCalls()
{
    std::lock_guard lock(KernelLock());
    return WmiRepositoryLocked().nextCalls;
}

std::size_t LiveWmiObjects()
{
    return platform::detail::LiveWmiObjectCount();
}

void ResetWmi()
{
    std::lock_guard lock(KernelLock());
    auto& repository = WmiRepositoryLocked();
    repository.instances.clear();
    repository.addedClasses.clear();
    repository.readsHeld = false;
    repository.nextCalls = 0;
    platform::detail::WakeWaitersLocked();
}

}  // namespace sim
