// Scoring whole frames with a logistic regression, and rebuilding a scorer from stored content once
// per process (cluster workers read the model from storage instead of unpickling it per task).
#include "augmented_scorer.hpp"

#include "binding/frames.hpp"

#include <cmath>
#include <memory>
#include <vector>

namespace qv::scorer {

namespace {

constexpr const char *kFramesModule = "quorvex_analytics_utils.predictive_models.frames";
constexpr Py_ssize_t kCachedContents = 8;

bool contains(nb::handle container, nb::handle item) {
    return check(PySequence_Contains(container.ptr(), item.ptr()));
}

void require_logistic_regression(nb::handle self) {
    nb::object type = predictive_model_type(self);
    if (identical_or_equal(type, state.type_logistic_regression)) return;
    if (type.is_none())
        raise(PyExc_ValueError,
              "score_frame() scores LOGISTIC_REGRESSION models; this model has no type");
    nb::object shown = nb::hasattr(type, "value") ? type.attr("value") : type;
    raise(PyExc_ValueError, "score_frame() scores LOGISTIC_REGRESSION models, not %S models",
          shown.ptr());
}

/// The attributes of the frame whose binning or dummy encoding creates one of `names`.
nb::object needed_attributes(nb::handle preparation, nb::handle names, const frames::Frame &frame) {
    nb::list needed;
    auto need = [&](nb::handle attribute) {
        if (frame.has(attribute) && !contains(needed, attribute)) needed.append(attribute);
    };
    for_each(field(preparation, key("binning")), [&](nb::handle entry) {
        nb::object attribute = field(entry, key("attribute"));
        nb::object created = field(entry, key("binned_attribute_name"));
        if (contains(names, created.is_none() ? attribute : created)) need(attribute);
    });
    for_each(field(preparation, key("dummy_encoding")), [&](nb::handle entry) {
        for_each(field(entry, key("encoding")), [&](nb::handle item) {
            if (!contains(names, field(item, key("encoded_feature_name")))) return false;
            need(field(entry, key("attribute")));
            return true;
        });
    });
    return needed;
}

/// One term of the linear predictor: the feature's values and its coefficient (none: the
/// feature itself is added, as the formula writes it).
struct Term {
    nb::object values;  ///< contiguous float64 or uint8 numpy array
    bool weighted;
    double coefficient;
};

template <typename T>
void add_term(double *out, const T *x, Py_ssize_t n, const Term &term) {
    if (!term.weighted) {
        for (Py_ssize_t i = 0; i < n; ++i) out[i] = out[i] + (double) x[i];
    } else if (term.coefficient < 0) {
        // " - |c| * x", as the formula reads (equal to adding c * x).
        double magnitude = -term.coefficient;
        for (Py_ssize_t i = 0; i < n; ++i) out[i] = out[i] - magnitude * (double) x[i];
    } else {
        double c = term.coefficient;
        for (Py_ssize_t i = 0; i < n; ++i) out[i] = out[i] + c * (double) x[i];
    }
}

nb::object score_dask(nb::handle self, const frames::Frame &frame, nb::handle probability) {
    nb::object np = frames::numpy();
    nb::object meta = nb::module_::import_("pandas").attr("Series")(
        np.attr("empty")(0, nb::arg("dtype") = "float64"),
        nb::arg("index") = frame.object.attr("_meta").attr("index"), nb::arg("name") = "score");
    nb::dict kwargs;
    kwargs["probability"] = nb::bool_(truth(probability));
    nb::object fn =
        nb::module_::import_(kFramesModule)
            .attr("PartitionFunction")(nb::arg("model") = self, nb::arg("method") = "score_frame",
                                       nb::arg("kwargs") = kwargs);
    return frame.object.attr("map_partitions")(fn, nb::arg("meta") = meta);
}

/// The feature `name`: created by the preparation, else the frame's own column.
nb::object feature_values(nb::handle created, nb::handle name, const frames::Frame &frame) {
    nb::object np = frames::numpy();
    if (!created.is_none()) {
        PyObject *values = dict_lookup(created.ptr(), name.ptr());
        if (values) {
            nb::object held = nb::borrow(values);
            nb::object array = np.attr("asarray")(held);
            bool uint8 = array.attr("dtype").equal(np.attr("dtype")("uint8"));
            return np.attr("ascontiguousarray")(array,
                                                nb::arg("dtype") = uint8 ? "uint8" : "float64");
        }
    }
    if (!frame.has(name)) {
        nb::object message = nb::steal(PyUnicode_FromFormat(
            "the model's feature %R is neither created by its feature preparation nor a column "
            "of the frame; the frame's columns are %R",
            name.ptr(), frame.names.ptr()));
        if (!message.is_valid()) fail();
        PyErr_SetObject(PyExc_KeyError, message.ptr());
        fail();
    }
    try {
        return frame.column_as_float64(name);
    } catch (nb::python_error &e) {
        nb::object prefix = check(PyUnicode_FromFormat("Feature %R: ", name.ptr()));
        reraise_prefixed(e, prefix);
    }
}

}  // namespace

nb::object score_frame_impl(Args a) {
    nb::handle self = a[0], frame_arg = a[1], probability = a[2];
    require_logistic_regression(self);
    frames::Frame frame = frames::read(frame_arg, "score_frame");
    if (frame.kind == frames::Kind::Dask) return score_dask(self, frame, probability);
    bool as_probability = truth(probability);

    nb::object intercept = call_method(self, key("get_external_model_intercept"));
    double start = truth(intercept) ? nb::cast<double>(as_float(intercept, "Intercept")) : 0.0;
    nb::object names = list_of(coefficient_names(self));

    // The features the preparation creates, in one pass over the columns they come from.
    nb::object preparation = field(self, key("feature_preparation"));
    nb::object needed = needed_attributes(preparation, names, frame);
    nb::object created = nb::none();
    if (nb::len(needed) > 0) {
        nb::dict columns;
        for (nb::handle attribute : needed) columns[attribute] = frame.column(attribute);
        created = preparation.attr("transform_frame")(columns, nb::arg("attributes") = needed);
        if (!PyDict_Check(created.ptr())) created = nb::handle((PyObject *) &PyDict_Type)(created);
    }

    std::vector<Term> terms;
    for (nb::handle name : names) {
        nb::object coefficient = as_float(self.attr("get_coefficient")(name), "Coefficient");
        Term term{feature_values(created, name, frame), !coefficient.is_none(), 0.0};
        if (term.weighted) term.coefficient = PyFloat_AS_DOUBLE(coefficient.ptr());
        terms.push_back(std::move(term));
    }

    Py_ssize_t n = frame.rows();
    std::vector<std::unique_ptr<frames::Buffer>> buffers;
    for (size_t t = 0; t < terms.size(); ++t) {
        buffers.push_back(std::make_unique<frames::Buffer>(terms[t].values));
        if (buffers.back()->size() != n)
            raise(PyExc_ValueError, "score_frame(): the feature %R has %zd values for %zd rows",
                  PyList_GET_ITEM(names.ptr(), (Py_ssize_t) t), buffers.back()->size(), n);
    }

    nb::object result = frames::empty_array("float64", n);
    {
        frames::Buffer out(result, true);
        double *scores = out.data<double>();
        nb::gil_scoped_release release;
        for (Py_ssize_t i = 0; i < n; ++i) scores[i] = start;
        for (size_t t = 0; t < terms.size(); ++t) {
            const frames::Buffer &x = *buffers[t];
            if (x.is_uint8())
                add_term(scores, x.data<unsigned char>(), n, terms[t]);
            else
                add_term(scores, x.data<double>(), n, terms[t]);
        }
        if (as_probability)
            for (Py_ssize_t i = 0; i < n; ++i) scores[i] = 1.0 / (1.0 + std::exp(-scores[i]));
    }
    return frames::build_column(frame, nb::str("score"), result);
}

nb::object score_output_schema_impl(Args) {
    nb::list names, dtypes;
    names.append(nb::str("score"));
    dtypes.append(nb::str("float64"));
    return nb::module_::import_(kFramesModule)
        .attr("FrameSchema")(nb::arg("names") = names, nb::arg("dtypes") = dtypes);
}

nb::object parse_from_content_cached_impl(Args a) {
    nb::handle cls = a[0], content = a[1];
    static PyObject *cache = nullptr;  // (class, digest) -> scorer; deliberately never freed
    if (!cache) {
        cache = PyDict_New();
        if (!cache) fail();
    }
    nb::object digest = nb::module_::import_("hashlib").attr("sha256")();
    auto add_text = [&](nb::handle stream, const char *tag) {
        digest.attr("update")(nb::bytes(tag));
        if (!truth(stream)) return;
        stream.attr("seek")(0);
        nb::object text = stream.attr("read")();
        nb::object data = text.attr("encode")("utf-8", "surrogatepass");
        digest.attr("update")(nb::str("{}:").attr("format")(nb::len(data)).attr("encode")());
        digest.attr("update")(data);
    };
    add_text(content.attr("augmented_scorer_yaml"), "yaml");
    add_text(content.attr("external_model_json"), "json");
    add_text(content.attr("external_model_pmml"), "pmml");
    nb::object images = content.attr("attached_images");
    nb::object image_names = nb::module_::import_("builtins").attr("sorted")(images);
    for (nb::handle name : image_names) {
        nb::object data = get_item(images, name).attr("getvalue")();
        nb::object label = name.attr("encode")("utf-8", "surrogatepass");
        digest.attr("update")(
            nb::str("image{}:{}:").attr("format")(nb::len(label), nb::len(data)).attr("encode")());
        digest.attr("update")(label);
        digest.attr("update")(data);
    }
    nb::object cache_key = nb::make_tuple(cls, digest.attr("hexdigest")());

    PyObject *hit = dict_lookup(cache, cache_key.ptr());
    if (hit) return nb::borrow(hit);
    nb::object scorer = cls.attr("parse_from_content")(content);
    check(PyDict_SetItem(cache, cache_key.ptr(), scorer.ptr()));
    while (PyDict_GET_SIZE(cache) > kCachedContents) {  // the oldest entries go first
        Py_ssize_t pos = 0;
        PyObject *oldest = nullptr, *value = nullptr;
        PyDict_Next(cache, &pos, &oldest, &value);
        nb::object held = nb::borrow(oldest);
        check(PyDict_DelItem(cache, held.ptr()));
    }
    return scorer;
}

}  // namespace qv::scorer
