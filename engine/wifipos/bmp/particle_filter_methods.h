// The particle filter of a navigation client: a cloud of weighted particles
// on the current floor. Pedestrian steps move the particles (with step-length
// and heading noise) and walls of the floor bitmap stop them; radio fixes or
// Gaussian-process weights re-weight them; systematic resampling keeps the
// cloud healthy. The weighted mean of the cloud is the filtered position and
// the circular mean of the headings the filtered heading.
//
// Headings are radians, 0 along +y of the floor and pi/2 along +x; stored
// headings lie in [-pi, pi). All random draws come from the filter's own
// seeded generator, so a run is reproducible.
#pragma once

#include <cstdint>
#include <cmath>
#include <vector>

#include "wifipos/gaussian_processes/particle.h"
#include "wifipos/navigation_class/solution_info.h"
#include "wifipos/navigation_map/bmp_state.h"
#include "wifipos/navigation_map/engine_behaviour.h"
#include "wifipos/navigation_map/navigation_settings.h"

class GaussianProcesses;

struct FilterProperties {
  double height = 0.0;                 // floor metres
  double width = 0.0;                  // floor metres
  double correctionNoise = 2.0;        // metres, scale of the radio-fix likelihood
  double resamplingNoise = 3.0;        // metres, spread of resampled particles
  double resamplingThreshold = 1000.0; // effective sample size below which to resample
  double stopAveragingTime = 4.0;      // seconds between filter runs while standing
  int nParticles = 1000;
  int nAroundPoint = 0;                // last particles a resampling draws around the anchor
  int nAdditionalParticles = 0;
  int algorithm = 107;                 // positioning method code
  int correctionsNumber = 0;           // extra GP correction rounds per radio fix
  int nRoundParticles = 0;             // first particles fanned over all headings
  int noisyResamplingTrigger = 0;      // one resampling in trigger + 1 is noisy
  bool useEstimatedAngle = false;
};

struct PredictionInfo {
  double stepLength = 0.0;       // metres, mean length of the next move
  double angleNoise = 0.0;       // degrees, heading noise per move
  double stepLengthNoise = 0.0;  // metres, step-length noise
  // rad added to every particle's heading for the next move only: a step
  // detected late goes along the heading of its own time.
  double headingOffset = 0.0;
};

struct Flags {
  bool step = false;        // a move happened since the last run
  bool goodSignal = false;  // a new radio fix or GP result arrived
};

class ParticleFilter {
 public:
  // The kit's weighing of radio evidence against the cloud, or the original
  // one: with the kit's, a step alone does not weigh the cloud against the
  // last fix again, a Gaussian-process result counts as several readings,
  // and a walker standing still is resampled with a small share of the
  // resampling noise; once steps move the cloud, a walker is resampled with
  // a smaller share still, but for one particle in twenty drawn with all of
  // it. Its moves also keep the cloud's mean advancing a whole step whatever
  // the heading noise.
  explicit ParticleFilter(const EngineBehaviour& behaviour);

  // Configuration.
  void setSublocationProperties(const SublocationNavProperties& props);
  void setFilterProperties(const CommonNavProperties& props);
  void setMotionParameters(const CommonNavProperties::Motion& motion);
  void setBmpState(const BmpState& bmp);
  // Takes x, y, filteredX, filteredY, radius and time; non-finite values are
  // refused (logged) and the previous ones kept.
  void setSolutionInfo(const SolutionInfo& solution);
  // A non-finite length or noise is refused (logged): the length becomes 0,
  // so the next move does nothing.
  void setPredictionInfo(double stepLength, double angleNoise);
  // For the next move only (see PredictionInfo); a non-finite offset is 0.
  void setStepHeadingOffset(double offset) { prediction_.headingOffset = std::isfinite(offset) ? offset : 0.0; }
  // How far (m on the floor) the walker has gone since the moment the radio
  // evidence stands for: the radio is weighed against the cloud moved back
  // by it. 0 by default.
  void setRadioLead(double dx, double dy);
  // Hands the particles, moved back by the radio lead, to the Gaussian
  // processes to weigh.
  void giveParticlesTo(GaussianProcesses& gp) const;
  void setResamplingParameters(const double& x, const double& y, const int& n);
  // NaN, infinite or negative entries become 0 (logged).
  // `severalReadings`: in the kit, the result counts as several readings
  // (not for a result known to be biased, which would pull the cloud off).
  void setNewWeights(const std::vector<double>& weights, bool severalReadings = true);
  void setStep() { flags_.step = true; }
  void setGoodSignalSolution() { flags_.goodSignal = true; }
  void checkStop(const double& time, const bool& isStop);
  // Dead reckoning: no radio fix is current, so a move is not re-weighted
  // against the last one; only the walls and the steps shape the cloud.
  void setDeadReckoning(bool on) { deadReckoning_ = on; }
  const EngineBehaviour& behaviour() const { return behaviour_; }
  // Whether the walker stands still (no step of late), for the kit's resampling.
  void setStanding(bool on) { standing_ = on; }
  void nulifyStopTime() { stopTime_ = 0.0; }

  // Operations.
  void initializeParticles();
  // Uniform restart over the walkable pixels of the floor. A floor without a
  // walkable pixel leaves every particle dead (logged); the search per
  // particle is bounded.
  void reinitializeParticles();
  // The kit's floor change: stairs and lifts keep the walker's place in the
  // plan, so the cloud of the floor left behind (`before`, one particle per
  // particle of this filter) goes on on this floor's bitmap; particles that
  // land in a wall are drawn again from the others. False, with the
  // particles untouched but for their count, when nothing of it can go on
  // (other count, no live particle where this floor is walkable).
  bool carryCloudOver(const std::vector<Particle>& before);
  void setAngleDistribution(double angle, double spreadDeg);
  void propogateHeadingAngle(double angle);
  void moveParticles();
  // 0, or 4 when the filter holds no particles.
  int executeFilter(GaussianProcesses& gp);
  // Without `againstFix` (or in dead reckoning) the weights are only renormalised.
  void updateWeights(bool againstFix = true);
  bool isResampling();
  void resampleParticles();
  void resampleAroundPoint(const double& x, const double& y, const double& radius);
  void getSolution();

  SolutionInfo getSolutionInfo() const { return solution_; }
  std::vector<Particle> getParticles() const { return particles_; }
  // Weighted mean of the live particles; false when none has weight.
  bool cloudMean(double* x, double* y) const;
  // Part of the interface, unused by the kit: whether every particle is dead.
  bool isManyOutlier() const;
  int getAddParticles();
  void checkOutlier(const unsigned& i, double& newX, double& newY);
  void getDistribution();
  void getInverseDistribution(std::vector<int>& idx);

  // Debug dump: writes the bitmap to "out.bmp" in the working directory
  // (part of the interface, for a developer's hand; nothing calls it).
  void printBMP();

  // Random generator.
  double nRand();
  void sRand(int seed);
  double generateGaussianNoise(double mean, double sigma);

  // Accessors.
  bool getIsStop() const { return isStop_; }
  const FilterProperties& getProperties() const { return properties_; }
  // Replaces the whole record; unusable values are mended as by the setters.
  void setProperties(const FilterProperties& properties);
  const BmpState& getBmpState() const { return bmp_; }
  const std::vector<double>& getNewWeights() const { return newWeights_; }
  void setParticles(const std::vector<Particle>& particles) { particles_ = particles; }

 private:
  void randomStep();
  void mendProperties();
  // The correction noise the kit weighs the current fix with (see kFixGate).
  double scatterFixSigma() const;
  // Takes the distance of a fix from the cloud into the learnt fix noise.
  void learnFixNoise(double fixX, double fixY);
  // Whether the kit resamples a cloud that steps move (see kWalkingNoiseShare).
  bool walkingResampling() const;

  bool isStop_ = false;
  bool deadReckoning_ = false;
  EngineBehaviour behaviour_;
  bool standing_ = false;
  bool movedBySteps_ = false;  // a step has moved the cloud since the filter was made
  FilterProperties properties_;
  SolutionInfo solution_;
  PredictionInfo prediction_;
  double radioLeadX_ = 0.0, radioLeadY_ = 0.0;
  double fixNoise_ = -1.0;  // the kit's learnt fix noise (m), -1: none yet
  BmpState bmp_;
  Flags flags_;
  std::vector<double> distribution_;
  std::vector<double> newWeights_;
  bool newWeightsAreSeveral_ = true;
  std::vector<Particle> particles_;
  double stopTime_ = 0.0;
  double lastHeading_ = 0.0;
  unsigned resampleCounter_ = 0;
  int64_t randomState_ = 0;
  // Scratch of resampling, kept between calls to spare allocations.
  std::vector<Particle> oldParticles_;
  std::vector<int> resampleIndex_;
};
