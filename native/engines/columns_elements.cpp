// Reading the elements of column chunks (numbers, texts, Python objects), and the tools shared by
// the column operations.
#include "engines/column_tools.hpp"
#include "engines/columns_read.hpp"

#include "binding/support.hpp"

#include <cmath>
#include <cstring>
#include <string>
#include <string_view>

namespace qv::columns {

namespace {

/// IEEE half precision to double (exact).
double half_to_double(std::uint16_t h) {
    int exponent = (h >> 10) & 0x1f;
    int mantissa = h & 0x3ff;
    double sign = (h & 0x8000) ? -1.0 : 1.0;
    if (exponent == 0) return sign * std::ldexp((double) mantissa, -24);
    if (exponent == 31) return mantissa ? std::nan("") : sign * INFINITY;
    return sign * std::ldexp((double) (mantissa | 0x400), exponent - 25);
}

template <typename T>
T load(const char *p) {
    T value;
    std::memcpy(static_cast<void *>(&value), p, sizeof(T));
    return value;
}

bool bit(const char *data, std::int64_t i) {
    return (static_cast<std::uint8_t>(data[i >> 3]) >> (i & 7)) & 1;
}

/// Encodes code point `cp` as UTF-8 (surrogates as their three bytes, as "surrogatepass" does).
void put_utf8(std::vector<char> &out, std::uint32_t cp) {
    if (cp < 0x80) {
        out.push_back((char) cp);
    } else if (cp < 0x800) {
        out.push_back((char) (0xC0 | (cp >> 6)));
        out.push_back((char) (0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back((char) (0xE0 | (cp >> 12)));
        out.push_back((char) (0x80 | ((cp >> 6) & 0x3F)));
        out.push_back((char) (0x80 | (cp & 0x3F)));
    } else {
        out.push_back((char) (0xF0 | (cp >> 18)));
        out.push_back((char) (0x80 | ((cp >> 12) & 0x3F)));
        out.push_back((char) (0x80 | ((cp >> 6) & 0x3F)));
        out.push_back((char) (0x80 | (cp & 0x3F)));
    }
}

}  // namespace

double load_number(const Chunk &c, std::size_t i) {
    if (c.missing(i)) return std::nan("");
    const char *p = c.data + (std::ptrdiff_t) i * c.stride;
    switch (c.kind) {
        case Kind::Float:
            return c.width == 8   ? load<double>(p)
                   : c.width == 4 ? (double) load<float>(p)
                                  : half_to_double(load<std::uint16_t>(p));
        case Kind::Signed:
            switch (c.width) {
                case 1: return (double) load<std::int8_t>(p);
                case 2: return (double) load<std::int16_t>(p);
                case 4: return (double) load<std::int32_t>(p);
                default: return (double) load<std::int64_t>(p);
            }
        case Kind::Unsigned:
            switch (c.width) {
                case 1: return (double) load<std::uint8_t>(p);
                case 2: return (double) load<std::uint16_t>(p);
                case 4: return (double) load<std::uint32_t>(p);
                default: return (double) load<std::uint64_t>(p);
            }
        case Kind::Bool: return *p ? 1.0 : 0.0;
        case Kind::Bits: return bit(c.data, c.bit_offset + (std::int64_t) i) ? 1.0 : 0.0;
        default: return std::nan("");
    }
}

bool load_text(const Chunk &c, std::size_t i, const char *&text, std::size_t &size,
               std::vector<char> &scratch) {
    switch (c.kind) {
        case Kind::Utf8: {
            std::int64_t begin, end;
            if (c.width == 4) {
                begin = load<std::int32_t>(c.offsets + 4 * i);
                end = load<std::int32_t>(c.offsets + 4 * (i + 1));
            } else {
                begin = load<std::int64_t>(c.offsets + 8 * i);
                end = load<std::int64_t>(c.offsets + 8 * (i + 1));
            }
            text = c.chars + begin;
            size = (std::size_t) (end - begin);
            return true;
        }
        case Kind::Utf8View: {
            const char *view = c.data + 16 * i;
            auto length = load<std::int32_t>(view);
            size = (std::size_t) length;
            if (length <= 12) {
                text = view + 4;
            } else {
                auto index = load<std::int32_t>(view + 8);
                auto offset = load<std::int32_t>(view + 12);
                text = c.view_buffers[index] + offset;
            }
            return true;
        }
        case Kind::Utf32: {
            const char *p = c.data + (std::ptrdiff_t) i * c.stride;
            std::size_t n = (std::size_t) c.width;
            while (n > 0 && load<std::uint32_t>(p + 4 * (n - 1)) == 0) --n;  // numpy drops them too
            scratch.clear();
            for (std::size_t k = 0; k < n; ++k) {
                auto cp = load<std::uint32_t>(p + 4 * k);
                if (cp > 0x10FFFF) return false;
                put_utf8(scratch, cp);
            }
            text = scratch.data();
            size = scratch.size();
            return true;
        }
        default: return false;
    }
}

namespace {

/// numpy's number scalar types, read from numpy once it has been imported by someone.
struct NumpyScalar {
    PyTypeObject *type = nullptr;
    unaryfunc conversion = nullptr;  ///< the nb_float numpy gave the type
    Kind kind = Kind::Float;
    int width = 8;
};

struct NumpyScalars {
    bool loaded = false;
    NumpyScalar types[10];
};

NumpyScalars &numpy_scalars() {
    static NumpyScalars table;
    if (table.loaded) return table;
    PyObject *numpy = PyImport_GetModule(interned("numpy"));  // never imports
    if (!numpy) {
        PyErr_Clear();
        return table;
    }
    const struct {
        const char *name;
        Kind kind;
        int width;
    } known[10] = {{"float64", Kind::Float, 8},   {"float32", Kind::Float, 4},
                   {"int8", Kind::Signed, 1},     {"int16", Kind::Signed, 2},
                   {"int32", Kind::Signed, 4},    {"int64", Kind::Signed, 8},
                   {"uint8", Kind::Unsigned, 1},  {"uint16", Kind::Unsigned, 2},
                   {"uint32", Kind::Unsigned, 4}, {"uint64", Kind::Unsigned, 8}};
    for (int k = 0; k < 10; ++k) {
        PyObject *type = PyObject_GetAttrString(numpy, known[k].name);
        if (!type || !PyType_Check(type)) {
            Py_XDECREF(type);
            PyErr_Clear();
            continue;
        }
        auto *t = reinterpret_cast<PyTypeObject *>(type);  // kept: numpy's types live forever
        NumpyScalar &entry = table.types[k];
        entry.type = t;
        entry.conversion = t->tp_as_number ? t->tp_as_number->nb_float : nullptr;
        entry.kind = known[k].kind;
        entry.width = known[k].width;
    }
    Py_DECREF(numpy);
    table.loaded = true;
    return table;
}

}  // namespace

bool plain_float(PyObject *value, double &out) {
    if (PyFloat_CheckExact(value)) {
        out = PyFloat_AS_DOUBLE(value);
        return true;
    }
    if (PyLong_CheckExact(value)) {
        out = PyLong_AsDouble(value);
        if (out == -1.0 && PyErr_Occurred()) {
            PyErr_Clear();  // too large: float() raises
            return false;
        }
        return true;
    }
    PyTypeObject *t = Py_TYPE(value);
    if (PyFloat_Check(value) && t->tp_as_number &&
        t->tp_as_number->nb_float == PyFloat_Type.tp_as_number->nb_float) {
        out = PyFloat_AS_DOUBLE(value);  // float's conversion of a subclass reads this number
        return true;
    }
    for (const NumpyScalar &n : numpy_scalars().types) {
        if (n.type != t) continue;
        if (!t->tp_as_number || t->tp_as_number->nb_float != n.conversion) return false;
        Chunk stored;  // the scalar's number sits right after its object header
        stored.kind = n.kind;
        stored.width = n.width;
        stored.data = reinterpret_cast<const char *>(value) + sizeof(PyObject);
        out = load_number(stored, 0);
        return true;
    }
    return false;
}

bool is_pandas_na(PyObject *value) {
    PyTypeObject *t = Py_TYPE(value);
    if (std::strcmp(t->tp_name, "NAType") != 0 &&
        std::strcmp(t->tp_name, "pandas._libs.missing.NAType") != 0)
        return false;
    return module_of(value).starts_with("pandas");
}

nb::object element(const Chunk &c, std::size_t i) {
    if (c.kind == Kind::Null || c.missing(i)) return nb::none();  // masked objects too
    if (c.kind == Kind::Objects) {
        PyObject *o = load<PyObject *>(c.data + (std::ptrdiff_t) i * c.stride);
        return nb::borrow(o ? o : Py_None);
    }
    if (c.dictionary) {
        double code = load_number(c, i);
        if (code < 0) return nb::none();
        // A producer may hand over codes past its dictionary: refused, never read.
        if (code >= (double) c.dictionary->length)
            raise(PyExc_IndexError, "dictionary code out of range");
        return element(c.dictionary->chunks.front(), (std::size_t) code);
    }
    const char *p = c.data + (std::ptrdiff_t) i * c.stride;
    switch (c.kind) {
        case Kind::Float: return check(PyFloat_FromDouble(load_number(c, i)));
        case Kind::Signed: {
            long long v = c.width == 1   ? load<std::int8_t>(p)
                          : c.width == 2 ? load<std::int16_t>(p)
                          : c.width == 4 ? load<std::int32_t>(p)
                                         : load<std::int64_t>(p);
            return check(PyLong_FromLongLong(v));
        }
        case Kind::Unsigned: {
            unsigned long long v = c.width == 1   ? load<std::uint8_t>(p)
                                   : c.width == 2 ? load<std::uint16_t>(p)
                                   : c.width == 4 ? load<std::uint32_t>(p)
                                                  : load<std::uint64_t>(p);
            return check(PyLong_FromUnsignedLongLong(v));
        }
        case Kind::Bool:
        case Kind::Bits: return nb::bool_(load_number(c, i) != 0);
        default: break;
    }
    if (c.kind == Kind::Utf32) {
        const char *q = c.data + (std::ptrdiff_t) i * c.stride;
        Py_ssize_t n = c.width;
        while (n > 0 && load<std::uint32_t>(q + 4 * (n - 1)) == 0) --n;
        return check(PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, q, n));
    }
    const char *text = nullptr;
    std::size_t size = 0;
    std::vector<char> scratch;
    load_text(c, i, text, size, scratch);
    return check(PyUnicode_DecodeUTF8(text, (Py_ssize_t) size, "surrogatepass"));
}

}  // namespace qv::columns

// ---- tools shared by the column operations

namespace qv::columns {

void TextIndex::add(std::string_view text, std::uint32_t value) {
    if (find(text.data(), text.size(), ~0u) != ~0u) return;
    if ((count_ + 1) * 2 > slots_.size()) grow();
    Slot s;
    s.hash = hash(text.data(), text.size());
    s.offset = arena_.size();
    s.size = text.size();
    s.value = value;
    arena_.append(text);
    std::size_t mask = slots_.size() - 1;
    std::size_t at = (std::size_t) s.hash & mask;
    while (slots_[at].size != kEmpty) at = (at + 1) & mask;
    slots_[at] = s;
    ++count_;
}

void TextIndex::grow() {
    std::vector<Slot> old = std::move(slots_);
    slots_.assign(old.empty() ? 16 : old.size() * 2, Slot{});
    std::size_t mask = slots_.size() - 1;
    for (const Slot &s : old) {
        if (s.size == kEmpty) continue;
        std::size_t at = (std::size_t) s.hash & mask;
        while (slots_[at].size != kEmpty) at = (at + 1) & mask;
        slots_[at] = s;
    }
}

nb::object Tally::examples() const {
    nb::list parts;
    for (double v : numbers) {
        nb::object f = check(PyFloat_FromDouble(v));
        parts.append(nb::steal(PyObject_Str(f.ptr())));
    }
    for (const std::string &t : texts) {
        PyObject *s = PyUnicode_DecodeUTF8(t.data(), (Py_ssize_t) t.size(), "surrogatepass");
        if (!s) fail();
        parts.append(nb::steal(s));
    }
    nb::list quoted;
    for (nb::handle p : parts) {
        PyObject *q = PyUnicode_FromFormat("'%U'", p.ptr());
        if (!q) fail();
        quoted.append(nb::steal(q));
    }
    return nb::str(", ").attr("join")(quoted);
}

std::string utf8_of(nb::handle text) {
    PyObject *bytes = PyUnicode_AsEncodedString(text.ptr(), "utf-8", "surrogatepass");
    if (!bytes) fail();
    std::string result(PyBytes_AS_STRING(bytes), (std::size_t) PyBytes_GET_SIZE(bytes));
    Py_DECREF(bytes);
    return result;
}

void tally_value(Tally &tally, nb::handle value) {
    if (PyFloat_CheckExact(value.ptr())) return tally.number(PyFloat_AS_DOUBLE(value.ptr()));
    if (tally.numbers.size() + tally.texts.size() >= Tally::kExamples) {
        ++tally.count;  // no text needed: str() may be costly and runs Python code
        return;
    }
    nb::object text = check(PyObject_Str(value.ptr()));
    tally.text(utf8_of(text));
}

nb::object new_array(const char *dtype, std::size_t n, void *&data) {
    static PyObject *empty = nullptr;  // numpy.empty, kept for the life of the process
    if (!empty) {
        nb::object numpy = nb::module_::import_("numpy");
        empty = nb::object(numpy.attr("empty")).release().ptr();
    }
    nb::object array = check(PyObject_CallFunction(empty, "ns", (Py_ssize_t) n, dtype));
    Py_buffer view;
    if (PyObject_GetBuffer(array.ptr(), &view, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS) < 0) fail();
    data = view.buf;  // the array owns it; the view adds nothing to keep
    PyBuffer_Release(&view);
    return array;
}

}  // namespace qv::columns
