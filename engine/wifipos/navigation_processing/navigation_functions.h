// The pieces of the positioning step that tie a client's positioning objects
// together: re-seeding everything on a floor change, the Gaussian-process
// correction of the particle weights, one pedometer step applied to the
// particle filter, one particle-filter update and the smoothing of the
// solution. Called by Navigate under the client's mutex.
#pragma once

#include <vector>

#include "wifipos/motion/smoothing.h"
#include "wifipos/navigation_class/solution_info.h"
#include "wifipos/sensor_value.h"

class ClientNavigationState;

void changeSublocation(ClientNavigationState* client, int& subIndex);
void executeGaussianProcesses(ClientNavigationState* client, bool& goodSignal);
void makeStep(ClientNavigationState* client, bool& stepDone);
void executeParticleFilter(ClientNavigationState* client, SolutionInfo& solution,
                           double& curTime);
// radiusBefore receives the radius as it was before smoothing.
void performSmoothing(Smoothing& smoothing, SolutionInfo& solution, const double& curTime,
                      double& radiusBefore);

// The strongest reading: scanning in list order, the choice changes only to a
// reading greater than it, so the first of equal readings wins. -1 for an
// empty list.
int StrongestBeaconIndex(const std::vector<BeaconMeas>& readings);
