// The simulated machine's WMI instances in namespace "ROOT\WMI", as the platform's WMI service
// (platform/wmi/wbemcli.h) reports them.
//
//   sim::ResetWmi();                                             // in the test's teardown
//   const int zone = sim::AddThermalTemperature(u"ACPI\\PNP0C14\\0_0", 3000);
//   sim::SetWmiProperty(zone, u"Temperature", sim::WmiValue::R8(29.5));
//   sim::RemoveWmiProperty(zone, u"InstanceName");
//   sim::RemoveWmiInstance(zone);
//
// Instances are enumerated in the order they were added. A query takes a snapshot when it runs:
// instances and values changed later reach only later queries. The class `ThermalTemperature`
// always exists; adding an instance of another class makes that class exist until ResetWmi.
//
// Reads can be held: while held, IEnumWbemClassObject::Next blocks (through the platform's one
// blocking mechanism, so its time-out follows the one clock) until ReleaseWmiReads.
//
// Thread safety: all functions may be called from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/export.h"
#include "platform/com/oleauto.h"

PLATFORM_API_BEGIN

namespace sim {

// One property value of a simulated instance: any VARIANT type that owns nothing, or a string.
// It holds plain data; the platform makes a VARIANT (a BSTR for a string) when a client reads it.
class WmiValue {
public:
    WmiValue() = default;  // VT_EMPTY
    static WmiValue Null();
    static WmiValue I2(std::int16_t value);
    static WmiValue I4(std::int32_t value);
    static WmiValue UI4(std::uint32_t value);
    static WmiValue R8(double value);
    static WmiValue Bool(bool value);
    static WmiValue String(std::u16string_view text);
    // Any other type whose value lives inside the VARIANT (not VT_BSTR, VT_UNKNOWN, or a
    // reference, array or vector); such a type is stored as VT_EMPTY instead.
    static WmiValue Plain(const VARIANT& value);

    VARTYPE Type() const { return m_value.vt; }
    // The text of a VT_BSTR value; empty for any other type.
    std::u16string_view Text() const { return m_text; }
    // Fills *out (overwritten, not cleared) with a copy. E_OUTOFMEMORY when a BSTR cannot be had.
    HRESULT CopyTo(VARIANT* out) const;

private:
    VARIANT m_value{};      // the type and any value but a string
    std::u16string m_text;  // the value of VT_BSTR
};

struct WmiProperty {
    std::u16string name;
    WmiValue value;
};

// Adds an instance of a class with these properties; returns its identifier (never 0).
int AddWmiInstance(std::u16string_view className, std::vector<WmiProperty> properties);
// Adds a `ThermalTemperature` with a string `InstanceName` and a VT_I4 `Temperature`.
int AddThermalTemperature(std::u16string_view instanceName, std::int32_t temperature);

// Sets (adds or replaces) or removes one property; false for an unknown instance or property.
bool SetWmiProperty(int instance, std::u16string_view name, WmiValue value);
bool RemoveWmiProperty(int instance, std::u16string_view name);
bool RemoveWmiInstance(int instance);

// The `ThermalTemperature` instances, in order; with a name, only those whose InstanceName is a
// string equal to it (compared exactly).
std::vector<int> ThermalTemperatureInstances(std::optional<std::u16string_view> instanceName = std::nullopt);

// Holds every IEnumWbemClassObject::Next from now on until ReleaseWmiReads.
void HoldWmiReads();
void ReleaseWmiReads();
// Calls of Next blocked by the hold right now, and calls of Next since the last ResetWmi.
std::size_t BlockedWmiReads();
std::uint64_t WmiNextCalls();

// Locator, services, enumerator and instance objects of the platform that are alive now.
std::size_t LiveWmiObjects();

// No instances, only the class `ThermalTemperature`, reads released, call count 0.
void ResetWmi();

}  // namespace sim
PLATFORM_API_END
