// Delaunay triangle mesh over a floor's reference points.
#pragma once

// Triangulates numPoints points and returns the triangles as a flat list of
// 0-based input positions, three per triangle.
//
// points: numPoints points of `dimension` coordinates each, one after the
// other; 32-bit signed integers when multUp is 0, 32-bit floats otherwise
// (a float coordinate c is used as floor(c * multUp + 0.5), the product taken
// in single precision).
// dimension: only 2 is triangulated; any other value gives an empty list and a
// log line.
// direction: 0 keeps the vertex order as built (counter-clockwise in the
// input's x/y frame); a negative value writes every triangle counter-clockwise,
// a positive one clockwise.
//
// The result is allocated with malloc, owned by the caller (release with free)
// and has room for 9 * numPoints + 1 indexes; *numIndexes receives the number
// written. Input that has no triangulation (fewer than three distinct points,
// all points on one line) yields a valid list with *numIndexes == 0. Only a
// null numIndexes, a negative count or null points with a positive count give
// a null result (with *numIndexes set to 0 when it can be).
//
// Duplicate points are used once (their first occurrence). Coordinates must be
// finite with magnitude at most 2^52 after the conversion, otherwise the
// result is empty. Each call keeps its working state to itself, so calls on
// different threads may run at the same time.
int* BuildTriangleIndexList(void* points, float multUp, int numPoints, int dimension,
                            int direction, int* numIndexes);
