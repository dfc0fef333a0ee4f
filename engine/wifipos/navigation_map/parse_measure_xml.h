// Reading the radio map (measure.xml) into a loaded map's floors, for
// NavigationMap::parseSignalsMapXML and for tests that compare the two ways
// of reading: piece by piece while the member is inflated, falling back to
// one whole document wherever the text is not plain, or always whole. Both
// give the same floors and the same result code.
#pragma once

#include <cstddef>

class NavigationMap;

enum class MeasureReading { kPiecewiseWherePossible, kWholeDocument };

// parseSignalsMapXML's result; *piecewise (when given) tells whether the
// piecewise reading was the one that counted. chunkBytes: how much is
// inflated at a time (0: the default; small values cut the text in many places).
int ReadSignalsMap(NavigationMap& map, MeasureReading how, bool* piecewise = nullptr,
                   size_t chunkBytes = 0);
