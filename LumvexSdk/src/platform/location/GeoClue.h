#pragma once

// Thread guarantees: a GeoClue source's request runs wholly on the thread that makes it, on a
// bus connection of its own, and calls nothing back; other threads reach it only through
// its `RequestWake`. The kind's functions, `useGeoClue` and `setGeoClueBusAddress` are safe
// from any thread.

#include "platform/location/LocationSourceKind.h"

#include <cstdint>
#include <string>

namespace lumvex::platform {

/// The GeoClue source: the kind every manager asks once `useGeoClue` chose it, and the one
/// the automatic choice takes where the bus offers GeoClue (asked for at most a second).
///
/// Each request runs on a connection of its own: creates a client for the desktop id,
/// starts it, takes the first location not older than the last one it delivered, stops the
/// client and hangs up. Nothing of it stays between requests, so GeoClue can power its
/// sources down and the calling thread sleeps until its next request.
const LocationSourceKind& geoClueSourceKind();

/// GeoClue's accuracy level for a desired accuracy in metres: the coarsest level that meets
/// it, and exact for the best there is (negative) or for no real need (over 1000 km).
std::uint32_t geoClueAccuracyLevel(double metres);

/// The bus to reach GeoClue on; empty means the system bus (DBUS_SYSTEM_BUS_ADDRESS or its
/// standard socket). Tests point it at a private bus.
void setGeoClueBusAddress(std::string address);

}  // namespace lumvex::platform
