/// @file
/// The SDK's error domain as hosts include it beside the facade. The table of every code a
/// host meets (where it arrives, what it means, what to do) and the one way to make an
/// error in the domain live below the coordinator (Foundation/marvisto_error.h), where the
/// managers that raise them reach them too.
#pragma once

#include "Foundation/marvisto_error.h"
