// The aggregate record of one scoring model: its content round trip, consistency check, access to
// the attached external model, and its GraphQL views with the logistic regression's formula.
#include "binding/declare.hpp"
#include "binding/support.hpp"
#include "kernels/formula.hpp"

#include <initializer_list>
#include <string>
#include <unordered_map>
#include <vector>

namespace {

using namespace qv;

constexpr const char *kDump = "quorvex_analytics_utils.utils.dump";

/// Module-lifetime objects, deliberately leaked: the enumeration members compared on every call,
/// the content class and the package's own functions (to recognise an overridden method).
struct Known {
    PyObject *type_logistic_regression, *type_pmml, *type_xgb, *type_expert_score,
        *type_random_forest, *type_cox_ph_fitter;
    PyObject *category_static, *category_horizon, *category_none;
    PyObject *content_class;
    PyObject *scorer_class;
    PyObject *external_view_class;
    PyObject *preparation_class;
    /// The package's own methods that the formula's fast path stands in for.
    PyObject *own_get_coefficient, *own_feature_names, *own_coefficients, *own_transformation_formula;
};
Known known{};

PyObject *key(const char *text) { return interned(text); }

/// `a == b` by the host's equality (identity first, as the host does).
bool equals(nb::handle a, PyObject *b) {
    int r = PyObject_RichCompareBool(a.ptr(), b, Py_EQ);
    if (r < 0) throw nb::python_error();
    return r == 1;
}

bool truthy(nb::handle value) {
    int r = PyObject_IsTrue(value.ptr());
    if (r < 0) throw nb::python_error();
    return r == 1;
}

nb::object call_method(nb::handle self, const char *name) {
    PyObject *r = PyObject_CallMethodNoArgs(self.ptr(), key(name));
    if (!r) throw nb::python_error();
    return nb::steal(r);
}

nb::object get_item(nb::handle container, nb::handle k) {
    PyObject *r = PyObject_GetItem(container.ptr(), k.ptr());
    if (!r) throw nb::python_error();
    return nb::steal(r);
}

void set_item(nb::handle container, nb::handle k, nb::handle value) {
    if (PyObject_SetItem(container.ptr(), k.ptr(), value.ptr()) < 0) throw nb::python_error();
}

void set_attr(nb::handle obj, const char *name, nb::handle value) {
    if (PyObject_SetAttr(obj.ptr(), key(name), value.ptr()) < 0) throw nb::python_error();
}

nb::object predictive_model_type(nb::handle self) {
    return field(self, key("predictive_model_type"));
}

nb::object external_model(nb::handle self) { return field(self, key("external_model")); }

/// Follows `keys` one subscription at a time; empty when any level raises KeyError.
/// Every other error propagates.
nb::object follow(nb::handle root, std::initializer_list<PyObject *> keys) {
    nb::object current = nb::borrow(root);
    for (PyObject *k : keys) {
        PyObject *next = PyObject_GetItem(current.ptr(), k);
        if (!next) {
            if (!PyErr_ExceptionMatches(PyExc_KeyError)) throw nb::python_error();
            PyErr_Clear();
            return {};
        }
        current = nb::steal(next);
    }
    return current;
}

PyObject *zero() { return PyLong_FromLong(0); }  // small ints are immortal

/// A number as a float: a float as it is, other numbers converted, None kept; anything else
/// is refused with TypeError naming `what`.
nb::object as_float(nb::handle value, const char *what) {
    if (value.is_none() || PyFloat_CheckExact(value.ptr())) return nb::borrow(value);
    PyNumberMethods *num = Py_TYPE(value.ptr())->tp_as_number;
    if (!PyUnicode_Check(value.ptr()) && num && (num->nb_float || num->nb_index)) {
        PyObject *f = PyNumber_Float(value.ptr());
        if (!f) throw nb::python_error();
        return nb::steal(f);
    }
    raise(PyExc_TypeError, "%s must be a number or None, not %s", what,
          Py_TYPE(value.ptr())->tp_name);
}

nb::object checked_list(nb::handle value, const char *what) {
    if (value.is_none() || PyList_Check(value.ptr())) return nb::borrow(value);
    raise(PyExc_TypeError, "%s must be a list or None, not %s", what, Py_TYPE(value.ptr())->tp_name);
}

nb::object checked_str(nb::handle value, const char *what) {
    if (value.is_none() || PyUnicode_Check(value.ptr())) return nb::borrow(value);
    raise(PyExc_TypeError, "%s must be a str or None, not %s", what, Py_TYPE(value.ptr())->tp_name);
}

nb::object new_string_io(nb::handle text) {
    return nb::module_::import_("io").attr("StringIO")(text);
}

// ---- abstract contract

[[noreturn]] nb::object not_implemented(Args) {
    PyErr_SetNone(PyExc_NotImplementedError);
    throw nb::python_error();
}

// ---- consistency check and coefficients

nb::object as_set(nb::handle iterable) {
    PyObject *s = PySet_New(iterable.ptr());
    if (!s) throw nb::python_error();
    return nb::steal(s);
}

nb::object set_minus(nb::handle a, nb::handle b) {
    PyObject *r = PyNumber_Subtract(a.ptr(), b.ptr());
    if (!r) throw nb::python_error();
    return nb::steal(r);
}

nb::object preprocess_attributes(Args a) {
    nb::handle self = a[0];
    nb::object preparation = field(self, key("feature_preparation"));
    nb::object attributes = field(self, key("attributes"));

    nb::object model_attributes = as_set(attributes);
    nb::object unknown =
        set_minus(as_set(call_method(preparation, "get_all_transformation_attributes")),
                  model_attributes);
    if (PySet_GET_SIZE(unknown.ptr()) != 0)
        raise(PyExc_ValueError,
              "Transformation defined for unknown attributes: %S. Model attributes are %S.",
              unknown.ptr(), model_attributes.ptr());

    // Bucketing may start from an own attribute or from one that a transformation creates.
    nb::object known_after = nb::steal(PySequence_List(attributes.ptr()));
    if (!known_after.is_valid()) throw nb::python_error();
    nb::object created = call_method(preparation, "get_attributes_created_in_transformations");
    nb::object extended = nb::steal(PySequence_InPlaceConcat(known_after.ptr(), created.ptr()));
    if (!extended.is_valid()) throw nb::python_error();
    unknown = set_minus(as_set(call_method(preparation, "get_all_binning_attributes")),
                        as_set(extended));
    if (PySet_GET_SIZE(unknown.ptr()) != 0)
        raise(PyExc_ValueError,
              "Binning defined for unknown attributes: %S. Model attributes are %S.",
              unknown.ptr(), model_attributes.ptr());
    // Dummy encodings are not checked: what they should be compared with is not settled, and no
    // record may be rejected because of them.
    return nb::borrow(self);
}

/// Position of the first element of `names` equal to `name`; -1 when there is none.
Py_ssize_t first_index(nb::handle names, nb::handle name) {
    if (!PyList_CheckExact(names.ptr())) {
        PyObject *r = PyObject_CallMethodOneArg(names.ptr(), key("index"), name.ptr());
        if (!r) {
            if (!PyErr_ExceptionMatches(PyExc_ValueError)) throw nb::python_error();
            PyErr_Clear();
            return -1;
        }
        Py_ssize_t i = PyLong_AsSsize_t(r);
        Py_DECREF(r);
        if (i == -1 && PyErr_Occurred()) throw nb::python_error();
        return i;
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(names.ptr()); ++i) {
        nb::object item = nb::borrow(PyList_GET_ITEM(names.ptr(), i));  // held across __eq__
        if (PyUnicode_CheckExact(item.ptr()) && PyUnicode_CheckExact(name.ptr())) {
            if (PyUnicode_Compare(item.ptr(), name.ptr()) == 0) return i;
            continue;
        }
        if (equals(item, name.ptr())) return i;
    }
    return -1;
}

/// The names that coefficients are ordered by: the external model's, else the record's own.
nb::object coefficient_names(nb::handle self) {
    nb::object names = call_method(self, "get_external_model_feature_names");
    if (!truthy(names)) names = field(self, key("attributes"));
    return names;
}

nb::object coefficient_of(nb::handle self, nb::handle attribute) {
    try {
        nb::object names = coefficient_names(self);
        Py_ssize_t index = first_index(names, attribute);
        if (index < 0) return nb::none();
        nb::object coefficients = call_method(self, "get_external_model_coefficients");
        if (coefficients.is_none()) return nb::none();
        nb::object position = nb::steal(PyLong_FromSsize_t(index));
        return as_float(get_item(coefficients, position), "Coefficient");
    } catch (nb::python_error &e) {
        if (e.matches(PyExc_ValueError) || e.matches(PyExc_KeyError)) return nb::none();
        throw;
    }
}

nb::object get_coefficient(Args a) { return coefficient_of(a[0], a[1]); }

// ---- external model access

nb::object get_external_model_stringio(Args a) {
    nb::handle self = a[0];
    nb::object model = external_model(self);
    if (equals(predictive_model_type(self), known.type_pmml))
        return new_string_io(get_item(model, nb::handle(key("pmml_model"))));
    return new_string_io(nb::module_::import_(kDump).attr("safe_dumps_json")(model));
}

nb::object get_external_model_feature_names(Args a) {
    nb::object value = follow(external_model(a[0]), {key("feature_names")});
    if (!value.is_valid()) return nb::none();
    return checked_list(value, "Feature names");
}

nb::object get_external_model_intercept(Args a) {
    nb::object model = external_model(a[0]);
    nb::object value = follow(model, {key("intercept")});
    if (!value.is_valid()) value = follow(model, {key("model"), key("intercept_"), zero()});
    if (!value.is_valid())
        value = follow(model, {key("logreg_model_params"), key("intercept_"), zero()});
    if (!value.is_valid()) return nb::none();
    return as_float(value, "Intercept");
}

nb::object get_external_model_intercept_name(Args a) {
    nb::object value = follow(external_model(a[0]), {key("intercept_name")});
    if (!value.is_valid()) return nb::none();
    return checked_str(value, "Intercept name");
}

nb::object get_external_model_coefficients(Args a) {
    nb::object model = external_model(a[0]);
    nb::object value = follow(model, {key("model"), key("coef_"), zero()});
    if (!value.is_valid())
        value = follow(model, {key("logreg_model_params"), key("coef_"), zero()});
    if (!value.is_valid()) return nb::none();
    return checked_list(value, "Coefficients");
}

/// The value at `path` under "xgb_model" / "learner" of an XGB model; empty otherwise.
nb::object xgb_figure(nb::handle self, std::initializer_list<PyObject *> path) {
    if (!equals(predictive_model_type(self), known.type_xgb)) return {};
    nb::object learner = follow(external_model(self), {key("xgb_model"), key("learner")});
    if (!learner.is_valid()) return {};
    return follow(learner, path);
}

nb::object as_int(nb::handle value) {
    PyObject *r = PyNumber_Long(value.ptr());
    if (!r) throw nb::python_error();
    return nb::steal(r);
}

nb::object get_external_model_best_iteration(Args a) {
    nb::object value = xgb_figure(a[0], {key("attributes"), key("best_iteration")});
    if (!value.is_valid()) return nb::none();
    PyObject *r = PyNumber_Add(as_int(value).ptr(), PyLong_FromLong(1));
    if (!r) throw nb::python_error();
    return nb::steal(r);
}

nb::object get_external_model_number_of_trees(Args a) {
    nb::object value = xgb_figure(
        a[0], {key("gradient_booster"), key("model"), key("gbtree_model_param"), key("num_trees")});
    return value.is_valid() ? as_int(value) : nb::none();
}

nb::object get_external_model_number_of_attributes(Args a) {
    nb::object value = xgb_figure(a[0], {key("learner_model_param"), key("num_feature")});
    return value.is_valid() ? as_int(value) : nb::none();
}

nb::object get_external_model_best_eval_metric(Args a) {
    nb::object value = xgb_figure(a[0], {key("attributes"), key("best_score")});
    if (!value.is_valid()) return nb::none();
    PyObject *r = PyNumber_Float(value.ptr());
    if (!r) throw nb::python_error();
    return nb::steal(r);
}

nb::object get_external_model_category(Args a) {
    nb::object type = predictive_model_type(a[0]);
    if (equals(type, known.type_cox_ph_fitter)) return nb::borrow(known.category_horizon);
    for (PyObject *member : {known.type_logistic_regression, known.type_xgb, known.type_expert_score,
                             known.type_random_forest, known.type_pmml})
        if (equals(type, member)) return nb::borrow(known.category_static);
    return nb::borrow(known.category_none);
}

// ---- migration

nb::object migrate(Args a) {
    nb::handle self = a[0];
    if (equals(predictive_model_type(self), known.type_expert_score) &&
        !truthy(call_method(self, "get_external_model_feature_names"))) {
        // The record's own list object, so that the two stay one list.
        set_item(external_model(self), nb::handle(key("feature_names")),
                 field(self, key("attributes")));
    }
    nb::object description = field(self, key("description"));
    if (field(description, key("predictive_model_name")).is_none())
        set_attr(description, "predictive_model_name", field(self, key("directory_name")));
    return nb::none();
}

// ---- content round trip

nb::object get_content(Args a) {
    nb::handle self = a[0];
    nb::module_ io = nb::module_::import_("io");
    nb::object yaml_text = nb::module_::import_(kDump).attr("valid_dumps_yaml")(self);
    nb::object yaml_stream = io.attr("StringIO")(yaml_text);

    nb::dict images;
    nb::object attached = field(field(self, key("description")), key("attached_images"));
    if (!attached.is_none()) {
        nb::object bytes_io = io.attr("BytesIO");
        for (nb::handle image : attached) {
            nb::object content = field(image, key("image"));
            if (content.is_none()) continue;
            set_item(images, field(image, key("filename")), bytes_io(content));
        }
    }

    nb::object stream = call_method(self, "get_external_model_stringio");
    bool pmml = equals(predictive_model_type(self), known.type_pmml);
    return nb::handle(known.content_class)(
        nb::arg("augmented_scorer_yaml") = yaml_stream,
        nb::arg("external_model_json") = pmml ? nb::none() : stream,
        nb::arg("external_model_pmml") = pmml ? stream : nb::none(),
        nb::arg("attached_images") = images);
}

// ---- restoring what the writer dropped
//
// The YAML writer leaves out entries whose value is None, [] or {}. A required field stored that
// way would make the record unreadable, so before validation each stored mapping gets such fields
// back. How a stored value is walked depends only on the annotation it is stored under, so the
// walk is compiled once per annotation and kept for the life of the process.

/// The origin and arguments of a typing annotation (`get_origin`, `get_args`).
struct Shape {
    nb::object origin;
    nb::tuple args;
};

Shape shape_of(nb::handle annotation) {
    nb::module_ typing = nb::module_::import_("typing");
    return {typing.attr("get_origin")(annotation),
            nb::borrow<nb::tuple>(typing.attr("get_args")(annotation))};
}

bool is_record_class(nb::handle annotation) {
    if (!PyType_Check(annotation.ptr())) return false;
    nb::object base = nb::module_::import_("pydantic").attr("BaseModel");
    int r = PyObject_IsSubclass(annotation.ptr(), base.ptr());
    if (r < 0) throw nb::python_error();
    return r == 1;
}

bool is_union(nb::handle origin) {
    return origin.is(nb::module_::import_("typing").attr("Union")) ||
           origin.is(nb::module_::import_("types").attr("UnionType"));
}

bool is_annotated(nb::handle origin) {
    return origin.is(nb::module_::import_("typing").attr("Annotated"));
}

/// True when `annotation` admits None.
bool admits_none(nb::handle annotation) {
    if (annotation.is_none() || annotation.is(Py_TYPE(Py_None))) return true;
    // A field of any type (a class label, say) may hold None, which the writer drops as well.
    if (annotation.is(nb::module_::import_("typing").attr("Any")) ||
        annotation.is(reinterpret_cast<PyObject *>(&PyBaseObject_Type)))
        return true;
    Shape s = shape_of(annotation);
    if (s.origin.is_none()) return false;
    if (is_annotated(s.origin)) return admits_none(s.args[0]);
    if (!is_union(s.origin)) return false;
    for (nb::handle variant : s.args)
        if (variant.is(Py_TYPE(Py_None))) return true;
    return false;
}

/// How a stored value is walked. Objects it names are kept alive with the walk (process lifetime).
struct Walk {
    enum class Kind { Skip, Record, List, Dict, Tagged } kind = Kind::Skip;
    /// List and Dict: the walk of each item (each value for Dict).
    const Walk *item = nullptr;
    /// Tagged: a stored mapping whose "type" equals `tag` is walked as that variant.
    struct Variant {
        PyObject *tag;
        const Walk *walk;
    };
    std::vector<Variant> variants;
    /// Record: every field, in declaration order.
    struct Field {
        enum class Missing { Keep, None, List, Dict };  ///< what a missing required field gets
        PyObject *name;
        PyObject *alias;  ///< nullptr when the field has no alias
        Missing missing;
        const Walk *walk;
    };
    std::vector<Field> fields;
};

const Walk skip_walk{};

const Walk *compile_walk(nb::handle annotation);
Walk *compile_into(Walk *w, nb::handle annotation);

/// The walk of a record class: its fields, what a missing required one gets, and their walks.
void compile_record(Walk &w, nb::handle record_class) {
    w.kind = Walk::Kind::Record;
    nb::object fields = record_class.attr("model_fields");
    // The entries as a list of pairs: the loop calls into Python, so it holds its own references.
    nb::object entries = nb::steal(PyMapping_Items(fields.ptr()));
    if (!entries.is_valid()) throw nb::python_error();
    for (nb::handle entry : entries) {
        nb::object name, info;
        unpack_pair(entry, name, info);
        nb::object annotation = info.attr("annotation");
        nb::object alias = info.attr("alias");
        Walk::Field f{nb::borrow(name).release().ptr(),
                      alias.is_none() ? nullptr : alias.release().ptr(), Walk::Field::Missing::Keep,
                      compile_walk(annotation)};
        if (truthy(call_method(info, "is_required"))) {
            if (admits_none(annotation)) {
                f.missing = Walk::Field::Missing::None;
            } else {
                Shape s = shape_of(annotation);
                if (s.origin.is(&PyList_Type)) f.missing = Walk::Field::Missing::List;
                else if (s.origin.is(&PyDict_Type)) f.missing = Walk::Field::Missing::Dict;
            }
        }
        w.fields.push_back(f);
    }
}

/// The variants of a union that a stored mapping names by its "type" tag.
void compile_tagged(Walk &w, const std::vector<nb::object> &candidates) {
    w.kind = Walk::Kind::Tagged;
    for (const nb::object &variant : candidates) {
        if (!is_record_class(variant)) continue;
        nb::object fields = variant.attr("model_fields");
        PyObject *found = PyDict_GetItemWithError(fields.ptr(), key("type"));
        if (!found) {
            if (PyErr_Occurred()) throw nb::python_error();
            continue;
        }
        nb::object info = nb::borrow(found);
        Shape literal = shape_of(info.attr("annotation"));
        const Walk *walk = compile_walk(variant);
        for (nb::handle allowed : literal.args)
            w.variants.push_back({nb::borrow(allowed).release().ptr(), walk});
    }
}

/// The compiled walks by annotation (keys kept alive), and the keys added by compiles still in
/// progress.
struct WalkCache {
    std::unordered_map<PyObject *, const Walk *> compiled;
    std::vector<PyObject *> fresh;
};

WalkCache &walk_cache() {
    static WalkCache cache;
    return cache;
}

/// Keeps the cache to finished walks: when a compile fails (an error of Python code it ran), the
/// entries it added are dropped so that the next call compiles them afresh instead of using a
/// walk that stopped half way. The dropped walks and their keys' references are leaked: a walk
/// compiled meanwhile may point at them.
struct CompileGuard {
    size_t mark;
    bool finished = false;
    explicit CompileGuard(size_t mark) : mark(mark) {}
    ~CompileGuard() {
        WalkCache &cache = walk_cache();
        if (!finished) {
            for (size_t i = mark; i < cache.fresh.size(); ++i) cache.compiled.erase(cache.fresh[i]);
            cache.fresh.resize(mark);
        } else if (mark == 0) {
            cache.fresh.clear();  // the outermost compile finished: everything it added is final
        }
    }
};

const Walk *compile_walk(nb::handle annotation) {
    WalkCache &cache = walk_cache();
    if (auto it = cache.compiled.find(annotation.ptr()); it != cache.compiled.end()) return it->second;
    Py_INCREF(annotation.ptr());
    auto *w = new Walk();
    CompileGuard guard(cache.fresh.size());
    cache.fresh.push_back(annotation.ptr());
    cache.compiled.emplace(annotation.ptr(), w);  // before compiling: a record may refer to itself
    w = compile_into(w, annotation);
    guard.finished = true;
    return w;
}

Walk *compile_into(Walk *w, nb::handle annotation) {
    if (is_record_class(annotation)) {
        compile_record(*w, annotation);
        return w;
    }
    Shape s = shape_of(annotation);
    if (s.origin.is_none()) return w;
    if (is_annotated(s.origin)) {
        *w = *compile_walk(s.args[0]);
    } else if (s.origin.is(&PyList_Type) && s.args.size() == 1) {
        w->kind = Walk::Kind::List;
        w->item = compile_walk(s.args[0]);
    } else if (s.origin.is(&PyDict_Type) && s.args.size() == 2) {
        w->kind = Walk::Kind::Dict;
        w->item = compile_walk(s.args[1]);
    } else if (is_union(s.origin)) {
        // Only a variant that the stored mapping names unambiguously is followed: the single
        // non-None variant, or the record whose "type" tag equals the mapping's.
        std::vector<nb::object> candidates;
        for (nb::handle variant : s.args)
            if (!variant.is(Py_TYPE(Py_None))) candidates.push_back(nb::borrow(variant));
        if (candidates.size() == 1) *w = *compile_walk(candidates[0]);
        else compile_tagged(*w, candidates);
    }
    return w;
}

void restore(const Walk &w, nb::handle value);

/// Gives a stored mapping of a record back the required fields the writer left out.
void restore_record(const Walk &w, nb::handle data) {
    if (!PyDict_CheckExact(data.ptr())) return;
    for (const Walk::Field &f : w.fields) {
        PyObject *stored = PyDict_GetItemWithError(data.ptr(), f.name);
        if (!stored && !PyErr_Occurred() && f.alias) stored = PyDict_GetItemWithError(data.ptr(), f.alias);
        if (PyErr_Occurred()) throw nb::python_error();
        if (stored) {
            if (f.walk->kind != Walk::Kind::Skip) restore(*f.walk, nb::borrow(stored));
            continue;
        }
        switch (f.missing) {
            case Walk::Field::Missing::Keep: break;
            case Walk::Field::Missing::None: set_item(data, f.name, nb::none()); break;
            case Walk::Field::Missing::List: set_item(data, f.name, nb::list()); break;
            case Walk::Field::Missing::Dict: set_item(data, f.name, nb::dict()); break;
        }
    }
}

void restore(const Walk &w, nb::handle value) {
    PyObject *v = value.ptr();
    switch (w.kind) {
        case Walk::Kind::Skip: return;
        case Walk::Kind::Record: restore_record(w, value); return;
        case Walk::Kind::List:
            if (!PyList_CheckExact(v)) return;
            for (Py_ssize_t i = 0; i < PyList_GET_SIZE(v); ++i)
                restore(*w.item, nb::borrow(PyList_GET_ITEM(v, i)));
            return;
        case Walk::Kind::Dict: {
            if (!PyDict_CheckExact(v)) return;
            nb::object values = nb::steal(PyDict_Values(v));  // strong references throughout
            if (!values.is_valid()) throw nb::python_error();
            for (nb::handle item : values) restore(*w.item, item);
            return;
        }
        case Walk::Kind::Tagged: {
            if (!PyDict_CheckExact(v)) return;
            PyObject *tag = PyDict_GetItemWithError(v, key("type"));
            if (!tag) {
                if (PyErr_Occurred()) throw nb::python_error();
                return;
            }
            nb::object held = nb::borrow(tag);
            for (const Walk::Variant &variant : w.variants)
                if (equals(held, variant.tag)) {
                    restore(*variant.walk, value);
                    return;
                }
            return;
        }
    }
}

void restore_dropped(nb::handle record_class, nb::handle data) {
    restore(*compile_walk(record_class), data);
}

nb::object parse_from_content(Args a) {
    nb::handle cls = a[0], content = a[1];
    nb::object yaml_stream = content.attr("augmented_scorer_yaml");
    yaml_stream.attr("seek")(0);
    nb::object data =
        nb::module_::import_(kDump).attr("safe_loads_yaml")(yaml_stream.attr("read")());

    nb::object json_stream = content.attr("external_model_json");
    if (truthy(json_stream)) {
        json_stream.attr("seek")(0);
        set_item(data, nb::handle(key("external_model")),
                 nb::module_::import_("json").attr("load")(json_stream));
    } else {
        nb::object pmml_stream = content.attr("external_model_pmml");
        if (truthy(pmml_stream)) {
            pmml_stream.attr("seek")(0);
            nb::dict model;
            model[nb::handle(key("type"))] = nb::handle(known.type_pmml);
            model[nb::handle(key("pmml_model"))] = pmml_stream.attr("read")();
            set_item(data, nb::handle(key("external_model")), model);
        }
    }

    restore_dropped(cls, data);
    nb::object result = cls.attr("model_validate")(data);

    nb::object attached = field(field(result, key("description")), key("attached_images"));
    if (!attached.is_none()) {
        nb::object streams = content.attr("attached_images");
        for (nb::handle image : attached) {
            nb::object stream = follow(streams, {field(image, key("filename")).ptr()});
            // An image stored without bytes has no stream: it keeps no bytes.
            if (!stream.is_valid()) continue;
            set_attr(image, "image", stream.attr("getvalue")());
        }
    }
    call_method(result, "_migrate");
    return result;
}

// ---- views

nb::object augmented_model(nb::handle view) { return view.attr("augmented_model"); }

nb::object view_init(Args a) {
    set_attr(a[0], "augmented_model", a[1]);
    return nb::none();
}

nb::object view_coefficients(Args a) {
    return checked_list(call_method(augmented_model(a[0]), "get_external_model_coefficients"),
                        "Coefficients");
}
nb::object view_intercept(Args a) {
    return as_float(call_method(augmented_model(a[0]), "get_external_model_intercept"),
                    "Intercept");
}
nb::object view_intercept_name(Args a) {
    return checked_str(call_method(augmented_model(a[0]), "get_external_model_intercept_name"),
                       "Intercept name");
}
nb::object view_best_eval_metric(Args a) {
    return as_float(call_method(augmented_model(a[0]), "get_external_model_best_eval_metric"),
                    "Best evaluation metric");
}
nb::object view_best_iteration(Args a) {
    return call_method(augmented_model(a[0]), "get_external_model_best_iteration");
}
nb::object view_number_of_attributes(Args a) {
    return call_method(augmented_model(a[0]), "get_external_model_number_of_attributes");
}
nb::object view_number_of_trees(Args a) {
    return call_method(augmented_model(a[0]), "get_external_model_number_of_trees");
}

nb::object view_external_model(Args a) {
    return nb::handle(known.external_view_class)(nb::arg("augmented_model") = a[1]);
}

nb::object view_category(Args a) { return call_method(a[1], "get_external_model_category"); }

/// Appends `value` formatted ".4f" exactly as the host formats it.
void append_number(std::string &out, nb::handle value) {
    if (PyFloat_CheckExact(value.ptr())) {
        formula::append_fixed4(out, PyFloat_AS_DOUBLE(value.ptr()));
        return;
    }
    nb::object text = nb::steal(PyObject_Format(value.ptr(), nb::str(".4f").ptr()));
    if (!text.is_valid()) throw nb::python_error();
    Py_ssize_t n;
    const char *utf8 = PyUnicode_AsUTF8AndSize(text.ptr(), &n);
    if (!utf8) throw nb::python_error();
    out.append(utf8, n);
}

/// Appends the separator (and factor) that precede one term.
void append_separator(std::string &out, nb::handle coefficient) {
    if (coefficient.is_none()) {
        formula::append_unweighted(out);
        return;
    }
    if (PyFloat_CheckExact(coefficient.ptr())) {
        formula::append_weighted(out, PyFloat_AS_DOUBLE(coefficient.ptr()));
        return;
    }
    nb::object zero_value = nb::steal(PyLong_FromLong(0));
    int negative = PyObject_RichCompareBool(coefficient.ptr(), zero_value.ptr(), Py_LT);
    if (negative < 0) throw nb::python_error();
    if (negative) {
        out += " - ";
        nb::object magnitude = nb::steal(PyNumber_Absolute(coefficient.ptr()));
        if (!magnitude.is_valid()) throw nb::python_error();
        append_number(out, magnitude);
    } else {
        out += " + ";
        append_number(out, coefficient);
    }
    out += " * ";
}

/// Moves the ASCII text gathered in `pending` into `pieces` as one str.
void flush(nb::list &pieces, std::string &pending) {
    if (pending.empty()) return;
    pieces.append(nb::str(pending.data(), pending.size()));
    pending.clear();
}

/// True when `type(obj).<name>` is `own`: the method the fast path stands in for.
bool is_own(nb::handle obj, const char *name, PyObject *own) {
    return _PyType_Lookup(Py_TYPE(obj.ptr()), key(name)) == own;
}

/// The value stored under `name` in the instance dict of `obj`, read without running Python
/// code; empty when there is none (the attribute would then have to be looked up).
nb::object stored_field(nb::handle obj, PyObject *name) {
    PyObject *dict = PyObject_GenericGetDict(obj.ptr(), nullptr);
    if (!dict) {
        PyErr_Clear();
        return {};
    }
    PyObject *value = PyDict_GetItemWithError(dict, name);
    nb::object result = value ? nb::borrow(value) : nb::object();
    Py_DECREF(dict);
    if (!value && PyErr_Occurred()) throw nb::python_error();
    return result;
}

/// The result of one subscription of an exact dict (by an exact str) or an exact list or tuple (at
/// position 0), made without running Python code: `missing` when a dict has no such key; `other`
/// when the subscription would need Python code or would raise anything but KeyError.
enum class Step { ok, missing, other };

Step plain_step(nb::object &current, PyObject *k) {
    PyObject *c = current.ptr();
    if (PyDict_CheckExact(c) && PyUnicode_CheckExact(k)) {
        PyObject *next = PyDict_GetItemWithError(c, k);
        if (!next) {
            if (PyErr_Occurred()) throw nb::python_error();
            return Step::missing;
        }
        current = nb::borrow(next);
        return Step::ok;
    }
    if (!PyLong_CheckExact(k)) return Step::other;  // the callers' only other key: position 0
    if (PyList_CheckExact(c) && PyList_GET_SIZE(c) > 0) {
        current = nb::borrow(PyList_GET_ITEM(c, 0));
        return Step::ok;
    }
    if (PyTuple_CheckExact(c) && PyTuple_GET_SIZE(c) > 0) {
        current = nb::borrow(PyTuple_GET_ITEM(c, 0));
        return Step::ok;
    }
    return Step::other;
}

/// `follow` over plain containers only: the value, or an empty object when a key is missing, or
/// an empty object with `other` set when Python code would be needed or an error would be raised.
nb::object plain_follow(nb::handle root, std::initializer_list<PyObject *> keys, bool &other) {
    nb::object current = nb::borrow(root);
    for (PyObject *k : keys) {
        switch (plain_step(current, k)) {
            case Step::ok: break;
            case Step::missing: return {};
            case Step::other: other = true; return {};
        }
    }
    return current;
}

/// The stored coefficients of all names at once, exactly as `get_coefficient` would find them
/// one at a time before converting them: one item (float, int or None) per position of `names`.
/// Empty when the shortcut does not apply: methods overridden, names that are not all exact str,
/// or anything on the way (the external model, its feature names, the row, an item) that the
/// per-name calls would read with Python code of its own or that would make them raise. Runs no
/// Python code, so that the calls it stands for happen in no other order than their own.
nb::object coefficients_at_once(nb::handle parent, nb::handle names) {
    if (!is_own(parent, "get_coefficient", known.own_get_coefficient) ||
        !is_own(parent, "get_external_model_feature_names", known.own_feature_names) ||
        !is_own(parent, "get_external_model_coefficients", known.own_coefficients) ||
        !PyList_CheckExact(names.ptr()))
        return {};
    nb::object model = stored_field(parent, key("external_model"));
    if (!model.is_valid() || !PyDict_CheckExact(model.ptr())) return {};
    // Every per-name call reads the feature names again and tests them for truth.
    PyObject *feature_names = PyDict_GetItemWithError(model.ptr(), key("feature_names"));
    if (!feature_names && PyErr_Occurred()) throw nb::python_error();
    if (feature_names && feature_names != Py_None && !PyList_CheckExact(feature_names)) return {};
    bool other = false;
    nb::object row = plain_follow(model, {key("model"), key("coef_"), zero()}, other);
    if (!row.is_valid() && !other)
        row = plain_follow(model, {key("logreg_model_params"), key("coef_"), zero()}, other);
    if (other) return {};
    if (row.is_valid() && !PyList_CheckExact(row.ptr())) return {};

    Py_ssize_t n = PyList_GET_SIZE(names.ptr());
    nb::object result = nb::steal(PyList_New(n));
    if (!result.is_valid()) throw nb::python_error();
    for (Py_ssize_t i = 0; i < n; ++i) PyList_SET_ITEM(result.ptr(), i, Py_NewRef(Py_None));
    if (!row.is_valid()) return result;  // no coefficients: every name has none
    nb::dict first;  // name -> first position; exact str keys only, so no Python code runs
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *name = PyList_GET_ITEM(names.ptr(), i);
        if (!PyUnicode_CheckExact(name)) return {};
        nb::object position = nb::steal(PyLong_FromSsize_t(i));
        PyObject *kept = PyDict_SetDefault(first.ptr(), name, position.ptr());
        if (!kept) throw nb::python_error();
        Py_ssize_t at = PyLong_AsSsize_t(kept);
        if (at >= PyList_GET_SIZE(row.ptr())) return {};  // the per-name call raises IndexError
        PyObject *item = PyList_GET_ITEM(row.ptr(), at);
        // Converting anything but a plain number may run Python code: left to the per-name calls.
        if (item != Py_None && !PyFloat_CheckExact(item) && !PyLong_CheckExact(item)) return {};
        if (PyList_SetItem(result.ptr(), i, Py_NewRef(item)) < 0) throw nb::python_error();
    }
    return result;
}

/// Transformed attribute name -> first transformation creating it, when the registry's own
/// lookup would find exactly that; empty when the shortcut does not apply. Runs no Python code.
nb::object transformations_by_name(nb::handle preparation) {
    if (!is_own(preparation, "get_transformation_formula", known.own_transformation_formula))
        return {};
    nb::object transformations = stored_field(preparation, key("transformations"));
    if (!transformations.is_valid() || !PyList_CheckExact(transformations.ptr())) return {};
    nb::dict by_name;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(transformations.ptr()); ++i) {
        nb::object entry = nb::borrow(PyList_GET_ITEM(transformations.ptr(), i));
        nb::object created = stored_field(entry, key("transformed_attribute_name"));
        if (!created.is_valid()) return {};
        if (created.is_none()) continue;
        if (!PyUnicode_CheckExact(created.ptr())) return {};
        if (!PyDict_SetDefault(by_name.ptr(), created.ptr(), entry.ptr())) throw nb::python_error();
    }
    return by_name;
}

nb::object view_formula(Args a) {
    nb::handle parent = a[1];
    if (!equals(predictive_model_type(parent), known.type_logistic_regression)) return nb::none();

    nb::object intercept = call_method(parent, "get_external_model_intercept");
    std::string pending;
    if (truthy(intercept)) append_number(pending, intercept);
    else formula::append_fixed4(pending, 0.0);

    nb::object names = coefficient_names(parent);
    // Two shortcuts stand in for the per-name calls, each taken while no Python code runs: the
    // stored coefficients of all names and the transformations by created name. They hold only
    // until Python code runs (a conversion, a method of a subclass, a str() of a value), which may
    // change the names, the row or the registry: from then on every name is served by the calls
    // themselves, as the loop would be in Python. Iterating a plain list runs no Python code.
    nb::object coefficients, by_name;
    if (PyList_CheckExact(names.ptr())) {
        coefficients = coefficients_at_once(parent, names);
        nb::object preparation = stored_field(parent, key("feature_preparation"));
        if (preparation.is_valid()) by_name = transformations_by_name(preparation);
    }
    auto python_ran = [&] {
        coefficients = nb::object();
        by_name = nb::object();
    };

    nb::list pieces;  // the numbers are ASCII; the term texts go in as the str objects they are
    Py_ssize_t i = 0;
    for (nb::handle name : names) {
        nb::object coefficient;
        if (coefficients.is_valid() && i < PyList_GET_SIZE(coefficients.ptr())) {
            coefficient = as_float(nb::handle(PyList_GET_ITEM(coefficients.ptr(), i)), "Coefficient");
        } else {
            coefficient = parent.attr("get_coefficient")(name);
            python_ran();
        }
        ++i;
        nb::object term;
        if (by_name.is_valid() && PyUnicode_CheckExact(name.ptr())) {
            PyObject *entry = PyDict_GetItemWithError(by_name.ptr(), name.ptr());
            if (!entry && PyErr_Occurred()) throw nb::python_error();
            if (entry) {
                nb::object held = nb::borrow(entry);
                nb::object text = stored_field(held, key("transformation"));
                if (!text.is_valid() || !PyUnicode_CheckExact(text.ptr())) {
                    text = to_str(field(held, key("transformation")));
                    python_ran();
                }
                term = nb::steal(PyUnicode_FromFormat("(%U)", text.ptr()));
                if (!term.is_valid()) throw nb::python_error();
            } else {
                term = nb::borrow(name);
            }
        } else {
            nb::object preparation = field(parent, key("feature_preparation"));
            term = preparation.attr("get_transformation_formula")(nb::arg("attribute") = name);
            python_ran();
        }
        if (!PyUnicode_CheckExact(term.ptr())) {
            term = to_str(term);
            python_ran();
        }
        if (!coefficient.is_none() && !PyFloat_CheckExact(coefficient.ptr())) python_ran();
        append_separator(pending, coefficient);
        flush(pieces, pending);
        pieces.append(term);
    }
    flush(pieces, pending);
    PyObject *text = PyUnicode_Join(nb::str("").ptr(), pieces.ptr());
    if (!text) throw nb::python_error();
    return nb::steal(text);
}

}  // namespace

NB_MODULE(augmented_scorer, m) {
    using namespace qv;
    qv::init_native_types();
    const char *pkg = "quorvex_analytics_utils.predictive_models.";
    auto import_from = [&](const char *path, const char *name) {
        return nb::module_::import_((std::string(pkg) + path).c_str()).attr(name);
    };
    nb::object record_base =
        nb::module_::import_("quorvex_analytics_utils.utils.record_base").attr("RecordBase");
    nb::module_::import_(kDump);
    nb::object preparation =
        import_from("feature_preparation.feature_preparation", "FeaturePreparation");
    nb::object preparation_view =
        import_from("feature_preparation.feature_preparation", "FeaturePreparationType");
    nb::object profile = import_from("scorer_profile.scorer_profile", "PredictiveScorerProfile");
    nb::object profile_view =
        import_from("scorer_profile.scorer_profile", "PredictiveScorerProfileType");
    nb::object quality = import_from("scorer_quality.scorer_quality", "PredictiveScorerQuality");
    nb::object quality_view =
        import_from("scorer_quality.scorer_quality", "PredictiveScorerQualityType");
    nb::object watch = import_from("scorer_watch.scorer_watch", "PredictiveScorerWatch");
    nb::object watch_view = import_from("scorer_watch.scorer_watch", "PredictiveScorerWatchType");
    nb::object content = import_from("content", "AugmentedScorerContent");
    known.content_class = content.inc_ref().ptr();

    nb::object model_type = declare_str_enum(m, "PredictiveModelType",
                                             {{"LOGISTIC_REGRESSION", "LOGISTIC_REGRESSION"},
                                              {"PMML", "PMML"},
                                              {"XGB", "XGB"},
                                              {"EXPERT_SCORE", "EXPERT_SCORE"},
                                              {"RANDOM_FOREST", "RANDOM_FOREST"},
                                              {"COX_PH_FITTER", "COX_PH_FITTER"}},
                                             true);
    known.type_logistic_regression = keep_forever(model_type.attr("LOGISTIC_REGRESSION"));
    known.type_pmml = keep_forever(model_type.attr("PMML"));
    known.type_xgb = keep_forever(model_type.attr("XGB"));
    known.type_expert_score = keep_forever(model_type.attr("EXPERT_SCORE"));
    known.type_random_forest = keep_forever(model_type.attr("RANDOM_FOREST"));
    known.type_cox_ph_fitter = keep_forever(model_type.attr("COX_PH_FITTER"));

    nb::object category = declare_str_enum(
        m, "PredictiveModelCategory", {{"STATIC", "STATIC"}, {"HORIZON", "HORIZON"}, {"NONE", "NONE"}},
        true);
    known.category_static = keep_forever(category.attr("STATIC"));
    known.category_horizon = keep_forever(category.attr("HORIZON"));
    known.category_none = keep_forever(category.attr("NONE"));

    nb::object abstract = nb::module_::import_("abc").attr("abstractmethod");
    nb::object str_t = typ::builtin("str");
    nb::object float_opt = typ::Optional(typ::builtin("float"));
    nb::object int_opt = typ::Optional(typ::builtin("int"));
    nb::object none_t = nb::none();
    nb::object string_io = nb::module_::import_("io").attr("StringIO");

    struct Getter {
        const char *name;
        nb::object returns;
        Impl impl;
    };
    const Getter getters[] = {
        {"get_external_model_stringio", string_io, get_external_model_stringio},
        {"get_external_model_feature_names", typ::Optional(typ::List(str_t)),
         get_external_model_feature_names},
        {"get_external_model_intercept", float_opt, get_external_model_intercept},
        {"get_external_model_intercept_name", typ::Optional(str_t),
         get_external_model_intercept_name},
        {"get_external_model_coefficients", typ::Optional(typ::List(typ::builtin("float"))),
         get_external_model_coefficients},
        {"get_external_model_best_iteration", int_opt, get_external_model_best_iteration},
        {"get_external_model_number_of_trees", int_opt, get_external_model_number_of_trees},
        {"get_external_model_number_of_attributes", int_opt,
         get_external_model_number_of_attributes},
        {"get_external_model_best_eval_metric", float_opt, get_external_model_best_eval_metric},
    };

    RecordClass base(m, "AbstractAugmentedScorer",
                     {record_base, nb::module_::import_("abc").attr("ABC")});
    base.doc("Deploys a statistical model into the application that runs it.\n\n"
             "After the record is created, the data about the model's development is filled in "
             "by the development tooling; before the model is put into production the record is "
             "serialised into a YAML file.")
        .field("attributes", typ::List(str_t), Field(nb::arg("default_factory") = typ::builtin("list")))
        .field("predictive_model_type", typ::Optional(model_type), nb::none())
        .field("target", typ::Optional(str_t), nb::none())
        .field("target_class", typ::Optional(str_t), nb::none())
        .field("feature_preparation", preparation, preparation())
        .field("description", profile, profile())
        .field("performance", quality, quality())
        .field("monitoring", watch, watch())
        .after_validator({"preprocess_attributes", {}, nb::str("AbstractAugmentedScorer")},
                         preprocess_attributes)
        .method({"get_content", {}, content}, get_content)
        .classmethod({"parse_from_content",
                      {Param{"content", Rule::Any, content}},
                      nb::str("AbstractAugmentedScorer")},
                     parse_from_content)
        .method({"get_coefficient", {Param{"attribute", Rule::Str, str_t}}, float_opt},
                get_coefficient)
        .wrapped_method({"_migrate", {}, none_t}, not_implemented, abstract);
    for (const Getter &g : getters)
        base.wrapped_method({g.name, {}, g.returns}, not_implemented, abstract);
    base.method({"get_external_model_category", {}, category}, get_external_model_category);
    nb::object abstract_class = base.build();
    auto own = [&](nb::handle cls, const char *name) {
        PyObject *found = _PyType_Lookup(reinterpret_cast<PyTypeObject *>(cls.ptr()), key(name));
        Py_XINCREF(found);
        return found;
    };
    known.own_get_coefficient = own(abstract_class, "get_coefficient");
    known.preparation_class = preparation.inc_ref().ptr();
    known.own_transformation_formula = own(preparation, "get_transformation_formula");

    RecordClass scorer(m, "AugmentedScorer", {abstract_class});
    scorer.field("directory_name", typ::Optional(str_t), nb::none())
        .field("external_model", typ::Dict(str_t, typ::Any()),
               Field(nb::arg("default_factory") = typ::builtin("dict"), nb::arg("exclude") = true))
        .method({"_migrate", {}, none_t}, migrate);
    for (const Getter &g : getters) scorer.method({g.name, {}, g.returns}, g.impl);
    nb::object scorer_class = scorer.build();
    known.scorer_class = scorer_class.inc_ref().ptr();
    known.own_feature_names = own(scorer_class, "get_external_model_feature_names");
    known.own_coefficients = own(scorer_class, "get_external_model_coefficients");

    nb::object external_view =
        ViewClass(m, "ExternalPredictiveModelType", nb::none())
            .method({"__init__", {Param{"augmented_model", Rule::Any, scorer_class}}, none_t},
                    view_init)
            .self_resolver({"coefficients", {}, typ::Optional(typ::List(typ::builtin("float")))},
                           view_coefficients)
            .self_resolver({"intercept", {}, float_opt}, view_intercept)
            .self_resolver({"intercept_name", {}, typ::Optional(str_t)}, view_intercept_name)
            .self_resolver({"best_eval_metric", {}, float_opt}, view_best_eval_metric)
            .self_resolver({"best_iteration", {}, int_opt}, view_best_iteration)
            .self_resolver({"number_of_attributes", {}, int_opt}, view_number_of_attributes)
            .self_resolver({"number_of_trees", {}, int_opt}, view_number_of_trees)
            .build();
    known.external_view_class = external_view.inc_ref().ptr();

    ViewClass(m, "AugmentedScorerType", scorer_class)
        .auto_field("directory_name")
        .auto_field("attributes")
        .auto_field("predictive_model_type")
        .auto_field("target")
        .auto_field("target_class")
        .field("feature_preparation", preparation_view)
        .field("description", profile_view)
        .field("performance", quality_view)
        .field("monitoring", watch_view)
        .resolver({"formula", {}, typ::Optional(str_t)}, view_formula, scorer_class)
        .resolver({"external_model", {}, external_view}, view_external_model, scorer_class)
        .resolver({"category", {}, category}, view_category, scorer_class)
        .build();
}
