// kelvorin.rss: the RSS run in this process, with the command line's checks
// in front of it, so that it answers as the tool does for the same inputs.
#include "python/src/binding.h"
#include "support/platform_internal.h"

#if KELVORIN_PY_RSS
#include "rss/rss.h"
#endif

#include <cctype>
#include <new>
#include <string>
#include <vector>

namespace {

constexpr std::size_t MAX_INPUTS = 10000; // as the command line takes them

// What the run's sink collects. The sink's functions are called from inside
// the library, which is built without exceptions: nothing may be thrown
// through it, so a failed allocation is only noted here.
struct collected_t {
    std::string report;
    std::vector<std::string> messages;
    bool lost = false; // some text could not be kept (out of memory)
};

// -1 (from the first input), 0, 1 or 2, from None, a code or a name in any case.
int32_t phase_res_code(const py::object &value) {
    if (value.is_none()) {
        return -1;
    }
    if (py::isinstance<py::str>(value)) {
        std::string word = value.cast<std::string>();
        for (char &c : word) {
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        }
        const char *const names[] = {"normal", "high", "super"};
        for (int32_t i = 0; i < 3; ++i) {
            if (word == names[i]) {
                return i;
            }
        }
    } else if (!py::isinstance<py::bool_>(value) && PyIndex_Check(value.ptr()) != 0) {
        const auto code =
            py::reinterpret_steal<py::int_>(PyNumber_Index(value.ptr())).cast<int64_t>();
        if (code >= 0 && code <= 2) {
            return static_cast<int32_t>(code);
        }
    }
    throw py::value_error("phase_res must be None, 0, 1, 2, \"Normal\", \"High\" or \"Super\"");
}

// The failure of a check that the tool's command line makes before the run.
[[noreturn]] void refuse(int32_t code, const std::string &message) {
    kvpy_raise(code, py::none(), message, {message});
}

#if KELVORIN_PY_RSS
// The name of a run's code: the library's name, or that of the run's own
// codes for failures that come from no library code.
std::string code_name(int32_t code) {
    switch (code) {
    case RSS_ERR_OUTPUT_IS_INPUT:
        return "RSS_ERR_OUTPUT_IS_INPUT";
    case RSS_ERR_CANNOT_CREATE_OUTPUT:
        return "RSS_ERR_CANNOT_CREATE_OUTPUT";
    case RSS_ERR_NO_HEIGHT_DATA:
        return "RSS_ERR_NO_HEIGHT_DATA";
    case RSS_ERR_NO_VALID_INPUT_DATA:
        return "RSS_ERR_NO_VALID_INPUT_DATA";
    case RSS_ERR_CAMERA_SIZE_MISMATCH:
        return "RSS_ERR_CAMERA_SIZE_MISMATCH";
    case RSS_ERR_CAMERA_RES_MISMATCH:
        return "RSS_ERR_CAMERA_RES_MISMATCH";
    case RSS_ERR_NO_VALID_RESULT:
        return "RSS_ERR_NO_VALID_RESULT";
    default:
        break;
    }
    const char *name = u_error_text(code);
    return name != nullptr ? name : u_error_name(code);
}
#endif

bool names_same_file(const std::string &a, const std::string &b) {
    u_file_id_t ia;
    u_file_id_t ib;
    return u_file_identity(a.c_str(), &ia) && u_file_identity(b.c_str(), &ib) &&
           u_same_file_id(&ia, &ib);
}

py::str rss(const py::object &inputs, const py::object &output, const py::object &phase_res,
            bool overwrite, bool verbose) {
    if (py::isinstance<py::str>(inputs) || py::isinstance<py::bytes>(inputs)) {
        throw py::type_error("inputs must be a sequence of paths, not one path");
    }
    std::vector<std::string> names;
    for (const py::handle item : py::iter(inputs)) {
        names.push_back(kvpy_path(item));
    }
    const std::string out = kvpy_path(output);
    const int32_t res = phase_res_code(phase_res);

    // The command line's checks, in its order.
    if (names.size() > MAX_INPUTS) {
        refuse(ERR_INVALID_PARAM, "More than 10000 input filenames");
    }
    if (names.empty()) {
        refuse(ERR_INVALID_PARAM, "No input files specified");
    }
    for (const std::string &name : names) {
        if (!u_is_regular_file(name.c_str())) {
            refuse(ERR_CANT_OPEN_FILE, "Cannot access input file \"" + name + "\"");
        }
    }
    // An existing output is replaced only when asked; an output that is one
    // of the inputs is left to the run, which refuses it with its message.
    if (!overwrite && u_is_regular_file(out.c_str())) {
        bool is_input = false;
        for (const std::string &name : names) {
            is_input = is_input || names_same_file(out, name);
        }
        if (!is_input) {
            py::object errno_module = py::module_::import("errno");
            PyErr_SetObject(PyExc_FileExistsError,
                            py::make_tuple(errno_module.attr("EEXIST"),
                                           "The output file exists (overwrite=True replaces it)",
                                           kvpy_path_object(output))
                                .ptr());
            throw py::error_already_set();
        }
    }

#if KELVORIN_PY_RSS
    std::vector<const char *> pointers;
    for (const std::string &name : names) {
        pointers.push_back(name.c_str());
    }
    collected_t got;
    const rss_request_t request{out.c_str(), res, verbose, pointers.data(),
                                static_cast<int32_t>(pointers.size())};
    const rss_sink_t sink{&got,
                          [](void *context, const char *text) {
                              auto *got = static_cast<collected_t *>(context);
                              try {
                                  got->report += text;
                              } catch (...) {
                                  got->lost = true;
                              }
                          },
                          [](void *context, const char *text) {
                              auto *got = static_cast<collected_t *>(context);
                              try {
                                  got->messages.emplace_back(text);
                              } catch (...) {
                                  got->lost = true;
                              }
                          }};
    int32_t rc = 0;
    {
        py::gil_scoped_release nogil;
        rc = rss_compute(&request, &sink);
    }
    if (got.lost) {
        throw std::bad_alloc(); // MemoryError; the run itself has ended cleanly
    }
    if (rc != 0) {
        kvpy_raise_name(code_name(rc), py::none(),
                        got.messages.empty() ? std::string() : got.messages.front(), got.messages);
    }
    // The tool ends a verbose run with this line of its own.
    if (verbose) {
        got.report += "Done\n";
    }
    return py::str(got.report);
#else
    (void)res;
    (void)verbose;
    PyErr_SetString(PyExc_NotImplementedError, "kelvorin.rss is not part of this build");
    throw py::error_already_set();
#endif
}

const char *const RSS_DOC =
    R"(Runs the RSS of the inputs' height maps in this process and writes output.

inputs is a sequence of paths (1 to 10000); phase_res is None (that of the
first input), 0, 1, 2, or "Normal", "High", "Super" in any case. The output
bytes are those the kelvorin tool writes for the same inputs. Returns the
text the tool prints on standard output: the report when verbose, else "".

An existing output without overwrite=True raises FileExistsError and
nothing is touched. A failed run raises kelvorin.Error: .code is the run's
code name and .messages the texts the tool prints after "ERROR: ".)";

} // namespace

void kvpy_bind_rss(py::module_ &m) {
    m.def("rss", &rss, RSS_DOC, py::arg("inputs"), py::arg("output"), py::kw_only(),
          py::arg("phase_res") = py::none(), py::arg("overwrite") = false,
          py::arg("verbose") = false);
}
