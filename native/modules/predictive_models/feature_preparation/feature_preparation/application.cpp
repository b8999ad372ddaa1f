// Applying the registry to input values: one value or a list of values through a binning (the
// package's own scan while the bins' methods are its own), and a value through a dummy encoding.
#include "feature_preparation.hpp"

#include "engines/bucketing.hpp"
#include "engines/columns.hpp"

#include <cmath>
#include <cstdint>
#include <vector>

namespace qv::preparation {

// ---- applying bucketing

Kind kind_of(nb::handle bucketing) {
    nb::object dtype = field(bucketing, names.attribute_data_type);
    if (equals_by_eq(dtype, state.numerical)) return Kind::Numerical;
    if (equals_by_eq(dtype, state.categorical)) return Kind::Categorical;
    return Kind::Other;
}

PyObject *method_name(Kind kind) {
    return kind == Kind::Numerical ? names.bin_numeric_attribute : names.bin_categoric_attribute;
}

[[noreturn]] void reraise_for(nb::python_error &e, nb::handle attribute) {
    nb::object prefix = check(PyUnicode_FromFormat("Binning attribute %U: ", attribute.ptr()));
    reraise_prefixed(e, prefix);
}

/// The bin value as a float: None stays None, floats are kept, other numbers are converted.
nb::object as_float(nb::object result) {
    if (result.is_none() || PyFloat_Check(result.ptr())) return result;
    if (PyUnicode_Check(result.ptr()) || PyBytes_Check(result.ptr()) ||
        PyByteArray_Check(result.ptr()))
        raise(PyExc_TypeError, "bin value must be a real number, not %s",
              Py_TYPE(result.ptr())->tp_name);
    return check(PyNumber_Float(result.ptr()));
}

/// True while `bucketing.<method>` resolves to the package's own function: neither a subclass,
/// nor a patch of the class, nor an instance attribute replaced it. Checked on every call, since
/// classes and records may change between calls.
bool own_method(nb::handle bucketing, Kind kind) {
    PyObject *own = kind == Kind::Numerical ? state.own_bin_numeric : state.own_bin_categoric;
    return is_own_method(bucketing, method_name(kind), own);
}

/// `bucketing.bin_numeric_attribute(value)` (or categoric): the shared scan while the method is
/// the package's own, else a call of the subclassed or patched method.
nb::object bin_one(nb::handle bucketing, Kind kind, nb::handle value) {
    if (own_method(bucketing, kind))
        return kind == Kind::Numerical ? bucketing::bin_numeric(bucketing, value)
                                       : bucketing::bin_categoric(bucketing, value);
    return check(PyObject_CallMethodOneArg(bucketing.ptr(), method_name(kind), value.ptr()));
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
    nb::object result = check(PyList_New(n));
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
    if (i < n && PyList_SetSlice(result.ptr(), i, n, nullptr) < 0) fail();
    PyObject_GC_Track(result.ptr());
    return result;
}

/// The bin value of one element from the snapshot, borrowed, when the single call would give it
/// without running Python code: a number whose float() is a plain read (exact floats and ints,
/// numpy scalars, see columns::plain_float) or None for a numerical bucketing, an exact str or None
/// for a categorical one. nullptr when the element needs the call itself: another type, no bin
/// found (the fallback logs), a bin value the call would convert.
template <Kind kind>
PyObject *plain_bin(const bucketing::Snapshot &s, PyObject *item) {
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
template <Kind kind>
nb::object bin_batch(nb::handle bucketing, nb::handle values) {
    PyObject *name = method_name(kind);
    bool own = own_method(bucketing, kind);
    // Kept across calls while it provably holds (see shared_quiet_snapshot); none for no values.
    std::shared_ptr<const bucketing::Snapshot> s;
    if (own && PyList_GET_SIZE(values.ptr()) > 0) s = bucketing::shared_quiet_snapshot(bucketing);
    bool use_snapshot = s != nullptr;  // set while the method is our own and the snapshot current
    return bin_list(
        values, [&](PyObject *item) { return use_snapshot ? plain_bin<kind>(*s, item) : nullptr; },
        [&](nb::handle v) {
            if (!own) return check(PyObject_CallMethodOneArg(bucketing.ptr(), name, v.ptr()));
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
    for_each(field(self, names.dummy_encoding), [&](nb::handle entry) {
        Fields fields(entry);
        // Two exact texts compare without a call; anything else as the host compares it.
        PyObject *own = fields.peek(names.attribute);
        bool match = own && PyUnicode_CheckExact(own) && PyUnicode_CheckExact(attribute.ptr())
                         ? same_text(own, attribute.ptr())
                         : equals_by_eq(fields[names.attribute], attribute);
        if (!match) return false;
        encoding = fields[names.encoding];
        return true;
    });
    if (!encoding.is_valid()) {
        log_event(state.module, "warning", true, [&] {
            return check(
                PyUnicode_FromFormat("No dummy encoding for %U was found.", attribute.ptr()));
        });
    }
    return encoding;
}

/// The features of one encoding, all 0, in the order its items first name them: the start of every
/// result of that encoding. Kept for the encoding list it was made from while its items still name
/// the very same feature objects in the same order (checked on every call, so a stale template is
/// only ever rebuilt, never used).
struct DummyTemplate {
    PyObject *list = nullptr;   ///< the encoding list; compared only, never dereferenced
    PyObject *names = nullptr;  ///< tuple of each item's feature name, in item order
    PyObject *zeros = nullptr;  ///< dict: feature name -> 0
};
constexpr std::size_t kDummyTemplates = 16;
DummyTemplate dummy_templates[kDummyTemplates];

/// One encoding applied to a value, as far as it can be read in one pass in which no Python code
/// runs: an exact list of items whose feature names are exact str, whose flags are exact bools and
/// whose values, like the value encoded, compare without Python code. `result` is empty otherwise.
struct PlainEncoding {
    nb::object result;
    nb::object default_name = nb::none();
    bool found = false;
};

PlainEncoding encode_plainly(nb::handle encoding, nb::handle value) {
    PlainEncoding out;
    PyObject *list = encoding.ptr();
    if (!PyList_CheckExact(list) || !formats_without_python(value)) return out;
    Py_ssize_t n = PyList_GET_SIZE(list);
    // The feature names read (borrowed: no Python code runs until the result is made, and the
    // list holds the items, whose dicts hold the names) and whether each item matched.
    constexpr Py_ssize_t kInline = 32;
    PyObject *inline_features[kInline];
    unsigned char inline_matched[kInline];
    std::vector<PyObject *> many_features;
    std::vector<unsigned char> many_matched;
    PyObject **features = inline_features;
    unsigned char *matched = inline_matched;
    if (n > kInline) {
        many_features.resize((std::size_t) n);
        many_matched.resize((std::size_t) n);
        features = many_features.data();
        matched = many_matched.data();
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        Fields fields(PyList_GET_ITEM(list, i));
        PyObject *feature = fields.peek_quietly(names.encoded_feature_name);
        PyObject *item_value = fields.peek_quietly(names.value);
        PyObject *flag = fields.peek_quietly(names.use_for_undefined);
        if (!feature || !item_value || !PyUnicode_CheckExact(feature) ||
            !formats_without_python(item_value) || (flag != Py_True && flag != Py_False))
            return out;
        if (flag == Py_True) out.default_name = nb::borrow(feature);
        features[i] = feature;
        if (PyUnicode_CheckExact(value.ptr()) && PyUnicode_CheckExact(item_value)) {
            matched[i] = same_text(value.ptr(), item_value);
        } else {
            // `==` of two exact built-in scalars (never Python code); no identity shortcut (NaN).
            PyObject *eq = PyObject_RichCompare(value.ptr(), item_value, Py_EQ);
            if (!eq) fail();
            matched[i] = eq == Py_True;
            Py_DECREF(eq);
        }
    }
    DummyTemplate &t =
        dummy_templates[(reinterpret_cast<std::uintptr_t>(list) >> 4) % kDummyTemplates];
    bool same = t.list == list && PyTuple_GET_SIZE(t.names) == n;
    for (Py_ssize_t i = 0; same && i < n; ++i) same = PyTuple_GET_ITEM(t.names, i) == features[i];
    if (!same) {
        nb::object zero = nb::int_(0);
        nb::object zeros = check(PyDict_New());
        nb::object tuple = check(PyTuple_New(n));
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject *feature = features[i];
            PyObject *kept = nullptr;
            check(PyDict_SetDefaultRef(zeros.ptr(), feature, zero.ptr(), &kept));
            Py_XDECREF(kept);
            PyTuple_SET_ITEM(tuple.ptr(), i, Py_NewRef(feature));
        }
        PyObject *old_names = t.names, *old_zeros = t.zeros;
        t = DummyTemplate{list, tuple.release().ptr(), zeros.release().ptr()};
        Py_XDECREF(old_names);
        Py_XDECREF(old_zeros);
    }
    nb::object result = check(PyDict_Copy(t.zeros));
    nb::object one = nb::int_(1);
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (!matched[i]) continue;
        check(PyDict_SetItem(result.ptr(), features[i], one.ptr()));
        out.found = true;
    }
    out.result = std::move(result);
    return out;
}

/// The encoding applied item by item, as written: each step may run Python code (a comparison,
/// an attribute read) that changes what the next step reads.
PlainEncoding encode_by_item(nb::handle encoding, nb::handle value) {
    PlainEncoding out;
    nb::object result = check(PyDict_New());
    nb::object zero = nb::int_(0), one = nb::int_(1);
    for_each(encoding, [&](nb::handle item) {
        Fields fields(item);
        nb::object feature = fields[names.encoded_feature_name];
        nb::object item_value = fields[names.value];
        if (truth(fields[names.use_for_undefined])) out.default_name = feature;
        if (equals_by_eq(value, item_value)) {
            if (PyDict_SetItem(result.ptr(), feature.ptr(), one.ptr()) < 0) fail();
            out.found = true;
        } else {
            // A feature already set to 1 by an earlier item of the same name keeps its 1.
            PyObject *kept = nullptr;
            if (PyDict_SetDefaultRef(result.ptr(), feature.ptr(), zero.ptr(), &kept) < 0) fail();
            Py_XDECREF(kept);
        }
        return false;
    });
    out.result = std::move(result);
    return out;
}

nb::object apply_dummy_encoding_impl(Args a) {
    nb::handle self = a[0], attribute = a[1], value = a[2];
    nb::object encoding = find_encoding(self, attribute);
    if (!encoding.is_valid()) return nb::none();
    PlainEncoding e = encode_plainly(encoding, value);
    if (!e.result.is_valid()) e = encode_by_item(encoding, value);
    if (e.found) return e.result;
    // The messages hold str() of the value and the default name: no Python code when both are
    // plain, so an event the logger drops is then not written at all.
    bool pure = formats_without_python(value) && formats_without_python(e.default_name);
    if (!e.default_name.is_none() && truth(e.default_name)) {
        if (PyDict_SetItem(e.result.ptr(), e.default_name.ptr(), nb::int_(1).ptr()) < 0) fail();
        log_event(state.module, "info", pure, [&] {
            return check(PyUnicode_FromFormat(
                "Dummy encoding for value '%S' of attribute '%U' is not defined. Default value "
                "'%S' was assigned with 1.",
                value.ptr(), attribute.ptr(), e.default_name.ptr()));
        });
    } else {
        log_event(state.module, "warning", pure, [&] {
            return check(PyUnicode_FromFormat(
                "Dummy encoding for value '%S' of attribute '%U' is not defined and no default "
                "value was assigned. All dummies for given attribute are assigned with 0.",
                value.ptr(), attribute.ptr()));
        });
    }
    return e.result;
}

}  // namespace qv::preparation
