#ifndef MARVISTO_WIFIPOS_NAVIGATION_CLASS_SIGMA_FILTER_H
#define MARVISTO_WIFIPOS_NAVIGATION_CLASS_SIGMA_FILTER_H

// Three-sigma outlier filter over a sliding time window, one per transmitter.
// A value is rejected when it lies more than three standard deviations from
// the mean of the values recorded within the window, or when the window does
// not yet span enough time to judge. Rejected values are recorded all the
// same, so a real change of level is accepted once the window has caught up.

#include <cmath>
#include <cstddef>
#include <vector>

#include "server/utils.h"
#include "wifipos/sensor_value.h"

namespace sigma_time {

inline double seconds(const SensorTime& t) { return t.getTimeInSeconds(); }

// a - b in seconds; a later b is logged by the subtraction and gives a.
inline double differenceSeconds(const SensorTime& a, const SensorTime& b) {
    return (a - b).getTimeInSeconds();
}

inline bool isZero(const SensorTime& t) { return t.sec == 0 && t.ms == 0; }

}  // namespace sigma_time

template <class T>
class SigmaFilter {
public:
    SigmaFilter()
        : minBordersTimeDif(SensorTime(0u, 0u)),
          mean(0),
          variance(0),
          minVariance(0),
          windowTimeSize(SensorTime(0u, 0u)) {}

    void setWindowTimeSize(const SensorTime& t) {
        if (sigma_time::isZero(t)) {
            MV_LOG(11, "WARNING: you set zero time interval at 3sigma filter\n");
        }
        windowTimeSize = t;
    }

    double getLastMeasTime() const {
        if (inputTimeLabel.empty()) {
            MV_LOG(11, "ERROR: can't get time. There is no any time labels\n");
            return 0.0;
        }
        return sigma_time::seconds(inputTimeLabel.back());
    }

    // Records value at time and tells whether it is an outlier. Values must
    // come in ascending time order; an older one is ignored (not recorded,
    // not rejected).
    void addToInput(const T& value, SensorTime time, bool& rejected) {
        rejected = false;
        if (sigma_time::isZero(windowTimeSize)) {
            MV_LOG(11,
                   "ERROR: firstly you should specify integer windows size or use overloaded "
                   "addToInput method\n");
            return;
        }
        if (!inputTimeLabel.empty() && time < inputTimeLabel.back()) {
            MV_LOG(11,
                   "Error: you should fill measurements in ascending time order. Previous meas "
                   "time = %lf. This measurement will be ignored\n",
                   sigma_time::seconds(inputTimeLabel.back()));
            return;
        }
        variance = calculateVariance();
        if (!inputTimeLabel.empty()) {
            // A pause widens the tolerance: the level may have moved meanwhile.
            variance += 5.0 * sigma_time::differenceSeconds(time, inputTimeLabel.back());
        }
        inputValues.push_back(value);
        inputTimeLabel.push_back(time);
        const double dev = std::fabs(static_cast<double>(value) - static_cast<double>(mean));
        const double sd = std::sqrt(static_cast<double>(variance));
        MV_LOG(13, "input - mean = %lf variance = %lf inputSize = %ld\n", dev, sd,
               static_cast<long>(inputValues.size()));
        const SensorTime span = getBordersTimeDif();
        if (span < minBordersTimeDif) {
            rejected = true;
        } else if (static_cast<double>(mean) != 0.0 && dev > 3.0 * sd) {
            rejected = true;
        }
        autoClearOldMeasurements();
    }

    // Variance of the values within the window of the last label (at least
    // minVariance once two values exist); also sets mean.
    double calculateVariance() {
        if (sigma_time::isZero(windowTimeSize)) {
            MV_LOG(11, "Filter window size is not specified. Set it via setWindowSize method\n");
        }
        mean = 0;
        if (inputValues.size() < 2) return 0.0;
        const std::size_t first = firstInWindow();
        const double v = calculateVarianceOnInterval(first, inputValues.size() - 1);
        return v > static_cast<double>(minVariance) ? v : static_cast<double>(minVariance);
    }

    // Time covered by the labels within the window of the last label.
    SensorTime getBordersTimeDif() {
        if (inputTimeLabel.empty()) return SensorTime(0u, 0u);
        return inputTimeLabel.back() - inputTimeLabel[firstInWindow()];
    }

    // Drops the older half of the history once it spans more than four
    // windows, so a filter's memory stays bounded.
    void autoClearOldMeasurements() {
        if (sigma_time::isZero(windowTimeSize)) {
            inputValues.clear();
            inputTimeLabel.clear();
            return;
        }
        if (inputTimeLabel.empty()) return;
        const double span =
            sigma_time::differenceSeconds(inputTimeLabel.back(), inputTimeLabel.front());
        if (span > 4.0 * sigma_time::seconds(windowTimeSize)) {
            if (inputValues.size() != inputTimeLabel.size()) {
                MV_LOG(11, "ERROR: sizes of inputValues and inputTimeLabel arrays are not equal\n");
                return;
            }
            const std::size_t half = inputValues.size() / 2;
            inputValues.erase(inputValues.begin(), inputValues.begin() + half);
            inputTimeLabel.erase(inputTimeLabel.begin(), inputTimeLabel.begin() + half);
        }
    }

    // Sample variance of the values first..last (inclusive); sets mean.
    double calculateVarianceOnInterval(std::size_t first, std::size_t last) {
        if (inputValues.size() != inputTimeLabel.size()) {
            MV_LOG(11, "ERROR: sizes of inputValues and inputTimeLabel arrays are not equal\n");
            return 0;
        }
        if (inputValues.empty() || first > last || last >= inputValues.size()) return 0;
        double sum = 0.0;
        double sumSq = 0.0;
        const std::size_t n = last - first + 1;
        for (std::size_t i = first; i <= last; ++i) {
            const double v = static_cast<double>(inputValues[i]);
            sum += v;
            sumSq += v * v;
        }
        mean = static_cast<T>(sum / n);
        if (n < 2) return 0;
        const double var = (sumSq - sum * sum / n) / (n - 1);
        // Rounding can push a constant series slightly below zero.
        return var > 0.0 ? var : 0.0;
    }

    SensorTime minBordersTimeDif;
    std::vector<T> inputValues;
    std::vector<SensorTime> inputTimeLabel;
    T mean;
    T variance;
    T minVariance;
    SensorTime windowTimeSize;

private:
    // Index of the earliest label whose distance to the last label is not
    // greater than the window.
    std::size_t firstInWindow() const {
        const std::size_t n = inputTimeLabel.size();
        if (n == 0) return 0;
        const SensorTime& last = inputTimeLabel.back();
        const double window = sigma_time::seconds(windowTimeSize);
        for (std::size_t i = 0; i < n; ++i) {
            if (last < inputTimeLabel[i]) continue;
            if (sigma_time::differenceSeconds(last, inputTimeLabel[i]) <= window) return i;
        }
        return n - 1;
    }
};

#endif
