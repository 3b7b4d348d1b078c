#pragma once
// A long spectrum's points thinned evenly in log frequency: the searches
// that only need to find the right basin (the robust search's runs,
// identify's screen) work on such a subset, and the final fit on every point.
#include <cstddef>
#include <span>
#include <vector>

namespace korvex {

// Indices of the point nearest each of `count` evenly spaced values of
// log f, each point once, ascending in frequency, so that every decade keeps
// its share. Every index, in the given order, when there are no more than
// `count` points, `count` is below 2, or a frequency is not positive.
std::vector<std::size_t> log_spaced_points(std::span<const double> frequencies, std::size_t count);

}  // namespace korvex
