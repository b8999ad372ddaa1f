// Test hook into the interval search kernel: every search of a table of intervals, so that the
// tests can compare them with a linear scan of the intervals.
#include "binding/declare.hpp"
#include "binding/support.hpp"
#include "kernels/interval_search.hpp"

#include <vector>

namespace {

using namespace qv;

/// [(counting, binary, branching, first-interval)] for each value over the intervals (low, high].
nb::object find_all_impl(Args a) {
    nb::handle intervals = a[0], values = a[1];
    intervals::SortedIntervals sorted;
    intervals::FirstInterval first;
    std::vector<double> lows, highs;
    for (nb::handle pair : intervals) {
        lows.push_back(nb::cast<double>(pair[0]));
        highs.push_back(nb::cast<double>(pair[1]));
        first.add(lows.back(), highs.back());
    }
    bool ascending = intervals::ascending_and_disjoint(lows, highs);
    for (std::size_t k = 0; ascending && k < lows.size(); ++k)
        if (lows[k] < highs[k]) sorted.add(lows[k], highs[k]);
    nb::list out;
    for (nb::handle value : values) {
        double v = nb::cast<double>(value);
        if (ascending)
            out.append(
                nb::make_tuple(sorted.find_counting(v), sorted.find_binary(v), first.find(v)));
        else
            out.append(nb::make_tuple(first.find(v)));
    }
    return nb::make_tuple(nb::bool_(ascending), out);
}

}  // namespace

NB_MODULE(interval_probe, m) {  // NOLINT(performance-unnecessary-value-param)
    qv::init_native_types();
    m.attr("find_all") = make_function(
        m, "", {.name = "find_all", .params = {{.name = "intervals"}, {.name = "values"}}},
        find_all_impl);
}
