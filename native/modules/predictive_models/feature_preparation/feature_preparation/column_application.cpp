// Applying the registry to whole columns (numpy, pandas, Arrow, polars, lists): the bins or the
// encoding items read once, the column read without a Python object per value.
#include "feature_preparation.hpp"

#include "engines/column_tools.hpp"
#include "engines/columns.hpp"

#include <cmath>

namespace qv::preparation {

nb::object apply_feature_bucketing_array_impl(Args a) {
    nb::handle self = a[0], attribute = a[1], values = a[2];
    columns::Column column = columns::read(values);
    nb::object bucketing = lookup_bucketing(self, attribute);
    if (bucketing.is_none()) return nb::none();
    try {
        Kind kind = kind_of(bucketing);
        if (kind != Kind::Other) return columns::bucket(bucketing, kind == Kind::Numerical, column);
    } catch (nb::python_error &e) {
        reraise_for(e, attribute);
    }
    // Neither numerical nor categorical: the single call gives None for every value.
    void *data = nullptr;
    nb::object result = columns::new_array("float64", column.length, data);
    std::fill_n(static_cast<double *>(data), column.length, std::nan(""));
    return result;
}

nb::object apply_dummy_encoding_array_impl(Args a) {
    nb::handle self = a[0], attribute = a[1], values = a[2];
    columns::Column column = columns::read(values);
    nb::object encoding = find_encoding(self, attribute);
    if (!encoding.is_valid()) return nb::none();
    return columns::dummy_encode(state.module, attribute, encoding, column);
}

}  // namespace qv::preparation
