// A client of the driver host's socket (docs/protocol.md): connects, says hello, sends device I/O
// control requests and waits for their replies, runs simulation commands, asks for traces, and
// hands what the host sends on its own (sensor events, drop counts, trace lines) to callbacks.
//
//   transport::SocketClientCallbacks callbacks;
//   callbacks.onEvent = [](std::span<const std::uint8_t> message) {
//       transport::SensorEvent event;
//       if (SUCCEEDED(transport::DecodeSensorEvent(message, &event))) ...
//   };
//   std::unique_ptr<transport::SocketClient> client;
//   std::string why;
//   HRESULT hr = transport::SocketClient::Connect(path, std::move(callbacks), {}, &client, &why);
//   if (FAILED(hr)) { print(why); return hr == transport::kHostNotFound ? ... }
//   transport::SensorClient sensors(client->AsSensorTransport());
//   ...
//   client->Close();   // or let it go: the destructor closes
//
// Connect answers, with a sentence for people in *error:
//   kHostNotFound        no socket at the path
//   kHostRefused         a socket file is there but nobody listens on it
//   E_ACCESSDENIED       the socket's permissions do not let this user connect
//   kVersionMismatch     the host does not speak this protocol version
//   kConnectionClosed    the host closed the connection during the hello
//   kReplyTimedOut       no hello reply within the time-out
//   kMalformedFrame      the host's answer is not a hello reply of this protocol
//   E_INVALIDARG         an empty path, or one too long for a socket address
//   E_FAIL               another failure of the socket; *error has the system's words
// Requests answer the host's reply, or kConnectionClosed once the connection is gone (also for
// requests waiting when it goes), or kReplyTimedOut (the request's reply is then ignored when it
// comes), or kFrameTooLarge for input or capacity above kMaxIoBytes (nothing is sent).
//
// Threads: a client with callbacks has a reader thread that receives every frame. Replies wake the
// thread that waits for them (requests are matched by id, so several threads may wait at once); the
// callbacks run on the reader thread, one at a time, in the order the frames arrived, and must not
// wait for a request of this client (its reply would be read by the very thread that waits). The
// callbacks are fixed at Connect. A client without callbacks has no reader thread: the threads that
// wait for replies receive, one at a time, and hand each other's replies over; what the host sends
// on its own is read then and dropped, and a connection the host closes is noticed by the next
// request.
//
// Time-outs use the system's steady clock, not the platform's clock: they guard against a host
// that stopped answering.
//
// Thread safety: every member function may be called from any thread. Sending is serialised by a
// mutex; the table of waiting requests has a mutex of its own (see socket_client.cpp).
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/export.h"
#include "transport/frame.h"
#include "transport/sensor_client.h"

PLATFORM_API_BEGIN

namespace transport {

struct SocketClientCallbacks {
    // One event message of the sensor protocol (sensor_protocol.h); the bytes are valid during
    // the call only.
    std::function<void(std::span<const std::uint8_t> eventMessage)> onEvent;
    // The number of events and trace lines the host dropped for this connection since it last said.
    std::function<void(std::uint32_t dropped)> onEventsDropped;
    std::function<void(std::string_view line)> onTraceLine;
    // Once, when the connection ends for a reason other than Close: kConnectionClosed when the host
    // closed it, or the status of a kError frame that was not the reply to a request.
    std::function<void(HRESULT why)> onDisconnected;
};

struct SocketClientOptions {
    // How long Connect waits for the hello reply, and each request for its reply; zero waits for
    // ever.
    std::chrono::milliseconds replyTimeout{0};
    // When not empty, the users a host may run as: Connect refuses (E_ACCESSDENIED, before the
    // hello) a socket whose serving process, as the socket reports it, runs as another user.
    std::vector<uid_t> hostUids{};
};

class SocketClient {
public:
    static HRESULT Connect(const std::string& socketPath, SocketClientCallbacks callbacks,
                           const SocketClientOptions& options, std::unique_ptr<SocketClient>* client,
                           std::string* error = nullptr);

    ~SocketClient();
    SocketClient(const SocketClient&) = delete;
    SocketClient& operator=(const SocketClient&) = delete;

    // What the host said in its hello reply.
    const HelloReplyPayload& Hello() const;
    bool CanWrite() const { return Hello().access == WireAccess::kReadWrite; }

    // One device I/O control request on the connection's file. The reply's status is the request's
    // completion status, or one of the client's own results above (information 0, no output).
    TransportReply IoControl(ULONG controlCode, std::span<const std::uint8_t> input, std::size_t outputCapacity);
    // IoControl as a SensorTransport; it refers to this client, which must outlive it.
    SensorTransport AsSensorTransport();

    // Runs one command line of the simulation channel. *output (may be null) receives the command's
    // output, or the host's reason when it failed.
    HRESULT Simulate(std::string_view commandLine, std::string* output);
    // Asks for trace lines up to `level` (kTraceOff stops them); they arrive through onTraceLine.
    HRESULT Trace(std::uint8_t level);

    // Ends the connection and joins the reader thread; waiting requests get kConnectionClosed.
    // Must not be called from a callback.
    void Close();
    bool IsConnected() const;

private:
    class Impl;
    explicit SocketClient(std::unique_ptr<Impl> impl);

    const std::unique_ptr<Impl> m_impl;
};

}  // namespace transport
PLATFORM_API_END
