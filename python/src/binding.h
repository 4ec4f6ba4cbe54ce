// The Python module: what its source files share.
#pragma once

#include "datafile/datafile.h"

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <string>
#include <vector>

namespace py = pybind11;

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

// Raises kelvorin.Error for a library code, or for a code given by its name.
[[noreturn]] void kvpy_raise(int32_t code, const py::object &path, const std::string &message,
                             const std::vector<std::string> &messages = {});
[[noreturn]] void kvpy_raise_name(const std::string &name, const py::object &path,
                                  const std::string &message,
                                  const std::vector<std::string> &messages);

// A path (str, bytes or os.PathLike) in the file system's encoding, as the
// library's narrow paths take it. TypeError or ValueError for what cannot be
// one.
std::string kvpy_path(const py::handle &path);

// os.fspath(path), as kelvorin.Error reports it.
py::object kvpy_path_object(const py::handle &path);

// kelvorin.Window(x, y, width, height).
py::object kvpy_window(const window_t &w);

void kvpy_bind_datafile(py::module_ &m);
void kvpy_bind_io(py::module_ &m);
void kvpy_bind_rss(py::module_ &m);
