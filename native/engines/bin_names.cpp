// Bin names from plain values: the bound texts of kernels/number_format and the joined categories,
// assembled in C++ strings and made into one str object.
#include "engines/bin_names.hpp"

#include "binding/capi.hpp"

#include "kernels/number_format.hpp"

#include <charconv>
#include <string>

namespace qv::bins {

namespace {

constexpr Py_ssize_t kMaxJoinedCategories = 50;

/// Appends str() of an exact int within 64 bits; false for anything else.
bool append_integer(PyObject *number, std::string &out) {
    if (!PyLong_CheckExact(number)) return false;
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(number, &overflow);
    if (overflow) return false;
    if (v == -1 && PyErr_Occurred()) fail();
    char buf[24];
    auto r = std::to_chars(buf, buf + sizeof buf, v);
    out.append(buf, r.ptr);
    return true;
}

/// Appends the package's bound text of an exact float or a 64-bit int; false for anything else.
bool append_bound(PyObject *number, std::string &out) {
    if (!PyFloat_CheckExact(number)) return append_integer(number, out);
    out += kernels::format_bound(PyFloat_AS_DOUBLE(number));
    return true;
}

nb::object ascii(const std::string &text) {
    return check(PyUnicode_DecodeASCII(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr));
}

}  // namespace

nb::object plain_numerical_name(nb::handle id, nb::handle lower, nb::handle upper) {
    std::string text;
    if (!append_integer(id.ptr(), text)) return {};
    text += "_(";
    if (!append_bound(lower.ptr(), text)) return {};
    text += ';';
    if (!append_bound(upper.ptr(), text)) return {};
    text += ')';
    return ascii(text);
}

nb::object plain_categorical_name(nb::handle id, nb::handle categories) {
    PyObject *list = categories.ptr();
    if (!PyList_CheckExact(list)) return {};
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i)
        if (!PyUnicode_CheckExact(PyList_GET_ITEM(list, i))) return {};
    std::string head;
    if (!append_integer(id.ptr(), head)) return {};
    head += "_{";
    nb::object comma = check(PyUnicode_FromStringAndSize(",", 1));
    nb::object joined = check(PyUnicode_Join(comma.ptr(), list));
    if (PyUnicode_GET_LENGTH(joined.ptr()) > kMaxJoinedCategories) {
        nb::object cut = check(PyUnicode_Substring(joined.ptr(), 0, kMaxJoinedCategories - 3));
        joined = check(PyUnicode_FromFormat("%U...", cut.ptr()));
    }
    return check(PyUnicode_FromFormat("%s%U}", head.c_str(), joined.ptr()));
}

}  // namespace qv::bins
