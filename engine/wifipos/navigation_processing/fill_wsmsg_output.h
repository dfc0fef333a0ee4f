// Writing the final position into the output fields of a measurement
// message: the indoor solution (fillOutput) and the GPS fallback
// (fillGpsOutput). Both give floor metres and relative coordinates kept in
// 0..1, an output radius and the fused heading. No value that is not finite
// reaches an output field.
#pragma once

#include "server/wscan.h"
#include "wifipos/navigation_class/navigation.h"
#include "wifipos/navigation_class/solution_info.h"

class ClientNavigationState;

// 0, or 4 when there is no current floor or the solution has no finite
// position (nothing is written then).
int fillOutput(WScanMessage* message, const SolutionInfo& solution, Navigation& navigation,
               const ClientNavigationState* client);
// 0; 4 without a usable fix or when floor 0 has no GPS binding; -1 when the
// map has no floor.
int fillGpsOutput(WScanMessage* message, SolutionInfo& solution, const Navigation& navigation,
                  const ClientNavigationState* client);
