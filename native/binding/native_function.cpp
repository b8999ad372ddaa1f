// The callable type behind every compiled function of the package, and the finished awaitable.
#include "native_function.hpp"

#include "capi.hpp"

#include <structmember.h>

#include <algorithm>
#include <array>
#include <new>
#include <string>
#include <string_view>

namespace qv {

namespace {

struct Slot {
    PyObject *name;  ///< interned parameter name (owned)
    Rule rule;
    PyObject *default_;     ///< owned, or nullptr when the parameter is required
    PyObject *record_type;  ///< owned; the record classes (a tuple) of a `Rule::Parent` parameter
    bool keyword_only;
};

/// Layout of a "cython_function_or_method" object.
struct NativeFunction {
    PyObject_HEAD vectorcallfunc vectorcall;
    PyObject *dict;  ///< __name__, __qualname__, __module__, __doc__, __signature__, ...
    Impl impl;
    bool is_async;
    Py_ssize_t nparams;
    Slot *params;
    Py_ssize_t npositional;  ///< leading parameters that positional arguments may fill
    PyObject *qualname;  ///< the name given at creation (owned): shown when __qualname__ is no str
};

/// Layout of the awaitable returned by asynchronous functions.
struct Ready {
    PyObject_HEAD PyObject *value;  ///< nullptr once delivered
};

PyTypeObject *function_type = nullptr;  // module lifetime, deliberately never freed
PyTypeObject *ready_type = nullptr;
PyObject *qualname_key = nullptr;  // interned "__qualname__", deliberately never freed

constexpr Py_ssize_t kMaxParams = 16;

/// The function's current `__qualname__` for messages, formatted with %U: it must be a str. Its
/// __dict__ can hold anything under that name (or nothing), so the name given at creation stands
/// in then. Borrowed; valid until Python code runs. nullptr, with that error set, only when the
/// look-up was interrupted (KeyboardInterrupt, SystemExit): such an error is never dropped.
PyObject *fn_name(NativeFunction *f) {
    PyObject *name = nullptr;
    if (f->dict) {
        // A str key runs no Python code unless the dict holds a non-str key of the same hash,
        // whose __eq__ may then fail: an ordinary error is no concern of the message being built.
        PyObject *exc = PyErr_GetRaisedException();
        name = PyDict_GetItemWithError(f->dict, qualname_key);
        if (!name && PyErr_Occurred()) {
            if (!PyErr_ExceptionMatches(PyExc_Exception)) {
                Py_XDECREF(exc);
                return nullptr;
            }
            PyErr_Clear();
        }
        PyErr_SetRaisedException(exc);
    }
    if (name && PyUnicode_Check(name)) return name;
    return f->qualname;
}

const char *rule_type_name(Rule rule) {
    switch (rule) {
        case Rule::Str:
        case Rule::StrOrNone: return "str";
        case Rule::List: return "list";
        case Rule::Dict: return "dict";
        default: return "object";
    }
}

bool rule_accepts(Rule rule, PyObject *value) {
    switch (rule) {
        case Rule::Any:
        case Rule::VarKeyword:
        case Rule::Parent: return true;
        case Rule::Str: return Py_IS_TYPE(value, &PyUnicode_Type);
        case Rule::StrOrNone: return value == Py_None || Py_IS_TYPE(value, &PyUnicode_Type);
        case Rule::List: return Py_IS_TYPE(value, &PyList_Type);
        case Rule::Dict: return Py_IS_TYPE(value, &PyDict_Type);
    }
    return false;
}

/// True when the last parameter collects the remaining keyword arguments.
bool has_var_keyword(NativeFunction *f) {
    return f->nparams > 0 && f->params[f->nparams - 1].rule == Rule::VarKeyword;
}

/// Index of the named parameter that `key` binds to, or -1 (the `**` parameter is never named).
Py_ssize_t find_param(NativeFunction *f, PyObject *key) {
    Py_ssize_t n = has_var_keyword(f) ? f->nparams - 1 : f->nparams;
    for (Py_ssize_t i = 0; i < n; ++i)
        if (f->params[i].name == key) return i;
    for (Py_ssize_t i = 0; i < n; ++i) {
        int eq = PyUnicode_Compare(f->params[i].name, key) == 0;
        if (eq) return i;
    }
    if (PyErr_Occurred())
        PyErr_Clear();  // only str keys reach here; a failed compare means "no match"
    return -1;
}

/// The record a resolver shows, as a new reference. strawberry hands a resolver the object its
/// field is read from: the record itself when a query returns the record, but the view instance
/// when the view was made with `View.from_pydantic(record)`, which keeps the record as
/// `_original_model`. Anything else is passed on unchanged, as it was given.
PyObject *shown_record(PyObject *parent, PyObject *record_types) {
    int is_record = PyObject_IsInstance(parent, record_types);
    if (is_record < 0) return nullptr;
    if (is_record) return Py_NewRef(parent);
    PyObject *original = nullptr;
    if (PyObject_GetOptionalAttrString(parent, "_original_model", &original) < 0) return nullptr;
    if (original) {
        int shows_record = PyObject_IsInstance(original, record_types);
        if (shows_record < 0) {
            Py_DECREF(original);
            return nullptr;
        }
        if (shows_record) return original;
        Py_DECREF(original);
    }
    return Py_NewRef(parent);
}

/// The record classes named by `strawberry.Parent[T]` (that is `Annotated[T, ...]`), as a tuple:
/// T itself, or the members of T when it is a union (possibly annotated, as a tagged union is).
nb::object parent_record_types(nb::handle annotation) {
    nb::module_ typing = nb::module_::import_("typing");
    nb::object annotated = typing.attr("Annotated"), get_origin = typing.attr("get_origin");
    nb::object type = nb::borrow(annotation);
    while (get_origin(type).is(annotated)) type = typing.attr("get_args")(type)[0];
    nb::tuple types = get_origin(type).is_none() ? nb::make_tuple(type)
                                                 : nb::tuple(typing.attr("get_args")(type));
    nb::object any = typing.attr("Any");  // a class on 3.11+, but one isinstance() refuses
    for (nb::handle t : types)
        if (!PyType_Check(t.ptr()) || t.is(any))
            throw std::invalid_argument("a view's parent must be annotated with record classes");
    return types;
}

/// Room for the arguments as handles, of which only those of the function's parameters are made:
/// zeroing the whole array on every call cost as much as the rest of the binding.
union Handles {
    Handles() {}
    nb::handle items[kMaxParams];
};

PyObject *call_impl(NativeFunction *f, PyObject **bound) {
    Handles handles;
    for (Py_ssize_t i = 0; i < f->nparams; ++i) new (&handles.items[i]) nb::handle(bound[i]);
    try {
        nb::object result = f->impl(Args(handles.items, (size_t) f->nparams));
        if (!result.is_valid()) {
            // An implementation that hands back a failed call's empty result: its error (if any)
            // is the answer, never an awaitable around a null value.
            if (!PyErr_Occurred())
                if (PyObject *name = fn_name(f))
                    PyErr_Format(PyExc_SystemError, "%U() returned no value", name);
            return nullptr;
        }
        if (f->is_async) return ready_awaitable(result).release().ptr();
        return result.release().ptr();
    } catch (nb::python_error &e) {
        e.restore();
    } catch (nb::builtin_exception &e) {
        PyObject *type = PyExc_RuntimeError;
        switch (e.type()) {
            case nb::exception_type::index_error: type = PyExc_IndexError; break;
            case nb::exception_type::key_error: type = PyExc_KeyError; break;
            case nb::exception_type::value_error: type = PyExc_ValueError; break;
            case nb::exception_type::type_error: type = PyExc_TypeError; break;
            case nb::exception_type::attribute_error: type = PyExc_AttributeError; break;
            case nb::exception_type::stop_iteration: type = PyExc_StopIteration; break;
            default: break;
        }
        PyErr_SetString(type, e.what());
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();  // what the host raises when its own allocations fail
    } catch (const std::bad_cast &) {
        PyErr_SetString(PyExc_TypeError, "value of an unexpected type");
    } catch (const std::exception &e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    }
    return nullptr;
}

PyObject *fn_vectorcall(PyObject *self, PyObject *const *args, size_t nargsf, PyObject *kwnames) {
    auto *f = reinterpret_cast<NativeFunction *>(self);
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    bool var_keyword = has_var_keyword(f);
    Py_ssize_t npositional = f->npositional;
    if (nargs > npositional) {
        if (PyObject *name = fn_name(f))
            PyErr_Format(PyExc_TypeError, "%U() takes %zd positional argument%s but %zd were given",
                         name, npositional, npositional == 1 ? "" : "s", nargs);
        return nullptr;
    }
    std::array<PyObject *, kMaxParams> bound;  // only the parameters' entries are set (see Handles)
    for (Py_ssize_t i = 0; i < nargs; ++i) bound[i] = args[i];
    for (Py_ssize_t i = nargs; i < f->nparams; ++i) bound[i] = nullptr;
    nb::object extra;  // owns the `**` dict for the duration of the call
    if (var_keyword) {
        extra = nb::steal(PyDict_New());
        if (!extra.is_valid()) return nullptr;
        bound[f->nparams - 1] = extra.ptr();
    }
    if (kwnames) {
        Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject *key = PyTuple_GET_ITEM(kwnames, k);
            Py_ssize_t i = find_param(f, key);
            if (i < 0 && var_keyword) {
                if (PyDict_SetItem(extra.ptr(), key, args[nargs + k]) < 0) return nullptr;
                continue;
            }
            if (i < 0) {
                if (PyObject *name = fn_name(f))
                    PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%U'",
                                 name, key);
                return nullptr;
            }
            if (bound[i]) {
                if (PyObject *name = fn_name(f))
                    PyErr_Format(PyExc_TypeError, "%U() got multiple values for argument '%U'",
                                 name, key);
                return nullptr;
            }
            bound[i] = args[nargs + k];
        }
    }
    nb::object record;  // owns a resolver's record for the duration of the call
    for (Py_ssize_t i = 0; i < f->nparams; ++i) {
        const Slot &p = f->params[i];
        if (!bound[i]) {
            if (!p.default_) {
                if (PyObject *name = fn_name(f))
                    PyErr_Format(PyExc_TypeError, "%U() missing required argument '%U'", name,
                                 p.name);
                return nullptr;
            }
            bound[i] = p.default_;
        }
        if (!rule_accepts(p.rule, bound[i])) {
            PyErr_Format(PyExc_TypeError, "Argument '%U' has incorrect type (expected %s, got %s)",
                         p.name, rule_type_name(p.rule), Py_TYPE(bound[i])->tp_name);
            return nullptr;
        }
        if (p.record_type) {
            record = nb::steal(shown_record(bound[i], p.record_type));
            if (!record.is_valid()) return nullptr;
            bound[i] = record.ptr();
        }
    }
    return call_impl(f, bound.data());
}

PyObject *fn_descr_get(PyObject *self, PyObject *obj, PyObject *) {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

PyObject *fn_repr(PyObject *self) {
    PyObject *name = fn_name(reinterpret_cast<NativeFunction *>(self));
    if (!name) return nullptr;
    return PyUnicode_FromFormat("<cython_function_or_method %U at %p>", name, self);
}

int fn_traverse(PyObject *self, visitproc visit, void *arg) {
    auto *f = reinterpret_cast<NativeFunction *>(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->dict);
    for (Py_ssize_t i = 0; i < f->nparams; ++i) {
        Py_VISIT(f->params[i].default_);
        Py_VISIT(f->params[i].record_type);
    }
    return 0;
}

int fn_clear(PyObject *self) {
    auto *f = reinterpret_cast<NativeFunction *>(self);
    Py_CLEAR(f->dict);
    for (Py_ssize_t i = 0; i < f->nparams; ++i) {
        Py_CLEAR(f->params[i].default_);
        Py_CLEAR(f->params[i].record_type);
    }
    return 0;
}

void fn_dealloc(PyObject *self) {
    auto *f = reinterpret_cast<NativeFunction *>(self);
    PyObject_GC_UnTrack(self);
    fn_clear(self);
    for (Py_ssize_t i = 0; i < f->nparams; ++i) Py_XDECREF(f->params[i].name);
    delete[] f->params;
    Py_XDECREF(f->qualname);
    PyTypeObject *tp = Py_TYPE(self);
    tp->tp_free(self);
    Py_DECREF(tp);
}

/// Pickled by reference, as Python functions are: the name is looked up again in `__module__`
/// when loading (a dotted qualname walks through the owning class), and copy/deepcopy hand back
/// the function itself.
PyObject *fn_reduce(PyObject *self, PyObject *) {
    PyObject *name = fn_name(reinterpret_cast<NativeFunction *>(self));
    return name ? Py_NewRef(name) : nullptr;
}

PyMethodDef fn_methods[] = {
    {"__reduce__", fn_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef fn_members[] = {
    {"__dictoffset__", Py_T_PYSSIZET, offsetof(NativeFunction, dict), Py_READONLY, nullptr},
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(NativeFunction, vectorcall), Py_READONLY,
     nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef fn_getset[] = {
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot fn_slots[] = {
    {Py_tp_call, (void *) PyVectorcall_Call},
    {Py_tp_descr_get, (void *) fn_descr_get},
    {Py_tp_repr, (void *) fn_repr},
    {Py_tp_traverse, (void *) fn_traverse},
    {Py_tp_clear, (void *) fn_clear},
    {Py_tp_dealloc, (void *) fn_dealloc},
    {Py_tp_methods, fn_methods},
    {Py_tp_members, fn_members},
    {Py_tp_getset, fn_getset},
    {0, nullptr},
};

PyType_Spec fn_spec = {
    "quorvex_analytics_utils.cython_function_or_method",
    sizeof(NativeFunction),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
        Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    fn_slots,
};

// ---- finished awaitable

/// Delivering the value a second time (or after close/throw) is the misuse a coroutine reports:
/// a silent None would read as the function's result.
PyObject *ready_reused() {
    PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
    return nullptr;
}

PyObject *ready_next(PyObject *self) {
    auto *r = reinterpret_cast<Ready *>(self);
    if (!r->value) return ready_reused();
    PyObject *value = r->value;
    r->value = nullptr;
    PyObject *stop = PyObject_CallOneArg(PyExc_StopIteration, value);
    Py_DECREF(value);
    if (stop) {
        PyErr_SetObject(PyExc_StopIteration, stop);
        Py_DECREF(stop);
    }
    return nullptr;
}

PyObject *ready_self(PyObject *self) { return Py_NewRef(self); }

PyObject *ready_send(PyObject *self, PyObject *arg) {
    if (arg != Py_None && reinterpret_cast<Ready *>(self)->value) {
        PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started coroutine");
        return nullptr;
    }
    return ready_next(self);
}

/// throw(exc) raises `exc` into the finished awaitable: it has nothing to catch it with.
PyObject *ready_throw(PyObject *self, PyObject *const *args, Py_ssize_t nargs) {
    if (nargs < 1 || nargs > 3) {
        PyErr_SetString(PyExc_TypeError, "throw expected 1 to 3 arguments");
        return nullptr;
    }
    PyObject *exc = args[0];
    PyObject *value = nargs > 1 ? args[1] : Py_None;
    PyObject *tb = nargs > 2 ? args[2] : Py_None;
    // The checks of a coroutine's throw(): a bad call raises TypeError and leaves the value
    // deliverable, instead of dropping a separate value or traceback unseen.
    if (tb != Py_None && !PyTraceBack_Check(tb)) {
        PyErr_SetString(PyExc_TypeError, "throw() third argument must be a traceback object");
        return nullptr;
    }
    if (PyExceptionInstance_Check(exc) && value != Py_None) {
        PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
        return nullptr;
    }
    if (!PyExceptionClass_Check(exc) && !PyExceptionInstance_Check(exc)) {
        PyErr_Format(PyExc_TypeError,
                     "exceptions must be classes or instances deriving from BaseException, not %s",
                     Py_TYPE(exc)->tp_name);
        return nullptr;
    }
    Py_CLEAR(reinterpret_cast<Ready *>(self)->value);
    if (PyExceptionClass_Check(exc))
        PyErr_SetObject(exc, value);
    else
        PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(exc)), exc);
    if (tb != Py_None) {
        PyObject *raised = PyErr_GetRaisedException();
        if (raised && PyException_SetTraceback(raised, tb) < 0) {
            Py_DECREF(raised);
            return nullptr;
        }
        PyErr_SetRaisedException(raised);
    }
    return nullptr;
}

PyObject *ready_close(PyObject *self, PyObject *) {
    Py_CLEAR(reinterpret_cast<Ready *>(self)->value);
    Py_RETURN_NONE;
}

int ready_traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(reinterpret_cast<Ready *>(self)->value);
    return 0;
}

int ready_clear(PyObject *self) {
    Py_CLEAR(reinterpret_cast<Ready *>(self)->value);
    return 0;
}

void ready_dealloc(PyObject *self) {
    PyObject_GC_UnTrack(self);
    ready_clear(self);
    PyTypeObject *tp = Py_TYPE(self);
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyMethodDef ready_methods[] = {
    // send/throw/close make it a collections.abc.Coroutine, so asyncio.run and tasks accept it.
    {"send", ready_send, METH_O, nullptr},
    {"throw", (PyCFunction) (void (*)()) ready_throw, METH_FASTCALL, nullptr},
    {"close", ready_close, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot ready_slots[] = {
    {Py_am_await, (void *) ready_self},        {Py_tp_iter, (void *) ready_self},
    {Py_tp_iternext, (void *) ready_next},     {Py_tp_methods, ready_methods},
    {Py_tp_traverse, (void *) ready_traverse}, {Py_tp_clear, (void *) ready_clear},
    {Py_tp_dealloc, (void *) ready_dealloc},   {0, nullptr},
};

PyType_Spec ready_spec = {
    "quorvex_analytics_utils.ready_awaitable",
    sizeof(Ready),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION |
        Py_TPFLAGS_IMMUTABLETYPE,
    ready_slots,
};

nb::object signature_of(const FunctionSpec &decl) {
    nb::module_ inspect = nb::module_::import_("inspect");
    nb::object parameter = inspect.attr("Parameter");
    nb::object kind = parameter.attr("POSITIONAL_OR_KEYWORD");
    nb::object keyword_only = parameter.attr("KEYWORD_ONLY");
    nb::object var_keyword = parameter.attr("VAR_KEYWORD");
    nb::object empty = parameter.attr("empty");
    nb::list params;
    for (const Param &p : decl.params) {
        nb::handle p_kind = p.rule == Rule::VarKeyword ? var_keyword
                            : p.keyword_only           ? keyword_only
                                                       : kind;
        params.append(parameter(
            p.name, p_kind, nb::arg("default") = p.default_.is_valid() ? p.default_ : empty,
            nb::arg("annotation") = p.annotation.is_valid() ? p.annotation : empty));
    }
    return inspect.attr("Signature")(
        params, nb::arg("return_annotation") = decl.returns.is_valid() ? decl.returns : empty);
}

/// The signature of one overload: the function's parameters with the overload's annotations.
nb::object overload_signature(const FunctionSpec &decl, const Overload &overload) {
    FunctionSpec variant{.name = decl.name, .params = decl.params, .returns = overload.returns};
    for (const auto &[name, annotation] : overload.params) {
        auto same_name = [&](const Param &p) { return std::string_view(p.name) == name; };
        auto it = std::find_if(variant.params.begin(), variant.params.end(), same_name);
        if (it == variant.params.end())
            throw std::invalid_argument("an overload names a parameter the function does not have");
        it->annotation = annotation;
    }
    return signature_of(variant);
}

}  // namespace

void init_native_types() {
    if (!qualname_key) {
        qualname_key = PyUnicode_InternFromString("__qualname__");
        if (!qualname_key) fail();
    }
    if (!function_type) {
        function_type = reinterpret_cast<PyTypeObject *>(PyType_FromSpec(&fn_spec));
        if (!function_type) fail();
    }
    if (!ready_type) {
        ready_type = reinterpret_cast<PyTypeObject *>(PyType_FromSpec(&ready_spec));
        if (!ready_type) fail();
    }
}

nb::object ready_awaitable(nb::handle value) {
    auto *r = PyObject_GC_New(Ready, ready_type);
    if (!r) fail();
    r->value = Py_NewRef(value.ptr());
    PyObject_GC_Track(r);
    return nb::steal(reinterpret_cast<PyObject *>(r));
}

nb::object make_function(nb::handle module, const char *qualname_prefix, FunctionSpec decl,
                         Impl impl) {
    init_native_types();
    if ((Py_ssize_t) decl.params.size() > kMaxParams)
        throw std::length_error("too many parameters for a native function");
    for (size_t i = 0; i + 1 < decl.params.size(); ++i)
        if (decl.params[i].rule == Rule::VarKeyword)
            throw std::invalid_argument("only the last parameter can collect keyword arguments");
    for (size_t i = 1; i < decl.params.size(); ++i)
        if (decl.params[i - 1].keyword_only && !decl.params[i].keyword_only &&
            decl.params[i].rule != Rule::VarKeyword)
            throw std::invalid_argument("keyword-only parameters come after the positional ones");
    auto *f = PyObject_GC_New(NativeFunction, function_type);
    if (!f) fail();
    f->vectorcall = fn_vectorcall;
    f->dict = nullptr;
    f->impl = impl;
    f->is_async = decl.is_async;
    f->nparams = 0;
    f->npositional = 0;
    f->qualname = nullptr;
    f->params = new Slot[decl.params.size()];
    nb::object self = nb::steal(reinterpret_cast<PyObject *>(f));
    for (const Param &p : decl.params) {
        Slot &s = f->params[f->nparams];
        s.name = PyUnicode_InternFromString(p.name);
        s.rule = p.rule;
        s.default_ = p.default_.is_valid() ? Py_NewRef(p.default_.ptr()) : nullptr;
        s.record_type = nullptr;
        s.keyword_only = p.keyword_only;
        if (!p.keyword_only && p.rule != Rule::VarKeyword) ++f->npositional;
        ++f->nparams;
        if (!s.name) fail();
        if (p.rule == Rule::Parent) {
            s.record_type = parent_record_types(p.annotation).release().ptr();
        }
    }
    PyObject_GC_Track(f);

    std::string qualname = qualname_prefix && *qualname_prefix
                               ? std::string(qualname_prefix) + "." + decl.name
                               : std::string(decl.name);
    f->qualname = PyUnicode_FromStringAndSize(qualname.data(), (Py_ssize_t) qualname.size());
    if (!f->qualname) fail();
    nb::dict annotations;
    for (const Param &p : decl.params)
        if (p.annotation.is_valid()) annotations[p.name] = p.annotation;
    if (decl.returns.is_valid()) annotations["return"] = decl.returns;

    self.attr("__name__") = decl.name;
    self.attr("__qualname__") = qualname.c_str();
    self.attr("__module__") = module.attr("__name__");
    self.attr("__doc__") = decl.doc ? nb::object(nb::str(decl.doc)) : nb::none();
    self.attr("__annotations__") = annotations;
    self.attr("__signature__") = signature_of(decl);
    if (!decl.overloads.empty()) {
        nb::list variants;
        for (const Overload &o : decl.overloads) variants.append(overload_signature(decl, o));
        self.attr("__overloads__") = nb::tuple(variants);
    }
    if (decl.is_async) nb::module_::import_("inspect").attr("markcoroutinefunction")(self);
    return self;
}

}  // namespace qv
