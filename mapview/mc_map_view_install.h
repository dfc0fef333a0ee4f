// Hands the map view to the SDK below it: the shared floor renderer becomes
// the one coordinators made from the shared managers are given, and every
// `MCLocation::viewController()` makes a new map screen over that location
// (reading the shared navigation manager). A host that shows maps calls this
// once at start-up, before it makes the coordinator.
#pragma once

void MCMapViewInstall();
