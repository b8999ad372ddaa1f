// The Arrow C data interface's schema struct, exported through a PyCapsule ("arrow_schema").
#include "frames.hpp"

#include "engines/arrow_c.hpp"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace qv::frames_module {

namespace {

/// What one exported schema owns: its strings and its children.
struct Owned {
    std::string format, name;
    std::vector<std::unique_ptr<ArrowSchema>> children;
    std::vector<ArrowSchema *> child_pointers;
};

void release_schema(ArrowSchema *schema) {
    if (!schema || !schema->release) return;
    auto *owned = static_cast<Owned *>(schema->private_data);
    for (ArrowSchema *child : owned->child_pointers)
        if (child->release) child->release(child);
    delete owned;
    schema->release = nullptr;
}

void fill(ArrowSchema *schema, std::string format, std::string name) {
    auto *owned = new Owned{std::move(format), std::move(name), {}, {}};
    *schema = ArrowSchema{owned->format.c_str(),
                          owned->name.c_str(),
                          nullptr,
                          ARROW_FLAG_NULLABLE,
                          0,
                          nullptr,
                          nullptr,
                          release_schema,
                          owned};
}

const char *format_of(const std::string &dtype) {
    if (dtype == "float64") return "g";
    if (dtype == "uint8") return "C";
    if (dtype == "int8") return "c";
    raise(PyExc_ValueError, "no Arrow type for the dtype '%s'", dtype.c_str());
}

void capsule_destructor(PyObject *capsule) {
    auto *schema = static_cast<ArrowSchema *>(PyCapsule_GetPointer(capsule, "arrow_schema"));
    if (!schema) {
        PyErr_Clear();
        return;
    }
    if (schema->release) schema->release(schema);
    delete schema;
}

}  // namespace

nb::object arrow_schema_capsule(const Schema &s) {
    std::vector<const char *> formats;  // every dtype checked before anything is allocated
    formats.reserve(s.dtypes.size());
    for (const std::string &dtype : s.dtypes) formats.push_back(format_of(dtype));
    auto top = std::make_unique<ArrowSchema>();
    fill(top.get(), "+s", "");
    auto *owned = static_cast<Owned *>(top->private_data);
    for (size_t i = 0; i < s.names.size(); ++i) {
        auto child = std::make_unique<ArrowSchema>();
        child->release = nullptr;
        owned->children.push_back(std::move(child));
        ArrowSchema *c = owned->children.back().get();
        fill(c, formats[i], s.names[i]);
        owned->child_pointers.push_back(c);
    }
    // The children are released through the parent; unique_ptr only frees their memory.
    top->n_children = (int64_t) owned->child_pointers.size();
    top->children = owned->child_pointers.data();
    PyObject *capsule = PyCapsule_New(top.get(), "arrow_schema", capsule_destructor);
    if (!capsule) fail();
    [[maybe_unused]] ArrowSchema *owned_by_capsule = top.release();
    return nb::steal(capsule);
}

}  // namespace qv::frames_module
