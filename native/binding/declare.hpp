// Declaring enumerations, record classes and views from C++ through pydantic and strawberry.
#pragma once

#include "native_function.hpp"

#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

namespace qv {

/// Annotations built from the host's typing module.
namespace typ {
nb::object Any();
nb::object Optional(nb::handle t);
nb::object List(nb::handle t);
nb::object Dict(nb::handle k, nb::handle v);
nb::object Union(std::initializer_list<nb::handle> ts);
nb::object Literal(nb::handle value);
nb::object Annotated(nb::handle t, nb::handle meta);
nb::object builtin(const char *name);  ///< str, int, float, bool, bytes, ...
nb::object Parent(nb::handle t);       ///< strawberry.Parent[t]
nb::object auto_();                    ///< strawberry.auto
/// `origin[args...]`: a generic class with its parameters (`tuple[int]`, `numpy.dtype[float64]`).
nb::object of(nb::handle origin, std::initializer_list<nb::handle> args);
}  // namespace typ

/// `pydantic.Field(**kwargs)`.
template <typename... Kw>
nb::object Field(Kw &&...kw) {
    return nb::module_::import_("pydantic").attr("Field")(std::forward<Kw>(kw)...);
}

/// A `(str, Enum)` class with members whose values are given; published on the module.
/// With `graphql`, it is also registered with `strawberry.enum`, with `doc` as its description.
nb::object declare_str_enum(nb::module_ &module, const char *name,
                            std::initializer_list<std::pair<const char *, const char *>> members,
                            bool graphql, const char *doc = nullptr);

/// Publishes `from <from> import <names...>` on the module, as the imports of a Python module
/// would.
void import_names(nb::module_ &module, const char *from, std::initializer_list<const char *> names);

/// Publishes `import <name>` on the module.
void import_module(nb::module_ &module, const char *name);

/// Publishes `value` as `module.<name>` and returns it.
nb::object publish(nb::module_ &module, const char *name, nb::object value);

/// A `typing.Protocol` class, published on the module: the structural type of the objects an
/// argument may be. Each member is a native method taking `self` then the declared parameters;
/// it only states a signature (the classes that match implement it): calling it raises
/// NotImplementedError.
nb::object declare_protocol(nb::module_ &module, const char *name, const char *doc,
                            std::initializer_list<FunctionSpec> members);

/// Builds a record class (a pydantic model) with fields in order, validators and native methods.
class RecordClass {
public:
    RecordClass(nb::module_ &module, const char *name, std::initializer_list<nb::handle> bases);

    RecordClass &doc(const char *text);
    /// A required field.
    RecordClass &field(const char *name, nb::handle annotation);
    /// A field with a default value or a `Field(...)` object.
    RecordClass &field(const char *name, nb::handle annotation, nb::handle default_);
    /// An instance method; `self` is prepended to the declared parameters.
    RecordClass &method(FunctionSpec decl, Impl impl);
    /// A class method; `cls` is prepended to the declared parameters.
    RecordClass &classmethod(FunctionSpec decl, Impl impl);
    RecordClass &staticmethod(FunctionSpec decl, Impl impl);
    /// `model_validator(mode="after")` over an instance method taking `self`.
    RecordClass &after_validator(FunctionSpec decl, Impl impl);
    /// `model_validator(mode="before")` over a class method taking `cls` and `data`.
    RecordClass &before_validator(FunctionSpec decl, Impl impl);
    /// Any other class attribute (a constant, an abstract method, ...).
    RecordClass &attr(const char *name, nb::handle value);
    /// A native function wrapped by `wrapper(fn)` (for example `abc.abstractmethod`).
    RecordClass &wrapped_method(FunctionSpec decl, Impl impl, nb::handle wrapper);

    /// Creates the class with the metaclass of its first base and publishes it on the module.
    nb::object build();

    const std::string &name() const { return name_; }

private:
    nb::object function(FunctionSpec decl, Impl impl, const char *first);

    nb::module_ module_;
    std::string name_;
    nb::tuple bases_;
    nb::dict namespace_;
    nb::dict annotations_;
};

/// Builds a strawberry view over a record class:
/// `strawberry.experimental.pydantic.type(model=...)`, or a plain `strawberry.type` when no model
/// is given.
class ViewClass {
public:
    ViewClass(nb::module_ &module, const char *name, nb::handle model,
              std::initializer_list<nb::handle> bases = {});

    /// A field taken over from the record (`strawberry.auto`); `doc` is its GraphQL description.
    ViewClass &auto_field(const char *name, const char *doc = nullptr);
    /// A field with an explicit annotation; `doc` is its GraphQL description.
    ViewClass &field(const char *name, nb::handle annotation, const char *doc = nullptr);
    /// A resolver field; `self` and `parent` (annotated `strawberry.Parent[parent_type]`) are
    /// prepended to the declared parameters.
    ViewClass &resolver(FunctionSpec decl, Impl impl, nb::handle parent_type);
    /// A resolver field taking only `self` (for plain types holding their own data).
    ViewClass &self_resolver(FunctionSpec decl, Impl impl);
    /// A plain method that is not a GraphQL field (for example `__init__`).
    ViewClass &method(FunctionSpec decl, Impl impl);
    /// The docstring; its first paragraph is also the GraphQL type's description.
    ViewClass &doc(const char *text);

    nb::object build();

private:
    nb::module_ module_;
    std::string name_;
    nb::object model_;
    nb::tuple bases_;
    nb::dict namespace_;
    nb::dict annotations_;
    const char *doc_ = nullptr;
    std::vector<std::pair<const char *, const char *>> field_docs_;  ///< field name, description
};

}  // namespace qv
