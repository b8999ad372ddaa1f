// Test hooks into the shared bucketing scan: snapshot lookups (with and without binary search) and
// the own-method check, so that the tests can compare them with the single-call methods.
#include "binding/declare.hpp"
#include "binding/support.hpp"
#include "engines/bucketing.hpp"

namespace {

using namespace qv;

nb::object numeric_batch_impl(Args a) {
    nb::handle record = a[0], values = a[1], binary_search = a[2];
    bucketing::Snapshot s = bucketing::snapshot(record, nb::cast<bool>(binary_search));
    nb::list out;
    for (nb::handle value : values) out.append(bucketing::numeric(s, value));
    return out;
}

nb::object categoric_batch_impl(Args a) {
    nb::handle record = a[0], values = a[1];
    bucketing::Snapshot s = bucketing::snapshot(record);
    nb::list out;
    for (nb::handle value : values) out.append(bucketing::categoric(s, value));
    return out;
}

nb::object uses_binary_search_impl(Args a) {
    nb::handle record = a[0];
    return nb::bool_(bucketing::snapshot(record).sorted);
}

nb::object is_own_method_impl(Args a) {
    nb::handle record = a[0], which = a[1];
    auto method =
        str_equals(which, "numeric") ? bucketing::Which::Numeric : bucketing::Which::Categoric;
    return nb::bool_(bucketing::is_own_method(record, method));
}

}  // namespace

NB_MODULE(bucketing_probe, m) {  // NOLINT(performance-unnecessary-value-param)
    qv::init_native_types();
    Param binary_search{.name = "binary_search", .default_ = nb::bool_(true)};
    m.attr("numeric_batch") =
        make_function(m, "",
                      {.name = "numeric_batch",
                       .params = {{.name = "bucketing"}, {.name = "values"}, binary_search}},
                      numeric_batch_impl);
    m.attr("categoric_batch") = make_function(
        m, "", {.name = "categoric_batch", .params = {{.name = "bucketing"}, {.name = "values"}}},
        categoric_batch_impl);
    m.attr("uses_binary_search") =
        make_function(m, "", {.name = "uses_binary_search", .params = {{.name = "bucketing"}}},
                      uses_binary_search_impl);
    m.attr("is_own_method") =
        make_function(m, "",
                      {.name = "is_own_method",
                       .params = {{.name = "bucketing"}, {.name = "which", .rule = Rule::Str}}},
                      is_own_method_impl);
}
