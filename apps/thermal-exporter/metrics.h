// What the exporter knows about the host and its sensors, and that knowledge in the Prometheus text
// exposition format (version 0.0.4), as /metrics serves it and --textfile writes it.
//
//   exporter::HostSnapshot snapshot;
//   snapshot.up = true;
//   snapshot.sensors.push_back({.id = "57E9...-0", .state = SENSOR_STATE_READY, ...});
//   std::string text = exporter::RenderMetrics(snapshot, "1.0.0");
//
// Thread safety: plain values; the function keeps no state.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace exporter {

struct Reading {
    double celsius = 0;
    double unixSeconds = 0;  // when the sensor took it

    bool operator==(const Reading&) const = default;
};

struct SensorSnapshot {
    std::string id;
    std::string manufacturer;
    std::string model;
    std::string serialNumber;
    std::optional<std::uint32_t> state;       // SensorState; nothing until the sensor said
    std::optional<std::uint32_t> radioState;  // 0 on, 1 off (the driver keeps values up to 6)
    std::optional<Reading> reading;           // the last one; nothing while there is none
    std::uint64_t readings = 0;               // data events with a temperature since the exporter started

    bool operator==(const SensorSnapshot&) const = default;
};

struct HostSnapshot {
    bool up = false;                      // the host answers
    std::vector<SensorSnapshot> sensors;  // empty while the host is down or has no device
    std::uint64_t eventsDropped = 0;      // since the exporter started, over every connection

    bool operator==(const HostSnapshot&) const = default;
};

// The label value of a sensor state ("ready", "not_available", ...), and every one of them in order.
std::string_view SensorStateLabel(std::uint32_t state);
inline constexpr std::uint32_t kSensorStateCount = 6;

// The shortest decimal that reads back as the same number ("25", "31.5", "1796000000.125"; 31.1f
// as "31.1", not "31.100000381").
std::string ShortestDecimal(double value);
std::string ShortestDecimal(float value);

// Every metric with its HELP and TYPE lines. A sensor's metrics that have no value are left out
// (the temperature and its timestamp without a reading, the states before the first, the radio
// state before it was read).
std::string RenderMetrics(const HostSnapshot& snapshot, std::string_view version);

}  // namespace exporter
