// The bench harness's clients of the host: raw connections that speak the frames by hand (many of
// them cost one descriptor each and no thread), and one reader thread that receives the events of
// every subscribed connection through epoll and notes when each arrived.
//
//   auto client = bench::RawClient::Connect(socketPath, &why);       // hello done
//   transport::SensorClient sensors(client->Transport());           // blocking requests
//   sensors.Connect(id, &hr); sensors.Subscribe(id, &hr);
//   reader.Add(client.get(), index);                                 // events from now on
//   reader.BeginWindow(); ... ; auto events = reader.EndWindow();
//
// Ownership: the harness owns the clients; a client given to the reader must outlive it (or be
// closed after the reader stopped).
//
// Thread safety: a RawClient is used by one thread at a time: its owner until it is added to the
// reader, then only the reader reads it (the owner may still send; nothing is sent after that in
// the harness). The reader's records are guarded by its mutex.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "host_process.h"
#include "transport/frame.h"
#include "transport/sensor_client.h"

namespace bench {

class RawClient {
public:
    // Connects and says hello; null, with why in *error, when the host does not answer.
    static std::unique_ptr<RawClient> Connect(const std::string& socketPath, std::string* error);
    ~RawClient();
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;

    // One I/O control request, waiting for its reply; events that come first are dropped.
    transport::TransportReply Request(ULONG controlCode, std::span<const std::uint8_t> input, std::size_t capacity);
    transport::SensorTransport Transport();

    int Fd() const { return m_fd; }

private:
    explicit RawClient(int fd) : m_fd(fd) {}
    // The next frame (blocking); false when the connection ended.
    bool Next(transport::FrameHeader* header, std::vector<std::uint8_t>* payload);

    const int m_fd;
    std::uint32_t m_nextId = 1;
    transport::FrameReader m_reader;
    std::vector<std::uint8_t> m_buffered;
};

// One data-updated event as a client received it.
struct EventRecord {
    std::uint32_t client = 0;
    std::uint64_t receivedNs = 0;   // CLOCK_MONOTONIC when the read that completed it returned
    std::uint64_t fileTime = 0;     // the event's timestamp data field (100-ns units, to the ms)
    std::uint64_t handOverNs = 0;   // CLOCK_MONOTONIC of the hand-over, from the stamp log; 0 unknown
};

class EventReader {
public:
    // `stamps` may be null: hand-over times are then unknown.
    explicit EventReader(StampReader* stamps);
    ~EventReader();
    EventReader(const EventReader&) = delete;
    EventReader& operator=(const EventReader&) = delete;

    // From now on the reader receives what comes on the client's connection.
    void Add(RawClient* client, std::uint32_t index);
    // Starts keeping records (dropping those of before).
    void BeginWindow();
    // Stops keeping records and hands them over.
    std::vector<EventRecord> EndWindow();
    std::size_t RecordCount();
    // Events dropped by the host (kEventsDropped) and connections that ended, since the start.
    std::uint64_t DroppedEvents() const { return m_dropped.load(); }
    std::uint64_t ClosedConnections() const { return m_closed.load(); }

private:
    struct Peer {
        RawClient* client = nullptr;
        std::uint32_t index = 0;
        transport::FrameReader reader;
    };

    void Run();
    void OnEvent(const Peer& peer, std::uint64_t receivedNs, std::span<const std::uint8_t> message);
    std::uint64_t FileTimeOf(std::span<const std::uint8_t> message);

    StampReader* const m_stamps;
    const int m_epollFd;
    const int m_wakeFd;
    std::atomic<std::uint64_t> m_dropped{0};
    std::atomic<std::uint64_t> m_closed{0};

    std::mutex m_mutex;
    // Guarded by m_mutex.
    std::vector<std::unique_ptr<Peer>> m_peers;
    bool m_recording = false;
    std::vector<EventRecord> m_records;

    // Reader thread only: decoded timestamps by message bytes (every subscriber gets the same bytes).
    std::unordered_map<std::string, std::uint64_t> m_fileTimes;
    std::vector<std::uint8_t> m_lastMessage;
    std::uint64_t m_lastFileTime = 0;
    std::uint64_t m_lastHandOverNs = 0;
    std::thread m_thread;
};

// Request throughput: `clients` connections (the socket client library) send `request` back to
// back for `seconds`, each from `threadsPerClient` threads at once (so that many requests are in
// flight on the connection); the requests per second over all of them, and the round-trip samples
// (us) of every request.
struct Throughput {
    double perSecond = 0;
    std::vector<double> roundTripsUs;
    std::uint64_t failures = 0;
};
using RequestFunction = std::function<HRESULT(const transport::SensorClient&)>;
Throughput MeasureThroughput(const std::string& socketPath, const std::u16string& sensorId, int clients,
                             int threadsPerClient, double seconds, const RequestFunction& request);

}  // namespace bench
