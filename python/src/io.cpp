// kelvorin.read, kelvorin.write and kelvorin.check, and the pieces they share
// with the rest of the module: a DataFile's maps as library records, paths,
// windows and kelvorin.Error.
#include "python/src/binding.h"
#include "support/platform_internal.h"

#include <string>

namespace {

std::unique_ptr<kvpy_datafile_t> read_file(const kvpy_path_arg &path) {
    const std::string name = kvpy_path(path);
    auto df = std::make_unique<kvpy_datafile_t>();
    df_format_t format{};
    int_map_t phase{};
    intens_map_t intens{};
    int32_t rc = 0;
    {
        py::gil_scoped_release nogil;
        // A folder would pass for a file cut short, and reading a pipe could
        // wait for ever.
        rc = u_is_regular_file(name.c_str())
                 ? df_read_with_format(name.c_str(), &format, &df->info, &df->hdr, &intens, &phase)
                 : ERR_CANT_OPEN_FILE;
    }
    if (rc != 0) {
        kvpy_raise(rc, kvpy_path_object(path), "");
    }
    df->read_format = format.header_format;
    if (phase.matrix != nullptr) {
        df->phase_window = phase.window;
        df->phase = kvpy_owned_array(phase.matrix, {phase.window.height, phase.window.width});
    }
    if (intens.matrix != nullptr) {
        df->intensity_window = intens.window;
        df->intensity_range = intens.range;
        df->intensity = kvpy_owned_array(
            intens.matrix, {intens.n_buckets, intens.window.height, intens.window.width});
    }
    return df;
}

// Written whole or not at all (the library's rule), so that a failed write
// (a full disk, say) neither leaves a half-written file under the name nor
// destroys the file that was there.
void write_file(const kvpy_path_arg &path, const kvpy_datafile_t &df) {
    const std::string name = kvpy_path(path);
    const kvpy_maps_t maps = kvpy_maps(df);
    const df_info_t info = df.info;
    const df_hdr_t hdr = df.hdr;
    int32_t rc = 0;
    {
        py::gil_scoped_release nogil;
        df_out_t out;
        rc = df_out_open(&out, name.c_str(), DF_OUT_DATA);
        if (rc == 0) {
            rc = df_write_stream(out.stream, &info, &hdr,
                                 maps.intens.matrix ? &maps.intens : nullptr,
                                 maps.phase.matrix ? &maps.phase : nullptr);
            if (rc != 0) {
                df_out_abandon(&out);
            } else {
                rc = df_out_commit(&out);
            }
        }
    }
    if (rc != 0) {
        kvpy_raise(rc, kvpy_path_object(path), "");
    }
}

void check_file(const kvpy_datafile_t &df, bool strict) {
    const kvpy_maps_t maps = kvpy_maps(df);
    df_hdr_t hdr = df.hdr; // a non-strict check may change the record; the file keeps its own
    char message[DF_CHECK_MSG_SIZE] = {};
    int32_t rc = 0;
    {
        py::gil_scoped_release nogil;
        rc = df_check_attr(&hdr, maps.intens.matrix ? &maps.intens : nullptr,
                           maps.phase.matrix ? &maps.phase : nullptr, strict, message);
    }
    if (rc != 0) {
        kvpy_raise(rc, py::none(), message);
    }
}

const char *const READ_DOC = R"(Reads a data file: header, intensity block and phase block.

path is a str, bytes or os.PathLike. Returns a DataFile. Raises
kelvorin.Error, whose .code is the reader's ERR_... name and .path the path:
ERR_CANT_OPEN_FILE when the file cannot be opened, also for a folder or
anything else that is no regular file; that Error is also the OSError of
the reason (FileNotFoundError, PermissionError, IsADirectoryError,
NotADirectoryError, else OSError). ERR_NOT_A_DATA_FILE, ERR_PREMATURE_EOF,
ERR_CORRUPT_DATA_FILE, ERR_DATASET_DIM_TOO_LARGE, ERR_PARAM_OUT_OF_RANGE and
ERR_NO_MEM describe the file's bytes.)";

const char *const WRITE_DOC = R"(Writes a DataFile to path.

The format follows the record: 3 (4096-byte header) for a record read from a
format-3 file or with anything in the long header's extension, else 2 when
PhaseRes is 2 or more, else 1. Header fields the module does not name are
written as they were read. The file is written under a temporary name beside
path and takes path's place only when whole. Raises kelvorin.Error:
ERR_CANT_CREATE_FILE, ERR_CANT_WRITE_FILE (a full disk, say),
ERR_INVALID_PARAM (neither a phase nor an intensity map), ERR_NO_MEM.)";

const char *const CHECK_DOC =
    R"(Checks the attributes of a DataFile, as the RSS run checks its inputs.

Returns None when they pass; raises kelvorin.Error with the code and the
check's one-line message as .message otherwise. strict=False lets a camera
frame of size 0 pass. The DataFile is not changed.)";

} // namespace

kvpy_maps_t kvpy_maps(const kvpy_datafile_t &df) {
    kvpy_maps_t maps;
    if (!df.phase.is_none()) {
        const window_t &w = df.phase_window;
        auto a = py::reinterpret_borrow<py::array>(df.phase);
        if (!py::isinstance<py::array_t<int32_t>>(a) || a.ndim() != 2 || a.shape(0) != w.height ||
            a.shape(1) != w.width || !(a.flags() & py::array::c_style)) {
            throw py::value_error("phase is no longer the int32 array of its window; assign the "
                                  "changed array to phase again");
        }
        maps.keep_phase = df.phase;
        maps.phase.window = w;
        maps.phase.size = static_cast<uint32_t>(a.size());
        maps.phase.matrix = static_cast<int32_t *>(const_cast<void *>(a.data()));
    }
    if (!df.intensity.is_none()) {
        const window_t &w = df.intensity_window;
        auto a = py::reinterpret_borrow<py::array>(df.intensity);
        if (!py::isinstance<py::array_t<uint16_t>>(a) || a.ndim() != 3 || a.shape(1) != w.height ||
            a.shape(2) != w.width || a.shape(0) > 32767 || !(a.flags() & py::array::c_style)) {
            throw py::value_error("intensity is no longer the uint16 array of its window; "
                                  "assign the changed array to intensity again");
        }
        maps.keep_intens = df.intensity;
        maps.intens.window = w;
        maps.intens.n_buckets = static_cast<int16_t>(a.shape(0));
        maps.intens.range = df.intensity_range;
        maps.intens.size = static_cast<uint32_t>(a.size());
        maps.intens.matrix = static_cast<uint16_t *>(const_cast<void *>(a.data()));
    }
    return maps;
}

std::string kvpy_path(const py::handle &path) {
    const py::bytes raw = py::module_::import("os").attr("fsencode")(path);
    std::string name = raw;
    if (name.find('\0') != std::string::npos) {
        throw py::value_error("path contains a NUL character");
    }
    if (u_path_has_wide_mark(name.c_str())) {
        throw py::value_error("path begins with the bytes of a UTF-16 byte-order mark");
    }
    return name;
}

py::object kvpy_path_object(const py::handle &path) {
    return py::module_::import("os").attr("fspath")(path);
}

py::object kvpy_window(const window_t &w) {
    return py::module_::import("kelvorin").attr("Window")(w.x, w.y, w.width, w.height);
}

py::str kvpy_fs_text(const std::string &text) {
    return py::reinterpret_steal<py::str>(
        PyUnicode_DecodeFSDefaultAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

void kvpy_raise_name(const std::string &name, const py::object &path, const std::string &message,
                     const std::vector<std::string> &messages, const py::object &inputs) {
    py::list texts;
    for (const std::string &m : messages) {
        texts.append(kvpy_fs_text(m));
    }
    py::object error = py::module_::import("kelvorin")
                           .attr("_error")(name, path, kvpy_fs_text(message), texts, inputs);
    PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(error.ptr())), error.ptr());
    throw py::error_already_set();
}

void kvpy_raise(int32_t code, const py::object &path, const std::string &message,
                const std::vector<std::string> &messages) {
    const char *name = u_error_text(code);
    kvpy_raise_name(name != nullptr ? name : u_error_name(code), path, message, messages);
}

void kvpy_bind_io(py::module_ &m) {
    m.def("read", &read_file, READ_DOC, py::arg("path"));
    m.def("write", &write_file, WRITE_DOC, py::arg("path"), py::arg("datafile"));
    m.def("check", &check_file, CHECK_DOC, py::arg("datafile"), py::arg("strict") = true);
    m.def(
        "counts_per_fringe",
        [](int64_t phase_res) -> int32_t {
            return df_counts_per_fringe(phase_res < INT32_MIN || phase_res > INT32_MAX
                                            ? 2
                                            : static_cast<int32_t>(phase_res));
        },
        "Phase counts per fringe of a phase_res code: 0 Normal 4096, 1 High 32768, any other "
        "value Super 131072.",
        py::arg("phase_res"));
    m.attr("INVALID") = INT_MAP_INVALID;
}
