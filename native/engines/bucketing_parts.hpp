// Shared by the parts of the bucketing engine (the single-call scan, the snapshot, the kept
// snapshots): the bin classes, value conversions and tests, and the fallback log.
#pragma once

#include "engines/bucketing.hpp"

#include "binding/support.hpp"

namespace qv::bucketing {

/// The two bin classes, looked up once from the owning module (leaked on purpose: they live as
/// long as the process keeps the module).
struct Classes {
    PyObject *numerical = nullptr;
    PyObject *categorical = nullptr;
};

const Classes &classes();

nb::object result_value(nb::object value);
double to_float(nb::handle value);
bool compare(nb::handle a, nb::handle b, int op);
bool contains(nb::handle categories, nb::handle value);
void log_fallback(nb::handle bucketing, Role role, nb::handle shown_value);
nb::object bin_list(nb::handle bucketing);
void check_categorical_value(nb::handle value);
bool is_missing_category(nb::handle value);
nb::object float_object(double v);
bool same_category_items(const Bin &b);

/// The range test of one regular numerical bin: `lower < v`, and only then `v <= upper`, exact
/// floats compared in C, anything else through Python (with its errors). `v_obj` is made on demand.
/// `upper_of` reads the upper bound only when it is needed.
template <typename UpperOf>
bool in_range(nb::handle lower, UpperOf &&upper_of, double v, nb::object &v_obj) {
    auto number = [&]() -> nb::handle {
        if (!v_obj.is_valid()) v_obj = check(PyFloat_FromDouble(v));
        return v_obj;
    };
    if (PyFloat_CheckExact(lower.ptr())) {
        if (!(PyFloat_AS_DOUBLE(lower.ptr()) < v)) return false;
    } else if (!compare(lower, number(), Py_LT)) {
        return false;
    }
    nb::object upper = upper_of();
    if (PyFloat_CheckExact(upper.ptr())) return v <= PyFloat_AS_DOUBLE(upper.ptr());
    return compare(number(), upper, Py_LE);
}

}  // namespace qv::bucketing
