// The bucketing snapshot: the bins of one record read once without running Python code, its
// interval search and category index, and the check that it still holds.
#include "engines/bucketing_parts.hpp"

#include "binding/support.hpp"

#include <cmath>
#include <utility>
#include <vector>

namespace qv::bucketing {

namespace {

void add_bin(Snapshot &s, Bin b) {
    std::size_t index = s.bins.size();
    if (b.role == Role::Null && s.first_null < 0) s.first_null = (std::ptrdiff_t) index;
    if (is_fallback(b.role) && s.first_fallback < 0) s.first_fallback = (std::ptrdiff_t) index;
    if (b.role == Role::Regular && b.numerical) s.regular_numerical.push_back(index);
    if (b.role == Role::Regular && b.categorical) s.regular_categorical.push_back(index);
    s.bins.push_back(std::move(b));
}

/// Reads every bin from instance dicts only; false (with nothing run) at the first bin that would
/// need Python code: another class, a field missing from the dict or found only past a key that
/// is no exact str, a name that is no exact str.
bool read_bins_quietly(Snapshot &s) {
    const FieldNames &names = field_names();
    PyObject *list = Fields(nb::handle(s.bucketing)).peek_quietly(names.feature_bucketing);
    if (!list || !PyList_CheckExact(list)) return false;
    s.list = nb::borrow(list);
    s.bins.reserve((std::size_t) PyList_GET_SIZE(list));
    const Classes &c = classes();
    for (Py_ssize_t i = 0;; ++i) {
        nb::object record = list_item(s.list, i);
        if (!record.is_valid()) break;
        PyObject *type = reinterpret_cast<PyObject *>(Py_TYPE(record.ptr()));
        if (type != c.numerical && type != c.categorical) return false;
        Fields f(record);
        Bin b;
        PyObject *name = f.peek_quietly(names.name);
        if (!name || !PyUnicode_CheckExact(name)) return false;
        b.name = nb::borrow(name);
        b.role = role_of(name);
        PyObject *value = f.peek_quietly(names.value);
        if (!value) return false;
        b.value = nb::borrow(value);
        b.numerical = type == c.numerical;
        b.categorical = !b.numerical;
        if (b.role == Role::Regular && b.numerical) {
            PyObject *lower = f.peek_quietly(names.lower_bound);
            if (!lower) return false;
            b.lower = nb::borrow(lower);
            PyObject *upper = f.peek_quietly(names.upper_bound);
            if (!upper) return false;
            b.upper = nb::borrow(upper);
        }
        if (b.role == Role::Regular && b.categorical) {
            PyObject *categories = f.peek_quietly(names.categories);
            if (!categories) return false;
            b.categories = nb::borrow(categories);
        }
        // None held in the dict is immutable: the watched dict tells when it changes.
        if (b.role != Role::Regular && b.numerical &&
            f.peek_quietly(names.lower_bound) != Py_None &&
            f.peek_quietly(names.upper_bound) != Py_None)
            s.reserved_numerical_open = false;
        if (b.role != Role::Regular && b.categorical && f.peek_quietly(names.categories) != Py_None)
            s.reserved_categorical_empty = false;
        b.record = std::move(record);
        add_bin(s, std::move(b));
    }
    return true;
}

/// The binary-search table and the category index, where they give the linear scan's answers.
void build_indexes(Snapshot &s) {
    s.float_bounds = true;
    for (std::size_t index : s.regular_numerical) {
        const Bin &b = s.bins[index];
        if (!PyFloat_CheckExact(b.lower.ptr()) || !PyFloat_CheckExact(b.upper.ptr()))
            s.float_bounds = false;
    }

    // The interval search is the linear scan's equal only when no comparison can reach Python and
    // at most one interval can contain a value.
    bool searchable = s.float_bounds;
    if (searchable && !s.regular_numerical.empty()) {
        std::vector<double> lows, highs;
        lows.reserve(s.regular_numerical.size());
        highs.reserve(s.regular_numerical.size());
        for (std::size_t index : s.regular_numerical) {
            lows.push_back(PyFloat_AS_DOUBLE(s.bins[index].lower.ptr()));
            highs.push_back(PyFloat_AS_DOUBLE(s.bins[index].upper.ptr()));
        }
        searchable = intervals::ascending_and_disjoint(lows, highs);
        for (std::size_t k = 0; searchable && k < lows.size(); ++k) {
            if (!(lows[k] < highs[k])) continue;  // empty, or a NaN bound: never matches
            s.table.add(lows[k], highs[k]);
            s.sorted_bins.push_back(s.regular_numerical[k]);
        }
    }
    s.sorted = searchable;

    // Category table: exact strings compare in a dict as they do in a list. Without regular
    // categorical bins there is nothing to find (and no dict to make on every batch).
    if (s.regular_categorical.empty()) return;
    bool indexable = true;
    for (std::size_t index : s.regular_categorical) {
        PyObject *cats = s.bins[index].categories.ptr();
        if (!PyList_CheckExact(cats)) {
            indexable = false;
            break;
        }
        for (Py_ssize_t j = 0; j < PyList_GET_SIZE(cats); ++j)
            if (!PyUnicode_CheckExact(PyList_GET_ITEM(cats, j))) indexable = false;
        if (!indexable) break;
    }
    if (indexable) {
        nb::dict table;
        for (std::size_t index : s.regular_categorical) {
            Bin &b = s.bins[index];
            PyObject *cats = b.categories.ptr();
            nb::object position = nb::int_(index);
            for (Py_ssize_t j = 0; j < PyList_GET_SIZE(cats); ++j) {
                if (!PyDict_SetDefault(table.ptr(), PyList_GET_ITEM(cats, j), position.ptr()))
                    fail();
            }
            b.category_items = check(PyList_AsTuple(cats));  // for `current`
        }
        s.category_index = std::move(table);
    }
}

}  // namespace

Snapshot quiet_snapshot(nb::handle bucketing) {
    Snapshot s;
    s.bucketing = bucketing.ptr();
    if (!read_bins_quietly(s)) return Snapshot{};
    s.quiet = true;
    build_indexes(s);
    return s;
}

/// The bin's categories list still holds the items the category table was made of.
bool same_category_items(const Bin &b) {
    if (!b.category_items.is_valid()) return true;
    PyObject *cats = b.categories.ptr(), *items = b.category_items.ptr();
    Py_ssize_t size = PyTuple_GET_SIZE(items);
    if (PyList_GET_SIZE(cats) != size) return false;
    for (Py_ssize_t j = 0; j < size; ++j)
        if (PyList_GET_ITEM(cats, j) != PyTuple_GET_ITEM(items, j)) return false;
    return true;
}

bool current(const Snapshot &s) {
    if (!s.quiet) return false;
    const FieldNames &names = field_names();
    PyObject *list = Fields(nb::handle(s.bucketing)).peek_quietly(names.feature_bucketing);
    if (list != s.list.ptr()) return false;
    auto n = (Py_ssize_t) s.bins.size();
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (PyList_GET_SIZE(list) != n) return false;
        const Bin &b = s.bins[(std::size_t) i];
        PyObject *record = PyList_GET_ITEM(list, i);
        if (record != b.record.ptr()) return false;
        PyObject *type = reinterpret_cast<PyObject *>(Py_TYPE(record));
        if (type != (b.numerical ? classes().numerical : classes().categorical)) return false;
        Fields f(b.record);
        if (f.peek_quietly(names.name) != b.name.ptr() ||
            f.peek_quietly(names.value) != b.value.ptr())
            return false;
        if (b.lower.is_valid() && (f.peek_quietly(names.lower_bound) != b.lower.ptr() ||
                                   f.peek_quietly(names.upper_bound) != b.upper.ptr()))
            return false;
        if (b.categories.is_valid() && f.peek_quietly(names.categories) != b.categories.ptr())
            return false;
        if (!same_category_items(b)) return false;
    }
    return PyList_GET_SIZE(list) == n;
}

}  // namespace qv::bucketing
