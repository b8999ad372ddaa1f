// Bucketing a whole column: the bins read once into a native plan, the GIL released while the
// plan runs over numbers and texts, one aggregated log event per fallback bin.
#include "engines/bucketing.hpp"
#include "engines/column_tools.hpp"
#include "engines/columns.hpp"
#include "kernels/interval_search.hpp"

#include "binding/support.hpp"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <deque>
#include <optional>
#include <utility>
#include <vector>

namespace qv::columns {

namespace {

using bucketing::Role;

/// A bin value as the float the single call returns (None: NaN); nothing when the value needs
/// the call's own conversion (another type, an int too large for a float).
std::optional<double> plain_out(nb::handle value) {
    PyObject *v = value.ptr();
    if (v == Py_None) return std::nan("");
    if (PyFloat_CheckExact(v)) return PyFloat_AS_DOUBLE(v);
    if (PyLong_CheckExact(v)) {
        double d = PyLong_AsDouble(v);
        if (d == -1.0 && PyErr_Occurred()) {
            PyErr_Clear();
            return std::nullopt;
        }
        return d;
    }
    return std::nullopt;
}

/// The result of a bin method as apply_feature_bucketing returns it, as a double (None: NaN).
double result_out(nb::handle result) {
    PyObject *r = result.ptr();
    if (r == Py_None) return std::nan("");
    if (PyFloat_Check(r)) return PyFloat_AS_DOUBLE(r);
    if (PyUnicode_Check(r) || PyBytes_Check(r) || PyByteArray_Check(r))
        raise(PyExc_TypeError, "bin value must be a real number, not %s", Py_TYPE(r)->tp_name);
    nb::object f = check(PyNumber_Float(r));
    return PyFloat_AS_DOUBLE(f.ptr());
}

/// What the bins make of values, read once from a quiet snapshot: usable without the GIL.
struct Plan {
    bucketing::Snapshot snap;
    bool sorted = false;
    intervals::FirstInterval first;  ///< when the intervals are not sorted and disjoint
    std::vector<double> found_out;   ///< per interval; the last entry: no interval
    double missing_out = NAN, none_out = NAN;
    bool missing_falls_back = false, none_falls_back = false;
    TextIndex texts;  ///< category -> index into text_out
    std::vector<double> text_out;
    PyObject *fallback_bin = nullptr;  ///< borrowed from the snapshot
    Role fallback_role = Role::Regular;

    std::size_t intervals() const { return sorted ? snap.table.size() : first.size(); }

    double number(double v, bool &falls_back) const {
        if (std::isnan(v)) {
            falls_back = missing_falls_back;
            return missing_out;
        }
        std::size_t k = sorted ? snap.table.find(v) : first.find(v);
        falls_back = k == intervals() && none_falls_back;
        return found_out[k];
    }
    /// A present text (not "nan").
    double text(const char *t, std::size_t size, bool &falls_back) const {
        std::uint32_t k = texts.find(t, size, (std::uint32_t) text_out.size());
        falls_back = k == text_out.size() && none_falls_back;
        return k == text_out.size() ? none_out : text_out[k];
    }
};

bool read_plan(Plan &p, nb::handle bucketing, bool numerical) {
    p.snap = bucketing::quiet_snapshot(bucketing);
    if (!p.snap.quiet) return false;
    const auto &bins = p.snap.bins;
    auto out_of = [&](std::ptrdiff_t index, double &out) {
        if (index < 0) return true;
        std::optional<double> v = plain_out(bins[(std::size_t) index].value);
        if (v) out = *v;
        return v.has_value();
    };
    if (p.snap.first_fallback >= 0) {
        if (!out_of(p.snap.first_fallback, p.none_out)) return false;
        p.none_falls_back = true;
        p.fallback_bin = bins[(std::size_t) p.snap.first_fallback].record.ptr();
        p.fallback_role = bins[(std::size_t) p.snap.first_fallback].role;
    }
    p.missing_out = p.none_out;
    p.missing_falls_back = p.none_falls_back;
    if (p.snap.first_null >= 0) {
        if (!out_of(p.snap.first_null, p.missing_out)) return false;
        p.missing_falls_back = false;
    }
    if (numerical) {
        if (!p.snap.float_bounds) return false;
        p.sorted = p.snap.sorted;
        const std::vector<std::size_t> &order =
            p.sorted ? p.snap.sorted_bins : p.snap.regular_numerical;
        for (std::size_t index : order) {
            double out = 0;
            if (!out_of((std::ptrdiff_t) index, out)) return false;
            p.found_out.push_back(out);
            if (!p.sorted)
                p.first.add(PyFloat_AS_DOUBLE(bins[index].lower.ptr()),
                            PyFloat_AS_DOUBLE(bins[index].upper.ptr()));
        }
        p.found_out.push_back(p.none_out);
    } else {
        if (!p.snap.category_index.is_valid() && !p.snap.regular_categorical.empty())
            return false;  // not lists of exact str
        for (std::size_t index : p.snap.regular_categorical) {
            double out = 0;
            if (!out_of((std::ptrdiff_t) index, out)) return false;
            nb::handle categories = bins[index].categories;
            for (Py_ssize_t j = 0; j < PyList_GET_SIZE(categories.ptr()); ++j) {
                std::string key = utf8_of(PyList_GET_ITEM(categories.ptr(), j));
                std::size_t before = p.texts.size();
                p.texts.add(key, (std::uint32_t) p.text_out.size());
                if (p.texts.size() != before) p.text_out.push_back(out);
            }
        }
    }
    return true;
}

/// The fallback events of one call: per fallback bin, its role and tally.
class Events final : public bucketing::FallbackSink {
public:
    Tally &tally_for(nb::handle bin, Role role) {
        for (Entry &e : entries_)
            if (e.bin.ptr() == bin.ptr()) return e.tally;
        entries_.push_back(Entry{nb::borrow(bin), role, {}});
        return entries_.back().tally;
    }
    void hit(nb::handle bin, Role role, nb::handle shown_value) override {
        tally_value(tally_for(bin, role), shown_value);
    }
    /// For every bin this sink counted: `target`'s tally of that bin, and this sink's.
    void pair_with(Events &target, std::vector<std::pair<Tally *, const Tally *>> &out) const {
        for (const Entry &e : entries_)
            if (e.tally.count) out.emplace_back(&target.tally_for(e.bin, e.role), &e.tally);
    }
    void log(nb::handle bucketing, std::size_t total) const {
        if (entries_.empty()) return;
        nb::object attribute = Fields(bucketing)[bucketing::field_names().attribute];
        nb::handle module = bucketing::owning_module();
        for (const Entry &e : entries_) {
            if (!e.tally.count) continue;
            nb::object shown = check(PyObject_Format(attribute.ptr(), nullptr));
            nb::object examples = e.tally.examples();
            nb::object event = check(PyUnicode_FromFormat(
                "Predictive model hit default value when processing binning of attribute '%U' "
                "for %zu of %zu values, e.g. %U.",
                shown.ptr(), e.tally.count, total, examples.ptr()));
            qv::log(module, e.role == Role::DefinedDefault ? "debug" : "warning", event);
        }
    }

private:
    struct Entry {
        nb::object bin;
        Role role;
        Tally tally;
    };
    std::deque<Entry> entries_;  ///< a deque: tallies handed out stay where they are
};

/// One call's state.
struct Run {
    nb::handle bucketing;
    bool numerical;
    bucketing::Which which;
    Plan plan{};
    bool native = false;  ///< the plan is current and the method our own
    Events events{};
    /// Where the method's fallback hits go when not to `events` (a dictionary entry's own).
    Events *entry_events = nullptr;
    Tally *plan_tally = nullptr;  ///< the plan's fallback bin's tally
    std::vector<char> scratch{};

    void refresh() {
        plan = Plan{};
        native =
            bucketing::is_own_method(bucketing, which) && read_plan(plan, bucketing, numerical);
        plan_tally = native && plan.fallback_bin
                         ? &events.tally_for(plan.fallback_bin, plan.fallback_role)
                         : nullptr;
    }
    /// After Python code ran: the plan still holds only while the record and method are unchanged.
    /// Without a plan the general way goes on (it reads the live record for every element).
    void recheck() {
        if (!native) return;
        if (bucketing::is_own_method(bucketing, which) && bucketing::current(plan.snap)) return;
        refresh();
    }
};

/// A NaN of a float, a float subclass or a numpy float scalar (float32 included): a missing
/// value, as the NaN of a float column is.
bool is_nan_number(PyObject *o) {
    if (PyFloat_Check(o)) return std::isnan(PyFloat_AS_DOUBLE(o));
    double v;
    return !PyLong_CheckExact(o) && plain_float(o, v) && std::isnan(v);
}

/// The element as the methods are given it: missing values as None, a str subclass as its text.
nb::object method_value(const Run &run, const Chunk &c, std::size_t i) {
    nb::object v = element(c, i);
    PyObject *o = v.ptr();
    if (is_pandas_na(o)) return nb::none();
    if (!run.numerical) {
        if (is_nan_number(o)) return nb::none();
        if (PyUnicode_Check(o) && !PyUnicode_CheckExact(o)) return check(PyUnicode_FromObject(o));
    }
    return v;
}

/// One element through the method (or the live scan, when it is our own): the general way.
double through_method(Run &run, const Chunk &c, std::size_t i) {
    nb::object value = method_value(run, c, i);
    nb::object result;
    if (bucketing::is_own_method(run.bucketing, run.which)) {
        Events *sink = run.entry_events ? run.entry_events : &run.events;
        result = run.numerical ? bucketing::bin_numeric(run.bucketing, value, sink)
                               : bucketing::bin_categoric(run.bucketing, value, sink);
    } else {
        PyObject *name =
            interned(run.numerical ? "bin_numeric_attribute" : "bin_categoric_attribute");
        result = check(PyObject_CallMethodOneArg(run.bucketing.ptr(), name, value.ptr()));
    }
    double out = result_out(result);
    run.recheck();
    return out;
}

/// A missing value through the plan, counted in `tally` when it falls back.
double missing(const Run &run, Tally *tally) {
    const Plan &p = run.plan;
    if (p.missing_falls_back) {
        if (run.numerical)
            tally->number(NAN);
        else
            tally->text("None");
    }
    return p.missing_out;
}

double number(const Run &run, double v, Tally *tally) {
    bool falls_back;
    double out = run.plan.number(v, falls_back);
    if (falls_back) tally->number(v);
    return out;
}

/// A present text through the plan ("nan" is missing, written as given).
double text(const Run &run, const char *t, std::size_t size, Tally *tally) {
    const Plan &p = run.plan;
    if (size == 3 && std::memcmp(t, "nan", 3) == 0) {
        if (p.missing_falls_back) tally->text("nan");
        return p.missing_out;
    }
    bool falls_back;
    double out = p.text(t, size, falls_back);
    if (falls_back) tally->text(std::string_view(t, size));
    return out;
}

/// An object element through the plan when that runs no Python code; false when it needs the
/// method (a conversion of its own, text the plan cannot read).
bool plan_object(const Run &run, PyObject *o, Tally *tally, double &out) {
    if (!run.numerical && PyUnicode_CheckExact(o)) {
        Py_ssize_t size = 0;
        const char *t = PyUnicode_AsUTF8AndSize(o, &size);
        if (t) {
            out = text(run, t, (std::size_t) size, tally);
            return true;
        }
        PyErr_Clear();  // lone surrogates: the method compares them
        return false;
    }
    if (o == Py_None || is_pandas_na(o)) {
        out = missing(run, tally);
        return true;
    }
    if (run.numerical) {
        double v;
        if (!plain_float(o, v)) return false;  // the method converts it, or raises
        out = number(run, v, tally);
        return true;
    }
    if (is_nan_number(o)) {
        out = missing(run, tally);
        return true;
    }
    if (!PyUnicode_Check(o)) return false;  // the method refuses it
    Py_ssize_t size = 0;
    const char *t = PyUnicode_AsUTF8AndSize(o, &size);
    if (!t) {
        PyErr_Clear();  // lone surrogates: the method compares them
        return false;
    }
    out = text(run, t, (std::size_t) size, tally);
    return true;
}

/// One element (GIL held): through the plan when there is one, else through the method. Raises
/// what the method would for it.
double evaluate(Run &run, const Chunk &c, std::size_t i, Tally *tally) {
    if (!run.native) return through_method(run, c, i);
    if (c.kind == Kind::Objects) {
        nb::object o = element(c, i);
        double out;
        if (plan_object(run, o.ptr(), tally, out)) return out;
        return through_method(run, c, i);
    }
    if (c.kind == Kind::Null || c.missing(i)) return missing(run, tally);
    if (c.dictionary) {
        double code = load_number(c, i);
        if (code < 0) return missing(run, tally);
        const Column &d = *c.dictionary;
        if (code >= (double) d.length) raise(PyExc_IndexError, "dictionary code out of range");
        return evaluate(run, d.chunks.front(), (std::size_t) code, tally);
    }
    if (c.is_number()) {
        double v = load_number(c, i);
        if (run.numerical) return number(run, v, tally);
        if (std::isnan(v)) return missing(run, tally);
        raise_arg_type("value", "str", element(c, i));
    }
    if (run.numerical) {  // text that spells a number, converted as float() converts it
        nb::object f = check(PyFloat_FromString(element(c, i).ptr()));
        return number(run, PyFloat_AS_DOUBLE(f.ptr()), tally);
    }
    const char *t;
    std::size_t size;
    if (!load_text(c, i, t, size, run.scratch)) element(c, i);  // raises: no str holds it
    return text(run, t, size, tally);
}

// ---- whole chunks without the GIL

template <typename Load>
void bucket_numbers(Run &run, std::size_t n, Load load, double *out) {
    const Plan &p = run.plan;
    Tally *tally = run.plan_tally;
    for (std::size_t i = 0; i < n; ++i) {
        double v = load(i);
        bool falls_back;
        out[i] = p.number(v, falls_back);
        if (falls_back) tally->number(v);
    }
}

template <typename T>
auto raw_loader(const Chunk &c) {
    return [data = c.data, stride = c.stride](std::size_t i) {
        T v;
        std::memcpy(&v, data + (std::ptrdiff_t) i * stride, sizeof(T));
        return (double) v;
    };
}

/// Numbers of a chunk through the plan, with loops specialised for the common storage.
void bucket_number_chunk(Run &run, const Chunk &c, double *out) {
    bool plain = !c.validity && !c.mask;
    if (plain && c.kind == Kind::Float && c.width == 8) {
        const auto *d = reinterpret_cast<const double *>(c.data);
        if (c.stride == 8 && reinterpret_cast<std::uintptr_t>(d) % alignof(double) == 0)
            return bucket_numbers(run, c.length, [d](std::size_t i) { return d[i]; }, out);
        return bucket_numbers(run, c.length, raw_loader<double>(c), out);
    }
    if (plain && c.kind == Kind::Float && c.width == 4)
        return bucket_numbers(run, c.length, raw_loader<float>(c), out);
    if (plain && c.kind == Kind::Signed && c.width == 8)
        return bucket_numbers(run, c.length, raw_loader<std::int64_t>(c), out);
    if (plain && c.kind == Kind::Signed && c.width == 4)
        return bucket_numbers(run, c.length, raw_loader<std::int32_t>(c), out);
    bucket_numbers(run, c.length, [&c](std::size_t i) { return load_number(c, i); }, out);
}

/// Texts of a chunk through the plan; returns the first element it cannot decode, or length.
std::size_t bucket_text_chunk(Run &run, const Chunk &c, double *out) {
    for (std::size_t i = 0; i < c.length; ++i) {
        if (c.missing(i)) {
            out[i] = missing(run, run.plan_tally);
            continue;
        }
        const char *t;
        std::size_t size;
        if (!load_text(c, i, t, size, run.scratch)) return i;
        out[i] = text(run, t, size, run.plan_tally);
    }
    return c.length;
}

/// float(text) for text in the plain decimal form [+-]digits[.digits][(e|E)[+-]digits] (or
/// [+-].digits...): the correctly rounded parse, as float() gives. False for anything else
/// (spaces, underscores, words, other digits, a result beyond the finite range), left to float().
bool parse_plain_decimal(const char *t, std::size_t size, double &out) {
    const char *p = t, *end = t + size;
    const char *start = (size > 0 && *t == '+') ? t + 1 : t;  // from_chars takes no '+'
    if (p < end && (*p == '+' || *p == '-')) ++p;
    auto digits = [&] {
        const char *from = p;
        while (p < end && *p >= '0' && *p <= '9') ++p;
        return p - from;
    };
    auto whole = digits();
    std::ptrdiff_t fraction = 0;
    if (p < end && *p == '.') {
        ++p;
        fraction = digits();
    }
    if (whole + fraction == 0) return false;
    if (p < end && (*p == 'e' || *p == 'E')) {
        ++p;
        if (p < end && (*p == '+' || *p == '-')) ++p;
        if (digits() == 0) return false;
    }
    if (p != end) return false;
    auto [last, error] = std::from_chars(start, end, out);
    return error == std::errc() && last == end;
}

/// Texts that spell numbers through the plan, from element `from`; returns the first element
/// that needs float() itself (or length).
std::size_t bucket_number_texts(Run &run, const Chunk &c, std::size_t from, double *out) {
    for (std::size_t i = from; i < c.length; ++i) {
        if (c.missing(i)) {
            out[i] = missing(run, run.plan_tally);
            continue;
        }
        const char *t;
        std::size_t size;
        double v;
        if (!load_text(c, i, t, size, run.scratch) || !parse_plain_decimal(t, size, v)) return i;
        out[i] = number(run, v, run.plan_tally);
    }
    return c.length;
}

/// Numbers into a categorical bucketing: all missing, or the first present one is refused.
std::size_t first_present_number(const Chunk &c) {
    for (std::size_t i = 0; i < c.length; ++i)
        if (!std::isnan(load_number(c, i))) return i;
    return c.length;
}

/// A dictionary-encoded chunk: the dictionary's entries bucketed once (a refused entry is raised
/// only for an element that uses it), then gathered by code without the GIL. An entry's fallback
/// hit is counted once for every element that uses it, unused entries not at all.
void bucket_dictionary_chunk(Run &run, const Chunk &c, double *out) {
    const Column &d = *c.dictionary;
    std::size_t entries = d.length;
    std::vector<double> entry_out(entries);
    std::vector<unsigned char> refused(entries, 0);
    std::vector<Tally> entry_tally(entries);   // hits through the plan
    std::deque<Events> entry_events(entries);  // hits through the method
    for (std::size_t k = 0; k < entries && run.native; ++k) {
        run.entry_events = &entry_events[k];
        try {
            entry_out[k] = evaluate(run, d.chunks.front(), k, &entry_tally[k]);
        } catch (nb::python_error &e) {
            run.entry_events = nullptr;
            if (!e.matches(PyExc_Exception)) throw;
            refused[k] = 1;
        }
        run.entry_events = nullptr;
    }
    if (!run.native) {  // Python code ran and changed the bins: element by element
        for (std::size_t i = 0; i < c.length; ++i) out[i] = evaluate(run, c, i, run.plan_tally);
        return;
    }
    // Per entry: 0 plain, 1 counted as a fallback, 2 refused; and the method's hits to count again.
    std::vector<unsigned char> state(entries);
    std::vector<std::vector<std::pair<Tally *, const Tally *>>> method_hits(entries);
    for (std::size_t k = 0; k < entries; ++k) {
        entry_events[k].pair_with(run.events, method_hits[k]);
        state[k] = refused[k] ? 2 : entry_tally[k].count || !method_hits[k].empty() ? 1 : 0;
    }
    std::size_t stop = c.length;
    auto gather = [&](auto code_of) {
        for (std::size_t i = 0; i < c.length; ++i) {
            std::int64_t code = code_of(i);
            if (code < 0) {
                out[i] = missing(run, run.plan_tally);
                continue;
            }
            auto k = (std::size_t) code;
            if (k >= entries || state[k] == 2) {
                stop = i;
                return;
            }
            out[i] = entry_out[k];
            if (!state[k]) continue;
            if (entry_tally[k].count) run.plan_tally->again(entry_tally[k]);
            for (const auto &[into, one] : method_hits[k]) into->again(*one);
        }
    };
    {
        nb::gil_scoped_release released;
        bool plain = !c.validity && !c.mask && c.kind == Kind::Signed;
        if (plain && c.width == 1)
            gather([p = c.data, st = c.stride](std::size_t i) {
                return (std::int64_t) (std::int8_t) p[(std::ptrdiff_t) i * st];
            });
        else if (plain && c.width == 4)
            gather([p = c.data, st = c.stride](std::size_t i) {
                std::int32_t v;
                std::memcpy(&v, p + (std::ptrdiff_t) i * st, 4);
                return (std::int64_t) v;
            });
        else
            gather([&c](std::size_t i) {
                double code = c.missing(i) ? -1 : load_number(c, i);
                if (!(code >= 0)) return (std::int64_t) -1;
                return code < 9.2e18 ? (std::int64_t) code : INT64_MAX;  // past any entry
            });
    }
    if (stop < c.length) evaluate(run, c, stop, run.plan_tally);  // raises that element's error
}

void bucket_chunk(Run &run, const Chunk &c, double *out) {
    if (run.native && c.dictionary) return bucket_dictionary_chunk(run, c, out);
    if (run.native && c.kind != Kind::Objects) {
        if (c.kind == Kind::Null) {
            for (std::size_t i = 0; i < c.length; ++i) out[i] = missing(run, run.plan_tally);
            return;
        }
        if (c.is_number() && run.numerical) {
            nb::gil_scoped_release released;
            return bucket_number_chunk(run, c, out);
        }
        if (c.is_number()) {
            std::size_t stop;
            {
                nb::gil_scoped_release released;
                stop = first_present_number(c);
            }
            if (stop < c.length) raise_arg_type("value", "str", element(c, stop));
            for (std::size_t i = 0; i < c.length; ++i) out[i] = missing(run, run.plan_tally);
            return;
        }
        if (!run.numerical) {
            std::size_t stop;
            {
                nb::gil_scoped_release released;
                stop = bucket_text_chunk(run, c, out);
            }
            if (stop < c.length) evaluate(run, c, stop, run.plan_tally);  // raises
            return;
        }
        // Texts that spell numbers: plain decimals parsed here, anything else through float()
        // (which runs no Python code for a str, so the plan holds).
        for (std::size_t i = 0; i < c.length; ++i) {
            {
                nb::gil_scoped_release released;
                i = bucket_number_texts(run, c, i, out);
            }
            if (i < c.length) out[i] = evaluate(run, c, i, run.plan_tally);
        }
        return;
    }
    for (std::size_t i = 0; i < c.length; ++i) out[i] = evaluate(run, c, i, run.plan_tally);
}

}  // namespace

nb::object bucket(nb::handle bucketing, bool numerical, const Column &column) {
    Run run{bucketing, numerical,
            numerical ? bucketing::Which::Numeric : bucketing::Which::Categoric};
    run.refresh();
    void *data = nullptr;
    nb::object result = new_array("float64", column.length, data);
    auto *out = static_cast<double *>(data);
    for (const Chunk &c : column.chunks) {
        bucket_chunk(run, c, out);
        out += c.length;
    }
    run.events.log(bucketing, column.length);
    return result;
}

}  // namespace qv::columns
