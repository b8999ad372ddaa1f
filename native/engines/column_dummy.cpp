// Dummy encoding of a whole column: the items read once, every element matched against them
// without the GIL for numbers and texts, one aggregated log event for the values no item matches.
#include "engines/column_tools.hpp"
#include "engines/columns.hpp"

#include "binding/support.hpp"

#include <cmath>
#include <cstdint>
#include <cstring>

namespace qv::columns {

namespace {

/// An item value that is a number, for exact comparisons with column numbers.
struct NumberKey {
    bool is_float = false;  ///< else an int
    double d = 0;           ///< the float, or the int when a double holds it exactly
    bool exact_double = false;
    bool fits_signed = false, fits_unsigned = false;
    std::int64_t i = 0;
    std::uint64_t u = 0;
    std::uint64_t mask = 0;  ///< the features of the items with this value

    bool matches_float(double x) const { return (is_float || exact_double) && x == d; }
    bool matches_signed(std::int64_t j) const {
        if (!is_float) return fits_signed ? j == i : false;
        return std::floor(d) == d && d >= -9223372036854775808.0 && d < 9223372036854775808.0 &&
               (std::int64_t) d == j;
    }
    bool matches_unsigned(std::uint64_t v) const {
        if (!is_float)
            return fits_unsigned ? v == u : (fits_signed && i >= 0 && (std::uint64_t) i == v);
        return std::floor(d) == d && d >= 0 && d < 18446744073709551616.0 && (std::uint64_t) d == v;
    }
};

bool number_key(PyObject *value, NumberKey &key) {
    if (PyFloat_CheckExact(value)) {
        key.is_float = true;
        key.d = PyFloat_AS_DOUBLE(value);
        return true;
    }
    if (!PyLong_Check(value) || !(PyLong_CheckExact(value) || PyBool_Check(value))) return false;
    int overflow = 0;
    long long i = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (i == -1 && PyErr_Occurred()) fail();
    if (!overflow) {
        key.fits_signed = true;
        key.i = i;
    } else if (overflow > 0) {
        unsigned long long u = PyLong_AsUnsignedLongLong(value);
        if (u == (unsigned long long) -1 && PyErr_Occurred())
            PyErr_Clear();
        else
            key.fits_unsigned = true, key.u = u;
    }
    double d = PyLong_AsDouble(value);
    if (d == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        return true;  // beyond any double: equal to no float
    }
    nb::object back = check(PyLong_FromDouble(d));
    int same = PyObject_RichCompareBool(back.ptr(), value, Py_EQ);  // two ints: no Python code
    if (same < 0) fail();
    key.d = d;
    key.exact_double = same == 1;
    return true;
}

/// The encoding items of one call, read once.
struct Items {
    std::vector<nb::object> features;     ///< in the order the items first name them
    std::vector<nb::object> values;       ///< per item
    std::vector<std::size_t> feature_of;  ///< per item
    std::ptrdiff_t default_feature = -1;
    nb::object default_name = nb::none();
    /// Native matching: every item value is an exact str, int, float or bool, at most 64 features.
    bool native = true;
    TextIndex texts;  ///< text -> index into text_masks
    std::vector<std::uint64_t> text_masks;
    std::vector<NumberKey> numbers;
};

Items read_items(nb::handle items) {
    Items r;
    nb::object features = check(PyDict_New());  // feature -> its index
    nb::object list = list_of(items);
    PyObject *feature_key = interned("encoded_feature_name");
    PyObject *value_key = interned("value");
    PyObject *undefined_key = interned("use_for_undefined");
    for (Py_ssize_t k = 0; k < PyList_GET_SIZE(list.ptr()); ++k) {
        nb::object item = nb::borrow(PyList_GET_ITEM(list.ptr(), k));
        nb::object feature = field(item, feature_key);
        nb::object value = field(item, value_key);
        if (truth(field(item, undefined_key))) r.default_name = feature;
        PyObject *index = dict_lookup(features.ptr(), feature.ptr());
        std::size_t f;
        if (index) {
            f = PyLong_AsSize_t(index);
        } else {
            f = r.features.size();
            nb::object position = check(PyLong_FromSize_t(f));
            check(PyDict_SetItem(features.ptr(), feature.ptr(), position.ptr()));
            r.features.push_back(feature);
        }
        r.feature_of.push_back(f);
        r.values.push_back(value);
    }
    if (!r.default_name.is_none() && truth(r.default_name)) {
        PyObject *index = dict_lookup(features.ptr(), r.default_name.ptr());
        if (index) r.default_feature = (std::ptrdiff_t) PyLong_AsSize_t(index);
    }
    r.native = r.features.size() <= 64;
    for (std::size_t k = 0; r.native && k < r.values.size(); ++k) {
        std::uint64_t bit = std::uint64_t(1) << r.feature_of[k];
        PyObject *v = r.values[k].ptr();
        if (PyUnicode_CheckExact(v)) {
            std::string text = utf8_of(v);
            std::size_t before = r.texts.size();
            r.texts.add(text, (std::uint32_t) r.text_masks.size());
            if (r.texts.size() != before) r.text_masks.push_back(0);
            r.text_masks[r.texts.find(text.data(), text.size(), 0)] |= bit;
            continue;
        }
        NumberKey key;
        if (!number_key(v, key)) {
            r.native = false;
            break;
        }
        key.mask = bit;
        r.numbers.push_back(key);
    }
    return r;
}

/// One call's state: the items, the output columns, the values no item matched.
struct Run {
    Items items;
    std::vector<std::uint8_t *> out;
    Tally undefined;
    std::vector<char> scratch;

    /// Writes element i's features from the features its value matched.
    void write(std::size_t i, std::uint64_t mask) {
        for (std::size_t f = 0; f < out.size(); ++f) out[f][i] = (std::uint8_t) ((mask >> f) & 1);
        if (mask == 0 && items.default_feature >= 0)
            out[(std::size_t) items.default_feature][i] = 1;
    }
    std::uint64_t text_mask(const char *t, std::size_t size) const {
        std::uint32_t k = items.texts.find(t, size, ~0u);
        return k == ~0u ? 0 : items.text_masks[k];
    }
};

/// The features a number of the chunk matches (Python's int/float equality, exactly).
std::uint64_t number_mask(const Run &run, const Chunk &c, std::size_t i) {
    std::uint64_t mask = 0;
    const char *p = c.data + (std::ptrdiff_t) i * c.stride;
    if (c.kind == Kind::Float) {
        double x = load_number(c, i);
        for (const NumberKey &k : run.items.numbers)
            if (k.matches_float(x)) mask |= k.mask;
    } else if (c.kind == Kind::Unsigned) {
        std::uint64_t v = 0;
        std::memcpy(&v, p, (std::size_t) c.width);  // little-endian hosts
        for (const NumberKey &k : run.items.numbers)
            if (k.matches_unsigned(v)) mask |= k.mask;
    } else {
        std::int64_t j;
        if (c.kind == Kind::Signed && c.width == 8)
            std::memcpy(&j, p, 8);
        else
            j = (std::int64_t) load_number(c, i);  // exact for bool and integers of up to 32 bits
        for (const NumberKey &k : run.items.numbers)
            if (k.matches_signed(j)) mask |= k.mask;
    }
    return mask;
}

/// Appends what the per-value message shows for a value no item matched.
void count_undefined_number(Run &run, const Chunk &c, std::size_t i) {
    if (c.kind == Kind::Float) return run.undefined.number(load_number(c, i));
    if (run.undefined.numbers.size() + run.undefined.texts.size() >= Tally::kExamples) {
        ++run.undefined.count;
        return;
    }
    nb::gil_scoped_acquire held;
    tally_value(run.undefined, element(c, i));
}

/// The features one element matches, with the GIL: Python's equality against every item.
std::uint64_t python_mask(Run &run, nb::handle value, std::vector<unsigned char> &matched) {
    std::uint64_t mask = 0;
    matched.assign(run.items.features.size(), 0);
    // None too is compared: an item value of another type may declare itself equal to it.
    for (std::size_t k = 0; k < run.items.values.size(); ++k) {
        if (!equals_by_eq(value, run.items.values[k])) continue;
        matched[run.items.feature_of[k]] = 1;
        if (run.items.feature_of[k] < 64) mask |= std::uint64_t(1) << run.items.feature_of[k];
    }
    return mask;
}

/// One element with the GIL: the general way (objects, or items the native matching cannot read).
void encode_python(Run &run, const Chunk &c, std::size_t i, std::vector<unsigned char> &matched) {
    nb::object value = element(c, i);
    if (is_pandas_na(value.ptr())) value = nb::none();
    python_mask(run, value, matched);
    bool any = false;
    for (std::size_t f = 0; f < matched.size(); ++f) {
        run.out[f][i] = matched[f];
        any |= matched[f] != 0;
    }
    if (any) return;
    if (run.items.default_feature >= 0) run.out[(std::size_t) run.items.default_feature][i] = 1;
    tally_value(run.undefined, value);
}

/// The features element i of a number, text or null chunk matches, without the GIL; counts it
/// when none. False when it cannot be read here (a code point no str holds).
bool encode_native(Run &run, const Chunk &c, std::size_t i) {
    std::uint64_t mask = 0;
    if (c.kind == Kind::Null || c.missing(i)) {
        run.write(i, 0);
        run.undefined.text("None");
        return true;
    }
    if (c.is_number()) {
        mask = number_mask(run, c, i);
        run.write(i, mask);
        if (!mask) count_undefined_number(run, c, i);
        return true;
    }
    const char *t;
    std::size_t size;
    if (!load_text(c, i, t, size, run.scratch)) return false;
    mask = run.text_mask(t, size);
    run.write(i, mask);
    if (!mask) run.undefined.text(std::string_view(t, size));
    return true;
}

/// The features a dictionary entry matches; what the message shows for it goes to `shown` when
/// it matches none.
std::uint64_t entry_mask(Run &run, const Chunk &d, std::size_t k, Tally &shown,
                         std::vector<unsigned char> &matched) {
    if (d.kind == Kind::Objects) {
        nb::object value = element(d, k);
        if (is_pandas_na(value.ptr())) value = nb::none();
        std::uint64_t mask = python_mask(run, value, matched);
        if (!mask) tally_value(shown, value);
        return mask;
    }
    if (d.kind == Kind::Null || d.missing(k)) {
        shown.text("None");
        return 0;
    }
    if (d.is_number()) {
        std::uint64_t mask = number_mask(run, d, k);
        if (!mask) tally_value(shown, element(d, k));
        return mask;
    }
    const char *t;
    std::size_t size;
    if (!load_text(d, k, t, size, run.scratch)) element(d, k);  // raises: no str holds it
    std::uint64_t mask = run.text_mask(t, size);
    if (!mask) shown.text(std::string_view(t, size));
    return mask;
}

/// A dictionary-encoded chunk: each entry matched once, then gathered by code without the GIL.
void encode_dictionary_chunk(Run &run, const Chunk &c) {
    const Column &d = *c.dictionary;
    std::vector<std::uint64_t> masks(d.length);
    std::vector<Tally> shown(d.length);
    std::vector<unsigned char> matched;
    for (std::size_t k = 0; k < d.length; ++k)
        masks[k] = entry_mask(run, d.chunks.front(), k, shown[k], matched);
    bool out_of_range = false;
    {
        nb::gil_scoped_release released;
        for (std::size_t i = 0; i < c.length && !out_of_range; ++i) {
            double code = c.missing(i) ? -1 : load_number(c, i);
            if (code < 0) {
                run.write(i, 0);
                run.undefined.text("None");
                continue;
            }
            out_of_range = code >= (double) d.length;
            if (out_of_range) break;
            auto k = (std::size_t) code;
            run.write(i, masks[k]);
            if (!masks[k]) run.undefined.again(shown[k]);
        }
    }
    if (out_of_range) raise(PyExc_IndexError, "dictionary code out of range");
}

void encode_chunk(Run &run, const Chunk &c) {
    if (!run.items.native || c.kind == Kind::Objects) {
        std::vector<unsigned char> matched;
        for (std::size_t i = 0; i < c.length; ++i) encode_python(run, c, i, matched);
        return;
    }
    if (c.dictionary) return encode_dictionary_chunk(run, c);
    std::size_t stop = c.length;
    {
        nb::gil_scoped_release released;
        for (std::size_t i = 0; i < c.length; ++i) {
            if (!encode_native(run, c, i)) {
                stop = i;
                break;
            }
        }
    }
    if (stop < c.length) element(c, stop);  // raises: no str holds it
}

}  // namespace

nb::object dummy_encode(nb::handle module, nb::handle attribute, nb::handle items,
                        const Column &column) {
    Run run{read_items(items), {}, {}, {}};
    nb::object result = check(PyDict_New());
    for (nb::handle feature : run.items.features) {
        void *data = nullptr;
        nb::object array = new_array("uint8", column.length, data);
        run.out.push_back(static_cast<std::uint8_t *>(data));
        check(PyDict_SetItem(result.ptr(), feature.ptr(), array.ptr()));
    }
    for (const Chunk &c : column.chunks) {
        encode_chunk(run, c);
        for (std::uint8_t *&p : run.out) p += c.length;  // outputs of the next chunk
    }
    if (run.undefined.count) {
        nb::object examples = run.undefined.examples();
        nb::object event;
        if (run.items.default_feature >= 0) {
            event = check(PyUnicode_FromFormat(
                "Dummy encoding of attribute '%U' is not defined for %zu of %zu values, e.g. %U. "
                "Default value '%S' was assigned with 1.",
                attribute.ptr(), run.undefined.count, column.length, examples.ptr(),
                run.items.default_name.ptr()));
            log(module, "info", event);
        } else {
            event = check(PyUnicode_FromFormat(
                "Dummy encoding of attribute '%U' is not defined for %zu of %zu values, e.g. %U, "
                "and no default value was assigned. All dummies for given attribute are assigned "
                "with 0.",
                attribute.ptr(), run.undefined.count, column.length, examples.ptr()));
            log(module, "warning", event);
        }
    }
    return result;
}

}  // namespace qv::columns
