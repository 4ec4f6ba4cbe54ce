// kelvorin.DataFile: the header attributes, the maps as numpy arrays and the
// heights derived from them.
#include "python/src/binding.h"

#include <cmath>
#include <cstring>
#include <limits>

namespace {

using datafile = kvpy_datafile_t;

constexpr int64_t INT16_LO = -32768;
constexpr int64_t INT16_HI = 32767;

int16_t to_int16(int64_t v, const char *what) {
    if (v < INT16_LO || v > INT16_HI) {
        throw py::value_error(std::string(what) + " must lie in -32768..32767");
    }
    return static_cast<int16_t>(v);
}

// ---------------------------------------------------------------------------
// Arrays given by the caller: copied into a new C-ordered array of the map's
// element type. Integer (or boolean) arrays must hold values of that type;
// floating-point arrays must hold whole numbers in range.

template <typename T> py::array_t<T> converted(const py::handle &value, const char *what) {
    py::module_ np = py::module_::import("numpy");
    py::array given = np.attr("asarray")(value);
    const char kind = given.dtype().kind();
    if (kind != 'i' && kind != 'u' && kind != 'b' && kind != 'f') {
        throw py::type_error(std::string(what) + " must be an array of numbers");
    }
    if (given.size() > 0 && kind != 'b') {
        const double lo = py::float_(given.attr("min")());
        const double hi = py::float_(given.attr("max")());
        if (!(lo >= static_cast<double>(std::numeric_limits<T>::min()) &&
              hi <= static_cast<double>(std::numeric_limits<T>::max()))) {
            throw py::value_error(std::string(what) + " holds values outside its element type");
        }
        if (kind == 'f' && !py::bool_(np.attr("array_equal")(given, np.attr("trunc")(given)))) {
            throw py::value_error(std::string(what) + " holds values that are not whole numbers");
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

void set_phase(datafile &df, const py::object &value) {
    if (value.is_none()) {
        df.phase = py::none();
        df.phase_window = window_t{};
        return;
    }
    py::array_t<int32_t> a = converted<int32_t>(value, "phase");
    if (a.ndim() != 2) {
        throw py::value_error("phase must be a 2-D array (height, width)");
    }
    check_extent(a.shape(0), "phase");
    check_extent(a.shape(1), "phase");
    if (int64_t{4} * a.shape(0) * a.shape(1) > std::numeric_limits<int32_t>::max()) {
        throw py::value_error("phase is too large for a data file");
    }
    df.phase = a;
    df.phase_window =
        window_t{0, 0, static_cast<int16_t>(a.shape(1)), static_cast<int16_t>(a.shape(0))};
}

void set_intensity(datafile &df, const py::object &value) {
    if (value.is_none()) {
        df.intensity = py::none();
        df.intensity_window = window_t{};
        df.intensity_range = 0;
        return;
    }
    py::array_t<uint16_t> a = converted<uint16_t>(value, "intensity");
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
void set_window(const py::object &map, const py::object &value, window_t *window,
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
    window->x = to_int16(x, "x");
    window->y = to_int16(y, "y");
}

py::object window_or_none(const py::object &map, const window_t &w) {
    return map.is_none() ? py::none() : kvpy_window(w);
}

// ---------------------------------------------------------------------------
// Attributes.

// The comment as kelvorin-info shows it: well-formed UTF-8 sequences as
// such, every other byte as the Latin-1 character of its value.
py::str comment_text(const df_hdr_t &hdr) {
    const std::size_t n = strnlen(hdr.comment, sizeof hdr.comment);
    return py::reinterpret_steal<py::str>(
        PyUnicode_DecodeUTF8(hdr.comment, static_cast<Py_ssize_t>(n), "kelvorin-latin1"));
}

void set_comment(df_hdr_t &hdr, const std::string &text) {
    if (text.size() > sizeof hdr.comment - 1) {
        throw py::value_error("comment: at most 81 bytes in UTF-8");
    }
    if (text.find('\0') != std::string::npos) {
        throw py::value_error("comment: no NUL characters");
    }
    std::memset(hdr.comment, 0, sizeof hdr.comment);
    std::memcpy(hdr.comment, text.data(), text.size());
}

template <typename C> void float_attr(C &cls, const char *name, float df_hdr_t::*field) {
    cls.def_property(
        name, [field](const datafile &df) { return static_cast<double>(df.hdr.*field); },
        [field](datafile &df, double v) { df.hdr.*field = static_cast<float>(v); },
        "Single precision as stored; reads back as the Python float of that value.");
}

template <typename C> void int16_attr(C &cls, const char *name, int16_t df_hdr_t::*field) {
    cls.def_property(
        name, [field](const datafile &df) { return int{df.hdr.*field}; },
        [field, name](datafile &df, int64_t v) { df.hdr.*field = to_int16(v, name); },
        "A signed 16-bit number.");
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

py::object heights(const datafile &df, const std::string &unit) {
    const double factor = per_count(df.hdr, unit);
    const kvpy_maps_t maps = kvpy_maps(df);
    if (maps.phase.matrix == nullptr) {
        return py::none();
    }
    const window_t &w = maps.phase.window;
    py::array_t<double> out({py::ssize_t{w.height}, py::ssize_t{w.width}});
    double *to = out.mutable_data();
    const int32_t *from = maps.phase.matrix;
    const std::size_t n = static_cast<std::size_t>(w.width) * static_cast<std::size_t>(w.height);
    {
        py::gil_scoped_release nogil;
        const double nan = std::numeric_limits<double>::quiet_NaN();
        for (std::size_t i = 0; i < n; ++i) {
            to[i] = from[i] < INT_MAP_INVALID ? from[i] * factor : nan;
        }
    }
    return out;
}

py::object valid(const datafile &df) {
    if (df.phase.is_none()) {
        return py::none();
    }
    return df.phase.attr("__lt__")(INT_MAP_INVALID);
}

datafile *make(int64_t camera_width, int64_t camera_height, int64_t time_stamp,
               const std::string &comment, double scale, double wavelength, double obliquity,
               double camera_res, int64_t phase_res, double pixel_width, double pixel_height,
               const py::object &phase) {
    auto *df = new datafile;
    df_hdr_t &h = df->hdr;
    try {
        h.CameraWidth = to_int16(camera_width, "camera_width");
        h.CameraHeight = to_int16(camera_height, "camera_height");
        if (time_stamp < std::numeric_limits<int32_t>::min() ||
            time_stamp > std::numeric_limits<int32_t>::max()) {
            throw py::value_error("TimeStamp must be a signed 32-bit number");
        }
        h.TimeStamp = static_cast<int32_t>(time_stamp);
        set_comment(h, comment);
        h.IntfScaleFactor = static_cast<float>(scale);
        h.WavelengthIn = static_cast<float>(wavelength);
        h.ObliquityFactor = static_cast<float>(obliquity);
        h.CameraRes = static_cast<float>(camera_res);
        h.PhaseRes = to_int16(phase_res, "PhaseRes");
        h.PixelWidth = static_cast<float>(pixel_width);
        h.PixelHeight = static_cast<float>(pixel_height);
        set_phase(*df, phase);
    } catch (...) {
        delete df;
        throw;
    }
    return df;
}

const char *const DATAFILE_DOC = R"(A data file in memory: header attributes and maps.

kelvorin.read() gives one; DataFile(camera_width, camera_height, ...) makes a
new one. Attributes carry the names kelvorin-info's JSON uses. The maps are
numpy arrays that are views of the file's own maps: changing an element
changes the file; assigning an array replaces the map (placed at (0, 0);
move it with phase_window / intensity_window).)";

const char *const INIT_DOC = R"(A new data file of the given camera frame.

Keyword attributes and their defaults: TimeStamp=0, comment="",
IntfScaleFactor=0.5, WavelengthIn=632.8e-9 (metres), ObliquityFactor=1.0,
CameraRes=0.0 (metres per pixel, 0 meaning unknown), PhaseRes=2 (Super),
PixelWidth=0.0, PixelHeight=0.0, phase=None (a 2-D array of phase counts).
Every other header field is zero; there is no intensity block.)";

const char *const HEIGHTS_DOC =
    R"(Heights of the phase map as float64, NaN where a pixel holds no data.

A height is counts x IntfScaleFactor x ObliquityFactor x WavelengthIn /
counts_per_fringe(PhaseRes), in unit "m", "um" or "nm". None without a phase map.)";

} // namespace

void kvpy_bind_datafile(py::module_ &m) {
    // The comment's bytes that are no UTF-8 become the Latin-1 characters of
    // their values (the decoder reports each ill-formed run separately).
    py::module_::import("codecs").attr("register_error")(
        "kelvorin-latin1", py::cpp_function([](const py::object &error) {
            const py::bytes raw = error.attr("object");
            const auto start = error.attr("start").cast<py::ssize_t>();
            const auto end = error.attr("end").cast<py::ssize_t>();
            const std::string bytes = raw;
            py::object text = py::reinterpret_steal<py::object>(
                PyUnicode_DecodeLatin1(bytes.data() + start, end - start, nullptr));
            return py::make_tuple(text, end);
        }));

    py::class_<datafile> cls(m, "DataFile", DATAFILE_DOC);
    cls.def(py::init(&make), INIT_DOC, py::arg("camera_width"), py::arg("camera_height"),
            py::kw_only(), py::arg("TimeStamp") = 0, py::arg("comment") = "",
            py::arg("IntfScaleFactor") = 0.5, py::arg("WavelengthIn") = 632.8e-9,
            py::arg("ObliquityFactor") = 1.0, py::arg("CameraRes") = 0.0, py::arg("PhaseRes") = 2,
            py::arg("PixelWidth") = 0.0, py::arg("PixelHeight") = 0.0,
            py::arg("phase") = py::none());

    cls.def_property_readonly(
        "header_format",
        [](const datafile &df) {
            return df.read_format != 0 ? df.read_format : df_write_format(&df.hdr);
        },
        "1, 2 or 3: the format of the file read (from its magic number); for a new DataFile the "
        "format write() gives it.");
    cls.def_property_readonly(
        "header_bytes",
        [](const datafile &df) {
            const int32_t f = df.read_format != 0 ? df.read_format : df_write_format(&df.hdr);
            return f == 3 ? 4096 : 834;
        },
        "834 or 4096: the header length of that format.");

    cls.def_property(
        "TimeStamp", [](const datafile &df) { return df.hdr.TimeStamp; },
        [](datafile &df, int32_t v) { df.hdr.TimeStamp = v; },
        "Seconds since 1970-01-01 00:00 UTC (signed 32-bit).");
    cls.def_property(
        "comment", [](const datafile &df) { return comment_text(df.hdr); },
        [](datafile &df, const std::string &text) { set_comment(df.hdr, text); },
        "The comment: UTF-8 where its bytes are well-formed UTF-8, else Latin-1. A new text may "
        "take at most 81 bytes in UTF-8 (ValueError otherwise).");
    float_attr(cls, "IntfScaleFactor", &df_hdr_t::IntfScaleFactor);
    float_attr(cls, "WavelengthIn", &df_hdr_t::WavelengthIn);
    float_attr(cls, "ObliquityFactor", &df_hdr_t::ObliquityFactor);
    float_attr(cls, "CameraRes", &df_hdr_t::CameraRes);
    int16_attr(cls, "PhaseRes", &df_hdr_t::PhaseRes);
    int16_attr(cls, "CameraWidth", &df_hdr_t::CameraWidth);
    int16_attr(cls, "CameraHeight", &df_hdr_t::CameraHeight);
    float_attr(cls, "PixelWidth", &df_hdr_t::PixelWidth);
    float_attr(cls, "PixelHeight", &df_hdr_t::PixelHeight);

    cls.def_property(
        "phase", [](const datafile &df) { return df.phase; }, &set_phase,
        "int32 phase counts, shape (height, width) of phase_window, in machine byte order; "
        "0x7FFFFFF8 or more marks a pixel without data. None without a phase block.");
    cls.def_property(
        "phase_window",
        [](const datafile &df) { return window_or_none(df.phase, df.phase_window); },
        [](datafile &df, const py::object &v) {
            set_window(df.phase, v, &df.phase_window, "phase");
        },
        "Window(x, y, width, height) of the phase map in the camera frame, or None.");
    cls.def_property(
        "intensity", [](const datafile &df) { return df.intensity; }, &set_intensity,
        "uint16 intensity frames, shape (n_buckets, height, width), or None. A 2-D array "
        "assigned is one frame.");
    cls.def_property(
        "intensity_window",
        [](const datafile &df) { return window_or_none(df.intensity, df.intensity_window); },
        [](datafile &df, const py::object &v) {
            set_window(df.intensity, v, &df.intensity_window, "intensity");
        },
        "Window(x, y, width, height) of the intensity frames, or None.");
    cls.def_property(
        "intensity_range",
        [](const datafile &df) -> py::object {
            if (df.intensity.is_none()) {
                return py::none();
            }
            return py::int_(static_cast<uint16_t>(df.intensity_range));
        },
        [](datafile &df, int64_t v) {
            if (df.intensity.is_none()) {
                throw py::value_error("there is no intensity map");
            }
            if (v < 0 || v > 65535) {
                throw py::value_error("intensity_range must lie in 0..65535");
            }
            df.intensity_range = static_cast<int16_t>(static_cast<uint16_t>(v));
        },
        "The 16-bit range value stored with the intensity frames (carried, not interpreted), or "
        "None.");

    cls.def("heights", &heights, HEIGHTS_DOC, py::arg("unit") = "nm");
    cls.def_property_readonly("valid", &valid,
                              "Boolean array: True where the phase map holds data. None without "
                              "a phase map.");
    cls.def("__repr__", [](const datafile &df) {
        std::string s =
            "<kelvorin.DataFile format " +
            std::to_string(df.read_format != 0 ? df.read_format : df_write_format(&df.hdr)) +
            ", camera " + std::to_string(df.hdr.CameraWidth) + " x " +
            std::to_string(df.hdr.CameraHeight);
        if (!df.phase.is_none()) {
            s += ", phase " + std::to_string(df.phase_window.width) + " x " +
                 std::to_string(df.phase_window.height);
        }
        return s + ">";
    });
}
