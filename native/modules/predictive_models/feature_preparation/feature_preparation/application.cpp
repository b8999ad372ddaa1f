// Applying the registry to input values: one value or a list of values through a binning (the
// package's own scan while the bins' methods are its own), and a value through a dummy encoding.
#include "feature_preparation.hpp"

#include "engines/bucketing.hpp"
#include "engines/columns.hpp"

#include <cmath>

namespace qv::preparation {

// ---- applying bucketing

Kind kind_of(nb::handle bucketing) {
    nb::object dtype = get(bucketing, names.attribute_data_type);
    if (equals(dtype, state.numerical)) return Kind::Numerical;
    if (equals(dtype, state.categorical)) return Kind::Categorical;
    return Kind::Other;
}

PyObject *method_name(Kind kind) {
    return kind == Kind::Numerical ? names.bin_numeric_attribute : names.bin_categoric_attribute;
}

[[noreturn]] void reraise_for(nb::python_error &e, nb::handle attribute) {
    nb::object prefix =
        steal_or_throw(PyUnicode_FromFormat("Binning attribute %U: ", attribute.ptr()));
    reraise_prefixed(e, prefix);
}

/// The bin value as a float: None stays None, floats are kept, other numbers are converted.
nb::object as_float(nb::object result) {
    if (result.is_none() || PyFloat_Check(result.ptr())) return result;
    if (PyUnicode_Check(result.ptr()) || PyBytes_Check(result.ptr()) ||
        PyByteArray_Check(result.ptr()))
        raise(PyExc_TypeError, "bin value must be a real number, not %s",
              Py_TYPE(result.ptr())->tp_name);
    return steal_or_throw(PyNumber_Float(result.ptr()));
}

/// True while `bucketing.<method>` resolves to the package's own function: neither a subclass,
/// nor a patch of the class, nor an instance attribute replaced it. Checked on every call, since
/// classes and records may change between calls.
bool own_method(nb::handle bucketing, Kind kind) {
    PyObject *own = kind == Kind::Numerical ? state.own_bin_numeric : state.own_bin_categoric;
    PyObject *name = method_name(kind);
    if (own == Py_None || _PyType_Lookup(Py_TYPE(bucketing.ptr()), name) != own) return false;
    return !in_instance_dict(bucketing, name);
}

/// `bucketing.bin_numeric_attribute(value)` (or categoric): the shared scan while the method is
/// the package's own, else a call of the subclassed or patched method.
nb::object bin_one(nb::handle bucketing, Kind kind, nb::handle value) {
    if (own_method(bucketing, kind))
        return kind == Kind::Numerical ? bucketing::bin_numeric(bucketing, value)
                                       : bucketing::bin_categoric(bucketing, value);
    return steal_or_throw(PyObject_CallMethodOneArg(bucketing.ptr(), method_name(kind), value.ptr()));
}

nb::object apply_feature_bucketing_impl(Args a) {
    nb::handle self = a[0], attribute = a[1], value = a[2];
    nb::object bucketing = lookup_bucketing(self, attribute);
    if (bucketing.is_none()) return nb::none();
    try {
        Kind kind = kind_of(bucketing);
        if (kind == Kind::Other) return nb::none();
        return as_float(bin_one(bucketing, kind, value));
    } catch (nb::python_error &e) {
        reraise_for(e, attribute);
    }
}

/// `[bin(value) for value in values]` over the live list: a callback that changes the list is
/// seen as a for loop would see it. `fast(item)` answers the common cases without calling into
/// Python (a borrowed bin value, or null to take `slow`, which gets a strong reference).
/// `after_slow()` runs once that reference is dropped (its finalizer is Python code, too).
template <typename Fast, typename Slow, typename AfterSlow>
nb::object bin_list(nb::handle values, Fast &&fast, Slow &&slow, AfterSlow &&after_slow) {
    PyObject *list = values.ptr();
    Py_ssize_t n = PyList_GET_SIZE(list);
    nb::object result = steal_or_throw(PyList_New(n));
    // Its slots are empty until filled, and `slow` runs Python code: hidden from the collector
    // meanwhile, so that gc.get_objects() and gc.get_referrers() cannot hand it to that code.
    PyObject_GC_UnTrack(result.ptr());
    Py_ssize_t i = 0;
    for (; i < PyList_GET_SIZE(list); ++i) {
        PyObject *item = PyList_GET_ITEM(list, i);
        PyObject *binned = fast(item);
        if (binned) {
            Py_INCREF(binned);
        } else {
            {
                nb::object value = nb::borrow(item);
                binned = slow(nb::handle(value)).release().ptr();
            }
            after_slow();
        }
        if (i < n) {
            PyList_SET_ITEM(result.ptr(), i, binned);
        } else {
            nb::object owned = nb::steal(binned);
            append(result, owned);
        }
    }
    if (i < n && PyList_SetSlice(result.ptr(), i, n, nullptr) < 0) throw nb::python_error();
    PyObject_GC_Track(result.ptr());
    return result;
}

/// The bin value of one element from the snapshot, borrowed, when the single call would give it
/// without running Python code: a number whose float() is a plain read (exact floats and ints,
/// numpy scalars, see columns::plain_float) or None for a numerical bucketing, an exact str or None for a categorical one. nullptr when
/// the element needs the call itself: another type, no bin found (the fallback logs), a bin value
/// the call would convert.
template <Kind kind> PyObject *plain_bin(const bucketing::Snapshot &s, PyObject *item) {
    if constexpr (kind == Kind::Numerical) {
        double v;
        if (PyFloat_CheckExact(item)) {
            v = PyFloat_AS_DOUBLE(item);
        } else if (item == Py_None) {
            return bucketing::null_plain(s);
        } else if (!columns::plain_float(item, v)) {  // numpy scalars, float subclasses
            return nullptr;  // the call converts it (or raises float()'s error)
        }
        return std::isnan(v) ? bucketing::null_plain(s) : bucketing::numeric_plain(s, v);
    }
    if (item == Py_None) return bucketing::null_plain(s);
    if (!PyUnicode_CheckExact(item)) return nullptr;
    if (str_equals(item, "nan")) return bucketing::null_plain(s);
    return bucketing::categoric_plain(s, item);
}

/// The batch: one call of the bucketing's method per element, as specified. While the method is
/// the package's own, elements whose answer needs no Python code are answered from a snapshot of
/// the bins taken without running any; every other element gets the call's own scan of the live
/// record. Such a call may run Python code (a conversion, a comparison, a log processor) that
/// changes the bins or replaces the method: after it, the snapshot is checked and taken again
/// when the record changed, and the method is checked again.
template <Kind kind> nb::object bin_batch(nb::handle bucketing, nb::handle values) {
    PyObject *name = method_name(kind);
    bool own = own_method(bucketing, kind);
    // Kept across calls while it provably holds (see shared_quiet_snapshot); none for no values.
    std::shared_ptr<const bucketing::Snapshot> s;
    if (own && PyList_GET_SIZE(values.ptr()) > 0) s = bucketing::shared_quiet_snapshot(bucketing);
    bool use_snapshot = s != nullptr;  // set while the method is our own and the snapshot current
    return bin_list(
        values,
        [&](PyObject *item) { return use_snapshot ? plain_bin<kind>(*s, item) : nullptr; },
        [&](nb::handle v) {
            if (!own)
                return steal_or_throw(PyObject_CallMethodOneArg(bucketing.ptr(), name, v.ptr()));
            return kind == Kind::Numerical ? bucketing::bin_numeric(bucketing, v)
                                           : bucketing::bin_categoric(bucketing, v);
        },
        [&] {
            if (own && !own_method(bucketing, kind)) own = false;
            if (own && s && !bucketing::current(*s)) {
                s.reset();  // released first: that may run Python code (finalizers)
                s = bucketing::shared_quiet_snapshot(bucketing);
            }
            use_snapshot = own && s != nullptr;
        });
}

nb::object apply_feature_bucketing_batch_impl(Args a) {
    nb::handle self = a[0], attribute = a[1], values = a[2];
    nb::object bucketing = lookup_bucketing(self, attribute);
    if (bucketing.is_none()) return nb::none();
    try {
        Kind kind = kind_of(bucketing);
        if (kind == Kind::Other) return nb::borrow(values);
        return kind == Kind::Numerical ? bin_batch<Kind::Numerical>(bucketing, values)
                                       : bin_batch<Kind::Categorical>(bucketing, values);
    } catch (nb::python_error &e) {
        reraise_for(e, attribute);
    }
}

// ---- dummy encoding

nb::object find_encoding(nb::handle self, nb::handle attribute) {
    nb::object encoding;
    each(get(self, names.dummy_encoding), [&](nb::handle entry) {
        if (!equals(get(entry, names.attribute), attribute)) return false;
        encoding = get(entry, names.encoding);
        return true;
    });
    if (!encoding.is_valid()) {
        nb::object text =
            steal_or_throw(PyUnicode_FromFormat("No dummy encoding for %U was found.", attribute.ptr()));
        log(state.module, "warning", text);
    }
    return encoding;
}

nb::object apply_dummy_encoding_impl(Args a) {
    nb::handle self = a[0], attribute = a[1], value = a[2];
    nb::object encoding = find_encoding(self, attribute);
    if (!encoding.is_valid()) return nb::none();
    nb::object result = steal_or_throw(PyDict_New());
    nb::object zero = nb::int_(0), one = nb::int_(1);
    bool found = false;
    nb::object default_name = nb::none();
    each(encoding, [&](nb::handle item) {
        Fields fields(item);
        nb::object feature = fields[names.encoded_feature_name];
        nb::object item_value = fields[names.value];
        if (truthy(fields[names.use_for_undefined])) default_name = feature;
        if (equals(value, item_value)) {
            if (PyDict_SetItem(result.ptr(), feature.ptr(), one.ptr()) < 0)
                throw nb::python_error();
            found = true;
        } else {
            // A feature already set to 1 by an earlier item of the same name keeps its 1.
            PyObject *kept = nullptr;
            if (PyDict_SetDefaultRef(result.ptr(), feature.ptr(), zero.ptr(), &kept) < 0)
                throw nb::python_error();
            Py_XDECREF(kept);
        }
        return false;
    });
    if (!found) {
        if (!default_name.is_none() && truthy(default_name)) {
            if (PyDict_SetItem(result.ptr(), default_name.ptr(), one.ptr()) < 0)
                throw nb::python_error();
            nb::object text = steal_or_throw(PyUnicode_FromFormat(
                "Dummy encoding for value '%S' of attribute '%U' is not defined. Default value "
                "'%S' was assigned with 1.",
                value.ptr(), attribute.ptr(), default_name.ptr()));
            log(state.module, "info", text);
        } else {
            nb::object text = steal_or_throw(PyUnicode_FromFormat(
                "Dummy encoding for value '%S' of attribute '%U' is not defined and no default "
                "value was assigned. All dummies for given attribute are assigned with 0.",
                value.ptr(), attribute.ptr()));
            log(state.module, "warning", text);
        }
    }
    return result;
}

}  // namespace qv::preparation
