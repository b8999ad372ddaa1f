// The descriptive record of a model (samples, notes, hyperparameters, images) and its views.
#include "binding/declare.hpp"
#include "binding/support.hpp"

namespace {

using namespace qv;

/// Module-lifetime objects, deliberately never released.
struct State {
    PyObject *module;  ///< this module, for reading its view types when a resolver runs
    PyObject *ast;     ///< the host's `ast` module, bound at import as a module global would be
};
State state{};

nb::object view_type(const char *name) { return nb::handle(state.module).attr(name); }

/// The number of an automatic note key ("note_<n>"): 0 when the text after the first five
/// characters is empty, not numeric, or numeric in a way int() cannot read (such as "²").
nb::object auto_note_number(nb::handle key) {
    nb::object zero = nb::int_(0);
    Py_ssize_t n = PyUnicode_GET_LENGTH(key.ptr());
    if (n <= 5) return zero;
    nb::object rest = check(PyUnicode_Substring(key.ptr(), 5, n));
    for (Py_ssize_t i = 0, m = PyUnicode_GET_LENGTH(rest.ptr()); i < m; ++i)
        if (!Py_UNICODE_ISNUMERIC(PyUnicode_READ_CHAR(rest.ptr(), i))) return zero;
    PyObject *number = PyLong_FromUnicodeObject(rest.ptr(), 10);
    if (number) return nb::steal(number);
    if (!PyErr_ExceptionMatches(PyExc_ValueError)) fail();
    PyErr_Clear();
    return zero;
}

bool starts_with_note(nb::handle key) {
    if (!PyUnicode_Check(key.ptr()) || PyUnicode_GET_LENGTH(key.ptr()) < 4) return false;
    static constexpr Py_UCS4 kPrefix[] = {'n', 'o', 't', 'e'};
    for (Py_ssize_t i = 0; i < 4; ++i)
        if (PyUnicode_READ_CHAR(key.ptr(), i) != kPrefix[i]) return false;
    return true;
}

/// Stores a note under the key after the largest automatic note number present ("note_<n+1>").
void add_auto_note(nb::handle notes, nb::handle note) {
    nb::object last = nb::int_(0);
    for_each(notes, [&](nb::handle key) {
        if (!starts_with_note(key)) return;
        nb::object number = auto_note_number(key);
        int greater = check(PyObject_RichCompareBool(number.ptr(), last.ptr(), Py_GT));
        if (greater) last = std::move(number);
    });
    nb::object next = check(PyNumber_Add(last.ptr(), nb::int_(1).ptr()));
    nb::object key = nb::str("note_{}").attr("format")(next);
    check(PyObject_SetItem(notes.ptr(), key.ptr(), note.ptr()));
}

nb::object add_general_note_impl(Args a) {
    nb::handle self = a[0], note = a[1];
    PyObject *name = interned("general_notes");
    nb::object notes = field(self, name);
    if (notes.is_none()) {
        notes = nb::dict();
        check(PyObject_SetAttr(self.ptr(), name, notes.ptr()));
    }
    if (PyDict_Check(note.ptr())) {
        for_each(note, [&](nb::handle key) {
            if (check(PySequence_Contains(notes.ptr(), key.ptr()))) {
                nb::object line = check(
                    PyUnicode_FromFormat("Note %S already exists. Note not added.", key.ptr()));
                qv::print(line);
                return;
            }
            nb::object text = nb::steal(PyObject_GetItem(note.ptr(), key.ptr()));
            if (!text.is_valid() || PyObject_SetItem(notes.ptr(), key.ptr(), text.ptr()) < 0)
                fail();
        });
    } else if (PyUnicode_Check(note.ptr())) {
        add_auto_note(notes, note);
    }
    return nb::none();
}

nb::object remove_general_note_impl(Args a) {
    nb::handle self = a[0], key = a[1];
    nb::object notes = field(self, interned("general_notes"));
    if (!notes.is_none() && check(PySequence_Contains(notes.ptr(), key.ptr())))
        check(PyObject_DelItem(notes.ptr(), key.ptr()));
    return nb::none();
}

/// The record's mapping field, or an empty mapping when it is none or empty, as a list of pairs.
nb::object mapping_items(nb::handle parent, const char *name) {
    nb::object mapping = field(parent, interned(name));
    int truth = check(PyObject_IsTrue(mapping.ptr()));
    if (!truth) return nb::list();
    return items_of(mapping);
}

nb::object text_of(nb::handle value) {
    if (PyUnicode_Check(value.ptr())) return nb::borrow(value);
    return to_str(value);
}

/// One `view(<key_kw>=key, <value_kw>=value)` per entry of the parent's mapping field.
nb::object entries_view(nb::handle parent, const char *field_name, const char *view,
                        const char *key_kw, const char *value_kw, bool as_text) {
    nb::object items = mapping_items(parent, field_name);
    nb::object type = view_type(view);
    nb::list result;
    for (nb::handle item : items) {
        // The items of a mapping that is not a plain dict can be of any shape.
        nb::object key, value;
        unpack_pair(item, key, value);
        if (as_text) value = text_of(value);
        result.append(type(nb::arg(key_kw) = key, nb::arg(value_kw) = value));
    }
    return result;
}

nb::object attribute_description_impl(Args a) {
    nb::handle parent = a[1];
    return entries_view(parent, "attribute_description", "AttributeDescriptionType",
                        "attribute_name", "description", false);
}

nb::object hyperparameters_impl(Args a) {
    nb::handle parent = a[1];
    return entries_view(parent, "hyperparameters", "HyperparameterType", "name", "value", true);
}

nb::object general_notes_impl(Args a) {
    nb::handle parent = a[1];
    return entries_view(parent, "general_notes", "GeneralNoteType", "title", "content", true);
}

/// The evaluation metric named in the hyperparameters: the last name of a written list, a
/// single literal, or the text itself when it is no literal; "unknown" when there is none.
nb::object eval_metric_impl(Args a) {
    nb::handle parent = a[1];
    nb::object hyperparameters = field(parent, interned("hyperparameters"));
    int truth = check(PyObject_IsTrue(hyperparameters.ptr()));
    nb::object metric = nb::none();
    if (truth) {
        PyObject *value = PyObject_GetItem(hyperparameters.ptr(), interned("eval_metric"));
        if (value) {
            metric = nb::steal(value);
        } else if (PyErr_ExceptionMatches(PyExc_KeyError)) {
            PyErr_Clear();
        } else {
            fail();
        }
    }
    if (metric.is_none()) return nb::str("unknown");

    nb::object literal_eval = nb::handle(state.ast).attr("literal_eval");
    PyObject *read = PyObject_CallOneArg(literal_eval.ptr(), metric.ptr());
    nb::object chosen;
    if (!read) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) fail();
        PyErr_Clear();
        chosen = std::move(metric);
    } else {
        nb::object metric_list = nb::steal(read);
        if (PyList_Check(read)) {
            nb::object last = nb::int_(-1);
            chosen = check(PyObject_GetItem(read, last.ptr()));
        } else {
            chosen = std::move(metric_list);
        }
    }
    if (!chosen.is_none() && !PyUnicode_Check(chosen.ptr()))
        raise(PyExc_TypeError, "Expected str, got %s", Py_TYPE(chosen.ptr())->tp_name);
    return chosen;
}

}  // namespace

NB_MODULE(scorer_profile, m) {
    qv::init_native_types();
    m.doc() =
        "The model's descriptive profile (name, creation date, samples, attribute "
        "descriptions, hyperparameters, notes, images) and its GraphQL views.\n\nA "
        "duplicate note key is reported by printing a line on standard output; the module "
        "does not log.";
    // The names a Python version of this module would import.
    import_module(m, "ast");
    import_names(m, "typing", {"Optional", "List", "Dict", "Any", "Union"});
    import_names(m, "datetime", {"date"});
    import_names(m, "pydantic", {"Field"});
    import_module(m, "strawberry");
    import_names(m, "quorvex_analytics_utils.predictive_models.scorer_profile.dataset_profile",
                 {"SampleDescription", "SampleDescriptionType"});
    import_names(m, "quorvex_analytics_utils.utils.record_base", {"RecordBase"});

    state.module = keep_forever(m);
    state.ast = keep_forever(nb::module_::import_("ast"));
    nb::object record_base =
        nb::module_::import_("quorvex_analytics_utils.utils.record_base").attr("RecordBase");
    nb::module_ dataset_profile = nb::module_::import_(
        "quorvex_analytics_utils.predictive_models.scorer_profile.dataset_profile");
    nb::object str = typ::builtin("str");
    nb::object date = nb::module_::import_("datetime").attr("date");
    nb::object dict = nb::module_::import_("typing").attr("Dict");

    nb::object attached_image =
        RecordClass(m, "AttachedImage", {record_base})
            .field("type", str)
            .field("filename", str)
            .field("image", typ::Optional(typ::builtin("bytes")),
                   Field(nb::arg("default") = nb::none(), nb::arg("exclude") = true))
            .build();

    nb::object attached_image_type =
        ViewClass(m, "AttachedImageType", attached_image)
            .doc(
                "GraphQL view of an attached image: its type and file name (the bytes are not "
                "shown).")
            .auto_field("type", "The image format, for example png.")
            .auto_field("filename",
                        "The image's file name in the stored "
                        "content.")
            .build();

    nb::object profile =
        RecordClass(m, "PredictiveScorerProfile", {record_base})
            .doc(
                "Class for storing descriptive data about models's development sample, attributes "
                "and hyperparameters.")
            .field("predictive_model_name", typ::Optional(str), nb::none())
            .field("predictive_model_created", typ::Optional(date), nb::none())
            .field("sample_metadata",
                   typ::Optional(typ::List(dataset_profile.attr("SampleDescription"))), nb::none())
            .field("attribute_description", typ::Optional(typ::Dict(str, str)), nb::none())
            .field("hyperparameters", typ::Optional(typ::Dict(str, typ::Any())), nb::none())
            .field("number_of_trainable_parameters", typ::Optional(typ::builtin("int")), nb::none())
            .field("general_notes", typ::Optional(typ::Dict(str, str)), nb::none())
            .field("attached_images", typ::Optional(typ::List(attached_image)), nb::none())
            .method({.name = "add_general_note",
                     .params = {{.name = "note", .annotation = typ::Union({dict, str})}},
                     .returns = nb::none(),
                     .doc = "Adds notes to `general_notes`, in place.\n\nA mapping adds each key "
                            "not yet present (a present key prints \"Note <key> already exists. "
                            "Note not added.\"); a text is stored under the next automatic key "
                            "note_<n>. Anything else adds nothing. The notes are not validated."},
                    add_general_note_impl)
            .method({.name = "remove_general_note",
                     .params = {{.name = "note_key", .rule = Rule::Str, .annotation = str}},
                     .returns = nb::none(),
                     .doc = "Removes the note under `note_key`, in place; a missing key does "
                            "nothing.\n\n`note_key` must be exactly str (else TypeError)."},
                    remove_general_note_impl)
            .build();

    nb::object attribute_description_type =
        ViewClass(m, "AttributeDescriptionType", nb::none())
            .doc("One attribute description: the attribute's name and its text.")
            .field("attribute_name", str, "The attribute.")
            .field("description", str, "What the attribute holds.")
            .build();
    nb::object hyperparameter_type = ViewClass(m, "HyperparameterType", nb::none())
                                         .doc("One hyperparameter: its name and its value as text.")
                                         .field("name", str, "The hyperparameter's name.")
                                         .field("value", str, "Its value as text.")
                                         .build();
    nb::object general_note_type = ViewClass(m, "GeneralNoteType", nb::none())
                                       .doc("One general note: its title (key) and content.")
                                       .field("title", str, "The note's key.")
                                       .field("content", str, "The note's text.")
                                       .build();

    auto async_resolver = [](const char *name, nb::object returns, const char *doc) {
        return FunctionSpec{
            .name = name, .returns = std::move(returns), .doc = doc, .is_async = true};
    };
    ViewClass(m, "PredictiveScorerProfileType", profile)
        .doc("GraphQL view of the model's profile.")
        .auto_field("predictive_model_name", "The model's name.")
        .auto_field("predictive_model_created", "The date the model was created.")
        .auto_field("number_of_trainable_parameters", "Trainable parameters of the model.")
        .field("attached_images", typ::Optional(typ::List(attached_image_type)),
               "Images attached to the profile (ROC curves, lift charts).")
        .field("sample_metadata",
               typ::Optional(typ::List(dataset_profile.attr("SampleDescriptionType"))),
               "The development samples.")
        .resolver(async_resolver("attribute_description", typ::List(attribute_description_type),
                                 "The attribute descriptions as a list of attribute name and "
                                 "description, in order."),
                  attribute_description_impl, profile)
        .resolver(async_resolver("hyperparameters", typ::List(hyperparameter_type),
                                 "The hyperparameters as a list of name and value, values that "
                                 "are no str shown through str()."),
                  hyperparameters_impl, profile)
        .resolver(async_resolver("general_notes", typ::List(general_note_type),
                                 "The general notes as a list of title and content, in order."),
                  general_notes_impl, profile)
        .resolver(async_resolver("eval_metric", str,
                                 "The evaluation metric named by the \"eval_metric\" "
                                 "hyperparameter; \"unknown\" when there is none. A list (or the "
                                 "text of one) gives its last element; a value that is neither "
                                 "text nor list is a field error."),
                  eval_metric_impl, profile)
        .build();
}
