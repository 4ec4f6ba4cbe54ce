// The maps of kelvorin.DataFile: arrays assigned to phase and intensity, their
// windows, and heights out of and into the phase map.
#include "maps/maps.h"
#include "python/src/binding.h"

#include <cmath>
#include <limits>

namespace {

using datafile = kvpy_datafile_t;

constexpr int64_t INT16_HI = 32767;
// The counts a data file holds for a height: the range of the library's
// conversion of doubles to counts, tested before rounding.
constexpr double COUNTS_LO = -67108864.0;
constexpr double COUNTS_HI = 67108863.0;

const char *const PHASE_HINT = ": phase takes whole phase counts, kelvorin.INVALID where a pixel "
                               "holds no data; set_heights(values, unit) stores heights, NaN "
                               "where a pixel holds none";

py::module_ numpy() {
    return py::module_::import("numpy");
}

// The first element (in storage order) where mask is set: its value, and
// where it is ("[i, j]").
struct element_t {
    std::string value;
    std::string where;
};

element_t first_element(const py::array &values, const py::object &mask) {
    py::module_ np = numpy();
    const py::object flat = np.attr("flatnonzero")(mask);
    const py::tuple index = np.attr("unravel_index")(flat[py::int_(0)], values.attr("shape"));
    std::string where;
    for (const py::handle i : index) {
        where += (where.empty() ? "" : ", ") + py::str(i).cast<std::string>();
    }
    const py::object item = values.attr("item")(index);
    return {py::repr(item).cast<std::string>(), "[" + where + "]"};
}

std::string text(const element_t &e) {
    return e.value + " at " + e.where;
}

// Arrays given by the caller: copied into a new C-ordered array of the map's
// element type. Integer (or boolean) arrays must hold values of that type;
// floating-point arrays must hold whole numbers in range.
template <typename T>
py::array_t<T> converted(const py::handle &value, const char *what, const char *hint) {
    py::module_ np = numpy();
    py::array given = np.attr("asarray")(value);
    const char kind = given.dtype().kind();
    if (kind != 'i' && kind != 'u' && kind != 'b' && kind != 'f') {
        throw py::type_error(std::string(what) + " must be an array of numbers");
    }
    const std::string name(what);
    if (given.size() > 0 && kind == 'f') {
        const py::object bad = np.attr("logical_not")(np.attr("isfinite")(given));
        if (py::bool_(bad.attr("any")())) {
            throw py::value_error(name + " holds " + text(first_element(given, bad)) + hint);
        }
        const py::object fractions = np.attr("not_equal")(given, np.attr("trunc")(given));
        if (py::bool_(fractions.attr("any")())) {
            throw py::value_error(name + " holds the fraction " +
                                  text(first_element(given, fractions)) + hint);
        }
    }
    if (given.size() > 0 && kind != 'b') {
        const py::object outside =
            np.attr("logical_or")(np.attr("less")(given, std::numeric_limits<T>::min()),
                                  np.attr("greater")(given, std::numeric_limits<T>::max()));
        if (py::bool_(outside.attr("any")())) {
            throw py::value_error(name + " holds " + text(first_element(given, outside)) +
                                  ", outside its element type " +
                                  py::str(py::dtype::of<T>()).cast<std::string>());
        }
    }
    return np.attr("array")(given, py::dtype::of<T>(), py::arg("order") = "C",
                            py::arg("copy") = true);
}

void check_extent(int64_t n, const char *what) {
    if (n < 1 || n > INT16_HI) {
        throw py::value_error(std::string(what) + " must have 1 to 32767 elements along each axis");
    }
}

// Refuses an array that cannot be a phase map.
void check_phase_shape(const py::array &a, const char *what) {
    if (a.ndim() != 2) {
        throw py::value_error(std::string(what) + " must be a 2-D array (height, width)");
    }
    check_extent(a.shape(0), what);
    check_extent(a.shape(1), what);
    if (int64_t{4} * a.shape(0) * a.shape(1) > std::numeric_limits<int32_t>::max()) {
        throw py::value_error(std::string(what) + " is too large for a data file");
    }
}

window_t array_window(const py::array &a) {
    return window_t{0, 0, static_cast<int16_t>(a.shape(1)), static_cast<int16_t>(a.shape(0))};
}

// Height of one phase count in the unit: the library's height in metres, then
// scaled.
double per_count(const df_hdr_t &h, const std::string &unit) {
    const double metres = df_metres_per_count(&h);
    if (unit == "nm") {
        return metres * 1e9;
    }
    if (unit == "um") {
        return metres * 1e6;
    }
    if (unit == "m") {
        return metres;
    }
    throw py::value_error("unit must be \"m\", \"um\" or \"nm\"");
}

} // namespace

void kvpy_set_phase(datafile &df, const py::object &value) {
    if (value.is_none()) {
        df.phase = py::none();
        df.phase_window = window_t{};
        return;
    }
    const py::array a = converted<int32_t>(value, "phase", PHASE_HINT);
    check_phase_shape(a, "phase");
    df.phase = a;
    df.phase_window = array_window(a);
}

void kvpy_set_intensity(datafile &df, const py::object &value) {
    if (value.is_none()) {
        df.intensity = py::none();
        df.intensity_window = window_t{};
        df.intensity_range = 0;
        return;
    }
    py::array_t<uint16_t> a = converted<uint16_t>(value, "intensity", "");
    if (a.ndim() == 2) {
        a = a.reshape({py::ssize_t{1}, a.shape(0), a.shape(1)});
    }
    if (a.ndim() != 3) {
        throw py::value_error("intensity must be a 3-D array (n_buckets, height, width)");
    }
    for (int axis = 0; axis < 3; ++axis) {
        check_extent(a.shape(axis), "intensity");
    }
    if (int64_t{2} * a.shape(0) * a.shape(1) * a.shape(2) > std::numeric_limits<int32_t>::max()) {
        throw py::value_error("intensity is too large for a data file");
    }
    df.intensity = a;
    df.intensity_window =
        window_t{0, 0, static_cast<int16_t>(a.shape(2)), static_cast<int16_t>(a.shape(1))};
}

// A window for an existing map: same size as the array, placed anywhere in
// the 16-bit camera coordinates.
void kvpy_set_window(const py::object &map, const py::object &value, window_t *window,
                     const char *what) {
    if (map.is_none()) {
        throw py::value_error(std::string("there is no ") + what + " map to place");
    }
    const auto t = value.cast<std::tuple<int64_t, int64_t, int64_t, int64_t>>();
    const auto [x, y, width, height] = t;
    if (width != window->width || height != window->height) {
        throw py::value_error(std::string(what) +
                              "_window must have the width and height of the array");
    }
    if (x < -32768 || x > INT16_HI || y < -32768 || y > INT16_HI) {
        throw py::value_error("x and y must lie in -32768..32767");
    }
    window->x = static_cast<int16_t>(x);
    window->y = static_cast<int16_t>(y);
}

py::object kvpy_heights(const datafile &df, const std::string &unit, bool masked) {
    const double factor = per_count(df.hdr, unit);
    const kvpy_maps_t maps = kvpy_maps(df);
    if (maps.phase.matrix == nullptr) {
        return py::none();
    }
    const window_t &w = maps.phase.window;
    const std::vector<py::ssize_t> shape{w.height, w.width};
    py::array_t<double> out(shape);
    py::array_t<bool> mask(shape);
    double *to = out.mutable_data();
    bool *invalid = mask.mutable_data();
    const int32_t *from = maps.phase.matrix;
    const std::size_t n = static_cast<std::size_t>(w.width) * static_cast<std::size_t>(w.height);
    {
        py::gil_scoped_release nogil;
        const double nan = std::numeric_limits<double>::quiet_NaN();
        for (std::size_t i = 0; i < n; ++i) {
            invalid[i] = from[i] >= INT_MAP_INVALID;
            to[i] = invalid[i] ? nan : from[i] * factor;
        }
    }
    if (!masked) {
        return out;
    }
    return numpy().attr("ma").attr("MaskedArray")(out, py::arg("mask") = mask,
                                                  py::arg("fill_value") = std::nan(""));
}

// Heights to counts: divided by a count's height, then the library's own
// conversion (rounding half away from zero, NaN to INT_MAP_INVALID), after a
// check that every height is a number of counts the map can hold.
void kvpy_set_heights(datafile &df, const py::object &values, const std::string &unit) {
    const double per = per_count(df.hdr, unit);
    if (!std::isfinite(per) || per == 0.0) {
        throw py::value_error("a phase count of this file has no height (intf_scale_factor x "
                              "obliquity_factor x wavelength_in is 0 or not finite): set those "
                              "attributes first");
    }
    py::module_ np = numpy();
    py::object given = values;
    if (py::isinstance(values, np.attr("ma").attr("MaskedArray"))) {
        given = values.attr("astype")(np.attr("float64")).attr("filled")(std::nan(""));
    }
    const py::array a = np.attr("asarray")(given);
    const char kind = a.dtype().kind();
    if (kind != 'i' && kind != 'u' && kind != 'f') {
        throw py::type_error("heights must be an array of real numbers");
    }
    py::array_t<double> x = np.attr("array")(a, py::dtype::of<double>(), py::arg("order") = "C",
                                             py::arg("copy") = true);
    check_phase_shape(x, "heights");
    // A map of the same size stays where it was.
    window_t w = array_window(x);
    if (!df.phase.is_none() && df.phase_window.width == w.width &&
        df.phase_window.height == w.height) {
        w = df.phase_window;
    }

    const std::size_t n = static_cast<std::size_t>(x.size());
    double *d = x.mutable_data();
    std::size_t bad = n;
    {
        py::gil_scoped_release nogil;
        for (std::size_t i = 0; i < n; ++i) {
            d[i] /= per;
            if (bad == n && !(d[i] >= COUNTS_LO && d[i] <= COUNTS_HI) && !std::isnan(d[i])) {
                bad = i;
            }
        }
    }
    if (bad != n) {
        const py::object first = np.attr("zeros")(a.attr("shape"), "bool");
        first.attr("flat")[py::int_(bad)] = true;
        const element_t e = first_element(a, first);
        throw py::value_error("the height " + e.value + " " + unit + " at " + e.where + " is " +
                              py::repr(py::float_(d[bad])).cast<std::string>() +
                              " phase counts; a data file holds -67108864 to 67108863");
    }
    py::array_t<int32_t> counts({py::ssize_t{w.height}, py::ssize_t{w.width}});
    const dbl_map_t src{static_cast<uint32_t>(n), w, d};
    int_map_t dst{static_cast<uint32_t>(n), w, counts.mutable_data()};
    int32_t rc = 0;
    {
        py::gil_scoped_release nogil;
        rc = dbl_map_to_int(&src, &dst);
    }
    if (rc != 0) {
        kvpy_raise(rc, py::none(), "");
    }
    df.phase = counts;
    df.phase_window = w;
}
