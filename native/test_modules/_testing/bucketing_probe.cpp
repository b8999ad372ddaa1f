// Test hooks into the shared bucketing scan: snapshot lookups (with and without binary search) and
// the own-method check, so that the tests can compare them with the single-call methods.
#include "engines/bucketing.hpp"
#include "binding/declare.hpp"
#include "binding/support.hpp"

namespace {

using namespace qv;

nb::object numeric_batch(Args a) {
    bucketing::Snapshot s = bucketing::snapshot(a[0], nb::cast<bool>(a[2]));
    nb::list out;
    for (nb::handle value : a[1]) out.append(bucketing::numeric(s, value));
    return out;
}

nb::object categoric_batch(Args a) {
    bucketing::Snapshot s = bucketing::snapshot(a[0]);
    nb::list out;
    for (nb::handle value : a[1]) out.append(bucketing::categoric(s, value));
    return out;
}

nb::object uses_binary_search(Args a) { return nb::bool_(bucketing::snapshot(a[0]).sorted); }

nb::object is_own_method(Args a) {
    auto which = str_equals(a[1], "numeric") ? bucketing::Which::Numeric
                                             : bucketing::Which::Categoric;
    return nb::bool_(bucketing::is_own_method(a[0], which));
}

}  // namespace

NB_MODULE(bucketing_probe, m) {
    qv::init_native_types();
    Param binary_search{"binary_search", Rule::Any, {}, nb::bool_(true)};
    m.attr("numeric_batch") = make_function(
        m, "", {"numeric_batch", {Param{"bucketing"}, Param{"values"}, binary_search}},
        numeric_batch);
    m.attr("categoric_batch") = make_function(
        m, "", {"categoric_batch", {Param{"bucketing"}, Param{"values"}}}, categoric_batch);
    m.attr("uses_binary_search") =
        make_function(m, "", {"uses_binary_search", {Param{"bucketing"}}}, uses_binary_search);
    m.attr("is_own_method") = make_function(
        m, "", {"is_own_method", {Param{"bucketing"}, Param{"which", Rule::Str}}}, is_own_method);
}
