// Restoring required fields that the YAML writer dropped. How a stored value is walked depends
// only on the annotation it is stored under (pydantic's model_fields, typing's origins and
// arguments), so the walk is compiled once per annotation and kept for the life of the process.
#include "dropped_fields.hpp"

#include "support.hpp"

#include <initializer_list>
#include <unordered_map>
#include <vector>

namespace {

using namespace qv;

PyObject *key(const char *text) { return interned(text); }

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
    return check(PyObject_IsSubclass(annotation.ptr(), base.ptr())) == 1;
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

/// True when `annotation`'s origin (or, for a union, a variant's) is one of `origins`: the
/// containers an empty list or mapping validates as.
bool admits_empty(nb::handle annotation, std::initializer_list<nb::handle> origins) {
    for (nb::handle origin : origins)
        if (annotation.is(origin)) return true;
    Shape s = shape_of(annotation);
    if (s.origin.is_none()) return false;
    if (is_annotated(s.origin)) return admits_empty(s.args[0], origins);
    if (is_union(s.origin)) {
        for (nb::handle variant : s.args)
            if (admits_empty(variant, origins)) return true;
        return false;
    }
    for (nb::handle origin : origins)
        if (s.origin.is(origin)) return true;
    return false;
}

bool admits_empty_list(nb::handle annotation) {
    nb::module_ abc = nb::module_::import_("collections.abc");
    return admits_empty(annotation, {nb::handle(reinterpret_cast<PyObject *>(&PyList_Type)),
                                     abc.attr("Sequence"), abc.attr("MutableSequence")});
}

bool admits_empty_mapping(nb::handle annotation) {
    nb::module_ abc = nb::module_::import_("collections.abc");
    return admits_empty(annotation, {nb::handle(reinterpret_cast<PyObject *>(&PyDict_Type)),
                                     abc.attr("Mapping"), abc.attr("MutableMapping")});
}

/// How a stored value is walked. Objects it names are kept alive with the walk (process lifetime).
struct Walk {
    enum class Kind : unsigned char { Skip, Record, List, Dict, Tagged } kind = Kind::Skip;
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
        /// What a missing required field gets; Record: an empty mapping, walked as the record.
        enum class Missing : unsigned char { Keep, None, List, Dict, Record };
        PyObject *name;
        PyObject *alias;  ///< nullptr when the field has no alias
        Missing missing;
        const Walk *walk;
    };
    std::vector<Field> fields;
};

const Walk *compile_walk(nb::handle annotation);
Walk *compile_into(Walk *w, nb::handle annotation);

/// What a required field was when the writer left it out: None, [] or {}, the first of them its
/// annotation admits. The writer drops all three alike, so a field that admits several (a field
/// of any type, say) cannot be told apart in the text: it gets None, the value it most likely
/// held. A record (all its fields at their defaults, dumped as {}) gets an empty mapping in
/// which its own dropped fields are restored in turn.
Walk::Field::Missing dropped_value(nb::handle annotation) {
    using Missing = Walk::Field::Missing;
    if (admits_none(annotation)) return Missing::None;
    if (admits_empty_list(annotation)) return Missing::List;
    if (admits_empty_mapping(annotation)) return Missing::Dict;
    if (is_record_class(annotation)) return Missing::Record;
    return Missing::Keep;
}

/// The walk of a record class: its fields, what a missing required one gets, and their walks.
void compile_record(Walk &w, nb::handle record_class) {
    w.kind = Walk::Kind::Record;
    nb::object fields = record_class.attr("model_fields");
    // The entries as a list of pairs: the loop calls into Python, so it holds its own references.
    nb::object entries = check(PyMapping_Items(fields.ptr()));
    for (nb::handle entry : entries) {
        nb::object name, info;
        unpack_pair(entry, name, info);
        nb::object annotation = info.attr("annotation");
        nb::object alias = info.attr("alias");
        Walk::Field f{nb::borrow(name).release().ptr(),
                      alias.is_none() ? nullptr : alias.release().ptr(), Walk::Field::Missing::Keep,
                      compile_walk(annotation)};
        if (truth(call_method(info, key("is_required")))) f.missing = dropped_value(annotation);
        w.fields.push_back(f);
    }
}

/// The variants of a union that a stored mapping names by its "type" tag.
void compile_tagged(Walk &w, const std::vector<nb::object> &candidates) {
    w.kind = Walk::Kind::Tagged;
    for (const nb::object &variant : candidates) {
        if (!is_record_class(variant)) continue;
        nb::object fields = variant.attr("model_fields");
        PyObject *found = dict_lookup(fields.ptr(), key("type"));
        if (!found) {
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
    explicit CompileGuard(size_t at) : mark(at) {}
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
    if (auto it = cache.compiled.find(annotation.ptr()); it != cache.compiled.end())
        return it->second;
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
        if (candidates.size() == 1)
            *w = *compile_walk(candidates[0]);
        else
            compile_tagged(*w, candidates);
    }
    return w;
}

void restore(const Walk &w, nb::handle value);

/// Gives a stored mapping of a record back the required fields the writer left out.
void restore_record(const Walk &w, nb::handle data) {
    if (!PyDict_CheckExact(data.ptr())) return;
    for (const Walk::Field &f : w.fields) {
        PyObject *stored = PyDict_GetItemWithError(data.ptr(), f.name);
        if (!stored && !PyErr_Occurred() && f.alias)
            stored = PyDict_GetItemWithError(data.ptr(), f.alias);
        if (PyErr_Occurred()) fail();
        if (stored) {
            if (f.walk->kind != Walk::Kind::Skip) restore(*f.walk, nb::borrow(stored));
            continue;
        }
        switch (f.missing) {
            case Walk::Field::Missing::Keep: break;
            case Walk::Field::Missing::None: set_item(data, f.name, nb::none()); break;
            case Walk::Field::Missing::List: set_item(data, f.name, nb::list()); break;
            case Walk::Field::Missing::Dict: set_item(data, f.name, nb::dict()); break;
            case Walk::Field::Missing::Record: {
                nb::dict empty;
                set_item(data, f.name, empty);
                restore(*f.walk, empty);
                break;
            }
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
            nb::object values = check(PyDict_Values(v));  // strong references throughout
            for (nb::handle item : values) restore(*w.item, item);
            return;
        }
        case Walk::Kind::Tagged: {
            if (!PyDict_CheckExact(v)) return;
            PyObject *tag = dict_lookup(v, key("type"));
            if (!tag) {
                return;
            }
            nb::object held = nb::borrow(tag);
            for (const Walk::Variant &variant : w.variants)
                if (identical_or_equal(held, variant.tag)) {
                    restore(*variant.walk, value);
                    return;
                }
            return;
        }
    }
}

}  // namespace

namespace qv {

void restore_dropped_fields(nb::handle record_class, nb::handle data) {
    restore(*compile_walk(record_class), data);
}

}  // namespace qv
