// Trained Gaussian-process hyperparameters of one transmitter of a floor.
#pragma once

#include <array>

// Slots of a GpParams record. Note that sf comes before sn.
enum GpParamSlot {
  GP_PARAM_MU = 0,    // constant term of the mean model, dBm
  GP_PARAM_A = 1,     // additive coefficient of the log-distance mean
  GP_PARAM_B = 2,     // slope of the log-distance mean (per ln of squared metres)
  GP_PARAM_X_AP = 3,  // transmitter x, metres
  GP_PARAM_Y_AP = 4,  // transmitter y, metres
  GP_PARAM_SF = 5,    // ln of the signal standard deviation; 0 marks "no parameters"
  GP_PARAM_SN = 6,    // ln of the noise standard deviation
  GP_PARAM_ELL = 7,   // ln of the length scale, metres
  GP_PARAM_COUNT = 8
};

// One record per entry of a floor's transmitter-key list, at the same
// position. A value-initialised record (all zeros) has no parameters.
using GpParams = std::array<double, GP_PARAM_COUNT>;
