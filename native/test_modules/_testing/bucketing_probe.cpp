// Test hooks into the bucketing snapshot that the list batch and the column calls read bins from:
// its look-ups (interval search or linear scan) for the tests to compare with the single calls,
// and the own-method check.
#include "binding/declare.hpp"
#include "binding/support.hpp"
#include "engines/bucketing.hpp"

#include <cmath>

namespace {

using namespace qv;

/// The quiet snapshot of `record`; ValueError when it cannot be read without running Python code.
bucketing::Snapshot taken(nb::handle record) {
    bucketing::Snapshot s = bucketing::quiet_snapshot(record);
    if (!s.quiet) throw nb::value_error("the bins cannot be read quietly");
    return s;
}

/// Per value, the snapshot's answer (a bin's plain value), or Ellipsis where it has none and a
/// batch would make the single call. Values: exact floats and None (numerical), exact str and
/// None (categorical); anything else gets Ellipsis.
nb::object lookup_impl(Args a) {
    nb::handle record = a[0], values = a[1], categorical = a[2], binary_search = a[3];
    bucketing::Snapshot s = taken(record);
    if (!nb::cast<bool>(binary_search)) s.sorted = false;  // the linear scan over the same bins
    bool texts = nb::cast<bool>(categorical);
    nb::list out;
    for (nb::handle value : values) {
        PyObject *v = value.ptr(), *answer = nullptr;
        if (v == Py_None) {
            answer = bucketing::null_plain(s);
        } else if (!texts && PyFloat_CheckExact(v)) {
            double x = PyFloat_AS_DOUBLE(v);
            answer = std::isnan(x) ? bucketing::null_plain(s) : bucketing::numeric_plain(s, x);
        } else if (texts && PyUnicode_CheckExact(v)) {
            answer = str_equals(value, "nan") ? bucketing::null_plain(s)
                                              : bucketing::categoric_plain(s, v);
        }
        out.append(answer ? nb::handle(answer) : nb::handle(Py_Ellipsis));
    }
    return out;
}

nb::object uses_binary_search_impl(Args a) {
    nb::handle record = a[0];
    return nb::bool_(taken(record).sorted);
}

nb::object is_own_method_impl(Args a) {
    nb::handle record = a[0], which = a[1];
    auto method =
        str_equals(which, "numeric") ? bucketing::Which::Numeric : bucketing::Which::Categoric;
    return nb::bool_(bucketing::is_own_method(record, method));
}

}  // namespace

NB_MODULE(bucketing_probe, m) {  // NOLINT(performance-unnecessary-value-param)
    qv::init_native_types();
    m.attr("lookup") =
        make_function(m, "",
                      {.name = "lookup",
                       .params = {{.name = "bucketing"},
                                  {.name = "values"},
                                  {.name = "categorical", .default_ = nb::bool_(false)},
                                  {.name = "binary_search", .default_ = nb::bool_(true)}}},
                      lookup_impl);
    m.attr("uses_binary_search") =
        make_function(m, "", {.name = "uses_binary_search", .params = {{.name = "bucketing"}}},
                      uses_binary_search_impl);
    m.attr("is_own_method") =
        make_function(m, "",
                      {.name = "is_own_method",
                       .params = {{.name = "bucketing"}, {.name = "which", .rule = Rule::Str}}},
                      is_own_method_impl);
}
