#include "sim/probe_devices.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <optional>

#include "platform/win32_error.h"
#include "sim/device_tree.h"

namespace sim {
namespace {

constexpr double kDefaultThermalMap[] = {
#include "data/default_thermal_table.inc"
};
static_assert(std::size(kDefaultThermalMap) == 1023);

constexpr int kKind20Counts[] = {
#include "data/probe_kind20_counts.inc"
};
constexpr int kKind21Counts[] = {
#include "data/probe_kind21_counts.inc"
};
static_assert(std::size(kKind20Counts) == 121 && std::size(kKind21Counts) == 121);

constexpr double kDefaultCelsius = 25.0;

// Who hears that a source cannot be read; guarded by its mutex.
struct SourceListener {
    std::mutex mutex;
    ProbeSourceListener listener;
};

SourceListener& TheSourceListener()
{
    static auto* listener = new SourceListener;
    return *listener;
}

void TellSourceListener(Probe probe, const std::string& path, const std::string& why)
{
    ProbeSourceListener listener;
    {
        std::lock_guard guard(TheSourceListener().mutex);
        listener = TheSourceListener().listener;
    }
    if (listener) listener(probe, path, why);
}

struct FailurePlan {
    DWORD error;
    int remaining;  // kAlways for every request
};

// What both probes share: failures, malformed answers, and the bookkeeping of known codes.
// Every field is guarded by m_mutex.
class ProbeDevice : public DeviceBehavior {
public:
    explicit ProbeDevice(Probe probe) : m_probe(probe) {}

    DWORD IoControl(DWORD controlCode, std::span<const BYTE>, std::span<BYTE> output, DWORD& bytesWritten) override
    {
        // The source is read outside the lock: a slow file holds up no setter.
        const std::string source = Source();
        std::string why;
        std::optional<double> celsius;
        if (!source.empty()) celsius = ReadTemperatureSource(source, &why);
        std::optional<std::string> news;  // what the source listener hears, after the lock
        const DWORD result = IoControlLocked(controlCode, source, celsius, why, output, bytesWritten, news);
        if (news) TellSourceListener(m_probe, source, *news);
        return result;
    }

    void SetSource(std::string path)
    {
        std::lock_guard guard(m_mutex);
        m_source = std::move(path);
        m_sourceFailing = false;
    }
    std::string Source() const
    {
        std::lock_guard guard(m_mutex);
        return m_source;
    }

    void SetAnswerBytes(DWORD controlCode, std::vector<BYTE> bytes)
    {
        std::lock_guard guard(m_mutex);
        if (bytes.empty()) {
            m_answerBytes.erase(controlCode);
        } else {
            m_answerBytes[controlCode] = std::move(bytes);
        }
    }

    void Fail(DWORD controlCode, DWORD error, int times)
    {
        std::lock_guard guard(m_mutex);
        if (times == 0) {
            m_failures.erase(controlCode);
        } else {
            m_failures[controlCode] = {error, times};
        }
    }

protected:
    // The answer's layout size for a known code, 0 for an unknown one.
    virtual std::size_t LayoutSize(DWORD controlCode) const = 0;
    virtual std::vector<BYTE> AnswerLocked(DWORD controlCode) const = 0;
    // Makes the answers those of a device reading `celsius`.
    virtual void FollowLocked(double celsius) = 0;

    mutable std::mutex m_mutex;

private:
    // `celsius` is what `source` (empty: none) held when the request came, or nothing with `why`.
    // Sets *news when the source listener should hear that the source failed or reads again.
    DWORD IoControlLocked(DWORD controlCode, const std::string& source, std::optional<double> celsius,
                          const std::string& why, std::span<BYTE> output, DWORD& bytesWritten,
                          std::optional<std::string>& news)
    {
        std::lock_guard guard(m_mutex);
        const std::size_t layout = LayoutSize(controlCode);
        if (layout == 0) return ERROR_INVALID_FUNCTION;
        if (const auto error = TakeFailureLocked(controlCode)) return *error;
        if (output.size() < layout) return ERROR_INSUFFICIENT_BUFFER;
        // A source changed while it was read is left to the next request.
        if (!source.empty() && source == m_source) {
            if (celsius.has_value() == m_sourceFailing) news = celsius ? std::string() : why;
            m_sourceFailing = !celsius;
            if (!celsius) return ERROR_READ_FAULT;
            FollowLocked(*celsius);
        }
        std::vector<BYTE> answer;
        if (const auto it = m_answerBytes.find(controlCode); it != m_answerBytes.end()) {
            answer = it->second;
        } else {
            answer = AnswerLocked(controlCode);
        }
        const std::size_t count = std::min(answer.size(), output.size());
        if (count != 0) std::memcpy(output.data(), answer.data(), count);
        bytesWritten = static_cast<DWORD>(count);
        return ERROR_SUCCESS;
    }

    std::optional<DWORD> TakeFailureLocked(DWORD controlCode)
    {
        for (const DWORD key : {controlCode, DWORD{0}}) {
            const auto it = m_failures.find(key);
            if (it == m_failures.end()) continue;
            const DWORD error = it->second.error;
            if (it->second.remaining != kAlways && --it->second.remaining == 0) m_failures.erase(it);
            return error;
        }
        return std::nullopt;
    }

    const Probe m_probe;
    // Guarded by m_mutex.
    std::map<DWORD, FailurePlan> m_failures;
    std::map<DWORD, std::vector<BYTE>> m_answerBytes;
    std::string m_source;         // empty: the answers set stand
    bool m_sourceFailing = false;  // the listener heard that m_source cannot be read
};

template <class T>
std::vector<BYTE> BytesOf(const T& value)
{
    std::vector<BYTE> bytes(sizeof(T));
    std::memcpy(bytes.data(), &value, sizeof(T));
    return bytes;
}

class InterfaceProbeDevice final : public ProbeDevice {
public:
    InterfaceProbeDevice() : ProbeDevice(Probe::kInterface) {}
    void SetRaw(std::uint32_t raw)
    {
        std::lock_guard guard(m_mutex);
        m_raw = raw;
    }
    std::uint32_t Raw() const
    {
        std::lock_guard guard(m_mutex);
        return m_raw;
    }

protected:
    std::size_t LayoutSize(DWORD controlCode) const override
    {
        return controlCode == IOCTL_PROBE_READ_VALUE ? sizeof(PROBE_RAW_VALUE) : 0;
    }
    std::vector<BYTE> AnswerLocked(DWORD) const override { return BytesOf(PROBE_RAW_VALUE{m_raw}); }
    void FollowLocked(double celsius) override { m_raw = RawKeyForTemperature(celsius); }

private:
    std::uint32_t m_raw = RawKeyForTemperature(kDefaultCelsius);  // guarded by m_mutex
};

class FixedProbeDevice final : public ProbeDevice {
public:
    FixedProbeDevice() : ProbeDevice(Probe::kFixedPath) {}
    void SetStatus(std::uint16_t status)
    {
        std::lock_guard guard(m_mutex);
        m_status = status;
    }
    void SetCounts(std::uint16_t counts)
    {
        std::lock_guard guard(m_mutex);
        m_counts = counts;
    }
    std::uint16_t Status() const
    {
        std::lock_guard guard(m_mutex);
        return m_status;
    }
    std::uint16_t Counts() const
    {
        std::lock_guard guard(m_mutex);
        return m_counts;
    }

protected:
    std::size_t LayoutSize(DWORD controlCode) const override
    {
        if (controlCode == IOCTL_PROBE_GET_STATUS) return sizeof(PROBE_STATUS);
        if (controlCode == IOCTL_PROBE_GET_COUNTS) return sizeof(PROBE_COUNTS);
        return 0;
    }
    std::vector<BYTE> AnswerLocked(DWORD controlCode) const override
    {
        if (controlCode == IOCTL_PROBE_GET_STATUS) {
            return BytesOf(PROBE_STATUS{static_cast<BYTE>(m_status & 0xFF), static_cast<BYTE>(m_status >> 8)});
        }
        return BytesOf(PROBE_COUNTS{m_counts});
    }
    void FollowLocked(double celsius) override
    {
        std::uint8_t kind = static_cast<std::uint8_t>(m_status >> 8);
        if (kind != PROBE_KIND_20 && kind != PROBE_KIND_21) kind = PROBE_KIND_20;
        m_status = static_cast<std::uint16_t>((kind << 8) | 1);
        m_counts = CountsForTemperature(celsius, kind);
    }

private:
    // Guarded by m_mutex.
    std::uint16_t m_status = static_cast<std::uint16_t>((PROBE_KIND_20 << 8) | 1);
    std::uint16_t m_counts = CountsForTemperature(kDefaultCelsius, PROBE_KIND_20);
};

// The installed probes. The device tree owns them; these references expire when it drops them.
struct Installed {
    std::mutex mutex;
    std::weak_ptr<InterfaceProbeDevice> interfaceProbe;
    std::weak_ptr<FixedProbeDevice> fixedProbe;
};

Installed& TheProbes()
{
    static auto* probes = new Installed;
    return *probes;
}

std::shared_ptr<InterfaceProbeDevice> InterfaceDevice()
{
    std::lock_guard guard(TheProbes().mutex);
    return TheProbes().interfaceProbe.lock();
}

std::shared_ptr<FixedProbeDevice> FixedDevice()
{
    std::lock_guard guard(TheProbes().mutex);
    return TheProbes().fixedProbe.lock();
}

std::shared_ptr<ProbeDevice> DeviceOf(Probe probe)
{
    if (probe == Probe::kInterface) return InterfaceDevice();
    return FixedDevice();
}

// The fixed-path device's conversion, as the driver computes it, for counts a in segment k.
float ConvertInSegment(const int* table, int k, int a)
{
    const int b = table[k + 1];
    const float r = static_cast<float>(a - b) / static_cast<float>(table[k] - b);
    const int tenths = static_cast<int>(r * 10.0f);
    return static_cast<float>(k - 14) - static_cast<float>(tenths) / 10.0f;
}

}  // namespace

std::u16string_view ProbeInstanceId(Probe probe)
{
    return probe == Probe::kInterface ? kInterfaceProbeInstanceId : kFixedProbeInstanceId;
}

bool InstallInterfaceProbe(std::u16string_view path)
{
    std::lock_guard guard(TheProbes().mutex);
    RemoveDevice(kInterfaceProbeInstanceId);
    auto device = std::make_shared<InterfaceProbeDevice>();
    if (!AddDevice({kInterfaceProbeInstanceId, {{GUID_DEVINTERFACE_PROBE, std::u16string(path)}}, {}, device})) {
        return false;
    }
    TheProbes().interfaceProbe = device;
    return true;
}

bool InstallFixedProbe()
{
    std::lock_guard guard(TheProbes().mutex);
    RemoveDevice(kFixedProbeInstanceId);
    auto device = std::make_shared<FixedProbeDevice>();
    if (!AddDevice({kFixedProbeInstanceId, {}, {PROBE_FIXED_DEVICE_PATH}, device})) return false;
    TheProbes().fixedProbe = device;
    return true;
}

bool InstallProbes() { return InstallInterfaceProbe() && InstallFixedProbe(); }

bool SetInterfaceProbeTemperature(double celsius) { return SetInterfaceProbeRawValue(RawKeyForTemperature(celsius)); }

bool SetInterfaceProbeRawValue(std::uint32_t raw)
{
    const auto device = InterfaceDevice();
    if (!device) return false;
    device->SetSource({});
    device->SetRaw(raw);
    return true;
}

std::uint32_t InterfaceProbeRawValue()
{
    const auto device = InterfaceDevice();
    return device ? device->Raw() : 0;
}

bool SetFixedProbeTemperature(double celsius, std::uint8_t kind)
{
    const auto device = FixedDevice();
    if (!device) return false;
    device->SetSource({});
    device->SetStatus(static_cast<std::uint16_t>((kind << 8) | 1));
    if (kind == PROBE_KIND_20 || kind == PROBE_KIND_21) device->SetCounts(CountsForTemperature(celsius, kind));
    return true;
}

bool SetFixedProbeStatusWord(std::uint16_t status)
{
    const auto device = FixedDevice();
    if (!device) return false;
    device->SetSource({});
    device->SetStatus(status);
    return true;
}

bool SetFixedProbeCounts(std::uint16_t counts)
{
    const auto device = FixedDevice();
    if (!device) return false;
    device->SetSource({});
    device->SetCounts(counts);
    return true;
}

std::uint16_t FixedProbeStatusWord()
{
    const auto device = FixedDevice();
    return device ? device->Status() : 0;
}

std::uint16_t FixedProbeCounts()
{
    const auto device = FixedDevice();
    return device ? device->Counts() : 0;
}

std::uint32_t RawKeyForTemperature(double celsius)
{
    std::uint32_t best = 0;
    double bestDistance = std::fabs(kDefaultThermalMap[0] - celsius);
    for (std::uint32_t key = 1; key < std::size(kDefaultThermalMap); ++key) {
        const double distance = std::fabs(kDefaultThermalMap[key] - celsius);
        if (distance < bestDistance) {
            best = key;
            bestDistance = distance;
        }
    }
    return best;
}

std::uint16_t CountsForTemperature(double celsius, std::uint8_t kind)
{
    const int* table = kind == PROBE_KIND_21 ? kKind21Counts : kKind20Counts;
    // Counts rise as the segment index falls; walk from the warm end so the lowest count wins ties.
    int best = table[0];
    double bestDistance = std::fabs(-15.0 - celsius);
    for (int k = 119; k >= 0; --k) {
        for (int a = table[k + 1] + 1; a <= table[k]; ++a) {
            const double distance = std::fabs(static_cast<double>(ConvertInSegment(table, k, a)) - celsius);
            if (distance < bestDistance) {
                best = a;
                bestDistance = distance;
            }
        }
    }
    return static_cast<std::uint16_t>(best);
}

bool SetProbeSource(Probe probe, std::string path)
{
    const auto device = DeviceOf(probe);
    if (!device) return false;
    device->SetSource(std::move(path));
    return true;
}

std::string ProbeSource(Probe probe)
{
    const auto device = DeviceOf(probe);
    return device ? device->Source() : std::string();
}

std::optional<double> ReadTemperatureSource(const std::string& path, std::string* why)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        *why = std::strerror(errno);
        return std::nullopt;
    }
    // A temperature file holds one number and a newline; more than this is not one.
    char text[64];
    ssize_t size = 0;
    do {
        size = ::read(fd, text, sizeof(text));
    } while (size < 0 && errno == EINTR);
    const int readError = errno;
    ::close(fd);
    if (size < 0) {
        *why = std::strerror(readError);
        return std::nullopt;
    }
    std::string_view number(text, static_cast<std::size_t>(size));
    while (!number.empty() && (number.back() == '\n' || number.back() == ' ')) number.remove_suffix(1);
    long long millidegrees = 0;
    const auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), millidegrees);
    if (number.empty() || error != std::errc() || end != number.data() + number.size()) {
        *why = "it holds no number of millidegrees";
        return std::nullopt;
    }
    return static_cast<double>(millidegrees) / 1000.0;
}

void SetProbeSourceListener(ProbeSourceListener listener)
{
    std::lock_guard guard(TheSourceListener().mutex);
    TheSourceListener().listener = std::move(listener);
}

bool SetProbeAnswerBytes(Probe probe, DWORD controlCode, std::vector<BYTE> bytes)
{
    const auto device = DeviceOf(probe);
    if (!device) return false;
    device->SetAnswerBytes(controlCode, std::move(bytes));
    return true;
}

bool FailProbeRequests(Probe probe, DWORD controlCode, DWORD error, int times)
{
    const auto device = DeviceOf(probe);
    if (!device) return false;
    device->Fail(controlCode, error, times);
    return true;
}

bool RemoveProbe(Probe probe) { return SetDevicePresent(ProbeInstanceId(probe), false); }
bool RestoreProbe(Probe probe) { return SetDevicePresent(ProbeInstanceId(probe), true); }
bool HoldProbeRequests(Probe probe) { return HoldRequests(ProbeInstanceId(probe)); }
bool ReleaseProbeRequests(Probe probe) { return ReleaseRequests(ProbeInstanceId(probe)); }
std::size_t HeldProbeRequests(Probe probe) { return HeldRequestCount(ProbeInstanceId(probe)); }
std::uint32_t ProbeOpenCount(Probe probe) { return DeviceOpenCount(ProbeInstanceId(probe)); }
std::uint32_t ProbeOpenHandleCount(Probe probe) { return DeviceOpenHandleCount(ProbeInstanceId(probe)); }
std::uint32_t ProbeRequestCount(Probe probe, DWORD controlCode)
{
    return DeviceRequestCount(ProbeInstanceId(probe), controlCode);
}

}  // namespace sim
