#include "venuesim/gp_xml.h"

#include <algorithm>
#include <cmath>
#include <map>

#include "venuesim/propagation.h"
#include "venuesim/xml_text.h"

namespace venuesim {
namespace {

struct Sample {
  double t = 0.0;  // ln(d^2 + 1e-5)
  double y = 0.0;  // mean level of the histogram, dBm
};

double MeanLevel(const std::map<int, int>& histogram) {
  double sum = 0.0, n = 0.0;
  for (const auto& [level, count] : histogram) {
    sum += static_cast<double>(level) * count;
    n += count;
  }
  return n > 0 ? -sum / n : 0.0;
}

// A log-standard-deviation that is never read as "no parameters" (exactly 0).
double LogSpread(double sd) {
  const double v = std::log(std::max(sd, 0.5));
  return std::fabs(v) < 0.01 ? 0.01 : v;
}

GpRecord Fit(const VenueSpec& setup, int meanModel, const VenueBeacon& beacon, int floorsBetween,
             const std::vector<Sample>& samples) {
  GpRecord r;
  r.xAp = beacon.x;
  r.yAp = beacon.y;
  const double n = static_cast<double>(samples.size());
  double st = 0, sy = 0;
  for (const Sample& s : samples) {
    st += s.t;
    sy += s.y;
  }
  const double mt = n > 0 ? st / n : 0.0, my = n > 0 ? sy / n : 0.0;
  double stt = 0, sty = 0;
  for (const Sample& s : samples) {
    stt += (s.t - mt) * (s.t - mt);
    sty += (s.t - mt) * (s.y - my);
  }
  if (meanModel == kMeanConst) {
    r.mu = my;
  } else {
    // Too few or too clustered points: fall back on the beacon's own model.
    double slope = samples.size() >= 3 && stt > 1e-6 ? -sty / stt : 0.0;
    if (!(slope > 0.0)) slope = EngineSlope(beacon.B);
    r.B = slope;
    r.A = samples.size() >= 3 ? my + slope * mt : beacon.A - setup.floorLoss * floorsBetween;
  }
  double ss = 0;
  for (const Sample& s : samples) {
    const double pred = r.mu + r.A - r.B * s.t;
    ss += (s.y - pred) * (s.y - pred);
  }
  const double residual = samples.size() >= 3 ? std::sqrt(ss / (n - 1.0)) : setup.shadowSigma;
  const double samplesPerPoint = std::max(1.0, std::round(setup.surveySeconds * setup.scanRateHz));
  // The radio map holds means of whole-dBm readings: averaged noise plus rounding.
  const double noise = std::sqrt(setup.temporalSigma * setup.temporalSigma / samplesPerPoint + 1.0 / 12.0);
  r.sf = LogSpread(residual);
  r.sn = std::log(noise);
  r.ell = std::log(setup.shadowCell);
  r.xAp = RoundTo(r.xAp, 4);
  r.yAp = RoundTo(r.yAp, 4);
  r.mu = RoundTo(r.mu, 4);
  r.A = RoundTo(r.A, 4);
  r.B = RoundTo(r.B, 4);
  r.sf = RoundTo(r.sf, 4);
  r.sn = RoundTo(r.sn, 4);
  r.ell = RoundTo(r.ell, 4);
  return r;
}

}  // namespace

std::string GpModelElement(int meanModel) { return meanModel == kMeanConst ? "Const" : "LogDistance"; }

std::vector<std::pair<std::string, GpRecord>> GpRecordsForFloor(const Venue& venue, int floorIndex) {
  struct Source {
    const VenueBeacon* beacon = nullptr;
    int floor = 0;
    std::vector<Sample> samples;
  };
  std::map<std::string, Source> byKey;
  for (size_t f = 0; f < venue.floors.size(); ++f)
    for (const VenueBeacon& b : venue.floors[f].beacons) byKey[b.key()] = {&b, static_cast<int>(f), {}};
  for (const SurveyPoint& p : venue.floors.at(floorIndex).points) {
    for (const SurveyEntry& e : p.entries) {
      auto it = byKey.find(e.key);
      if (it == byKey.end() || e.histogram.empty()) continue;
      const double dx = it->second.beacon->x - p.x, dy = it->second.beacon->y - p.y;
      // Levels stop rising within half a metre; such points would otherwise pull the slope down.
      const double d2 = std::max(dx * dx + dy * dy, 0.25);
      it->second.samples.push_back({std::log(d2 + 1e-5), MeanLevel(e.histogram)});
    }
  }
  std::vector<std::pair<std::string, GpRecord>> records;
  for (const auto& [key, src] : byKey) {
    if (src.samples.empty()) continue;
    records.emplace_back(key, Fit(venue.setup, venue.setup.meanModel, *src.beacon, std::abs(src.floor - floorIndex),
                                  src.samples));
  }
  return records;
}

std::string GpXml(const Venue& venue) {
  tinyxml2::XMLDocument doc;
  tinyxml2::XMLElement* root = StartLocationDocument(doc, venue.setup.locationId);
  const std::string model = GpModelElement(venue.setup.meanModel);
  for (size_t f = 0; f < venue.floors.size(); ++f) {
    tinyxml2::XMLElement* sub = root->InsertNewChildElement("Sublocation");
    sub->SetAttribute("id", venue.floors[f].id);
    for (const auto& [key, r] : GpRecordsForFloor(venue, static_cast<int>(f))) {
      tinyxml2::XMLElement* ap = sub->InsertNewChildElement("AP");
      ap->SetAttribute("mac", key.c_str());
      tinyxml2::XMLElement* m = ap->InsertNewChildElement(model.c_str());
      m->SetAttribute("mu", FormatDouble(r.mu).c_str());
      m->SetAttribute("A", FormatDouble(r.A).c_str());
      m->SetAttribute("B", FormatDouble(r.B).c_str());
      m->SetAttribute("x_AP", FormatDouble(r.xAp).c_str());
      m->SetAttribute("y_AP", FormatDouble(r.yAp).c_str());
      m->SetAttribute("sn", FormatDouble(r.sn).c_str());
      m->SetAttribute("sf", FormatDouble(r.sf).c_str());
      m->SetAttribute("ell", FormatDouble(r.ell).c_str());
    }
  }
  return DocumentText(doc);
}

}  // namespace venuesim
