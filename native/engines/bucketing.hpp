// Assigning a value to the bin of a FeatureBucketing record: the single-call scan and a snapshot
// of the bins for running many values through the same record.
//
// Both paths follow the same rules, in list order:
//   numerical:   None -> NaN, else float(value); NaN -> first bin named "1_null";
//                else first `AttributeBinNumerical` without a reserved name with
//                lower_bound < v <= upper_bound (lower tested first);
//   categorical: None or "nan" -> first bin named "1_null"; else first `AttributeBinCategorical`
//                without a reserved name whose `categories` contains the value;
//   then the first bin named "0_default", "0_system_default" or "0_defined_default": logged on the
//   module logger of feature_bucketing (warning, or debug for "0_defined_default"), its value
//   returned; else None without logging.
// Errors raised by conversions, comparisons, membership tests and the logger propagate unchanged.
//
// A batch over one record (the methods are specified as one call per value, so the fast path is
// valid only while the record's class still has the package's own method) answers from a
// snapshot of the bins what needs no Python code, and makes the single call for the rest:
//
//     std::shared_ptr<const qv::bucketing::Snapshot> s;
//     if (qv::bucketing::is_own_method(record, qv::bucketing::Which::Numeric))
//         s = qv::bucketing::shared_quiet_snapshot(record);
//     for (nb::handle v : values) {
//         PyObject *plain = s && PyFloat_CheckExact(v.ptr())
//                               ? qv::bucketing::numeric_plain(*s, PyFloat_AS_DOUBLE(v.ptr()))
//                               : nullptr;  // (NaN: null_plain)
//         out.append(plain ? nb::borrow(plain) : qv::bucketing::bin_numeric(record, v));
//         // after a single call (it may have run Python code): check `current(*s)`, the method
//     }
//
// Every function needs the GIL; the module `feature_bucketing` is imported on first use.
#pragma once

#include "kernels/interval_search.hpp"

#include <nanobind/nanobind.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace qv::bucketing {

namespace nb = nanobind;

/// Import path of the module that owns the bin classes and the logger.
inline constexpr const char *kModule =
    "quorvex_analytics_utils.predictive_models.feature_preparation.feature_bucketing";

/// The module `kModule`, imported on first use and kept for the process. Its `logger` attribute
/// is read on every log call, so that a replaced logger is used.
nb::handle owning_module();

/// What a bin's name makes of it.
enum class Role : unsigned char { Regular, Default, SystemDefault, DefinedDefault, Null };

/// The role of a bin name: exact `str` compared by bytes, anything else with Python's `==`.
Role role_of(nb::handle name);

/// True for the three fallback names.
inline bool is_fallback(Role r) {
    return r == Role::Default || r == Role::SystemDefault || r == Role::DefinedDefault;
}

/// Interned names of the record fields the engine reads (read through `qv::Fields`). Made once,
/// never released.
struct FieldNames {
    PyObject *name, *value, *lower_bound, *upper_bound;
    PyObject *categories;         ///< of a bin
    PyObject *attribute;          ///< of a FeatureBucketing or a registry entry
    PyObject *feature_bucketing;  ///< of a FeatureBucketing
    PyObject *binning;            ///< of a registry or a scorer watch
};
const FieldNames &field_names();

/// isinstance(record, AttributeBinNumerical) / isinstance(record, AttributeBinCategorical), without
/// a call into Python for instances of the two classes themselves.
bool is_numerical(nb::handle record);
bool is_categorical(nb::handle record);

/// Which bucketing method of `FeatureBucketing`.
enum class Which : unsigned char { Numeric, Categoric };

/// True while `type(bucketing).bin_numeric_attribute` (or `bin_categoric_attribute`) is still the
/// package's own function and the instance does not shadow it: only then may a batch run the scan
/// below instead of calling the method once per value.
bool is_own_method(nb::handle bucketing, Which which);

/// Takes the fallback events of the scans instead of the logger (the column calls count them and
/// log one event per call and bin). `shown_value` is what the message would show.
class FallbackSink {
public:
    virtual void hit(nb::handle bin, Role role, nb::handle shown_value) = 0;

protected:
    ~FallbackSink() = default;
};

/// `bucketing.bin_numeric_attribute(value)` / `bucketing.bin_categoric_attribute(value)`. The
/// answer comes from the record's kept snapshot (`shared_quiet_snapshot`) when that provably still
/// holds and the answer needs no Python code (a regular or null bin with a plain value); anything
/// else, fallbacks included, is one pass over the current bin list. `categoric` accepts exactly
/// `str` or None. With a sink, a fallback bin's event goes to the sink instead of the log.
nb::object bin_numeric(nb::handle bucketing, nb::handle value, FallbackSink *sink = nullptr);
nb::object bin_categoric(nb::handle bucketing, nb::handle value, FallbackSink *sink = nullptr);

/// One bin as it was when the snapshot was taken (strong references).
struct Bin {
    nb::object record;
    nb::object name;
    nb::object value;
    nb::object lower;           ///< numerical bins only
    nb::object upper;           ///< numerical bins only
    nb::object categories;      ///< categorical bins only
    nb::object category_items;  ///< a tuple of the categories list's items (see `current`)
    Role role = Role::Regular;
    bool numerical = false;    ///< isinstance(record, AttributeBinNumerical)
    bool categorical = false;  ///< isinstance(record, AttributeBinCategorical)
};

/// The bins of one FeatureBucketing, read once from instance dicts. Valid while the caller holds
/// it; a change to the record after the snapshot is not seen (`current` tells whether there was).
struct Snapshot {
    /// The record read, borrowed: whoever uses the snapshot holds the record (a kept snapshot goes
    /// when its record ends).
    PyObject *bucketing = nullptr;
    nb::object list;  ///< the bin list read
    std::vector<Bin> bins;
    /// Taken: every read came from instance dicts without running Python code (false: nothing else
    /// is set).
    bool quiet = false;
    /// Every regular numerical bin has exact float bounds: the linear scan runs no Python code.
    bool float_bounds = false;
    std::ptrdiff_t first_null = -1;                ///< first bin named "1_null"
    std::ptrdiff_t first_fallback = -1;            ///< first bin with a fallback name
    std::vector<std::size_t> regular_numerical;    ///< scan order of the numerical range test
    std::vector<std::size_t> regular_categorical;  ///< scan order of the membership test

    /// Interval search: set when every regular numerical bin has float bounds and the non-empty
    /// intervals come in ascending, disjoint order (then at most one bin can match).
    bool sorted = false;
    intervals::SortedIntervals table;
    std::vector<std::size_t> sorted_bins;  ///< index into `bins` of each searched interval

    /// Exact-str category -> index into `bins` of the first bin containing it; set when there are
    /// regular categorical bins and each holds a list of exact strings.
    nb::object category_index;

    /// The watch's look-up (bins with a reserved name take part there too, unless they lack
    /// bounds or categories) gives the same bins as the regular ones alone: every numerical (or
    /// categorical) bin with a reserved name holds None as a bound (or as its categories).
    bool reserved_numerical_open = true;
    bool reserved_categorical_empty = true;
};

/// The snapshot, when the record's list and every bin can be read without running Python code:
/// the list is the record's own exact list, every bin exactly one of the two bin classes with
/// its fields in its instance dict and an exact `str` name. Otherwise `quiet` is false and
/// nothing else is set (nothing has been read that could fail or run code).
Snapshot quiet_snapshot(nb::handle bucketing);

/// The quiet snapshot of `bucketing`, reused across calls while it provably still holds: the
/// record's dict and every bin's dict are watched (any change to them, or their end, marks every
/// cached snapshot stale), and the bin list, the bins' classes and dicts, and the categories lists
/// are compared by identity. Null when no quiet snapshot can be taken (then the next few calls for
/// the record do not try again). Up to a few hundred records are kept, the oldest dropped first. A
/// record is held by weak reference: when it ends, its kept snapshot goes with it, releasing the
/// bins and list that only the snapshot still held (an object without weak references is held
/// strongly until its entry is dropped).
std::shared_ptr<const Snapshot> shared_quiet_snapshot(nb::handle bucketing);

/// The plain bin value (exact float or None) the single call would return for the float `v` (or a
/// categorical value already checked to be an exact str or None), read from the record's kept
/// snapshot while it provably holds; empty when the call has to scan (no snapshot, no match, a
/// fallback, a value it would convert). Python code runs only while stale or old kept snapshots
/// are released, before anything of the record is read.
nb::object numeric_kept(nb::handle bucketing, double v);
nb::object categoric_kept(nb::handle bucketing, nb::handle value);

/// The scorer watch's look-up from the record's kept snapshot: the bin record a float `v` (or a
/// categorical value, an exact str or None) falls into, else the first fallback bin, else None, as
/// the watch's scan would find it; empty when the scan is needed. Never logs.
nb::object watch_numeric_kept(nb::handle bucketing, double v);
nb::object watch_categoric_kept(nb::handle bucketing, nb::handle value);

/// The entry of `owner.binning` whose `attribute` is the exact str `attribute`: the first one
/// (`last` false) or the last one, None when none is, from an index of the list kept while it
/// provably holds (the owner's and the entries' dicts watched, the list's items compared by
/// identity; the owner held by weak reference, as kept snapshots hold their records). Empty when
/// the list cannot be read without Python code (no exact list, an entry without an exact str
/// `attribute` in its dict): then the caller scans.
nb::object kept_entry(nb::handle owner, nb::handle attribute, bool last);

/// True while the record still holds what a quiet snapshot read: the same list object with the
/// same bins, each with the same class and field objects, categories lists with the same items.
/// Runs no Python code. A batch checks it after any step that may have run Python code.
bool current(const Snapshot &s);

/// A bin value a batch can hand out as it is: an exact float or None (the single calls convert
/// anything else); nullptr otherwise.
inline PyObject *plain_value(const nb::object &value) {
    PyObject *v = value.ptr();
    return (v == Py_None || PyFloat_CheckExact(v)) ? v : nullptr;
}

/// Index into `bins` of the first regular numerical bin that an exact float `v` (not NaN) falls
/// into, when that takes no Python code (interval search, or a linear scan over exact float
/// bounds); -1 when none does, -2 when it would take Python code.
inline std::ptrdiff_t numeric_index(const Snapshot &s, double v) {
    if (s.sorted) {
        std::size_t k = s.table.find(v);
        return k < s.table.size() ? (std::ptrdiff_t) s.sorted_bins[k] : -1;
    }
    if (!s.float_bounds) return -2;
    for (std::size_t index : s.regular_numerical) {
        const Bin &b = s.bins[index];
        if (PyFloat_AS_DOUBLE(b.lower.ptr()) < v && v <= PyFloat_AS_DOUBLE(b.upper.ptr()))
            return (std::ptrdiff_t) index;
    }
    return -1;
}

/// The value of the bin that an exact float `v` (not NaN) falls into, borrowed from the snapshot,
/// when that takes no Python code and the bin's value is plain; nullptr otherwise, including when
/// no bin matches. Inline: a batch calls it for every element.
inline PyObject *numeric_plain(const Snapshot &s, double v) {
    std::ptrdiff_t k = numeric_index(s, v);
    return k >= 0 ? plain_value(s.bins[(std::size_t) k].value) : nullptr;
}

/// The same for an exact str (not "nan") found in the category index.
inline PyObject *categoric_plain(const Snapshot &s, PyObject *text) {
    if (!s.category_index.is_valid()) return nullptr;
    // Exact str keys: the look-up runs no Python code and cannot fail.
    PyObject *position = PyDict_GetItemWithError(s.category_index.ptr(), text);
    if (!position) {
        PyErr_Clear();
        return nullptr;
    }
    std::size_t k = PyLong_AsSize_t(position);
    if (k == (std::size_t) -1 && PyErr_Occurred()) {
        PyErr_Clear();
        return nullptr;
    }
    return plain_value(s.bins[k].value);
}

/// The first null bin's value when it is plain; nullptr otherwise.
inline PyObject *null_plain(const Snapshot &s) {
    return s.first_null >= 0 ? plain_value(s.bins[(std::size_t) s.first_null].value) : nullptr;
}

}  // namespace qv::bucketing
