// Writing records and plain values as YAML and JSON text, and reading YAML text back.
//
// Every value that reaches the YAML writer goes through `ValidRepresenter.represent_data`, which
// drops empty mapping entries and turns values the safe representer cannot take (enumeration
// members, decimals, dates, identifiers, records, sets, data classes, weak references) into
// plain ones. That runs once per node, so the common node types take exact-type paths that make
// no Python call; everything else goes through the same isinstance checks Python code would.
// Calls without keyword arguments are written by the package's native writer, which prepares every
// node with the same two steps and hands the call to ruamel whenever it cannot promise ruamel's
// text (an error of those steps is ruamel's own and propagates from the native attempt).
#include "binding/declare.hpp"
#include "binding/support.hpp"
#include "engines/yaml_reader.hpp"
#include "engines/yaml_writer.hpp"
#include "kernels/float_text.hpp"

namespace {

using namespace qv;

/// Decimal places kept for floating-point and decimal values.
constexpr int kDigits = 12;
/// YAML line width.
constexpr int kWidth = 120;
/// JSON indentation unless the caller gives one.
constexpr int kIndent = 2;

/// Classes and functions this module works with, looked up once at import. Strong references
/// that are deliberately never released: they live as long as the interpreter's own modules.
struct State {
    PyObject *reference_type;     ///< weakref.ReferenceType
    PyObject *enum_type;          ///< enum.Enum
    PyObject *decimal_type;       ///< decimal.Decimal
    PyObject *datetime_type;      ///< datetime.datetime
    PyObject *date_type;          ///< datetime.date
    PyObject *time_type;          ///< datetime.time
    PyObject *uuid_type;          ///< uuid.UUID
    PyObject *base_model;         ///< pydantic.BaseModel
    PyObject *asdict;             ///< dataclasses.asdict
    PyObject *round;              ///< builtins.round
    PyObject *yaml_class;         ///< ruamel.yaml.YAML
    PyObject *composer_error;     ///< ruamel.yaml.composer.ComposerError
    PyObject *safe_representer;   ///< ruamel.yaml.representer.SafeRepresenter
    PyObject *string_io;          ///< io.StringIO
    PyObject *json_module;        ///< json
    PyObject *json_encoder;       ///< json.JSONEncoder
    PyObject *valid_representer;  ///< this module's ValidRepresenter
    PyObject *quorvex_encoder;    ///< this module's QuorvexJSONEncoder
};
State state{};

/// Attribute names, interned once (process lifetime).
struct Names {
    PyObject *dataclass_fields, *asdict, *value, *model_dump, *class_, *represent_str,
        *represent_data, *indent, *cls;
};
Names names{};

/// Types whose values every rule below leaves unchanged: no Python call can change that.
bool is_plain(PyObject *value) {
    PyTypeObject *t = Py_TYPE(value);
    return t == &PyUnicode_Type || t == &PyLong_Type || t == &PyDict_Type || t == &PyList_Type ||
           t == &PyBool_Type || value == Py_None || t == &PyTuple_Type;
}

// ---- rounding

/// `round(x, 12)` exactly as the host computes it.
double round_digits(double x) { return kernels::round_places(x, kDigits); }

/// `round(value, 12)` for an exact float: always a new object, as `round` gives, so that the JSON
/// encoder's identity test tells a converted value from one it cannot write.
nb::object round_float(nb::handle value) {
    return check(PyFloat_FromDouble(round_digits(PyFloat_AS_DOUBLE(value.ptr()))));
}

/// `round(value, 12)` for any float: a subclass may define its own `__round__`.
nb::object round_any_float(nb::handle value) {
    if (PyFloat_CheckExact(value.ptr())) return round_float(value);
    nb::object digits = check(PyLong_FromLong(kDigits));
    PyObject *args[] = {value.ptr(), digits.ptr()};
    return check(PyObject_Vectorcall(state.round, args, 2, nullptr));
}

// ---- value normalisation

/// A data class instance: the value's class carries the data class field table. A data class
/// itself (which `dataclasses.is_dataclass` also accepts) is no data to convert and stays as is,
/// so that the writers report it as a value they cannot write.
bool is_dataclass_instance(nb::handle value) {
    if (PyType_Check(value.ptr())) return false;
    int r = check(PyObject_HasAttrWithError(reinterpret_cast<PyObject *>(Py_TYPE(value.ptr())),
                                            names.dataclass_fields));
    return r == 1;
}

nb::object dataclass_to_plain(nb::handle value) {
    PyObject *method = nullptr;
    if (PyObject_GetOptionalAttr(value.ptr(), names.asdict, &method) < 0) fail();
    nb::object own = nb::steal(method);
    if (method && PyCallable_Check(method)) return check(PyObject_CallNoArgs(method));
    return check(PyObject_CallOneArg(state.asdict, value.ptr()));
}

/// The ordered conversion rules for a value that is neither plain nor a weak reference.
nb::object apply_rules(nb::handle obj) {
    if (is_instance(obj, state.enum_type)) return check(PyObject_GetAttr(obj.ptr(), names.value));
    if (is_instance(obj, state.decimal_type)) return round_float(check(PyNumber_Float(obj.ptr())));
    if (is_instance(obj, reinterpret_cast<PyObject *>(&PyFloat_Type))) return round_any_float(obj);
    if (is_instance(obj, state.datetime_type) || is_instance(obj, state.date_type) ||
        is_instance(obj, state.time_type))
        return call_method(obj, interned("isoformat"));
    if (is_instance(obj, state.uuid_type)) return check(PyObject_Str(obj.ptr()));
    if (is_instance(obj, state.base_model)) {
        nb::object dump = check(PyObject_GetAttr(obj.ptr(), names.model_dump));
        return dump(nb::arg("exclude_defaults") = true);
    }
    if (is_instance(obj, reinterpret_cast<PyObject *>(&PySet_Type)))
        return check(PySequence_List(obj.ptr()));
    if (is_dataclass_instance(obj)) return dataclass_to_plain(obj);
    return nb::borrow(obj);
}

/// `format_output_data`: the plain value written in place of `obj`.
nb::object normalise(nb::handle obj) {
    if (is_plain(obj.ptr())) return nb::borrow(obj);
    if (PyFloat_CheckExact(obj.ptr())) return round_float(obj);
    if (!is_instance(obj, state.reference_type)) return apply_rules(obj);
    nb::object referent = check(PyObject_CallNoArgs(obj.ptr()));
    if (is_plain(referent.ptr())) return referent;
    if (PyFloat_CheckExact(referent.ptr())) return round_float(referent);
    return apply_rules(referent);
}

// ---- empty entries

/// `is_invalid`: none, or equal to an empty list, or equal to an empty mapping.
bool is_empty(nb::handle value) {
    PyObject *v = value.ptr();
    if (v == Py_None) return true;
    PyTypeObject *t = Py_TYPE(v);
    // Exact built-ins compare with a fresh [] / {} without running any Python code.
    if (t == &PyList_Type) return PyList_GET_SIZE(v) == 0;
    if (t == &PyDict_Type) return PyDict_GET_SIZE(v) == 0;
    if (t == &PyUnicode_Type || t == &PyLong_Type || t == &PyFloat_Type || t == &PyBool_Type ||
        t == &PyTuple_Type)
        return false;
    nb::object empty_list = check(PyList_New(0));
    if (truth(check(PyObject_RichCompare(v, empty_list.ptr(), Py_EQ)).ptr())) return true;
    nb::object empty_dict = check(PyDict_New());
    return truth(check(PyObject_RichCompare(v, empty_dict.ptr(), Py_EQ)).ptr());
}

/// True when no entry of the exact dict can be empty or run Python code when tested.
bool all_entries_kept(PyObject *dict) {
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(dict, &pos, &key, &value)) {
        PyTypeObject *t = Py_TYPE(value);
        if (t == &PyUnicode_Type || t == &PyLong_Type || t == &PyFloat_Type || t == &PyBool_Type)
            continue;
        if (t == &PyList_Type && PyList_GET_SIZE(value) > 0) continue;
        if (t == &PyDict_Type && PyDict_GET_SIZE(value) > 0) continue;
        return false;
    }
    return true;
}

nb::object filter_exact_dict(nb::handle data) {
    PyObject *d = data.ptr();
    if (all_entries_kept(d)) return check(PyDict_Copy(d));
    nb::object out = check(PyDict_New());
    Py_ssize_t size = PyDict_GET_SIZE(d), pos = 0, left = size;
    PyObject *k, *v;
    while (PyDict_Next(d, &pos, &k, &v)) {
        // An entry beyond the size: keys were replaced, as the host's dict iteration reports.
        if (left-- == 0) raise(PyExc_RuntimeError, "dictionary keys changed during iteration");
        // The test may run arbitrary code (an __eq__): hold the entry while it runs.
        nb::object key = nb::borrow(k), value = nb::borrow(v);
        bool empty = is_empty(value);
        if (PyDict_GET_SIZE(d) != size)
            raise(PyExc_RuntimeError, "dictionary changed size during iteration");
        if (!empty && PyDict_SetItem(out.ptr(), key.ptr(), value.ptr()) < 0) fail();
    }
    return out;
}

/// A dict subclass is read through its own `items()`, as Python code reading it would.
nb::object filter_mapping(nb::handle data) {
    nb::object out = check(PyDict_New());
    for_each(call_method(data, interned("items")), [&](nb::handle entry) {
        nb::object key, value;
        unpack_pair(entry, key, value);
        if (!is_empty(value) && PyDict_SetItem(out.ptr(), key.ptr(), value.ptr()) < 0) fail();
    });
    return out;
}

/// `filter_data`: a mapping without its empty entries; any other value unchanged.
nb::object filter(nb::handle data) {
    if (PyDict_CheckExact(data.ptr())) return filter_exact_dict(data);
    if (is_plain(data.ptr()) || PyFloat_CheckExact(data.ptr())) return nb::borrow(data);
    if (is_instance(data, reinterpret_cast<PyObject *>(&PyDict_Type))) return filter_mapping(data);
    return nb::borrow(data);
}

// ---- YAML

/// `super(owner, self).<name>`, the next definition after `owner` in the class order of `self`.
nb::object super_attr(PyObject *owner, nb::handle self, const char *name) {
    PyObject *args[] = {owner, self.ptr()};
    nb::object proxy =
        check(PyObject_Vectorcall(reinterpret_cast<PyObject *>(&PySuper_Type), args, 2, nullptr));
    return check(PyObject_GetAttrString(proxy.ptr(), name));
}

/// What `ValidRepresenter.represent_data` hands to the safe representer for one value; the native
/// writer prepares every node of a document the same way.
nb::object prepare_node(nb::handle value) { return normalise(filter(value)); }

nb::object represent_impl(Args a) {
    nb::handle self = a[0], data = a[1];
    // The string representer is registered on the shared base class again for every document.
    nb::object cls = check(PyObject_GetAttr(self.ptr(), names.class_));
    nb::object represent_str = check(PyObject_GetAttr(cls.ptr(), names.represent_str));
    nb::handle(state.safe_representer)
        .attr("add_representer")(nb::handle(reinterpret_cast<PyObject *>(&PyUnicode_Type)),
                                 represent_str);
    super_attr(state.valid_representer, self, "represent")(nb::arg("data") = data);
    return nb::none();
}

nb::object represent_data_impl(Args a) {
    nb::handle self = a[0], data = a[1];
    nb::object processed = prepare_node(data);
    if (Py_TYPE(self.ptr()) != reinterpret_cast<PyTypeObject *>(state.valid_representer))
        return super_attr(state.valid_representer, self, "represent_data")(processed);
    // The next class in ValidRepresenter's own order is the safe representer.
    nb::object base = check(PyObject_GetAttr(state.safe_representer, names.represent_data));
    PyObject *args[] = {self.ptr(), processed.ptr()};
    return check(PyObject_Vectorcall(base.ptr(), args, 2, nullptr));
}

/// The documents of one dump: a list is a sequence of documents, anything else one document.
nb::object documents_of(nb::handle data) {
    if (PyList_CheckExact(data.ptr())) return nb::borrow(data);
    nb::object documents = check(PyList_New(1));
    PyList_SET_ITEM(documents.ptr(), 0, Py_NewRef(data.ptr()));
    return documents;
}

/// A fresh writer with the storage settings (an instance is unusable after a failed dump).
nb::object new_writer() {
    nb::object yaml = check(PyObject_CallNoArgs(state.yaml_class));
    yaml.attr("default_flow_style") = false;
    yaml.attr("width") = kWidth;
    yaml.attr("Representer") = nb::handle(state.valid_representer);
    return yaml;
}

/// The registration every document's `ValidRepresenter.represent` makes on the safe representer,
/// made once by a native write so that the shared registry looks the same afterwards.
void register_str_representer() {
    nb::object represent_str = nb::handle(state.valid_representer).attr("represent_str");
    nb::handle(state.safe_representer)
        .attr("add_representer")(nb::handle(reinterpret_cast<PyObject *>(&PyUnicode_Type)),
                                 represent_str);
}

nb::object to_py(const std::string &text) {
    return check(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr));
}

/// Writes `data` through ruamel to `stream`; `kwds` goes on to `dump_all`.
void ruamel_dump(nb::handle data, nb::handle stream, nb::handle kwds) {
    nb::object documents = documents_of(data);
    nb::object dump_all = new_writer().attr("dump_all");
    nb::object kwargs = check(PyDict_Copy(kwds.ptr()));
    if (PyDict_SetItemString(kwargs.ptr(), "stream", stream.ptr()) < 0) fail();
    nb::object args = nb::make_tuple(documents);
    check(PyObject_Call(dump_all.ptr(), args.ptr(), kwargs.ptr()));
}

/// The native writer's text for a call without keyword arguments, or false when ruamel must write.
/// The writer normalises each node as the representer would and in the same order, so an error
/// of that normalisation is the one ruamel would meet: it propagates as ruamel would leave it,
/// with the string representer registered (every document's `represent` does that first) and the
/// documents completed before the failing one written to `stream`, when given. Handing such a
/// call to ruamel instead would run the failing code again, and whatever it changed on the first
/// run (the data being written, say) could turn the failure into a text.
bool native_text(nb::handle data, nb::handle kwds, std::string &text, nb::handle stream = {}) {
    if (PyDict_GET_SIZE(kwds.ptr()) != 0) return false;
    size_t complete = 0;
    try {
        if (!qv::yaml::write(data.ptr(), text, prepare_node, &complete)) return false;
    } catch (nb::python_error &) {
        register_str_representer();
        if (stream.is_valid() && complete != 0) {
            text.resize(complete);
            stream.attr("write")(to_py(text));
        }
        throw;
    }
    if (!text.empty()) register_str_representer();
    return true;
}

/// Writes `data` to `stream` as YAML; `kwds` (owned by this call) goes on to `dump_all`.
/// The native writer serves text streams of exactly `io.StringIO`; everything else goes through
/// ruamel.
void dump_yaml(nb::handle data, nb::handle stream, nb::handle kwds) {
    if (Py_TYPE(stream.ptr()) == reinterpret_cast<PyTypeObject *>(state.string_io)) {
        std::string text;
        if (native_text(data, kwds, text, stream)) {
            if (!text.empty()) stream.attr("write")(to_py(text));
            return;
        }
    }
    ruamel_dump(data, stream, kwds);
}

nb::object dumps_yaml(nb::handle data, nb::handle kwds) {
    std::string text;
    if (native_text(data, kwds, text)) return to_py(text);
    // Handed over: straight to ruamel, without a second native attempt on the new stream.
    nb::object stream = check(PyObject_CallNoArgs(state.string_io));
    ruamel_dump(data, stream, kwds);
    return call_method(stream, interned("getvalue"));
}

/// Refuses a composed document whose aliases (or merge keys naming them) expand it far beyond its
/// own size: the values would share their parts, but every reader of them (validation, dumping,
/// printing) walks them in full, so a few hundred bytes could stand for 10^9 values.
void refuse_excessive_aliasing(nb::handle node) {
    qv::yaml::NodeCount count = qv::yaml::count_nodes(node);
    unsigned long long limit = qv::yaml::alias_limit(count.written);
    if (count.expanded <= limit) return;
    nb::object problem = check(PyUnicode_FromFormat(
        "found excessive aliasing: the %llu nodes of the document expand to more than %llu "
        "through its aliases",
        count.written, limit));
    nb::object error = nb::handle(state.composer_error)(
        nb::arg("problem") = problem, nb::arg("problem_mark") = node.attr("start_mark"));
    PyErr_SetObject(state.composer_error, error.ptr());
    fail();
}

nb::object loads_yaml(nb::handle content) {
    if (nb::object value = qv::yaml::read(content); value.is_valid()) return value;
    // ruamel's pure-Python parser even where its C extension is installed: the C parser recurses on
    // the C stack and crashes the process on deeply nested input ('- ' * 50000), where the pure one
    // raises RecursionError. Values and errors are otherwise the same. The document is composed,
    // checked and then built, which is what `load` does without the check.
    nb::object yaml = nb::handle(state.yaml_class)(nb::arg("typ") = "safe", nb::arg("pure") = true);
    nb::object node = yaml.attr("compose")(content);
    if (node.is_none()) return node;
    refuse_excessive_aliasing(node);
    return yaml.attr("constructor").attr("construct_document")(node);
}

nb::object valid_dump_yaml_impl(Args a) {
    nb::handle data = a[0], stream = a[1], kwds = a[2];
    dump_yaml(data, stream, kwds);
    return nb::none();
}

nb::object valid_dumps_yaml_impl(Args a) {
    nb::handle data = a[0], kwds = a[1];
    if (PyDict_GetItemString(kwds.ptr(), "stream"))
        raise(PyExc_TypeError, "valid_dump_yaml() got multiple values for argument 'stream'");
    return dumps_yaml(data, kwds);
}

nb::object safe_loads_yaml_impl(Args a) {
    nb::handle content = a[0];
    return loads_yaml(content);
}

// ---- JSON

nb::object encoder_default_impl(Args a) {
    nb::handle self = a[0], obj = a[1];
    nb::object converted = normalise(obj);
    if (!converted.is(obj)) return converted;
    return super_attr(state.quorvex_encoder, self, "default")(obj);
}

nb::object safe_dumps_json_impl(Args a) {
    nb::handle obj = a[0], kwargs = a[1];  // kwargs: a fresh dict owned by this call
    if (PyDict_SetDefault(kwargs.ptr(), names.indent, nb::int_(kIndent).ptr()) == nullptr) fail();
    if (PyDict_SetDefault(kwargs.ptr(), names.cls, state.quorvex_encoder) == nullptr) fail();
    nb::object dumps = check(PyObject_GetAttrString(state.json_module, "dumps"));
    nb::object args = nb::make_tuple(obj);
    return check(PyObject_Call(dumps.ptr(), args.ptr(), kwargs.ptr()));
}

// ---- module functions over the conversions

nb::object format_output_data_impl(Args a) {
    nb::handle obj = a[0];
    return normalise(obj);
}
nb::object is_invalid_impl(Args a) {
    nb::handle value = a[0];
    return nb::bool_(is_empty(value));
}
nb::object filter_data_impl(Args a) {
    nb::handle data = a[0];
    return filter(data);
}

/// A class built with `type(name, (base,), namespace)` and published on the module.
nb::object make_class(nb::module_ &m, const char *name, nb::handle base, nb::dict ns,
                      const char *doc) {
    ns["__module__"] = m.attr("__name__");
    ns["__qualname__"] = name;
    ns["__doc__"] = doc;
    return publish(m, name, typ::builtin("type")(name, nb::make_tuple(base), ns));
}

}  // namespace

NB_MODULE(dump, m) {
    qv::init_native_types();
    m.doc() =
        "YAML and JSON text of records and plain values, the one place where values are "
        "normalised for output.\n\nWriting drops empty entries (None, [] and {}) of "
        "mappings, writes enumeration members as their values, floats rounded to 12 "
        "digits, dates, times, decimals and UUIDs as text and records as "
        "`model_dump(exclude_defaults=True)`; a list is written as one YAML document per "
        "element. Reading takes the first document with ruamel's safe loader.";
    nb::module_ dataclasses = nb::module_::import_("dataclasses");
    nb::module_ datetime = nb::module_::import_("datetime");
    nb::module_ typing = nb::module_::import_("typing");
    nb::module_ ruamel = nb::module_::import_("ruamel.yaml");
    nb::module_ representer = nb::module_::import_("ruamel.yaml.representer");
    nb::module_ json = nb::module_::import_("json");

    // The module's imports, under the names its Python counterpart would give them.
    publish(m, "is_dataclass", dataclasses.attr("is_dataclass"));
    publish(m, "asdict", dataclasses.attr("asdict"));
    publish(m, "datetime", datetime.attr("datetime"));
    publish(m, "date", datetime.attr("date"));
    publish(m, "time", datetime.attr("time"));
    publish(m, "Decimal", nb::module_::import_("decimal").attr("Decimal"));
    publish(m, "Enum", nb::module_::import_("enum").attr("Enum"));
    publish(m, "StringIO", nb::module_::import_("io").attr("StringIO"));
    publish(m, "json", json);
    publish(m, "IO", typing.attr("IO"));
    publish(m, "Any", typing.attr("Any"));
    publish(m, "Optional", typing.attr("Optional"));
    publish(m, "UUID", nb::module_::import_("uuid").attr("UUID"));
    publish(m, "ReferenceType", nb::module_::import_("weakref").attr("ReferenceType"));
    publish(m, "BaseModel", nb::module_::import_("pydantic").attr("BaseModel"));
    publish(m, "YAML", ruamel.attr("YAML"));
    publish(m, "RuamelSafeRepresenter", representer.attr("SafeRepresenter"));

    names = {interned("__dataclass_fields__"), interned("asdict"),    interned("value"),
             interned("model_dump"),           interned("__class__"), interned("represent_str"),
             interned("represent_data"),       interned("indent"),    interned("cls")};
    state.reference_type = keep_forever(m.attr("ReferenceType"));
    state.enum_type = keep_forever(m.attr("Enum"));
    state.decimal_type = keep_forever(m.attr("Decimal"));
    state.datetime_type = keep_forever(m.attr("datetime"));
    state.date_type = keep_forever(m.attr("date"));
    state.time_type = keep_forever(m.attr("time"));
    state.uuid_type = keep_forever(m.attr("UUID"));
    state.base_model = keep_forever(m.attr("BaseModel"));
    state.asdict = keep_forever(m.attr("asdict"));
    state.round = keep_forever(nb::module_::import_("builtins").attr("round"));
    state.yaml_class = keep_forever(m.attr("YAML"));
    state.composer_error =
        keep_forever(nb::module_::import_("ruamel.yaml.composer").attr("ComposerError"));
    state.safe_representer = keep_forever(m.attr("RuamelSafeRepresenter"));
    state.string_io = keep_forever(m.attr("StringIO"));
    state.json_module = keep_forever(json);
    state.json_encoder = keep_forever(json.attr("JSONEncoder"));

    nb::object any = typ::Any(), str = typ::builtin("str"), none = nb::none();
    nb::object io_str = typing.attr("IO")[str];
    nb::object optional_str = typ::Optional(str);

    publish(m, "format_output_data",
            make_function(m, "",
                          {.name = "format_output_data",
                           .params = {{.name = "obj", .annotation = any}},
                           .returns = any,
                           .doc = "The plain value written in place of `obj`."},
                          format_output_data_impl));
    publish(m, "is_invalid",
            make_function(m, "",
                          {.name = "is_invalid",
                           .params = {{.name = "value", .annotation = any}},
                           .returns = typ::builtin("bool"),
                           .doc = "True for None and for values equal to [] or {}."},
                          is_invalid_impl));
    publish(m, "filter_data",
            make_function(m, "",
                          {.name = "filter_data",
                           .params = {{.name = "data", .annotation = any}},
                           .returns = any,
                           .doc = "A mapping without its empty entries; any other value as "
                                  "is."},
                          filter_data_impl));

    {
        const char *cls = "ValidRepresenter";
        nb::dict ns;
        ns["represent"] =
            make_function(m, cls,
                          {.name = "represent",
                           .params = {{.name = "self"}, {.name = "data", .annotation = any}},
                           .returns = none,
                           .doc = "Represents one document, with the standard string representer."},
                          represent_impl);
        ns["represent_data"] = make_function(
            m, cls,
            {.name = "represent_data",
             .params = {{.name = "self"}, {.name = "data", .annotation = any}},
             .returns = any,
             .doc = "The node of one value, after dropping empty entries and normalising "
                    "it."},
            represent_data_impl);
        state.valid_representer = keep_forever(
            make_class(m, cls, state.safe_representer, ns,
                       "Safe representer that writes only non-empty, normalised values."));
    }

    publish(m, "valid_dump_yaml",
            make_function(m, "",
                          {.name = "valid_dump_yaml",
                           .params = {{.name = "data", .annotation = any},
                                      {.name = "stream", .annotation = io_str},
                                      {.name = "kwds", .rule = Rule::VarKeyword}},
                           .returns = none,
                           .doc = "Writes `data` to `stream` as YAML; a list is one document "
                                  "per element."},
                          valid_dump_yaml_impl));
    publish(m, "valid_dumps_yaml",
            make_function(m, "",
                          {.name = "valid_dumps_yaml",
                           .params = {{.name = "data", .annotation = any},
                                      {.name = "kwds", .rule = Rule::VarKeyword}},
                           .returns = optional_str,
                           .doc = "The YAML text of `data`."},
                          valid_dumps_yaml_impl));
    publish(m, "safe_loads_yaml",
            make_function(m, "",
                          {.name = "safe_loads_yaml",
                           .params = {{.name = "content", .rule = Rule::Str, .annotation = str}},
                           .returns = any,
                           .doc = "The plain values of the first YAML document in "
                                  "`content`."},
                          safe_loads_yaml_impl));

    {
        const char *cls = "QuorvexJSONEncoder";
        nb::dict ns;
        ns["default"] =
            make_function(m, cls,
                          {.name = "default",
                           .params = {{.name = "self"}, {.name = "obj", .annotation = any}},
                           .returns = any,
                           .doc = "A plain value for what the standard encoder cannot write."},
                          encoder_default_impl);
        state.quorvex_encoder = keep_forever(make_class(
            m, cls, state.json_encoder, ns, "JSON encoder that also writes normalised values."));
    }

    publish(m, "safe_dumps_json",
            make_function(m, "",
                          {.name = "safe_dumps_json",
                           .params = {{.name = "obj", .annotation = any},
                                      {.name = "kwargs", .rule = Rule::VarKeyword}},
                           .returns = str,
                           .doc = "The JSON text of `obj` (indent 2 unless given)."},
                          safe_dumps_json_impl));
}
