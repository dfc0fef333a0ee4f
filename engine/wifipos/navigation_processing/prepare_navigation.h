// Preprocessing of one measurement message before the positioning step looks
// at positions: radio entries become access points and sensor entries motion
// samples on the client's time base; the sensor presence, sensor fusion,
// pedometer, stop detection and motion state of the client are updated and
// the step outputs of the message written. Also the check that ends
// navigation after a long loss of signal, and the two converters from
// accumulated signals to beacon readings and to the dense signal vector of a
// floor.
#pragma once

#include <vector>

#include "server/wscan.h"
#include "wifipos/navigation_map/sublocation_map.h"
#include "wifipos/sensor_value.h"

class ClientNavigationState;
class Pedometer;

// Packet number of the newest message preprocessed by any client of the
// process, for diagnostics; 0 before the first. Safe from any thread.
int GetLastPacketNumber();

// The whole preprocessing of one message (the entries are sorted in place).
// Also records the message's packet number process-wide.
void preprocessSensorMeasurements(ClientNavigationState* client, WScanMessage* message,
                                  std::vector<AccessPoint>& accessPoints,
                                  const SensorTime& curTime);
// Wi-Fi (type 0) and beacon (type 2) entries with a negative rssi, sorted by
// key; everything else is dropped.
void wscanEntryToAccessPoint(const WScanMessage* message, std::vector<AccessPoint>& accessPoints,
                             int64_t timeBase);
// One sample per sensor entry, in entry order.
void wscanToSensorValue(WScanMessage* message, std::vector<SensorValue>& values, int64_t timeBase);
void updateFusion(ClientNavigationState* client, std::vector<SensorValue>& values);
void updatePedometer(Pedometer& pedometer, std::vector<SensorValue>& values);
// isStop: more than 1.5 s since the last step.
void detectIsStop(double now, double lastStepTime, bool& isStop);
// 0, or 4 when the last good signal solution is in the future or older than
// the dead-reckoning time (then navigation is re-initialised by the next step).
int checkConnectionTime(ClientNavigationState* client, const double& curTime);
void wscanAccessPointToBleSignals(const std::vector<AccessPoint>& accessPoints,
                                  std::vector<BeaconMeas>& beacons);
// One value per transmitter key of the floor: the rssi heard, or exactly 1.0
// for a key not heard. Empty for a null floor.
void wscanAccessPointToCurrentSignals(const std::vector<AccessPoint>& accessPoints,
                                      const SublocationMap* floor, std::vector<double>& signals);
