// Whole frames through the registry: every binning and dummy encoding of the frame's (or the
// listed) attributes applied column by column, and the schema of the columns that creates.
#include "feature_preparation.hpp"

#include "binding/frames.hpp"

#include <vector>

namespace qv::preparation {

namespace {

constexpr const char *kFramesModule = "quorvex_analytics_utils.predictive_models.frames";

/// One output of a frame transformation: the binning of an attribute (one column) or its dummy
/// encoding (one column per created feature).
struct Step {
    bool dummy;
    nb::object attribute;
    nb::object columns;  ///< list: the binning's output column, or the encoding's features in order
};

bool contains(nb::handle container, nb::handle item) {
    return check(PySequence_Contains(container.ptr(), item.ptr()));
}

/// The steps for the attributes `selected` accepts, in the registry's order: binnings first, then
/// dummy encodings. A later binning or encoding of an attribute already covered is passed over, as
/// every lookup of the registry finds the first one.
template <typename Selected>
std::vector<Step> plan(nb::handle self, Selected &&selected) {
    std::vector<Step> steps;
    nb::set binned, encoded;
    for_each(field(self, names.binning), [&](nb::handle entry) {
        Fields fields(entry);
        nb::object attribute = fields[names.attribute];
        if (contains(binned, attribute) || !selected(attribute)) return false;
        binned.add(attribute);
        nb::object name = fields[names.binned_attribute_name];
        nb::list output;
        output.append(name.is_none() ? attribute : name);
        steps.push_back(Step{false, attribute, output});
        return false;
    });
    for_each(field(self, names.dummy_encoding), [&](nb::handle entry) {
        nb::object attribute = field(entry, names.attribute);
        if (contains(encoded, attribute) || !selected(attribute)) return false;
        encoded.add(attribute);
        // The features in the order apply_dummy_encoding gives them: first naming keeps its place.
        nb::list features;
        for_each(field(entry, names.encoding), [&](nb::handle item) {
            nb::object feature = field(item, names.encoded_feature_name);
            if (!contains(features, feature)) features.append(feature);
            return false;
        });
        steps.push_back(Step{true, attribute, features});
        return false;
    });
    return steps;
}

/// ValueError when two outputs share a name (a frame cannot hold both).
void check_unique(nb::handle names) {
    nb::set seen;
    for (nb::handle name : names) {
        if (contains(seen, name))
            raise(PyExc_ValueError,
                  "the feature preparation creates the column %R twice (binnings and dummy "
                  "encodings must create distinct names)",
                  name.ptr());
        seen.add(name);
    }
}

/// `attributes` as a list, or None; TypeError for anything but None or a sequence of str.
nb::object listed_attributes(nb::handle attributes) {
    if (attributes.is_none()) return nb::none();
    if (PyUnicode_Check(attributes.ptr()))
        raise_arg_type("attributes", "a list of str or None", attributes);
    nb::object list = list_of(attributes);
    for (nb::handle name : list)
        if (!PyUnicode_Check(name.ptr()))
            raise_arg_type("attributes", "a list of str or None", attributes);
    return list;
}

nb::object schema_of(const std::vector<Step> &steps) {
    nb::list columns, dtypes;
    for (const Step &step : steps)
        for (nb::handle name : step.columns) {
            columns.append(name);
            dtypes.append(nb::str(step.dummy ? "uint8" : "float64"));
        }
    check_unique(columns);
    return nb::module_::import_(kFramesModule)
        .attr("FrameSchema")(nb::arg("names") = columns, nb::arg("dtypes") = dtypes);
}

/// The registry's attributes (binnings, then dummy encodings) that the frame has, each once.
nb::object attributes_in(nb::handle self, const frames::Frame &frame) {
    nb::list result;
    for (const Step &step : plan(self, [&](nb::handle a) { return frame.has(a); }))
        if (!contains(result, step.attribute)) result.append(step.attribute);
    return result;
}

/// A Dask DataFrame: the same transformation partition by partition, declared lazily with the
/// output columns known from the registry.
nb::object transform_dask(nb::handle self, const frames::Frame &frame, nb::object listed) {
    if (listed.is_none()) listed = attributes_in(self, frame);
    for (nb::handle name : listed) frame.column(name);  // KeyError for a missing column
    nb::object schema = nb::borrow(self).attr("output_schema")(nb::arg("attributes") = listed);
    nb::object meta =
        schema.attr("empty_pandas")(nb::arg("index") = frame.object.attr("_meta").attr("index"));
    nb::dict kwargs;
    kwargs["attributes"] = listed;
    nb::object fn = nb::module_::import_(kFramesModule)
                        .attr("PartitionFunction")(nb::arg("model") = self,
                                                   nb::arg("method") = "transform_frame",
                                                   nb::arg("kwargs") = kwargs);
    return frame.object.attr("map_partitions")(fn, nb::arg("meta") = meta);
}

}  // namespace

nb::object transform_frame_impl(Args a) {
    nb::handle self = a[0], frame_arg = a[1], attributes = a[2];
    frames::Frame frame = frames::read(frame_arg, "transform_frame");
    nb::object listed = listed_attributes(attributes);
    if (frame.kind == frames::Kind::Dask) return transform_dask(self, frame, listed);
    if (!listed.is_none())
        for (nb::handle name : listed) frame.column(name);  // KeyError for a missing column

    std::vector<Step> steps = plan(self, [&](nb::handle attribute) {
        return listed.is_none() ? frame.has(attribute) : contains(listed, attribute);
    });
    nb::object np = frames::numpy();
    nb::list columns, arrays;
    for (const Step &step : steps) {
        nb::object column = frame.column(step.attribute);
        if (!step.dummy) {
            nb::object values =
                nb::borrow(self).attr("apply_feature_bucketing_array")(step.attribute, column);
            if (values.is_none())  // no binning after all (a replaced lookup): no bin values
                values = np.attr("full")(nb::len(column), np.attr("nan"));
            columns.append(step.columns[0]);
            arrays.append(np.attr("asarray")(values, nb::arg("dtype") = "float64"));
            continue;
        }
        nb::object encoded =
            nb::borrow(self).attr("apply_dummy_encoding_array")(step.attribute, column);
        if (encoded.is_none()) continue;
        for (nb::handle item : encoded.attr("items")()) {
            nb::object feature, values;
            unpack_pair(item, feature, values);
            columns.append(feature);
            arrays.append(np.attr("asarray")(values, nb::arg("dtype") = "uint8"));
        }
    }
    check_unique(columns);
    return frames::build(frame, columns, arrays);
}

nb::object output_schema_impl(Args a) {
    nb::handle self = a[0], attributes = a[1];
    nb::object listed = listed_attributes(attributes);
    return schema_of(plan(self, [&](nb::handle attribute) {
        return listed.is_none() || contains(listed, attribute);
    }));
}

}  // namespace qv::preparation
