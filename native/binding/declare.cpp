// Declaring enumerations, record classes and views from C++ through pydantic and strawberry.
#include "declare.hpp"

#include "support.hpp"

namespace qv {

namespace typ {

namespace {
nb::object typing_attr(const char *name) { return nb::module_::import_("typing").attr(name); }
}  // namespace

nb::object Any() { return typing_attr("Any"); }
nb::object Optional(nb::handle t) { return typing_attr("Optional")[t]; }
nb::object List(nb::handle t) { return typing_attr("List")[t]; }
nb::object Dict(nb::handle k, nb::handle v) { return typing_attr("Dict")[nb::make_tuple(k, v)]; }
nb::object Union(std::initializer_list<nb::handle> ts) {
    nb::list items;
    for (nb::handle t : ts) items.append(t);
    return typing_attr("Union")[nb::tuple(items)];
}
nb::object Literal(nb::handle value) { return typing_attr("Literal")[value]; }
nb::object Annotated(nb::handle t, nb::handle meta) {
    return nb::module_::import_("typing_extensions").attr("Annotated")[nb::make_tuple(t, meta)];
}
nb::object builtin(const char *name) { return nb::module_::import_("builtins").attr(name); }
nb::object Parent(nb::handle t) { return nb::module_::import_("strawberry").attr("Parent")[t]; }
nb::object auto_() { return nb::module_::import_("strawberry").attr("auto"); }
nb::object of(nb::handle origin, std::initializer_list<nb::handle> args) {
    nb::list items;
    for (nb::handle t : args) items.append(t);
    return origin[nb::tuple(items)];
}

}  // namespace typ

nb::object publish(nb::module_ &module, const char *name, nb::object value) {
    module.attr(name) = value;
    return value;
}

void import_names(nb::module_ &module, const char *from,
                  std::initializer_list<const char *> names) {
    nb::module_ source = nb::module_::import_(from);
    for (const char *name : names) module.attr(name) = source.attr(name);
}

void import_module(nb::module_ &module, const char *name) {
    module.attr(name) = nb::module_::import_(name);
}

namespace {

/// The first paragraph of a docstring: what GraphQL shows as a description.
nb::str summary(const char *doc) {
    std::string text(doc);
    size_t end = text.find("\n\n");
    if (end != std::string::npos) text.resize(end);
    return nb::str(text.c_str());
}

/// Sets the GraphQL description of a strawberry type or enumeration after its decorator ran (the
/// decorator is given only the options the type declares).
void describe(nb::handle strawberry_class, const char *doc) {
    strawberry_class.attr("__strawberry_definition__").attr("description") = summary(doc);
}

/// `strawberry.field(resolver=fn)`, described by the first paragraph of the function's docstring.
nb::object resolver_field(nb::handle fn, const char *doc) {
    nb::object field = nb::module_::import_("strawberry").attr("field");
    if (!doc) return field(nb::arg("resolver") = fn);
    return field(nb::arg("resolver") = fn, nb::arg("description") = summary(doc));
}

}  // namespace

nb::object declare_str_enum(nb::module_ &module, const char *name,
                            std::initializer_list<std::pair<const char *, const char *>> members,
                            bool graphql, const char *doc) {
    nb::list items;
    for (const auto &[member, value] : members) items.append(nb::make_tuple(member, value));
    nb::object enum_cls = nb::module_::import_("enum").attr("Enum")(
        name, items, nb::arg("module") = module.attr("__name__"), nb::arg("qualname") = name,
        nb::arg("type") = typ::builtin("str"));
    if (doc) enum_cls.attr("__doc__") = doc;
    if (graphql) {
        enum_cls = nb::module_::import_("strawberry").attr("enum")(enum_cls);
        if (doc) describe(enum_cls, doc);
    }
    return publish(module, name, enum_cls);
}

// ---- records

namespace {

nb::tuple tuple_of(std::initializer_list<nb::handle> items) {
    nb::list list;
    for (nb::handle item : items) list.append(item);
    return nb::tuple(list);
}

/// The entries every class body starts with: where it lives, its name and its annotations.
void start_namespace(nb::dict &ns, nb::module_ &module, const char *name, nb::dict &annotations) {
    ns["__module__"] = module.attr("__name__");
    ns["__qualname__"] = name;
    ns["__annotations__"] = annotations;
}

}  // namespace

RecordClass::RecordClass(nb::module_ &module, const char *name,
                         std::initializer_list<nb::handle> bases)
    : module_(module), name_(name), bases_(tuple_of(bases)) {
    start_namespace(namespace_, module, name, annotations_);
}

RecordClass &RecordClass::doc(const char *text) {
    namespace_["__doc__"] = text;
    return *this;
}

RecordClass &RecordClass::field(const char *name, nb::handle annotation) {
    annotations_[name] = annotation;
    return *this;
}

RecordClass &RecordClass::field(const char *name, nb::handle annotation, nb::handle default_) {
    annotations_[name] = annotation;
    namespace_[name] = default_;
    return *this;
}

nb::object RecordClass::function(FunctionSpec decl, Impl impl, const char *first) {
    if (first) decl.params.insert(decl.params.begin(), Param{.name = first});
    return make_function(module_, name_.c_str(), std::move(decl), impl);
}

RecordClass &RecordClass::method(FunctionSpec decl, Impl impl) {
    const char *name = decl.name;
    namespace_[name] = function(std::move(decl), impl, "self");
    return *this;
}

RecordClass &RecordClass::classmethod(FunctionSpec decl, Impl impl) {
    const char *name = decl.name;
    namespace_[name] = typ::builtin("classmethod")(function(std::move(decl), impl, "cls"));
    return *this;
}

RecordClass &RecordClass::staticmethod(FunctionSpec decl, Impl impl) {
    const char *name = decl.name;
    namespace_[name] = typ::builtin("staticmethod")(function(std::move(decl), impl, nullptr));
    return *this;
}

RecordClass &RecordClass::after_validator(FunctionSpec decl, Impl impl) {
    const char *name = decl.name;
    nb::object validator =
        nb::module_::import_("pydantic").attr("model_validator")(nb::arg("mode") = "after");
    namespace_[name] = validator(function(std::move(decl), impl, "self"));
    return *this;
}

RecordClass &RecordClass::before_validator(FunctionSpec decl, Impl impl) {
    const char *name = decl.name;
    nb::object validator =
        nb::module_::import_("pydantic").attr("model_validator")(nb::arg("mode") = "before");
    namespace_[name] =
        validator(typ::builtin("classmethod")(function(std::move(decl), impl, "cls")));
    return *this;
}

RecordClass &RecordClass::attr(const char *name, nb::handle value) {
    namespace_[name] = value;
    return *this;
}

RecordClass &RecordClass::wrapped_method(FunctionSpec decl, Impl impl, nb::handle wrapper) {
    const char *name = decl.name;
    namespace_[name] = wrapper(function(std::move(decl), impl, "self"));
    return *this;
}

namespace {

/// Lets instances of a record class look attributes up as plain objects do
/// (`object.__getattribute__`), without pydantic's `BaseModel.__getattr__` after a miss, when that
/// hook has nothing to add: the class has no private attributes and forbids extra fields (so
/// `__pydantic_extra__` stays None), `__getattr__` is pydantic's own and `__getattribute__`
/// object's. A miss then raises the AttributeError pydantic's hook would raise, with the same
/// text. Python's attribute look-up (and its specialising interpreter) takes the direct route for
/// such a class. CPython recomputes the slot whenever `__getattr__` or `__getattribute__` is later
/// set on the class or a base, so such a patch is honoured; subclasses compute their own.
void look_up_attributes_plainly(nb::handle cls) {
    static PyObject *pydantic_getattr = nullptr;
    if (!pydantic_getattr) {
        nb::object base_model = nb::module_::import_("pydantic").attr("BaseModel");
        nb::object hook = type_lookup(reinterpret_cast<PyTypeObject *>(base_model.ptr()),
                                      interned("__getattr__"));
        if (!hook.is_valid()) return;
        pydantic_getattr = keep_forever(hook);
    }
    auto *type = reinterpret_cast<PyTypeObject *>(cls.ptr());
    nb::object object_getattribute = type_lookup(&PyBaseObject_Type, interned("__getattribute__"));
    if (!type_attribute_is(type, interned("__getattr__"), pydantic_getattr) ||
        !type_attribute_is(type, interned("__getattribute__"), object_getattribute.ptr()))
        return;
    nb::object config = cls.attr("model_config");
    PyObject *extra = PyDict_Check(config.ptr())
                          ? PyDict_GetItemWithError(config.ptr(), interned("extra"))
                          : nullptr;
    if (PyErr_Occurred()) fail();
    if (!extra || !str_equals(extra, "forbid")) return;
    nb::object private_attributes = cls.attr("__private_attributes__");
    Py_ssize_t count = PyObject_Length(private_attributes.ptr());
    if (count < 0) fail();
    if (count != 0) return;
    type->tp_getattro = PyObject_GenericGetAttr;
    PyType_Modified(type);
}

}  // namespace

nb::object RecordClass::build() {
    nb::handle metaclass = reinterpret_cast<PyObject *>(Py_TYPE(bases_[0].ptr()));
    nb::object cls = metaclass(name_.c_str(), bases_, namespace_);
    look_up_attributes_plainly(cls);
    return publish(module_, name_.c_str(), cls);
}

// ---- protocols

namespace {

nb::object protocol_member_impl(Args) {
    raise(PyExc_NotImplementedError,
          "a protocol member only states a signature: the classes that match it implement it");
}

}  // namespace

nb::object declare_protocol(nb::module_ &module, const char *name, const char *doc,
                            std::initializer_list<FunctionSpec> members) {
    RecordClass protocol(module, name, {nb::module_::import_("typing").attr("Protocol")});
    protocol.doc(doc);
    for (const FunctionSpec &member : members) protocol.method(member, protocol_member_impl);
    return protocol.build();
}

// ---- views

ViewClass::ViewClass(nb::module_ &module, const char *name, nb::handle model,
                     std::initializer_list<nb::handle> bases)
    : module_(module), name_(name), model_(nb::borrow(model)), bases_(tuple_of(bases)) {
    start_namespace(namespace_, module, name, annotations_);
}

ViewClass &ViewClass::auto_field(const char *name, const char *doc) {
    annotations_[name] = typ::auto_();
    if (doc) field_docs_.emplace_back(name, doc);
    return *this;
}

ViewClass &ViewClass::field(const char *name, nb::handle annotation, const char *doc) {
    annotations_[name] = annotation;
    if (doc) field_docs_.emplace_back(name, doc);
    return *this;
}

ViewClass &ViewClass::resolver(FunctionSpec decl, Impl impl, nb::handle parent_type) {
    const char *name = decl.name, *doc = decl.doc;
    decl.params.insert(
        decl.params.begin(),
        {Param{.name = "self"},
         Param{.name = "parent", .rule = Rule::Parent, .annotation = typ::Parent(parent_type)}});
    nb::object fn = make_function(module_, name_.c_str(), std::move(decl), impl);
    namespace_[name] = resolver_field(fn, doc);
    return *this;
}

ViewClass &ViewClass::self_resolver(FunctionSpec decl, Impl impl) {
    const char *name = decl.name, *doc = decl.doc;
    decl.params.insert(decl.params.begin(), Param{.name = "self"});
    nb::object fn = make_function(module_, name_.c_str(), std::move(decl), impl);
    namespace_[name] = resolver_field(fn, doc);
    return *this;
}

ViewClass &ViewClass::doc(const char *text) {
    doc_ = text;
    return *this;
}

ViewClass &ViewClass::method(FunctionSpec decl, Impl impl) {
    const char *name = decl.name;
    decl.params.insert(decl.params.begin(), Param{.name = "self"});
    namespace_[name] = make_function(module_, name_.c_str(), std::move(decl), impl);
    return *this;
}

nb::object ViewClass::build() {
    nb::object cls = typ::builtin("type")(name_.c_str(), bases_, namespace_);
    nb::module_ strawberry = nb::module_::import_("strawberry");
    nb::object view;
    if (model_.is_valid() && !model_.is_none()) {
        view = nb::module_::import_("strawberry.experimental.pydantic")
                   .attr("type")(nb::arg("model") = model_)(cls);
    } else {
        view = strawberry.attr("type")(cls);
    }
    // strawberry rebuilds the class through make_dataclass, which moves it to module "types".
    view.attr("__module__") = module_.attr("__name__");
    view.attr("__qualname__") = name_.c_str();
    if (doc_) {
        view.attr("__doc__") = doc_;
        describe(view, doc_);
    }
    // Descriptions of plain fields go on the definition strawberry made of them.
    for (nb::handle f : view.attr("__strawberry_definition__").attr("fields"))
        for (const auto &[name, doc] : field_docs_)
            if (nb::str(f.attr("python_name")).equal(nb::str(name)))
                f.attr("description") = summary(doc);
    return publish(module_, name_.c_str(), view);
}

}  // namespace qv
