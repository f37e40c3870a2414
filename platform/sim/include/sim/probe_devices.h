// The temperature probe's two simulated devices.
//
//   sim::InstallProbes();                          // both present, reading 25 degrees
//   sim::SetInterfaceProbeTemperature(40.0);       // encoded as a raw thermal-map key
//   sim::SetFixedProbeStatusWord(0x1501);          // ready, sensor kind 21
//   sim::SetFixedProbeCounts(960);                 // reads as 25.5 degrees with kind 21
//   sim::FailProbeRequests(sim::Probe::kFixedPath, IOCTL_PROBE_GET_COUNTS, ERROR_GEN_FAILURE);
//   sim::SetProbeSource(sim::Probe::kInterface, "/sys/class/thermal/thermal_zone0/temp");
//   sim::HoldProbeRequests(sim::Probe::kInterface);  // requests wait until released
//   sim::RemoveProbe(sim::Probe::kInterface);      // unplugged: gone from enumeration, handles fail
//   sim::ResetDeviceTree();                        // teardown (sim/device_tree.h)
//
// Driver face (platform/probe/probe_ioctl.h):
//  - the interface device, enumerated under GUID_DEVINTERFACE_PROBE at kInterfaceProbePath,
//    answers IOCTL_PROBE_READ_VALUE with PROBE_RAW_VALUE;
//  - the fixed-path device, opened as PROBE_FIXED_DEVICE_PATH, answers IOCTL_PROBE_GET_STATUS with
//    PROBE_STATUS and IOCTL_PROBE_GET_COUNTS with PROBE_COUNTS.
// Each device answers other codes with ERROR_INVALID_FUNCTION, and an output buffer shorter than
// the answer layout with ERROR_INSUFFICIENT_BUFFER (writing nothing); input is ignored.
//
// Temperatures are encoded as the driver decodes them:
//  - the interface device's raw value is the key of the built-in default thermal map whose value
//    is nearest to the temperature; of equally near keys the lowest wins (the map is flat at both
//    ends, so 105 degrees and above give key 0, and -15 and below give key 980);
//  - the fixed-path device's counts are those whose conversion through the kind's table is nearest
//    to the temperature; of equally near counts the lowest wins, so a whole degree gives the
//    table's own entry. The tables reach -15 to 105 degrees; temperatures outside give the end.
//
// A probe may follow a temperature source of the Linux machine instead: a file holding millidegrees
// Celsius, as a thermal zone's temp (/sys/class/thermal/thermal_zone*/temp) or a hardware monitor's
// temp*_input does. Each request reads it and answers its temperature encoded as above (the
// fixed-path device with its present kind when that has a table, else kind 20). A source that
// cannot be read, or holds no number, fails the request with ERROR_READ_FAULT, as a device whose
// sensor cannot be read does; the source listener hears why once, and once more when the source
// reads again. Setting a temperature, raw value, status word or counts stops following.
//
// Answers, failures and gates last until changed, or until the probe is installed again. Setters
// return false when the probe is not installed.
//
// Thread safety: all functions may be called from any thread, also while requests run.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/export.h"
#include "platform/probe/probe_ioctl.h"
#include "platform/types.h"

PLATFORM_API_BEGIN

namespace sim {

enum class Probe { kInterface, kFixedPath };

inline constexpr char16_t kInterfaceProbeInstanceId[] = u"ROOT\\QARVPROBE\\0000";
inline constexpr char16_t kInterfaceProbePath[] = u"\\\\?\\ROOT#QARVPROBE#0000#{2016a666-ee05-4d5f-8f6a-8220fdc5ce38}";
inline constexpr char16_t kFixedProbeInstanceId[] = u"ROOT\\QARVARM\\0001";

// The instance ID of each probe in the device tree (sim/device_tree.h).
std::u16string_view ProbeInstanceId(Probe probe);

// Adds the probe to the device tree, present, reading 25 degrees (the fixed-path device as kind 20),
// with no failures and an open gate. A probe already installed is removed first (its handles fail).
// The interface device may be given another path; false when the path is taken by another device.
bool InstallInterfaceProbe(std::u16string_view path = kInterfaceProbePath);
bool InstallFixedProbe();
bool InstallProbes();

// Interface device answers.
bool SetInterfaceProbeTemperature(double celsius);
bool SetInterfaceProbeRawValue(std::uint32_t raw);
std::uint32_t InterfaceProbeRawValue();

// Fixed-path device answers. SetFixedProbeTemperature makes the device ready with the given kind
// and sets the counts; for a kind without a table it sets the status only.
bool SetFixedProbeTemperature(double celsius, std::uint8_t kind = PROBE_KIND_20);
bool SetFixedProbeStatusWord(std::uint16_t status);  // low byte ready, high byte kind
bool SetFixedProbeCounts(std::uint16_t counts);
std::uint16_t FixedProbeStatusWord();
std::uint16_t FixedProbeCounts();

// The encodings above.
std::uint32_t RawKeyForTemperature(double celsius);
std::uint16_t CountsForTemperature(double celsius, std::uint8_t kind);  // kind 20 or 21

// Follows the source at `path` (see above); an empty path stops following.
bool SetProbeSource(Probe probe, std::string path);
// The source the probe follows; empty when none.
std::string ProbeSource(Probe probe);
// Reads a source once: its temperature in degrees, or nothing with why in *why.
std::optional<double> ReadTemperatureSource(const std::string& path, std::string* why);
// Hears a probe's source become unreadable (`why` says why) and readable again (`why` empty), on
// the thread of the request that found it. Null: nobody hears. Called without any lock of the
// probes held.
using ProbeSourceListener = std::function<void(Probe probe, const std::string& path, const std::string& why)>;
void SetProbeSourceListener(ProbeSourceListener listener);

// Answers exactly these bytes to `controlCode`, whatever their length, instead of the layout (a
// malformed answer). The caller's buffer must still hold the layout. An empty vector returns to
// the normal answer.
bool SetProbeAnswerBytes(Probe probe, DWORD controlCode, std::vector<BYTE> bytes);

// The next `times` requests with `controlCode` (0 for any code) fail with `error`;
// kAlways makes every one fail until the probe is installed again or the failure is cleared with
// times 0.
inline constexpr int kAlways = -1;
bool FailProbeRequests(Probe probe, DWORD controlCode, DWORD error, int times = 1);

// Unplugs and plugs back the probe (SetDevicePresent).
bool RemoveProbe(Probe probe);
bool RestoreProbe(Probe probe);

// The slow-device gate (HoldRequests).
bool HoldProbeRequests(Probe probe);
bool ReleaseProbeRequests(Probe probe);
std::size_t HeldProbeRequests(Probe probe);

// What the probe saw since it was installed.
std::uint32_t ProbeOpenCount(Probe probe);
std::uint32_t ProbeOpenHandleCount(Probe probe);
std::uint32_t ProbeRequestCount(Probe probe, DWORD controlCode);

}  // namespace sim
PLATFORM_API_END
