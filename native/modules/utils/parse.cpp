// Reading a value given as text (or a number) as an integer, a floating-point number or text.
#include "binding/declare.hpp"
#include "binding/support.hpp"

#include <cmath>

namespace {

using namespace qv;

/// Module-lifetime objects, deliberately never released.
struct State {
    PyObject *module_dict;  ///< this module's namespace
};
State state{};

bool is_quote(Py_UCS4 c) { return c == '\'' || c == '"'; }

/// True when the text begins and ends with the same quote character.
bool has_quotes(PyObject *text) {
    Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    if (n == 0) return false;
    Py_UCS4 first = PyUnicode_READ_CHAR(text, 0);
    return is_quote(first) && PyUnicode_READ_CHAR(text, n - 1) == first;
}

/// The text without its first and last character (the caller has found it quoted).
nb::object unquote(nb::handle text) {
    Py_ssize_t n = PyUnicode_GET_LENGTH(text.ptr());
    if (n <= 2) return nb::str("");
    return check(PyUnicode_Substring(text.ptr(), 1, n - 1));
}

nb::object has_quotes_impl(Args a) {
    nb::handle val = a[1];
    return nb::bool_(has_quotes(val.ptr()));
}

nb::object remove_quotes_impl(Args a) {
    nb::handle cls = a[0], val = a[1];
    // Goes through the class it was called on, so that a subclass may redefine the quote test.
    if (!truth(cls.attr("_has_quotes")(val))) return nb::borrow(val);
    return unquote(val);
}

nb::object strip_quotes_impl(Args a) {
    nb::handle cls = a[0], val = a[1];
    // A subclass's quote functions decide when the loop ends; one that never shortens the text
    // (possibly without any Python frame that would look at signals) must stay interruptible.
    nb::object text = nb::borrow(val);
    while (truth(cls.attr("_has_quotes")(text))) {
        text = cls.attr("_remove_quotes")(text);
        check(PyErr_CheckSignals());
    }
    return text;
}

/// int(text) when the text spells an integer, else an empty object (the ValueError is dropped).
nb::object exact_integer(nb::handle text) {
    PyObject *number = PyLong_FromUnicodeObject(text.ptr(), 10);
    if (number) return nb::steal(number);
    if (!PyErr_ExceptionMatches(PyExc_ValueError)) fail();
    PyErr_Clear();
    return {};
}

nb::object parse_value_impl(Args a) {
    nb::handle val = a[0];
    if (PyUnicode_Check(val.ptr())) {
        // Looked up at call time, as a module-level name would be.
        PyObject *found = PyDict_GetItemString(state.module_dict, "StringFunctions");
        if (!found) raise(PyExc_NameError, "name 'StringFunctions' is not defined");
        nb::object string_functions = nb::borrow(found);
        if (truth(string_functions.attr("_has_quotes")(val)))
            return string_functions.attr("_remove_quotes")(val);
        // An integer written as text is read exactly, never through a float.
        if (nb::object exact = exact_integer(val); exact.is_valid()) return exact;
    } else if (PyLong_Check(val.ptr())) {
        // A subclass's __int__ may fail or answer with something else: its error propagates.
        return check(PyNumber_Long(val.ptr()));
    }
    PyObject *number = PyNumber_Float(val.ptr());
    if (!number) {
        if (!PyErr_ExceptionMatches(PyExc_ValueError)) fail();
        PyErr_Clear();
        if (PyUnicode_Check(val.ptr())) return nb::borrow(val);
        return to_str(val);
    }
    nb::object f = nb::steal(number);
    double d = PyFloat_AS_DOUBLE(number);
    if (std::isfinite(d) && d == std::floor(d)) {
        return check(PyLong_FromDouble(d));
    }
    return f;
}

}  // namespace

NB_MODULE(parse, m) {
    qv::init_native_types();
    m.doc() = "Values read from text: quoted text stays text, numbers become int or float.";
    // The names a Python version of this module would import.
    import_names(m, "typing", {"Any", "Union"});

    state.module_dict = Py_NewRef(PyModule_GetDict(m.ptr()));
    nb::object str = typ::builtin("str"), boolean = typ::builtin("bool");
    nb::object classmethod = typ::builtin("classmethod");
    const char *cls_name = "StringFunctions";
    auto quote_fn = [&](const char *name, nb::object returns, Impl impl) {
        return classmethod(make_function(
            m, cls_name,
            {.name = name,
             .params = {{.name = "cls"}, {.name = "val", .rule = Rule::Str, .annotation = str}},
             .returns = std::move(returns)},
            impl));
    };
    nb::dict ns;
    ns["__module__"] = m.attr("__name__");
    ns["__qualname__"] = cls_name;
    ns["_has_quotes"] = quote_fn("_has_quotes", boolean, has_quotes_impl);
    ns["_remove_quotes"] = quote_fn("_remove_quotes", str, remove_quotes_impl);
    ns["_strip_quotes"] = quote_fn("_strip_quotes", str, strip_quotes_impl);
    publish(m, cls_name, typ::builtin("type")(cls_name, nb::tuple(), ns));

    nb::object any = typ::Any();
    nb::object result = typ::Union({str, typ::builtin("int"), typ::builtin("float")});
    publish(m, "parse_value",
            make_function(m, "",
                          {.name = "parse_value",
                           .params = {{.name = "val", .annotation = any}},
                           .returns = result,
                           .doc = "A value read from its text: int, float, or the text "
                                  "without its surrounding quotes.\n\nText in matching "
                                  "single or double quotes stays text (quotes removed); "
                                  "otherwise an integer literal gives int, a float "
                                  "literal float, anything else the text as given. A "
                                  "value that is no str is returned unchanged."},
                          parse_value_impl));
}
