#include "sim/power_source.h"

#include <map>
#include <mutex>

namespace sim {
namespace {

struct PowerSource {
    std::mutex mutex;
    std::uint8_t status = kAcOnline;
    std::map<int, std::function<void(std::uint8_t)>> listeners;
    int nextToken = 1;
};

PowerSource& Source()
{
    static auto* source = new PowerSource;
    return *source;
}

}  // namespace

void SetAcLineStatus(std::uint8_t status)
{
    std::map<int, std::function<void(std::uint8_t)>> listeners;
    {
        std::lock_guard guard(Source().mutex);
        Source().status = status;
        listeners = Source().listeners;
    }
    for (const auto& [token, listener] : listeners) listener(status);
}

std::uint8_t AcLineStatus()
{
    std::lock_guard guard(Source().mutex);
    return Source().status;
}

int AddPowerSourceListener(std::function<void(std::uint8_t)> listener)
{
    std::lock_guard guard(Source().mutex);
    const int token = Source().nextToken++;
    Source().listeners.emplace(token, std::move(listener));
    return token;
}

void RemovePowerSourceListener(int token)
{
    std::lock_guard guard(Source().mutex);
    Source().listeners.erase(token);
}

}  // namespace sim
