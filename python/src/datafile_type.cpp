// kelvorin.DataFile: the header attributes, under Python names and the file's
// own, and the class with its maps (datafile_maps.cpp).
#include "python/src/binding.h"

#include <cmath>
#include <cstring>
#include <limits>

KVPY_TYPED_OBJECT(kvpy_attributes_dict, "dict[str, int | float | str]")

namespace {

using datafile = kvpy_datafile_t;

// ---------------------------------------------------------------------------
// Values given for attributes.

int64_t whole(const py::handle &v, const char *name, int64_t lo, int64_t hi) {
    if (py::isinstance<py::bool_>(v) || PyIndex_Check(v.ptr()) == 0) {
        throw py::type_error(std::string(name) + " must be an integer");
    }
    const auto index = py::reinterpret_steal<py::object>(PyNumber_Index(v.ptr()));
    if (!index) {
        throw py::error_already_set();
    }
    int overflow = 0;
    const long long x = PyLong_AsLongLongAndOverflow(index.ptr(), &overflow);
    if (overflow != 0 || x < lo || x > hi) {
        throw py::value_error(std::string(name) + " must lie in " + std::to_string(lo) + ".." +
                              std::to_string(hi));
    }
    return x;
}

// A number as the file stores it: single precision. A finite number beyond
// its range is refused rather than stored as infinity.
float single(const py::handle &v, const char *name) {
    const double x = py::isinstance<py::bool_>(v) ? -1.0 : PyFloat_AsDouble(v.ptr());
    if (py::isinstance<py::bool_>(v) || (x == -1.0 && PyErr_Occurred() != nullptr)) {
        PyErr_Clear();
        throw py::type_error(std::string(name) + " must be a number");
    }
    const auto f = static_cast<float>(x);
    if (std::isinf(f) && std::isfinite(x)) {
        throw py::value_error(std::string(name) + " must lie within single precision (3.4e38)");
    }
    return f;
}

// The comment as kelvorin-info shows it: well-formed UTF-8 sequences as
// such, every other byte as the Latin-1 character of its value.
py::object get_comment(const datafile &df) {
    const std::size_t n = strnlen(df.hdr.comment, sizeof df.hdr.comment);
    return py::reinterpret_steal<py::str>(
        PyUnicode_DecodeUTF8(df.hdr.comment, static_cast<Py_ssize_t>(n), "kelvorin-latin1"));
}

// The comment's bytes: up to 82 (the whole field, with no end mark), or 81
// from text, which keeps the end mark.
void put_comment(df_hdr_t &hdr, const std::string &bytes, const char *name, std::size_t most) {
    if (bytes.size() > most) {
        throw py::value_error(std::string(name) + ": at most " + std::to_string(most) +
                              (most == sizeof hdr.comment ? " bytes" : " bytes in UTF-8"));
    }
    if (bytes.find('\0') != std::string::npos) {
        throw py::value_error(std::string(name) + ": no NUL characters");
    }
    std::memset(hdr.comment, 0, sizeof hdr.comment);
    std::memcpy(hdr.comment, bytes.data(), bytes.size());
}

void set_comment(datafile &df, const py::handle &v, const char *name) {
    if (!py::isinstance<py::str>(v)) {
        throw py::type_error(std::string(name) + " must be a str (comment_bytes takes bytes)");
    }
    put_comment(df.hdr, v.cast<std::string>(), name, sizeof df.hdr.comment - 1);
}

py::object get_time_stamp(const datafile &df) {
    return py::int_(df.hdr.TimeStamp);
}

void set_time_stamp(datafile &df, const py::handle &v, const char *name) {
    df.hdr.TimeStamp = static_cast<int32_t>(whole(v, name, INT32_MIN, INT32_MAX));
}

template <float df_hdr_t::*F> py::object get_float(const datafile &df) {
    return py::float_(static_cast<double>(df.hdr.*F));
}

template <float df_hdr_t::*F> void set_float(datafile &df, const py::handle &v, const char *name) {
    df.hdr.*F = single(v, name);
}

template <int16_t df_hdr_t::*F> py::object get_int16(const datafile &df) {
    return py::int_(df.hdr.*F);
}

template <int16_t df_hdr_t::*F>
void set_int16(datafile &df, const py::handle &v, const char *name) {
    df.hdr.*F = static_cast<int16_t>(whole(v, name, INT16_MIN, INT16_MAX));
}

// The named attributes, in the file's order: the Python name, the file's own
// name (kelvorin-info's JSON, DataFile.attributes(), the deprecated alias).
struct attribute_t {
    const char *name;
    const char *file_name;
    py::object (*get)(const datafile &);
    void (*set)(datafile &, const py::handle &, const char *);
    const char *doc;
};

#define KVPY_FLOAT(field) &get_float<&df_hdr_t::field>, &set_float<&df_hdr_t::field>
#define KVPY_INT16(field) &get_int16<&df_hdr_t::field>, &set_int16<&df_hdr_t::field>
const attribute_t ATTRIBUTES[] = {
    {"time_stamp", "TimeStamp", &get_time_stamp, &set_time_stamp,
     "Seconds since 1970-01-01 00:00 UTC (int, signed 32-bit)."},
    {"comment", "comment", &get_comment, &set_comment,
     "The comment (str): UTF-8 where its bytes are well-formed UTF-8, else Latin-1. A new text "
     "may take at most 81 bytes in UTF-8. comment_bytes gives and takes the bytes themselves."},
    {"intf_scale_factor", "IntfScaleFactor", KVPY_FLOAT(IntfScaleFactor),
     "Interferometer scale factor (float, single precision as stored)."},
    {"wavelength_in", "WavelengthIn", KVPY_FLOAT(WavelengthIn),
     "Wavelength in metres (float, single precision as stored)."},
    {"obliquity_factor", "ObliquityFactor", KVPY_FLOAT(ObliquityFactor),
     "Obliquity factor (float, single precision as stored)."},
    {"camera_res", "CameraRes", KVPY_FLOAT(CameraRes),
     "Lateral resolution in metres per camera pixel, 0 when unknown (float, single precision as "
     "stored)."},
    {"phase_res", "PhaseRes", KVPY_INT16(PhaseRes),
     "Phase resolution code (int, signed 16-bit): 0 Normal, 4096 counts per fringe; 1 High, "
     "32768; any other value Super, 131072."},
    {"camera_width", "CameraWidth", KVPY_INT16(CameraWidth),
     "Width of the camera frame in pixels (int, signed 16-bit)."},
    {"camera_height", "CameraHeight", KVPY_INT16(CameraHeight),
     "Height of the camera frame in pixels (int, signed 16-bit)."},
    {"pixel_width", "PixelWidth", KVPY_FLOAT(PixelWidth),
     "Width of a camera pixel in metres (float, single precision as stored)."},
    {"pixel_height", "PixelHeight", KVPY_FLOAT(PixelHeight),
     "Height of a camera pixel in metres (float, single precision as stored)."},
};
#undef KVPY_FLOAT
#undef KVPY_INT16

void warn_renamed(const std::string &old_use, const char *new_use) {
    const std::string text = old_use + " is deprecated; use " + new_use;
    if (PyErr_WarnEx(PyExc_DeprecationWarning, text.c_str(), 1) != 0) {
        throw py::error_already_set();
    }
}

datafile *make(int64_t camera_width, int64_t camera_height, int64_t time_stamp,
               const std::string &comment, double intf_scale_factor, double wavelength_in,
               double obliquity_factor, double camera_res, int64_t phase_res, double pixel_width,
               double pixel_height, const kvpy_array_arg_or_none &phase, const py::kwargs &old) {
    auto df = std::make_unique<datafile>();
    const py::object given[] = {
        py::int_(time_stamp),          py::str(comment),
        py::float_(intf_scale_factor), py::float_(wavelength_in),
        py::float_(obliquity_factor),  py::float_(camera_res),
        py::int_(phase_res),           py::int_(camera_width),
        py::int_(camera_height),       py::float_(pixel_width),
        py::float_(pixel_height),
    };
    static_assert(std::size(given) == std::size(ATTRIBUTES));
    for (std::size_t i = 0; i < std::size(ATTRIBUTES); ++i) {
        ATTRIBUTES[i].set(*df, given[i], ATTRIBUTES[i].name);
    }
    // The keywords of the file's own names, from before the Python names.
    for (const auto &[key, value] : old) {
        const std::string word = py::str(key);
        const attribute_t *a = nullptr;
        for (const attribute_t &candidate : ATTRIBUTES) {
            if (word == candidate.file_name && word != candidate.name) {
                a = &candidate;
            }
        }
        if (a == nullptr) {
            throw py::type_error("DataFile() got an unexpected keyword argument '" + word + "'");
        }
        warn_renamed("DataFile(" + word + "=...)", (std::string(a->name) + "=...").c_str());
        a->set(*df, value, a->name);
    }
    kvpy_set_phase(*df, phase);
    return df.release();
}

py::object window_or_none(const py::object &map, const window_t &w) {
    return map.is_none() ? py::none() : kvpy_window(w);
}

int32_t header_format(const datafile &df) {
    return df.read_format != 0 ? df.read_format : df_write_format(&df.hdr);
}

const char *const DATAFILE_DOC = R"(A data file in memory: header attributes and maps.

kelvorin.read() gives one; DataFile(camera_width, camera_height, ...) makes a
new one. The attributes have Python names (time_stamp, camera_width, ...);
attributes() gives them under the file's own names (TimeStamp, CameraWidth,
...), as kelvorin-info's JSON shows them. The old attribute and keyword
names of the file's own (df.CameraWidth, DataFile(..., TimeStamp=...)) still
work and are deprecated (DeprecationWarning).

The maps are numpy arrays that are views of the file's own maps: changing an
element changes the file; assigning an array replaces the map (placed at
(0, 0); move it with phase_window / intensity_window). heights() and
set_heights() give and take the phase map as heights.)";

const char *const INIT_DOC = R"(A new data file of the given camera frame.

Keyword attributes and their defaults: time_stamp=0, comment="",
intf_scale_factor=0.5, wavelength_in=632.8e-9 (metres), obliquity_factor=1.0,
camera_res=0.0 (metres per pixel, 0 meaning unknown), phase_res=2 (Super),
pixel_width=0.0, pixel_height=0.0, phase=None (a 2-D array of phase counts).
Every other header field is zero; there is no intensity block. The keywords
of the file's own names (TimeStamp=..., CameraRes=...) are deprecated.)";

const char *const HEIGHTS_DOC =
    R"(Heights of the phase map as float64 in unit "m", "um" or "nm".

A height is counts x intf_scale_factor x obliquity_factor x wavelength_in /
counts_per_fringe(phase_res). masked=True gives a numpy.ma.MaskedArray,
masked where a pixel holds no data (its data, and fill_value, NaN there);
masked=False a plain array with NaN there. None without a phase map.)";

const char *const SET_HEIGHTS_DOC =
    R"(Stores heights (unit "m", "um" or "nm") as the phase map.

values is a 2-D array of real numbers; NaN, and the masked elements of a
numpy.ma.MaskedArray, mark pixels without data. Each height becomes the
whole number of phase counts nearest to it under the file's attributes
(intf_scale_factor, obliquity_factor, wavelength_in, phase_res: set them
first), halves rounded away from zero. A map of the size of the one there
keeps its place (phase_window); another is placed at (0, 0). ValueError
names the first height that is no count from -67108864 to 67108863 (or is
infinite); the map is then unchanged.)";

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
            py::kw_only(), py::arg("time_stamp") = 0, py::arg("comment") = "",
            py::arg("intf_scale_factor") = 0.5, py::arg("wavelength_in") = 632.8e-9,
            py::arg("obliquity_factor") = 1.0, py::arg("camera_res") = 0.0,
            py::arg("phase_res") = 2, py::arg("pixel_width") = 0.0, py::arg("pixel_height") = 0.0,
            py::arg("phase") = py::none());

    cls.def_property_readonly("header_format", &header_format,
                              "1, 2 or 3: the format of the file read (from its magic number); "
                              "for a new DataFile the format write() gives it.");
    cls.def_property_readonly(
        "header_bytes", [](const datafile &df) { return header_format(df) == 3 ? 4096 : 834; },
        "834 or 4096: the header length of that format.");

    for (const attribute_t &a : ATTRIBUTES) {
        cls.def_property(
            a.name, [a](const datafile &df) { return a.get(df); },
            [a](datafile &df, const py::object &v) { a.set(df, v, a.name); }, a.doc);
        if (std::strcmp(a.name, a.file_name) != 0) {
            const std::string doc = std::string("Deprecated: the old name of ") + a.name + ".";
            cls.def_property(
                a.file_name,
                [a](const datafile &df) {
                    warn_renamed(std::string("DataFile.") + a.file_name, a.name);
                    return a.get(df);
                },
                [a](datafile &df, const py::object &v) {
                    warn_renamed(std::string("DataFile.") + a.file_name, a.name);
                    a.set(df, v, a.name);
                },
                doc.c_str());
        }
    }
    cls.def(
        "attributes",
        [](const datafile &df) {
            py::dict d;
            for (const attribute_t &a : ATTRIBUTES) {
                d[a.file_name] = a.get(df);
            }
            return kvpy_attributes_dict(d);
        },
        "The named header attributes as a dict under the file's own names (TimeStamp, comment, "
        "IntfScaleFactor, ..., PixelHeight), in the file's order: the names kelvorin-info's "
        "JSON uses.");
    cls.def_property(
        "comment_bytes",
        [](const datafile &df) {
            return py::bytes(df.hdr.comment, strnlen(df.hdr.comment, sizeof df.hdr.comment));
        },
        [](datafile &df, const py::object &v) {
            const auto raw = py::reinterpret_steal<py::object>(PyBytes_FromObject(v.ptr()));
            if (!raw || py::isinstance<py::str>(v)) {
                PyErr_Clear();
                throw py::type_error("comment_bytes must be bytes (comment takes text)");
            }
            put_comment(df.hdr, raw.cast<std::string>(), "comment_bytes", sizeof df.hdr.comment);
        },
        "The comment's bytes as stored, up to its first NUL. Takes any bytes but NUL, as many as "
        "82, which are written back unchanged.");

    cls.def_property(
        "phase", [](const datafile &df) { return df.phase; }, &kvpy_set_phase,
        "int32 phase counts, shape (height, width) of phase_window, in machine byte order; "
        "0x7FFFFFF8 (kelvorin.INVALID) or more marks a pixel without data. None without a phase "
        "block. An array assigned must hold whole numbers; set_heights() takes heights.");
    cls.def_property(
        "phase_window",
        [](const datafile &df) { return window_or_none(df.phase, df.phase_window); },
        [](datafile &df, const py::object &v) {
            kvpy_set_window(df.phase, v, &df.phase_window, "phase");
        },
        "Window(x, y, width, height) of the phase map in the camera frame, or None.");
    cls.def_property(
        "intensity", [](const datafile &df) { return df.intensity; }, &kvpy_set_intensity,
        "uint16 intensity frames, shape (n_buckets, height, width), or None. A 2-D array "
        "assigned is one frame.");
    cls.def_property(
        "intensity_window",
        [](const datafile &df) { return window_or_none(df.intensity, df.intensity_window); },
        [](datafile &df, const py::object &v) {
            kvpy_set_window(df.intensity, v, &df.intensity_window, "intensity");
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
        [](datafile &df, const py::object &v) {
            if (df.intensity.is_none()) {
                throw py::value_error("there is no intensity map");
            }
            df.intensity_range =
                static_cast<int16_t>(static_cast<uint16_t>(whole(v, "intensity_range", 0, 65535)));
        },
        "The 16-bit range value stored with the intensity frames (carried, not interpreted), or "
        "None.");

    cls.def(
        "heights",
        [](const datafile &df, const std::string &unit, bool masked) {
            return kvpy_heights_result(kvpy_heights(df, unit, masked));
        },
        HEIGHTS_DOC, py::arg("unit") = "nm", py::arg("masked") = true);
    cls.def(
        "set_heights",
        [](datafile &df, const kvpy_array_arg &values, const std::string &unit) {
            kvpy_set_heights(df, values, unit);
        },
        SET_HEIGHTS_DOC, py::arg("values"), py::arg("unit") = "nm");
    cls.def_property_readonly(
        "valid",
        [](const datafile &df) -> py::object {
            if (df.phase.is_none()) {
                return py::none();
            }
            return df.phase.attr("__lt__")(INT_MAP_INVALID);
        },
        "Boolean array: True where the phase map holds data. None without a phase map.");
    cls.def("__repr__", [](const datafile &df) {
        std::string s = "<kelvorin.DataFile format " + std::to_string(header_format(df)) +
                        ", camera " + std::to_string(df.hdr.CameraWidth) + " x " +
                        std::to_string(df.hdr.CameraHeight);
        if (!df.phase.is_none()) {
            s += ", phase " + std::to_string(df.phase_window.width) + " x " +
                 std::to_string(df.phase_window.height);
        }
        return s + ">";
    });
}
