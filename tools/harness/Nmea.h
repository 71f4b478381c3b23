#pragma once

// Thread guarantees: plain functions of their arguments, safe from any thread. None touches
// the C library's time-zone state.

#include <chrono>
#include <string>
#include <utility>
#include <vector>

namespace lumvex::harness {

/// The epochs of a recorded NMEA log: runs of consecutive sentences that share one time of
/// day, each sentence ending in CR LF, in the order of the log. Sentences without a time of
/// day (GSA, GSV) belong to the epoch they follow. Empty when the file cannot be read.
std::vector<std::string> readNmeaEpochs(const std::string& path);

/// The latitude and longitude in degrees of the first GGA sentence of `nmea` that has a
/// position, else of the first such RMC sentence; NaN when there is none.
std::pair<double, double> positionOf(const std::string& nmea);

/// `nmea` (sentences ending in CR LF) with the time of day of its GGA and RMC sentences and
/// the date of its RMC sentences set to `when` in UTC, and every checksum made anew.
/// Receivers and the daemons behind them drop a fix older than the last one they saw, so a
/// recording replayed twice must carry the time of the replay.
std::string restamped(const std::string& nmea, std::chrono::system_clock::time_point when);

/// A moment as calendar date and time of day.
struct CivilTime {
    int year, month, day, hour, minute, second;
};

/// `seconds` since 1970 as a proleptic Gregorian date and time of day without any time
/// zone, by arithmetic alone. The C library's time functions share time-zone state whose
/// lock ThreadSanitizer does not see, and the library resets that state (tzset) on its own
/// thread, so the harness's threads and the demo's keep away from them.
CivilTime civilTime(long long seconds);

}  // namespace lumvex::harness
