#pragma once

// Thread guarantees: as GpsdProcess. `feed` and its kin open a client of their own each
// time, so they may run on any thread, but only one at a time writes into a receiver.

#include "FakeReceiver.h"
#include "GpsdProcess.h"
#include "Nmea.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <functional>
#include <string>

namespace lumvex::test {

using harness::FakeReceiver;
using harness::freeTcpPort;
using harness::positionOf;
using harness::readNmeaEpochs;

/// A gpsd of the test's own (see GpsdProcess), and what it takes to know that it has read
/// what a receiver said.
class Gpsd : public harness::GpsdProcess {
public:
    using GpsdProcess::GpsdProcess;

    /// Writes `nmea` into `receiver` and waits until gpsd reports, for that device, a TPV for
    /// which `reported` holds. Returns whether it did in time.
    bool feed(FakeReceiver& receiver, const std::string& nmea,
              const std::function<bool(const nlohmann::json& tpv)>& reported,
              std::chrono::milliseconds timeout = std::chrono::seconds(10));
    /// `feed`, waiting for a fix at (latitude, longitude).
    bool feedFix(FakeReceiver& receiver, const std::string& nmea, double latitude, double longitude);
    /// `feed` of the recorded receiver that has no fix yet (fixtures/nmea/nofix.nmea), waiting
    /// until gpsd reports it without one.
    bool feedNoFix(FakeReceiver& receiver);
};

}  // namespace lumvex::test
