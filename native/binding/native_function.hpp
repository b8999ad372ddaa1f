// The package's compiled function objects: a callable type that pydantic, strawberry and inspect
// accept.
#pragma once

#include <nanobind/nanobind.h>

#include <span>
#include <utility>
#include <vector>

namespace qv {

namespace nb = nanobind;

/// Exact-type rule applied to one argument before the implementation runs.
enum class Rule : unsigned char {
    Any,         ///< anything, None included
    Str,         ///< exactly `str`
    StrOrNone,   ///< exactly `str`, or None
    List,        ///< exactly `list`
    Dict,        ///< exactly `dict`
    VarKeyword,  ///< `**name`: last parameter only; bound to a fresh dict of the other keywords
    Parent,  ///< a view's parent, annotated `strawberry.Parent[record class]`: the record itself,
             ///< or, for a view made by `from_pydantic`, the record it was made from
};

/// One declared parameter: positional-or-keyword (or keyword-only), optionally annotated,
/// optionally defaulted.
struct Param {
    const char *name;
    Rule rule = Rule::Any;
    nb::object annotation = {};  ///< empty: no annotation
    nb::object default_ = {};    ///< empty: required
    bool keyword_only = false;   ///< after every positional-or-keyword parameter, before `**`
};

/// Arguments bound in declaration order; defaults already filled in.
using Args = std::span<const nb::handle>;
/// An implementation: named after the Python attribute it implements with `_impl` appended
/// (`get_content_impl`, `formula_impl` for a view's `formula`, `init_impl` for `__init__`), it
/// names its arguments on its first line: `nb::handle self = a[0], value = a[1];`.
using Impl = nb::object (*)(Args args);

/// One typed variant of a function whose result type follows the types of its arguments, as
/// `typing.overload` declares one: the annotations that differ from the function's own (by
/// parameter name) and the result's.
struct Overload {
    std::vector<std::pair<const char *, nb::object>> params = {};
    nb::object returns = {};
};

/// What the callable says about itself to inspect, pydantic and strawberry; written with designated
/// initialisers: `{.name = "type", .returns = t, .is_async = true}`.
struct FunctionSpec {
    const char *name;
    std::vector<Param> params = {};
    nb::object returns = {};  ///< return annotation; empty: none
    const char *doc = nullptr;
    bool is_async = false;  ///< result handed back as an already finished awaitable
    /// Published as `__overloads__`, one `inspect.Signature` each, in order: what a stub declares
    /// with `@overload` (the function's own signature covers them all).
    std::vector<Overload> overloads = {};
};

/// A new function object of type "cython_function_or_method".
/// `qualname_prefix` is the owning class name (or empty at module level).
nb::object make_function(nb::handle module, const char *qualname_prefix, FunctionSpec decl,
                         Impl impl);

/// The already finished awaitable that asynchronous functions return.
nb::object ready_awaitable(nb::handle value);

/// Registers the module-lifetime types once per extension module; called by every module init.
void init_native_types();

}  // namespace qv
