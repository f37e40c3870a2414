// The host's client socket with the fake module: the hello, device I/O over the socket, access by
// credentials, bad frames, clients that go away, the bounded buffer of what the host sends on its
// own, the simulation and trace channels, and the socket file itself. Clients are the socket
// client library and, where a test needs to send what the library never would or to stop
// reading, a raw peer that speaks frames by hand.
#include "host/socket_server.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "integration/fake_driver/fake_driver_control.h"
#include "loaded_module_fixture.h"
#include "platform/com/runtime.h"
#include "platform/kernel/handle.h"
#include "platform/kernel/synch.h"
#include "platform/sensorcx/sensors.h"
#include "sensor_test_client.h"
#include "transport/frame.h"
#include "transport/socket_client.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using platform::ComPtr;
using platform::host::AccessPolicy;
using platform::host::FileAccess;
using platform::host::HostStep;
using platform::host::PeerCredentials;
using platform::host::SocketServer;
using platform::host::SocketServerOptions;
using transport::FrameType;
using transport::SocketClient;

// Only a guard against a hang: every wait below ends as soon as what it waits for happens.
constexpr auto kHangGuard = std::chrono::seconds(30);

int ConnectRaw(const std::string& path)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// A peer that writes and reads frames by hand.
class RawPeer {
public:
    explicit RawPeer(const std::string& path) : m_fd(ConnectRaw(path)) { EXPECT_GE(m_fd, 0); }
    ~RawPeer() { Close(); }
    RawPeer(const RawPeer&) = delete;
    RawPeer& operator=(const RawPeer&) = delete;

    void Send(const Bytes& bytes)
    {
        ASSERT_EQ(::send(m_fd, bytes.data(), bytes.size(), MSG_NOSIGNAL), ssize_t(bytes.size()));
    }

    void Hello()
    {
        Bytes hello;
        transport::AppendHelloFrame(&hello, 1, {});
        Send(hello);
        ASSERT_TRUE(Next());
        ASSERT_EQ(header.type, static_cast<std::uint16_t>(FrameType::kHelloReply));
    }

    // Reads the next frame into `header` and `payload`; false at the end of the stream.
    bool Next()
    {
        for (;;) {
            std::span<const std::uint8_t> input(m_buffered);
            const transport::ReadStatus status = m_reader.Read(&input);
            m_buffered.erase(m_buffered.begin(), m_buffered.end() - static_cast<std::ptrdiff_t>(input.size()));
            if (status == transport::ReadStatus::kFrame) {
                header = m_reader.Header();
                payload.assign(m_reader.Payload().begin(), m_reader.Payload().end());
                return true;
            }
            EXPECT_NE(status, transport::ReadStatus::kFramingError);
            if (status == transport::ReadStatus::kFramingError) return false;
            pollfd waiting{m_fd, POLLIN, 0};
            const int ready = ::poll(&waiting, 1, static_cast<int>(std::chrono::milliseconds(kHangGuard).count()));
            EXPECT_EQ(ready, 1) << "no frame came";
            if (ready != 1) return false;
            std::uint8_t chunk[65536];
            const ssize_t received = ::recv(m_fd, chunk, sizeof(chunk), 0);
            if (received <= 0) return false;  // the end, or a reset after the host closed
            m_buffered.insert(m_buffered.end(), chunk, chunk + received);
        }
    }

    transport::StatusTextPayload Error()
    {
        transport::StatusTextPayload error;
        EXPECT_EQ(header.type, static_cast<std::uint16_t>(FrameType::kError));
        EXPECT_EQ(transport::DecodeStatusText(payload, &error), S_OK);
        return error;
    }

    void Close()
    {
        if (m_fd >= 0) ::close(m_fd);
        m_fd = -1;
    }

    transport::FrameHeader header;
    Bytes payload;

private:
    int m_fd;
    transport::FrameReader m_reader;
    Bytes m_buffered;
};

Bytes Frame(FrameType type, std::uint32_t id, const Bytes& payload)
{
    Bytes out;
    transport::AppendFrame(&out, type, id, payload);
    return out;
}

Bytes IoControl(std::uint32_t id, ULONG code, const Bytes& input, std::uint32_t capacity)
{
    Bytes out;
    transport::AppendIoControlFrame(&out, id, {code, capacity, input});
    return out;
}

class SocketServerTest : public integration::DriverHostTest {
protected:
    void StartFake()
    {
        HostStep step = Load(FAKE_DRIVER_MODULE_PATH);
        if (step.ok()) step = m_host.AddDevice();
        if (step.ok()) step = m_host.Start();
        ASSERT_TRUE(step.ok()) << step.message;
        m_control = fake_driver::FindControl();
        ASSERT_NE(m_control, nullptr);
    }

    SocketServerOptions Options()
    {
        SocketServerOptions options;
        options.socketPath = SocketPath();
        options.onSimulate = [](std::string_view line) {
            return std::pair<HRESULT, std::string>(S_OK, "ran: " + std::string(line));
        };
        return options;
    }

    void Serve(SocketServerOptions options)
    {
        options.onConnection = [this](const PeerCredentials&, FileAccess, bool connected) {
            std::lock_guard guard(m_mutex);
            (connected ? m_connects : m_disconnects) += 1;
            m_changed.notify_all();
        };
        m_server = std::make_unique<SocketServer>(m_host, std::move(options));
        std::string why;
        ASSERT_EQ(m_server->Start(&why), S_OK) << why;
    }

    std::string SocketPath() const { return (m_stateDirectory.path() / "host.sock").string(); }

    std::unique_ptr<SocketClient> Connect(transport::SocketClientCallbacks callbacks = {})
    {
        std::unique_ptr<SocketClient> client;
        std::string why;
        EXPECT_EQ(SocketClient::Connect(SocketPath(), std::move(callbacks), {kHangGuard}, &client, &why), S_OK) << why;
        return client;
    }

    // Waits until `count` connections have ended and had their file cleaned up.
    bool WaitForDisconnects(int count)
    {
        std::unique_lock guard(m_mutex);
        return m_changed.wait_for(guard, kHangGuard, [&] { return m_disconnects >= count; });
    }

    HANDLE HoldRequests()
    {
        m_release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        m_control->holdRelease = m_release;
        return m_release;
    }

    void TearDown() override
    {
        if (m_release != nullptr) SetEvent(m_release);  // nothing may stay held in the module at unload
        m_server.reset();
        m_clock.RunUntilIdle();
        integration::DriverHostTest::TearDown();
        if (m_release != nullptr) CloseHandle(m_release);
    }

    fake_driver::Control* m_control = nullptr;
    HANDLE m_release = nullptr;
    std::unique_ptr<SocketServer> m_server;

    std::mutex m_mutex;
    std::condition_variable m_changed;
    int m_connects = 0;     // guarded by m_mutex
    int m_disconnects = 0;  // guarded by m_mutex
};

TEST_F(SocketServerTest, HelloAndRequests_TravelThroughTheDevicesQueue)
{
    StartFake();
    Serve(Options());
    auto client = Connect();
    ASSERT_NE(client, nullptr);
    EXPECT_EQ(client->Hello().version, transport::kProtocolVersion);
    EXPECT_EQ(client->Hello().access, transport::WireAccess::kReadWrite);
    EXPECT_EQ(client->Hello().maxPayload, transport::kMaxFramePayload);
    EXPECT_EQ(client->Hello().eventBufferFrames, 256u);
    EXPECT_TRUE(client->Hello().simulationAllowed);

    const Bytes input{1, 2, 3};
    transport::TransportReply echo = client->IoControl(fake_driver::kEcho, input, 16);
    EXPECT_EQ(echo.status, S_OK);
    EXPECT_EQ(echo.information, 3u);
    EXPECT_EQ(echo.output, input);

    echo = client->AsSensorTransport()(fake_driver::kWriteEcho, input, 2);
    EXPECT_EQ(echo.status, S_OK);
    EXPECT_EQ(echo.output, (Bytes{1, 2}));

    const transport::TransportReply unknown = client->IoControl(0x00222FFC, {}, 0);
    EXPECT_EQ(unknown.status, HRESULT_FROM_WIN32(ERROR_NOT_SUPPORTED));
    EXPECT_TRUE(unknown.output.empty());

    // Capacities above the largest reply never reach the device.
    EXPECT_EQ(client->IoControl(fake_driver::kEcho, input, transport::kMaxIoBytes + 1).status,
              transport::kFrameTooLarge);
    RawPeer raw(SocketPath());
    raw.Hello();
    raw.Send(IoControl(9, fake_driver::kEcho, input, transport::kMaxIoBytes + 1));
    ASSERT_TRUE(raw.Next());
    transport::IoReplyPayload refused;
    ASSERT_EQ(transport::DecodeIoReply(raw.payload, &refused), S_OK);
    EXPECT_EQ(raw.header.id, 9u);
    EXPECT_EQ(refused.status, E_INVALIDARG);
    EXPECT_EQ(m_host.Record().Count("IQueueCallbackDeviceIoControl::OnDeviceIoControl"), 3u);
}

TEST_F(SocketServerTest, Replies_GoOutInCompletionOrderMatchedById)
{
    StartFake();
    Serve(Options());
    const HANDLE release = HoldRequests();

    // One peer, two requests in one write: the held one is answered last.
    RawPeer raw(SocketPath());
    raw.Hello();
    Bytes both = IoControl(7, fake_driver::kHold, {}, 0);
    const Bytes echo = IoControl(8, fake_driver::kEcho, {5}, 1);
    both.insert(both.end(), echo.begin(), echo.end());
    raw.Send(both);
    ASSERT_TRUE(raw.Next());
    EXPECT_EQ(raw.header.id, 8u);

    // The library: a thread waits for a held request while another's request is answered.
    auto client = Connect();
    transport::TransportReply held;
    std::thread holder([&] { held = client->IoControl(fake_driver::kHold, {}, 0); });
    const transport::TransportReply quick = client->IoControl(fake_driver::kEcho, Bytes{6}, 1);
    EXPECT_EQ(quick.status, S_OK);
    EXPECT_EQ(quick.output, Bytes{6});

    SetEvent(release);
    holder.join();
    EXPECT_EQ(held.status, S_OK);
    EXPECT_EQ(held.information, 0u);
    ASSERT_TRUE(raw.Next());
    EXPECT_EQ(raw.header.id, 7u);
}

TEST_F(SocketServerTest, RequestsHeldInTheDriver_LeaveOthersServedAndStopDoesNotWaitForThem)
{
    StartFake();
    Serve(Options());
    const HANDLE release = HoldRequests();
    // More held requests than the server has threads: the later ones go to the queue's threads.
    constexpr int kHeld = 6;
    std::vector<std::unique_ptr<RawPeer>> peers;
    for (int i = 0; i < kHeld; ++i) {
        peers.push_back(std::make_unique<RawPeer>(SocketPath()));
        peers.back()->Hello();
        peers.back()->Send(IoControl(1, fake_driver::kHold, {}, 0));
    }
    const auto deadline = std::chrono::steady_clock::now() + kHangGuard;
    while (m_control->held.load() < kHeld && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
    ASSERT_EQ(m_control->held.load(), kHeld);

    auto client = Connect();
    EXPECT_EQ(client->IoControl(fake_driver::kEcho, Bytes{3}, 1).output, Bytes{3});

    m_server->Stop();
    EXPECT_EQ(m_control->cleanups.load(), kHeld + 1);
    EXPECT_FALSE(peers.front()->Next());
    SetEvent(release);
    m_clock.RunUntilIdle();
}

TEST_F(SocketServerTest, ClientsFallingFromAPeak_AreHeardOnceAfterTheirCleanup)
{
    StartFake();
    SocketServerOptions options = Options();
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<int> cleanupsAtFall;  // guarded by mutex
    options.onClientsFell = [&] {
        std::lock_guard guard(mutex);
        cleanupsAtFall.push_back(m_control->cleanups.load());
        changed.notify_all();
    };
    Serve(std::move(options));
    const auto connectAll = [&](std::size_t count) {
        std::vector<std::unique_ptr<SocketClient>> clients;
        for (std::size_t i = 0; i < count; ++i) clients.push_back(Connect());
        return clients;
    };

    // One short of a peak: nothing to give back.
    auto clients = connectAll(SocketServer::kPeakClients - 1);
    clients.resize(1);
    ASSERT_TRUE(WaitForDisconnects(SocketServer::kPeakClients - 2));
    // A peak, falling to a quarter of it: heard once, when the clients that left are cleaned up.
    auto more = connectAll(SocketServer::kPeakClients - 1);
    more.clear();
    ASSERT_TRUE(WaitForDisconnects(2 * SocketServer::kPeakClients - 3));
    std::lock_guard guard(mutex);
    const int needed = SocketServer::kPeakClients - 2 + SocketServer::kPeakClients * 3 / 4;
    ASSERT_EQ(cleanupsAtFall.size(), 1u);
    EXPECT_GE(cleanupsAtFall[0], needed);
}

TEST_F(SocketServerTest, ClientWithoutCallbacks_ARequestTimesOutAndItsLateReplyIsSkipped)
{
    StartFake();
    Serve(Options());
    const HANDLE release = HoldRequests();
    std::unique_ptr<SocketClient> client;
    ASSERT_EQ(SocketClient::Connect(SocketPath(), {}, {std::chrono::milliseconds(1000)}, &client), S_OK);

    // The waiting thread receives for itself; the held request's reply does not come in time.
    EXPECT_EQ(client->IoControl(fake_driver::kHold, {}, 0).status, transport::kReplyTimedOut);
    SetEvent(release);
    // The held reply comes first now and answers nobody; the next request gets its own.
    const transport::TransportReply echo = client->IoControl(fake_driver::kEcho, Bytes{4, 2}, 2);
    EXPECT_EQ(echo.status, S_OK);
    EXPECT_EQ(echo.output, (Bytes{4, 2}));
    EXPECT_TRUE(client->IsConnected());
}

TEST_F(SocketServerTest, ManyRequestsAtOnce_PauseReadingAndAreAllAnswered)
{
    StartFake();
    const HANDLE release = HoldRequests();
    SocketServerOptions options = Options();
    // The held requests go once the host has read the trace request just before the limit.
    options.onTraceLevel = [release](std::uint8_t level) {
        if (level != 0) SetEvent(release);
    };
    Serve(std::move(options));

    // More held requests than a connection may have unanswered, in one write: the host stops
    // reading at the limit and reads the rest as they are answered.
    RawPeer peer(SocketPath());
    peer.Hello();
    constexpr std::uint32_t kRequests = 3 * SocketServer::kMaxRequestsInFlight;
    Bytes frames;
    for (std::uint32_t id = 1; id <= kRequests; ++id) {
        const Bytes frame = IoControl(id, fake_driver::kHold, {}, 0);
        frames.insert(frames.end(), frame.begin(), frame.end());
        if (id == SocketServer::kMaxRequestsInFlight - 1) transport::AppendTraceFrame(&frames, 0, 1);
    }
    peer.Send(frames);

    std::vector<bool> answered(kRequests + 1, false);
    for (std::uint32_t replies = 0; replies < kRequests;) {
        ASSERT_TRUE(peer.Next());
        if (peer.header.type == static_cast<std::uint16_t>(FrameType::kTraceReply)) continue;
        ++replies;
        ASSERT_EQ(peer.header.type, static_cast<std::uint16_t>(FrameType::kIoReply));
        ASSERT_GE(peer.header.id, 1u);
        ASSERT_LE(peer.header.id, kRequests);
        EXPECT_FALSE(answered[peer.header.id]) << "answered twice: " << peer.header.id;
        answered[peer.header.id] = true;
    }
}

TEST_F(SocketServerTest, ReadOnlyPeer_IsRefusedWriteCodesAndTheSimulation)
{
    StartFake();
    SocketServerOptions options = Options();
    options.access = AccessPolicy{::geteuid() + 1, {}, {}};  // this test's user is nobody special
    Serve(std::move(options));

    auto client = Connect();
    ASSERT_NE(client, nullptr);
    EXPECT_EQ(client->Hello().access, transport::WireAccess::kRead);
    EXPECT_FALSE(client->CanWrite());
    EXPECT_FALSE(client->Hello().simulationAllowed);

    EXPECT_EQ(client->IoControl(fake_driver::kWriteEcho, Bytes{1}, 1).status, E_ACCESSDENIED);
    EXPECT_EQ(m_host.Record().Count("IQueueCallbackDeviceIoControl::OnDeviceIoControl"), 0u);
    EXPECT_EQ(client->IoControl(fake_driver::kReadEcho, Bytes{1}, 1).status, S_OK);

    std::string output;
    EXPECT_EQ(client->Simulate("power dc", &output), E_ACCESSDENIED);
    EXPECT_FALSE(output.empty());
}

TEST(SocketAccessPolicy, WritersAreTheHostUserListedUsersAndGroupMembers)
{
    const AccessPolicy policy{1000, {0}, {50}};
    EXPECT_EQ(policy.AccessFor({1, 1000, 1000, {}}), FileAccess::kReadWrite);
    EXPECT_EQ(policy.AccessFor({1, 0, 0, {}}), FileAccess::kReadWrite);
    EXPECT_EQ(policy.AccessFor({1, 1001, 50, {}}), FileAccess::kReadWrite);
    EXPECT_EQ(policy.AccessFor({1, 1001, 1001, {7, 50}}), FileAccess::kReadWrite);
    EXPECT_EQ(policy.AccessFor({1, 1001, 1001, {7}}), FileAccess::kRead);
    EXPECT_TRUE(policy.MaySimulate({1, 1000, 1000, {}}));
    EXPECT_FALSE(policy.MaySimulate({1, 0, 0, {}}));
}

TEST_F(SocketServerTest, BadFrames_AreAnsweredOrCloseTheirConnectionWhileOthersKeepWorking)
{
    StartFake();
    Serve(Options());
    auto client = Connect();

    RawPeer peer(SocketPath());
    peer.Hello();
    // An unknown type, a type only the host sends, a short control request, a bad trace level, a
    // second hello: each gets a kError with its id, and the connection stays.
    peer.Send(Frame(static_cast<FrameType>(99), 21, {}));
    ASSERT_TRUE(peer.Next());
    EXPECT_EQ(peer.header.id, 21u);
    EXPECT_EQ(peer.Error().status, transport::kUnsupportedFrame);
    peer.Send(Frame(FrameType::kIoReply, 22, Bytes(8, 0)));
    ASSERT_TRUE(peer.Next());
    EXPECT_EQ(peer.Error().status, transport::kUnsupportedFrame);
    peer.Send(Frame(FrameType::kIoControl, 23, Bytes{1, 2, 3}));
    ASSERT_TRUE(peer.Next());
    EXPECT_EQ(peer.header.id, 23u);
    EXPECT_EQ(peer.Error().status, transport::kMalformedFrame);
    peer.Send(Frame(FrameType::kTrace, 24, Bytes{9}));
    ASSERT_TRUE(peer.Next());
    EXPECT_EQ(peer.Error().status, transport::kMalformedFrame);
    Bytes hello;
    transport::AppendHelloFrame(&hello, 25, {});
    peer.Send(hello);
    ASSERT_TRUE(peer.Next());
    EXPECT_EQ(peer.Error().status, E_UNEXPECTED);
    peer.Send(IoControl(26, fake_driver::kEcho, {4}, 1));
    ASSERT_TRUE(peer.Next());
    EXPECT_EQ(peer.header.type, static_cast<std::uint16_t>(FrameType::kIoReply));

    // An oversized length: kError with id 0, then the host closes the connection.
    const Bytes oversized{0x00, 0x00, 0x20, 0x00, 3, 0, 0, 0, 27, 0, 0, 0};  // 2 MiB
    peer.Send(oversized);
    ASSERT_TRUE(peer.Next());
    EXPECT_EQ(peer.header.id, 0u);
    EXPECT_EQ(peer.Error().status, transport::kFrameTooLarge);
    EXPECT_FALSE(peer.Next());

    // Flags set: the same.
    RawPeer flagged(SocketPath());
    flagged.Hello();
    flagged.Send(Bytes{0, 0, 0, 0, 9, 0, 1, 0, 1, 0, 0, 0});
    ASSERT_TRUE(flagged.Next());
    EXPECT_EQ(flagged.Error().status, transport::kMalformedFrame);
    EXPECT_FALSE(flagged.Next());

    // No hello first, a wrong magic, another version: kError, then closed.
    RawPeer noHello(SocketPath());
    noHello.Send(IoControl(5, fake_driver::kEcho, {}, 0));
    ASSERT_TRUE(noHello.Next());
    EXPECT_EQ(noHello.header.id, 5u);
    EXPECT_EQ(noHello.Error().status, E_UNEXPECTED);
    EXPECT_FALSE(noHello.Next());
    RawPeer wrongMagic(SocketPath());
    wrongMagic.Send(Frame(FrameType::kHello, 1, Bytes{1, 2, 3, 4, 1, 0}));
    ASSERT_TRUE(wrongMagic.Next());
    EXPECT_EQ(wrongMagic.Error().status, transport::kMalformedFrame);
    EXPECT_FALSE(wrongMagic.Next());
    RawPeer newer(SocketPath());
    Bytes newerHello;
    transport::AppendHelloFrame(&newerHello, 1, {transport::kHelloMagic, 2});
    newer.Send(newerHello);
    ASSERT_TRUE(newer.Next());
    EXPECT_EQ(newer.Error().status, transport::kVersionMismatch);
    EXPECT_FALSE(newer.Next());

    // Garbage: whatever it parses as, the host answers or closes, and does not fall over.
    RawPeer garbage(SocketPath());
    garbage.Send(Bytes(64, 0xFF));
    ASSERT_TRUE(garbage.Next());
    EXPECT_FALSE(garbage.Next());

    const transport::TransportReply echo = client->IoControl(fake_driver::kEcho, Bytes{9}, 1);
    EXPECT_EQ(echo.status, S_OK);
    EXPECT_EQ(echo.output, Bytes{9});
    EXPECT_TRUE(WaitForDisconnects(2));  // the hello-ed peers' files are closed and cleaned up
    EXPECT_EQ(m_control->cleanups.load(), 2);
}

// A peer that stops in the middle of a frame loses its connection after the bound (here 200 ms;
// 30 s by default); a peer that waits between frames keeps its own.
TEST_F(SocketServerTest, StalledFrame_ClosesItsConnectionAfterTheBoundWhileIdleOnesStay)
{
    StartFake();
    SocketServerOptions options = Options();
    options.partialFrameTimeout = std::chrono::milliseconds(200);
    std::vector<std::string> closed;  // guarded by m_mutex
    options.onClosedByHost = [&](const PeerCredentials& peer, std::string_view why) {
        std::lock_guard guard(m_mutex);
        closed.push_back("pid " + std::to_string(peer.pid) + ": " + std::string(why));
    };
    Serve(std::move(options));

    RawPeer idle(SocketPath());
    idle.Hello();
    const Bytes echo = IoControl(1, fake_driver::kEcho, {7}, 1);
    for (const std::size_t cut : {std::size_t(5), echo.size() - 1}) {  // in the header, in the payload
        SCOPED_TRACE("cut after " + std::to_string(cut) + " bytes");
        RawPeer stalled(SocketPath());
        stalled.Hello();
        stalled.Send(Bytes(echo.begin(), echo.begin() + static_cast<std::ptrdiff_t>(cut)));
        ASSERT_TRUE(stalled.Next());
        EXPECT_EQ(stalled.header.id, 0u);
        const transport::StatusTextPayload error = stalled.Error();
        EXPECT_EQ(error.status, HRESULT_FROM_WIN32(ERROR_TIMEOUT));
        EXPECT_EQ(error.text, "a frame stayed incomplete for 200 ms; the host closed the connection");
        EXPECT_FALSE(stalled.Next());
    }
    ASSERT_TRUE(WaitForDisconnects(2));

    // The idle connection has waited longer than the bound, between frames, and is served.
    idle.Send(echo);
    ASSERT_TRUE(idle.Next());
    EXPECT_EQ(idle.header.type, static_cast<std::uint16_t>(FrameType::kIoReply));
    std::lock_guard guard(m_mutex);
    const std::string expected = "pid " + std::to_string(::getpid()) + ": a frame stayed incomplete for 200 ms";
    ASSERT_EQ(closed.size(), 2u);
    EXPECT_EQ(closed[0].rfind(expected, 0), 0u) << closed[0];
}

TEST_F(SocketServerTest, ClientThatVanishesMidRequest_LeavesNothingBehind)
{
    StartFake();
    Serve(Options());
    const HANDLE release = HoldRequests();
    {
        RawPeer peer(SocketPath());
        peer.Hello();
        Bytes frames = IoControl(1, fake_driver::kHold, {}, 0);
        const Bytes echo = IoControl(2, fake_driver::kEcho, {}, 0);
        frames.insert(frames.end(), echo.begin(), echo.end());
        peer.Send(frames);
        ASSERT_TRUE(peer.Next());  // the echo: the held request is in the host now
        EXPECT_EQ(peer.header.id, 2u);
    }
    ASSERT_TRUE(WaitForDisconnects(1));
    EXPECT_EQ(m_control->cleanups.load(), 1);
    EXPECT_EQ(m_server->ConnectionCount(), 0u);

    // The held request finishes into a closed connection, and the host goes on serving.
    SetEvent(release);
    m_clock.RunUntilIdle();
    auto client = Connect();
    EXPECT_EQ(client->IoControl(fake_driver::kEcho, Bytes{1}, 1).status, S_OK);
    EXPECT_EQ(m_server->ConnectionCount(), 1u);
}

TEST_F(SocketServerTest, SlowTraceReader_GetsABoundedBufferAndTheDropCount)
{
    StartFake();
    SocketServerOptions options = Options();
    options.eventBufferFrames = 4;
    std::mutex levelsMutex;
    std::vector<std::uint8_t> levels;  // guarded by levelsMutex
    options.onTraceLevel = [&](std::uint8_t level) {
        std::lock_guard guard(levelsMutex);
        levels.push_back(level);
    };
    const auto levelsHeard = [&] {
        std::lock_guard guard(levelsMutex);
        return levels;
    };
    Serve(std::move(options));

    RawPeer slow(SocketPath());
    slow.Hello();
    Bytes trace;
    transport::AppendTraceFrame(&trace, 2, 3);
    slow.Send(trace);
    ASSERT_TRUE(slow.Next());
    EXPECT_EQ(slow.header.type, static_cast<std::uint16_t>(FrameType::kTraceReply));
    EXPECT_EQ(levelsHeard(), std::vector<std::uint8_t>{3});

    // The peer reads nothing while lines of 60 KiB go out, until the socket and the buffer are full.
    const std::string filler(60 * 1024, 'x');
    std::uint32_t sent = 0;
    while (m_server->DroppedFrames() < 10 && sent < 100000) {
        m_server->BroadcastTrace(2, std::to_string(sent) + " " + filler);
        ++sent;
    }
    m_server->BroadcastTrace(4, "verbose: above the level asked for, never sent");
    ASSERT_GE(m_server->DroppedFrames(), 10u);

    // Everything sent is either received, in order, or counted as dropped.
    std::uint32_t received = 0;
    std::uint32_t dropped = 0;
    long last = -1;
    while (received + dropped < sent) {
        ASSERT_TRUE(slow.Next());
        if (slow.header.type == static_cast<std::uint16_t>(FrameType::kEventsDropped)) {
            std::uint32_t count = 0;
            ASSERT_EQ(transport::DecodeEventsDropped(slow.payload, &count), S_OK);
            dropped += count;
            continue;
        }
        ASSERT_EQ(slow.header.type, static_cast<std::uint16_t>(FrameType::kTraceLine));
        const long index = std::stol(std::string(slow.payload.begin(), slow.payload.begin() + 8));
        EXPECT_GT(index, last);
        last = index;
        ++received;
    }
    EXPECT_EQ(dropped, m_server->DroppedFrames());
    EXPECT_LE(received, sent - 10);

    // The connection still works, and leaving takes its trace level with it.
    slow.Send(IoControl(3, fake_driver::kEcho, {1}, 1));
    ASSERT_TRUE(slow.Next());
    EXPECT_EQ(slow.header.id, 3u);
    slow.Close();
    ASSERT_TRUE(WaitForDisconnects(1));
    m_server->Stop();
    EXPECT_EQ(levelsHeard(), (std::vector<std::uint8_t>{3, 0}));
}

// The input of kRaiseEvents: `count` times `message`.
Bytes RaiseEvents(std::uint32_t count, const Bytes& message)
{
    Bytes input{static_cast<std::uint8_t>(count), static_cast<std::uint8_t>(count >> 8),
                static_cast<std::uint8_t>(count >> 16), static_cast<std::uint8_t>(count >> 24)};
    input.insert(input.end(), message.begin(), message.end());
    return input;
}

// How many bytes a socket of this system holds for a peer that does not read.
std::size_t SocketSendBuffer()
{
    std::ifstream setting("/proc/sys/net/core/wmem_default");
    std::size_t bytes = 0;
    return (setting >> bytes) ? bytes : std::size_t{16} << 20;
}

TEST_F(SocketServerTest, Events_GoToTheConnectionWhoseFileTheyWerePostedTo)
{
    StartFake();
    Serve(Options());
    std::mutex mutex;
    std::condition_variable arrived;
    std::vector<Bytes> events;  // guarded by mutex
    transport::SocketClientCallbacks callbacks;
    callbacks.onEvent = [&](std::span<const std::uint8_t> message) {
        std::lock_guard guard(mutex);
        events.emplace_back(message.begin(), message.end());
        arrived.notify_all();
    };
    auto receiver = Connect(std::move(callbacks));
    transport::SocketClientCallbacks others;
    others.onEvent = [](std::span<const std::uint8_t>) { ADD_FAILURE() << "an event reached another connection"; };
    auto bystander = Connect(std::move(others));

    const Bytes message{0x50, 0x44, 1, 1, 0, 0, 0, 0};
    EXPECT_EQ(receiver->IoControl(fake_driver::kRaiseEvents, RaiseEvents(3, message), 0).status, S_OK);
    std::unique_lock guard(mutex);
    ASSERT_TRUE(arrived.wait_for(guard, kHangGuard, [&] { return events.size() == 3; }));
    EXPECT_EQ(events, std::vector<Bytes>(3, message));
    guard.unlock();
    EXPECT_EQ(bystander->IoControl(fake_driver::kEcho, {}, 0).status, S_OK);  // it has had its chance
}

TEST_F(SocketServerTest, SlowReader_LosesEventsBeyondItsBufferAndHearsHowMany)
{
    StartFake();
    SocketServerOptions options = Options();
    options.eventBufferFrames = 4;
    Serve(std::move(options));

    // The peer reads nothing while more events are posted to its file than the socket and the
    // buffer hold; the reply to the request that posted them comes all the same.
    RawPeer slow(SocketPath());
    slow.Hello();
    const HANDLE raised = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    m_control->eventsRaised = raised;
    const Bytes message(60 * 1024, 0xEE);
    const auto count = static_cast<std::uint32_t>(SocketSendBuffer() / message.size() + 4 + 20);
    slow.Send(IoControl(2, fake_driver::kRaiseEvents, RaiseEvents(count, message), 0));
    ASSERT_EQ(WaitForSingleObject(raised, INFINITE), WAIT_OBJECT_0);
    m_control->eventsRaised = nullptr;
    CloseHandle(raised);

    std::uint32_t received = 0;
    std::uint32_t dropped = 0;
    bool replied = false;
    while (received + dropped < count || !replied) {
        ASSERT_TRUE(slow.Next());
        switch (static_cast<FrameType>(slow.header.type)) {
            case FrameType::kEvent:
                EXPECT_EQ(slow.payload, message);
                ++received;
                break;
            case FrameType::kEventsDropped: {
                std::uint32_t more = 0;
                ASSERT_EQ(transport::DecodeEventsDropped(slow.payload, &more), S_OK);
                dropped += more;
                break;
            }
            case FrameType::kIoReply:
                EXPECT_EQ(slow.header.id, 2u);
                replied = true;
                break;
            default:
                FAIL() << "frame type " << slow.header.type;
        }
    }
    EXPECT_EQ(received + dropped, count);
    EXPECT_GE(dropped, 10u);  // the socket takes about its send buffer, give or take a frame
    EXPECT_EQ(m_server->DroppedFrames(), dropped);

    // Once read, the connection has its whole buffer again.
    slow.Send(IoControl(3, fake_driver::kRaiseEvents, RaiseEvents(4, Bytes{1}), 0));
    for (int frames = 0; frames < 5; ++frames) {
        ASSERT_TRUE(slow.Next());
        EXPECT_NE(slow.header.type, static_cast<std::uint16_t>(FrameType::kEventsDropped));
    }
}

TEST_F(SocketServerTest, TraceLines_ReachTheClientsThatAskedForTheirLevel)
{
    StartFake();
    Serve(Options());
    std::mutex mutex;
    std::condition_variable arrived;
    std::vector<std::string> lines;  // guarded by mutex
    transport::SocketClientCallbacks callbacks;
    callbacks.onTraceLine = [&](std::string_view line) {
        std::lock_guard guard(mutex);
        lines.emplace_back(line);
        arrived.notify_all();
    };
    auto client = Connect(std::move(callbacks));
    EXPECT_EQ(client->Trace(5), transport::kMalformedFrame);
    ASSERT_EQ(client->Trace(2), S_OK);
    m_server->BroadcastTrace(3, "information");
    m_server->BroadcastTrace(1, "error");
    m_server->BroadcastTrace(2, "warning");
    std::unique_lock guard(mutex);
    ASSERT_TRUE(arrived.wait_for(guard, kHangGuard, [&] { return lines.size() == 2; }));
    EXPECT_EQ(lines, (std::vector<std::string>{"error", "warning"}));
}

TEST_F(SocketServerTest, Simulate_RunsTheHandlerForTheHostUser)
{
    StartFake();
    Serve(Options());
    auto client = Connect();
    std::string output;
    EXPECT_EQ(client->Simulate("power dc", &output), S_OK);
    EXPECT_EQ(output, "ran: power dc");
    EXPECT_EQ(client->Simulate(std::string(SocketServer::kMaxSimulateBytes, 'x'), &output), S_OK);
    EXPECT_EQ(client->Simulate(std::string(SocketServer::kMaxSimulateBytes + 1, 'x'), &output), E_INVALIDARG);
    EXPECT_EQ(output, "a simulation command has at most 4096 bytes; this one has 4097");

    SocketServerOptions without = Options();
    without.onSimulate = nullptr;
    without.socketPath = SocketPath() + "2";
    SocketServer second(m_host, std::move(without));
    ASSERT_EQ(second.Start(), S_OK);
    std::unique_ptr<SocketClient> other;
    ASSERT_EQ(SocketClient::Connect(SocketPath() + "2", {}, {kHangGuard}, &other), S_OK);
    EXPECT_FALSE(other->Hello().simulationAllowed);
    EXPECT_EQ(other->Simulate("power dc", &output), E_NOTIMPL);
}

TEST_F(SocketServerTest, NoDevice_RequestsGetTheHostsErrorUntilOneIsThere)
{
    ASSERT_TRUE(Load(FAKE_DRIVER_MODULE_PATH).ok());
    Serve(Options());
    auto client = Connect();
    ASSERT_NE(client, nullptr);
    EXPECT_EQ(client->IoControl(fake_driver::kEcho, Bytes{1}, 1).status,
              HRESULT_FROM_WIN32(ERROR_DEVICE_NOT_CONNECTED));

    ASSERT_TRUE(m_host.AddDevice().ok());
    ASSERT_TRUE(m_host.Start().ok());
    m_control = fake_driver::FindControl();
    const transport::TransportReply echo = client->IoControl(fake_driver::kEcho, Bytes{1}, 1);
    EXPECT_EQ(echo.status, S_OK);

    // A device that goes away leaves the file behind: its requests fail from then on, as the host
    // answers them, and the connection stays.
    ASSERT_TRUE(m_host.SurpriseRemove().ok());
    EXPECT_TRUE(FAILED(client->IoControl(fake_driver::kEcho, Bytes{1}, 1).status));
    EXPECT_TRUE(client->IsConnected());
}

TEST_F(SocketServerTest, Stop_ClosesEveryConnectionAndTheFiles)
{
    StartFake();
    Serve(Options());
    std::mutex mutex;
    std::condition_variable ended;
    HRESULT why = S_OK;  // guarded by mutex
    transport::SocketClientCallbacks callbacks;
    callbacks.onDisconnected = [&](HRESULT reason) {
        std::lock_guard guard(mutex);
        why = reason;
        ended.notify_all();
    };
    auto client = Connect(std::move(callbacks));
    auto second = Connect();
    m_server->Stop();
    EXPECT_EQ(m_control->cleanups.load(), 2);
    EXPECT_EQ(m_server->ConnectionCount(), 0u);
    struct stat gone {};
    EXPECT_NE(::stat(SocketPath().c_str(), &gone), 0);
    {
        std::unique_lock guard(mutex);
        ASSERT_TRUE(ended.wait_for(guard, kHangGuard, [&] { return why != S_OK; }));
        EXPECT_EQ(why, transport::kConnectionClosed);
    }
    EXPECT_EQ(second->IoControl(fake_driver::kEcho, {}, 0).status, transport::kConnectionClosed);
}

TEST_F(SocketServerTest, SocketFile_IsPrivateStaleOnesAreReplacedLiveOnesAndOtherFilesRefused)
{
    StartFake();
    const std::string path = SocketPath();
    std::unique_ptr<SocketClient> client;
    std::string why;
    EXPECT_EQ(SocketClient::Connect(path, {}, {}, &client, &why), transport::kHostNotFound);
    EXPECT_NE(why.find(path), std::string::npos);

    // A stale socket: bound, never listened on.
    const int stale = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
    ASSERT_EQ(::bind(stale, reinterpret_cast<const sockaddr*>(&address), sizeof(address)), 0);
    EXPECT_EQ(SocketClient::Connect(path, {}, {}, &client, &why), transport::kHostRefused);
    ::close(stale);

    const mode_t previous = ::umask(0);
    Serve(Options());
    ::umask(previous);
    struct stat file {};
    ASSERT_EQ(::stat(path.c_str(), &file), 0);
    EXPECT_TRUE(S_ISSOCK(file.st_mode));
    EXPECT_EQ(file.st_mode & 0777, 0660u);
    EXPECT_NE(Connect(), nullptr);

    SocketServerOptions same = Options();
    SocketServer second(m_host, std::move(same));
    EXPECT_EQ(second.Start(&why), HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS));
    EXPECT_NE(why.find("listening"), std::string::npos) << why;
    EXPECT_NE(Connect(), nullptr) << "the refused second server must leave the live socket alone";

    const std::string plain = (m_stateDirectory.path() / "plain").string();
    std::ofstream(plain) << "keep me";
    SocketServerOptions onFile = Options();
    onFile.socketPath = plain;
    SocketServer third(m_host, std::move(onFile));
    EXPECT_EQ(third.Start(&why), HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS));
    EXPECT_NE(why.find("not a socket"), std::string::npos) << why;
    std::ifstream kept(plain);
    std::string content;
    std::getline(kept, content);
    EXPECT_EQ(content, "keep me");

    SocketServerOptions tooLong = Options();
    tooLong.socketPath = std::string(200, 'a');
    EXPECT_EQ(SocketServer(m_host, std::move(tooLong)).Start(), E_INVALIDARG);
}

TEST_F(SocketServerTest, CheckPath_RefusesBeforeStartWhatStartWouldRefuse)
{
    StartFake();
    Serve(Options());
    const std::filesystem::path dir = m_stateDirectory.path();
    std::ofstream(dir / "plain") << "keep me";
    const struct {
        std::string path;
        HRESULT result;
        std::string why;
    } cases[] = {
        {SocketPath(), HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS), "another process is listening on " + SocketPath()},
        {(dir / "plain").string(), HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS),
         (dir / "plain").string() + " exists and is not a socket"},
        {(dir / "none" / "host.sock").string(), HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND),
         "its directory " + (dir / "none").string() + " cannot be used (No such file or directory)"},
        {(dir / "plain" / "host.sock").string(), HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND),
         (dir / "plain").string() + " is not a directory"},
        {std::string(200, 'a'), E_INVALIDARG, "the socket path must have 1 to 107 bytes"},
        {(dir / "fresh.sock").string(), S_OK, ""},
    };
    for (const auto& c : cases) {
        std::string why;
        EXPECT_EQ(SocketServer::CheckPath(c.path, &why), c.result) << c.path;
        EXPECT_NE(why.find(c.why), std::string::npos) << why;
    }
    EXPECT_FALSE(std::filesystem::exists(dir / "fresh.sock"));
    EXPECT_NE(Connect(), nullptr) << "the check must leave the live socket alone";
}

// The client, when told whose host it may use, asks the socket who serves it before it says hello.
TEST_F(SocketServerTest, Client_RefusesAHostOfAnotherUserWhenToldWhom)
{
    StartFake();
    Serve(Options());
    transport::SocketClientOptions options;
    options.replyTimeout = kHangGuard;
    options.hostUids = {::getuid() + 1};
    std::unique_ptr<SocketClient> client;
    std::string why;
    EXPECT_EQ(SocketClient::Connect(SocketPath(), {}, options, &client, &why), E_ACCESSDENIED);
    EXPECT_EQ(client, nullptr);
    EXPECT_NE(why.find("is served by user " + std::to_string(::getuid()) + " (pid " + std::to_string(::getpid()) +
                       "), neither this user nor root"),
              std::string::npos)
        << why;
    options.hostUids.push_back(::getuid());
    EXPECT_EQ(SocketClient::Connect(SocketPath(), {}, options, &client, &why), S_OK) << why;
}

TEST_F(SocketServerTest, ReportedControlCodes_AreHeardWithThePeerTheInputAndTheStatus)
{
    StartFake();
    SocketServerOptions options = Options();
    options.reportedControlCodes = {fake_driver::kEcho};
    std::vector<std::string> heard;  // guarded by m_mutex
    options.onControlDone = [&](const PeerCredentials& peer, ULONG code, std::span<const std::uint8_t> input,
                                HRESULT status) {
        std::lock_guard guard(m_mutex);
        heard.push_back("pid " + std::to_string(peer.pid) + " code " + std::to_string(code) + " input " +
                        std::to_string(input.size()) + " status " + std::to_string(status));
    };
    Serve(std::move(options));
    auto client = Connect();
    EXPECT_EQ(client->IoControl(fake_driver::kReadEcho, Bytes{1}, 1).status, S_OK);  // not reported
    EXPECT_EQ(client->IoControl(fake_driver::kEcho, Bytes{1, 2}, 2).status, S_OK);
    std::lock_guard guard(m_mutex);
    EXPECT_EQ(heard, std::vector<std::string>{"pid " + std::to_string(::getpid()) + " code " +
                                              std::to_string(fake_driver::kEcho) + " input 2 status 0"});
}

// The real module behind the socket: the sensor protocol travels over it unchanged.
class SocketServedSensorTest : public integration::HostedDeviceTest {
protected:
    // Serves once the device idled, as driver-host does; from then on reads advance the clock, so
    // that a client's connect wakes the device and its acquisition settles.
    void Serve(AccessPolicy access)
    {
        m_clock.AdvanceBy(std::chrono::seconds(1));
        ASSERT_EQ(m_host.State(), platform::host::DeviceState::kIdle);
        platform::testing::VirtualClock::SetReadStep(kReadStep);
        SocketServerOptions options;
        options.socketPath = (m_stateDirectory.path() / "host.sock").string();
        options.access = std::move(access);
        m_server = std::make_unique<SocketServer>(m_host, std::move(options));
        ASSERT_EQ(m_server->Start(), S_OK);
        ASSERT_EQ(SocketClient::Connect(m_server->SocketPath(), {}, {kHangGuard}, &m_client), S_OK);
    }

    void TearDown() override
    {
        m_client.reset();
        m_server.reset();
        integration::HostedDeviceTest::TearDown();
    }

    std::unique_ptr<SocketServer> m_server;
    std::unique_ptr<SocketClient> m_client;
};

TEST_F(SocketServedSensorTest, SensorProtocol_ConnectsAndReadsOverTheSocket)
{
    Serve(AccessPolicy::ForThisProcess());
    transport::SensorClient sensors(m_client->AsSensorTransport());
    HRESULT result = E_FAIL;
    ASSERT_EQ(sensors.Connect(integration::kSensorId, &result), S_OK);  // the exchange; the result is the sensor's

    const PROPERTYKEY keys[] = {SENSOR_PROPERTY_DESCRIPTION};
    transport::ValuesResult properties;
    ASSERT_EQ(sensors.GetProperties(integration::kSensorId, keys, &properties), S_OK);
    ASSERT_EQ(properties.hr, S_OK);
    LPWSTR description = nullptr;
    ASSERT_EQ(properties.values->GetStringValue(SENSOR_PROPERTY_DESCRIPTION, &description), S_OK);
    EXPECT_EQ(std::u16string(description), u"Temperature Sensor");
    CoTaskMemFree(description);
}

TEST_F(SocketServedSensorTest, SensorProtocol_WritesNeedAWriter)
{
    Serve(AccessPolicy{::geteuid() + 1, {}, {}});
    transport::SensorClient sensors(m_client->AsSensorTransport());
    ComPtr<IPortableDeviceValues> values;
    ASSERT_EQ(CoCreateInstance(CLSID_PortableDeviceValues, nullptr, CLSCTX_INPROC_SERVER, IID_IPortableDeviceValues,
                               reinterpret_cast<void**>(values.GetAddressOf())),
              S_OK);
    values->SetUnsignedIntegerValue(SENSOR_PROPERTY_CURRENT_REPORT_INTERVAL, 200);
    transport::ValuesResult written;
    EXPECT_EQ(sensors.SetProperties(integration::kSensorId, values.Get(), &written), E_ACCESSDENIED);
    HRESULT result = E_FAIL;
    EXPECT_EQ(sensors.Connect(integration::kSensorId, &result), S_OK) << "reading stays open to a reader";
}

}  // namespace
