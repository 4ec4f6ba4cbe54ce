// The uncertainty budget of kelvorin.rss and kelvorin.budget: the
// sensitivity coefficients taken from Python, and the run's rss_budget_t
// handed back as kelvorin.Budget.
#include "python/src/binding.h"

#include <cmath>
#include <string>

namespace {

// A coefficient, or false for what is none: a bool (a flag passed by
// mistake), text, an array of more than one value, or anything that
// float() does not take.
bool coefficient(const py::handle &item, const py::object &numpy_bool, const py::object &ndarray,
                 double *value) {
    if (py::isinstance<py::bool_>(item) || py::isinstance(item, numpy_bool) ||
        py::isinstance<py::str>(item) || py::isinstance<py::bytes>(item) ||
        (py::isinstance(item, ndarray) && py::reinterpret_borrow<py::array>(item).ndim() != 0)) {
        return false;
    }
    *value = PyFloat_AsDouble(item.ptr());
    if (*value == -1.0 && PyErr_Occurred() != nullptr) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) == 0 &&
            PyErr_ExceptionMatches(PyExc_ValueError) == 0 &&
            PyErr_ExceptionMatches(PyExc_OverflowError) == 0) {
            throw py::error_already_set();
        }
        PyErr_Clear();
        return false;
    }
    return std::isfinite(*value) && *value >= 0.0;
}

std::string counted(std::size_t n, const char *thing) {
    return std::to_string(n) + " " + thing + (n == 1 ? "" : "s");
}

} // namespace

std::vector<double> kvpy_weights(const py::object &weights, std::size_t inputs) {
    std::vector<double> values;
    if (weights.is_none()) {
        return values;
    }
    if (py::isinstance<py::str>(weights) || py::isinstance<py::bytes>(weights) ||
        !py::isinstance<py::iterable>(weights)) {
        throw py::value_error("weights must be a sequence of numbers, one per input, or None");
    }
    const py::module_ numpy = py::module_::import("numpy");
    const py::object numpy_bool = numpy.attr("bool_"), ndarray = numpy.attr("ndarray");
    for (const py::handle item : py::iter(weights)) {
        if (values.size() == inputs) { // no more: an endless iterator ends here too
            throw py::value_error("weights has more coefficients than " + counted(inputs, "input") +
                                  ": give one per input");
        }
        double value = 0.0;
        if (!coefficient(item, numpy_bool, ndarray, &value)) {
            std::string shown = py::repr(item).cast<std::string>();
            if (shown.size() > 40) {
                shown = shown.substr(0, 36) + " ...";
            }
            throw py::value_error("weights[" + std::to_string(values.size()) + "] is " + shown +
                                  ": a coefficient must be a finite number >= 0");
        }
        values.push_back(value);
    }
    if (values.size() != inputs) {
        throw py::value_error("weights has " + counted(values.size(), "coefficient") + " for " +
                              counted(inputs, "input") + ": give one per input");
    }
    return values;
}

kvpy_budget_t::kvpy_budget_t(std::size_t inputs, bool with_dominance) : rows(inputs) {
    int_map_init(&dominance);
    record.rows = rows.data();
    record.dominance = with_dominance ? &dominance : nullptr;
}

kvpy_budget_t::~kvpy_budget_t() {
    int_map_free(&dominance);
}

py::object kvpy_budget_t::to_python() {
    const py::module_ kelvorin = py::module_::import("kelvorin");
    const py::object row_type = kelvorin.attr("BudgetRow");
    py::tuple out_rows(rows.size());
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const rss_budget_row_t &r = rows[i];
        out_rows[i] = row_type(kvpy_fs_text(r.name), r.weight, r.rms_nm, r.max_nm, r.share,
                               r.dominant, r.valid);
    }
    const py::object combined =
        kelvorin.attr("BudgetCombined")(record.rms_nm, record.max_nm, record.valid);
    py::object map = py::none(), window = py::none();
    if (dominance.matrix != nullptr) {
        // -1 outside V: an index numpy takes as it is, where the library's
        // mark would be a large number.
        const window_t w = dominance.window;
        const std::size_t n = static_cast<std::size_t>(w.width) * w.height;
        for (std::size_t i = 0; i < n; ++i) {
            if (dominance.matrix[i] >= INT_MAP_INVALID) {
                dominance.matrix[i] = -1;
            }
        }
        int32_t *matrix = dominance.matrix;
        dominance.matrix = nullptr; // the array's now
        map = kvpy_owned_array(matrix, {w.height, w.width});
        window = kvpy_window(w);
    }
    return kelvorin.attr("Budget")(out_rows, combined, map, window);
}
