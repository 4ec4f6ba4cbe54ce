// The Python module: what its source files share.
#pragma once

#include "datafile/datafile.h"
#include "rss/rss.h"

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <string>
#include <vector>

namespace py = pybind11;

// Python objects that the signatures in help() show as the Python types they
// stand for, where the module takes them apart itself. Declared at file scope.
inline bool kvpy_any_object(PyObject *) {
    return true;
}
#define KVPY_TYPED_OBJECT(cpp_name, python_name)                                                   \
    struct cpp_name : py::object {                                                                 \
        PYBIND11_OBJECT_DEFAULT(cpp_name, py::object, kvpy_any_object)                             \
    };                                                                                             \
    namespace pybind11::detail {                                                                   \
    template <> struct handle_type_name<cpp_name> {                                                \
        static constexpr auto name = const_name(python_name);                                      \
    };                                                                                             \
    }

KVPY_TYPED_OBJECT(kvpy_path_arg, "str | bytes | os.PathLike")
KVPY_TYPED_OBJECT(kvpy_array_arg, "numpy.typing.ArrayLike")
KVPY_TYPED_OBJECT(kvpy_array_arg_or_none, "numpy.typing.ArrayLike | None")
KVPY_TYPED_OBJECT(kvpy_array_or_none, "numpy.ndarray | None")
KVPY_TYPED_OBJECT(kvpy_heights_result, "numpy.ma.MaskedArray | numpy.ndarray | None")
KVPY_TYPED_OBJECT(kvpy_window_or_none, "kelvorin.Window | None")

// A numpy array over memory from the library's allocation hooks, which the
// array owns: the block goes back through u_free_fn with the last reference.
template <typename T> py::array_t<T> kvpy_owned_array(T *data, std::vector<py::ssize_t> shape) {
    py::capsule owner;
    try {
        owner = py::capsule(data, [](void *block) { u_free_fn(block); });
    } catch (...) {
        u_free_fn(data);
        throw;
    }
    return py::array_t<T>(std::move(shape), data, owner);
}

// A data file held by Python: the header records as read (or built), and the
// maps as numpy arrays. An array read from a file is a view of the library's
// own map, which the array owns (through a capsule), so an array outlives its
// DataFile safely and the map is freed with the last array.
struct kvpy_datafile_t {
    df_info_t info{};
    df_hdr_t hdr{};
    int32_t read_format = 0; // header format of the file read; 0 when built
    py::object phase = py::none();
    window_t phase_window{};
    py::object intensity = py::none();
    window_t intensity_window{};
    int16_t intensity_range = 0;
};

// The maps of a DataFile as library records over the arrays' memory, with
// references that keep the arrays alive while the GIL is released.
struct kvpy_maps_t {
    int_map_t phase{};
    intens_map_t intens{};
    py::object keep_phase;
    py::object keep_intens;
};

// Checks that the arrays still have the shape, type and layout of their
// windows (numpy lets a caller reshape an array in place) and describes them;
// ValueError otherwise. Null matrices for absent maps.
kvpy_maps_t kvpy_maps(const kvpy_datafile_t &df);

// Raises kelvorin.Error for a library code, or for a code given by its name;
// for a file that cannot be opened or created, the Error that is also the
// matching OSError (see kelvorin._error). `inputs` are the paths among which
// a run looks for the one that cannot be opened.
[[noreturn]] void kvpy_raise(int32_t code, const py::object &path, const std::string &message,
                             const std::vector<std::string> &messages = {});
[[noreturn]] void kvpy_raise_name(const std::string &name, const py::object &path,
                                  const std::string &message,
                                  const std::vector<std::string> &messages,
                                  const py::object &inputs = py::tuple());

// A path (str, bytes or os.PathLike) in the file system's encoding, as the
// library's narrow paths take it. TypeError or ValueError for what cannot be
// one.
std::string kvpy_path(const py::handle &path);

// os.fspath(path), as kelvorin.Error reports it.
py::object kvpy_path_object(const py::handle &path);

// A text from the library, which carries file names as the file system's
// bytes (undecodable bytes as the file system's surrogate escapes).
py::str kvpy_fs_text(const std::string &text);

// kelvorin.Window(x, y, width, height).
py::object kvpy_window(const window_t &w);

// The maps of a DataFile (datafile_maps.cpp): arrays assigned to phase and
// intensity, their windows, and the heights out of and into the phase map.
void kvpy_set_phase(kvpy_datafile_t &df, const py::object &value);
void kvpy_set_intensity(kvpy_datafile_t &df, const py::object &value);
void kvpy_set_window(const py::object &map, const py::object &value, window_t *window,
                     const char *what);
py::object kvpy_heights(const kvpy_datafile_t &df, const std::string &unit, bool masked);
void kvpy_set_heights(kvpy_datafile_t &df, const py::object &values, const std::string &unit);

// The uncertainty budget of a run (budget.cpp): the coefficients from
// weights= (empty for None; ValueError for anything but one finite number
// >= 0 per input), and the storage that the run fills, as kelvorin.Budget.
std::vector<double> kvpy_weights(const py::object &weights, std::size_t inputs);

struct kvpy_budget_t {
    std::vector<rss_budget_row_t> rows;
    int_map_t dominance{};
    rss_budget_t record{};

    kvpy_budget_t(std::size_t inputs, bool with_dominance);
    ~kvpy_budget_t();
    kvpy_budget_t(const kvpy_budget_t &) = delete;
    kvpy_budget_t &operator=(const kvpy_budget_t &) = delete;

    // kelvorin.Budget of a successful run; the dominance map moves into it.
    py::object to_python();
};

void kvpy_bind_datafile(py::module_ &m);
void kvpy_bind_io(py::module_ &m);
void kvpy_bind_rss(py::module_ &m);
