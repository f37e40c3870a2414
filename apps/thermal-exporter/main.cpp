// thermal-exporter: the thermal sensor's readings for Prometheus (see --help and docs/monitoring.md).
#include <httplib.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

#include "client/exit_codes.h"
#include "common/signal_watch.h"
#include "thermal-exporter/exporter_options.h"
#include "thermal-exporter/host_follower.h"
#include "thermal-exporter/metrics.h"
#include "thermal-exporter/textfile.h"

namespace {

constexpr const char* kContentType = "text/plain; version=0.0.4; charset=utf-8";

// Serves each connection on the thread that accepted it. A scrape is answered from memory in well
// under a millisecond, so one at a time keeps up, and the process needs no worker threads.
class ServeInPlace : public httplib::TaskQueue {
public:
    void enqueue(std::function<void()> serve) override { serve(); }
    void shutdown() override {}
};

// Writes the file on every change until a signal comes. The first write must succeed: a path that
// cannot be written is a mistake to report at once.
int RunTextfile(const exporter::ExporterOptions& options, apps::SignalWatch& signals)
{
    if (const std::string why =
            exporter::WriteFileAtomically(options.textfile, exporter::RenderMetrics({}, THERMAL_EXPORTER_VERSION));
        !why.empty()) {
        std::fprintf(stderr, "thermal-exporter: --textfile: %s\n", why.c_str());
        return client::kExitFailed;
    }
    std::string lastFailure;  // printed once until the writes succeed again
    exporter::HostFollower follower(
        options.socketPath, !options.socketGiven, signals, [&](const exporter::HostSnapshot& snapshot) {
            const std::string why = exporter::WriteFileAtomically(
                options.textfile, exporter::RenderMetrics(snapshot, THERMAL_EXPORTER_VERSION));
            if (!why.empty() && why != lastFailure)
                std::fprintf(stderr, "thermal-exporter: --textfile: %s\n", why.c_str());
            lastFailure = why;
        });
    std::printf("thermal-exporter: writing metrics to %s\n", options.textfile.c_str());
    std::fflush(stdout);
    follower.Run();
    return client::kExitOk;
}

int RunServer(const exporter::ExporterOptions& options, apps::SignalWatch& signals)
{
    exporter::HostFollower follower(options.socketPath, !options.socketGiven, signals, nullptr);
    httplib::Server server;
    server.new_task_queue = [] { return new ServeInPlace; };
    // A connection is closed after its answer, so that a scraper that keeps it open does not hold
    // up the next; and a client that sends nothing is given up after a second.
    server.set_keep_alive_max_count(1);
    server.set_read_timeout(1);
    // The headers and the body go out in two writes: without this, the second waits for the
    // scraper's delayed acknowledgement of the first (some 40 ms).
    server.set_tcp_nodelay(true);
    server.Get("/metrics", [&follower](const httplib::Request&, httplib::Response& response) {
        response.set_content(exporter::RenderMetrics(follower.Snapshot(), THERMAL_EXPORTER_VERSION), kContentType);
    });
    server.Get("/", [](const httplib::Request&, httplib::Response& response) {
        response.set_content("thermal-exporter: the metrics are on /metrics\n", "text/plain; charset=utf-8");
    });

    const std::string& host = options.listen.host;
    int port = options.listen.port;
    const bool bound = port == 0 ? (port = server.bind_to_any_port(host)) > 0 : server.bind_to_port(host, port);
    if (!bound) {
        std::fprintf(stderr,
                     "thermal-exporter: cannot listen on %s:%d (the address is not this machine's, or another program "
                     "uses the port); give another with --listen ADDRESS:PORT\n",
                     host.c_str(), options.listen.port);
        return client::kExitFailed;
    }
    const bool v6 = host.find(':') != std::string::npos;
    std::printf("thermal-exporter: serving metrics on http://%s%s%s:%d/metrics\n", v6 ? "[" : "", host.c_str(),
                v6 ? "]" : "", port);
    std::fflush(stdout);

    std::atomic<bool> ended{false};
    // The follower runs until a signal comes, and then stops the server.
    std::thread following([&follower, &server, &ended] {
        follower.Run();
        // A stop asked for before the server runs does nothing: ask until it has ended.
        while (!ended) {
            server.stop();
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    });
    const bool served = server.listen_after_bind();
    ended = true;
    // A server that ended on its own still needs the follower to stop: as a signal would.
    if (signals.Received() == 0) ::kill(::getpid(), SIGTERM);
    following.join();
    if (!served && signals.Received() == 0) {
        std::fprintf(stderr, "thermal-exporter: serving HTTP failed\n");
        return client::kExitFailed;
    }
    return client::kExitOk;
}

}  // namespace

int main(int argc, char** argv)
{
    apps::SignalWatch signals;  // before any other thread, so that every thread inherits the block
    exporter::ExporterOptions options;
    if (const auto exitCode = exporter::ParseExporterOptions(argc, argv, &options)) return *exitCode;
    return options.textfile.empty() ? RunServer(options, signals) : RunTextfile(options, signals);
}
