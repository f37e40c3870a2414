// Clients that connect, read, subscribe and leave, over and over on four threads, while the device
// suspends, resumes and is finally surprise-removed: nothing deadlocks, the teardown waits for the
// callbacks in flight and refuses later ones, and nothing is left behind. Meant for the tsan preset
// as much as for the others.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform_testing/wpd.h"
#include "sensor_test_client.h"

namespace {

using namespace std::chrono_literals;
using integration::SensorTestClient;

constexpr int kClientThreads = 4;
constexpr int kOperations = 4000;
// The device suspends and resumes once per this many client operations.
constexpr int kOperationsPerPowerCycle = 250;

class SensorClientsStress : public integration::SensorHostTest {};

TEST_F(SensorClientsStress, FourClientsComeAndGoWhileTheDeviceSuspendsResumesAndIsSurpriseRemoved)
{
    ApplyMachine(sim::kDefaultMachine);
    ASSERT_TRUE(LoadAndStart().ok());
    // Every busy wait (the map reload of a resume, a data-field read's wait for its fresh reading)
    // ends as the clock advances with its own reads.
    platform::testing::VirtualClock::SetReadStep(1ms);

    std::atomic<int> operations{0};
    std::atomic<int> served{0};  // operations whose callback answered S_OK
    std::atomic<bool> removed{false};
    const auto clientLoop = [&](int thread) {
        for (int round = 0; !removed.load(); ++round) {
            SensorTestClient client(m_host, platform::host::FileAccess::kReadWrite, true);
            if (!client.IsOpen()) break;  // the device is gone
            std::vector<HRESULT> answers = {client.Connect(), client.ReadDataFields().hr, client.Subscribe(),
                                            client.ReadDataFields().hr};
            // Some leave in order; the others leave it to the file's cleanup.
            if ((thread + round) % 2 == 0) answers.push_back(client.Unsubscribe());
            if ((thread + round) % 3 == 0) answers.push_back(client.Disconnect());
            for (const HRESULT answer : answers) {
                if (answer == S_OK) served.fetch_add(1);
            }
            operations.fetch_add(static_cast<int>(answers.size()));
        }
    };
    std::vector<std::thread> clients;
    for (int thread = 0; thread < kClientThreads; ++thread) clients.emplace_back(clientLoop, thread);

    int cycles = 0;
    for (int next = kOperationsPerPowerCycle; next < kOperations; next += kOperationsPerPowerCycle) {
        while (operations.load() < next) std::this_thread::yield();
        ASSERT_TRUE(m_host.Suspend(WdfPowerDeviceD3).ok());
        ASSERT_TRUE(m_host.Resume().ok());
        ++cycles;
    }
    // Removed while the clients are still at work.
    m_host.SurpriseRemove();
    removed.store(true);
    for (std::thread& client : clients) client.join();
    platform::testing::VirtualClock::SetReadStep(0ns);

    EXPECT_GT(cycles, 10);
    // Requests that meet a suspend are refused (the queue is purged, I/O is not active); enough of
    // them get through for the test to mean something.
    EXPECT_GT(served.load(), kOperations / 20);
    const platform::host::HostStep unloaded = Unload();
    ASSERT_TRUE(unloaded.ok()) << unloaded.message;
    EXPECT_EQ(platform::testing::LiveSensorClassExtensions(), 0u);
    EXPECT_EQ(platform::testing::LivePortableDeviceCollections(), 0u);
}

}  // namespace
