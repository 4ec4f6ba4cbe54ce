// kelvorin.rss: the RSS run in this process, with the command line's checks
// in front of it, so that it answers as the tool does for the same inputs.
#include "rss/rss.h"
#include "python/src/binding.h"

#include <cctype>
#include <new>
#include <optional>
#include <string>
#include <vector>

KVPY_TYPED_OBJECT(kvpy_paths_arg, "Iterable[str | bytes | os.PathLike]")
KVPY_TYPED_OBJECT(kvpy_path_arg_or_none, "str | bytes | os.PathLike | None")
KVPY_TYPED_OBJECT(kvpy_phase_res_arg, "int | str | None")
KVPY_TYPED_OBJECT(kvpy_weights_arg, "Iterable[float] | None")
KVPY_TYPED_OBJECT(kvpy_rss_result, "kelvorin.RssResult")

namespace {

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

// What the sink collected, as kelvorin.Error for a failed run or check. A
// file that cannot be opened is one of the inputs; one that cannot be
// created, the output.
[[noreturn]] void raise_run_error(int32_t code, const collected_t &got, const py::list &inputs,
                                  const py::object &output) {
    const char *name = rss_error_name(code);
    const bool creating = code == RSS_ERR_CANNOT_CREATE_OUTPUT || code == ERR_CANT_CREATE_FILE;
    kvpy_raise_name(name != nullptr ? name : u_error_name(code),
                    creating ? output : py::object(py::none()),
                    got.messages.empty() ? std::string() : got.messages.front(), got.messages,
                    code == ERR_CANT_OPEN_FILE ? py::object(inputs) : py::tuple());
}

rss_sink_t collecting_sink(collected_t *got) {
    return {got,
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
}

kvpy_rss_result rss(const kvpy_paths_arg &inputs, const kvpy_path_arg_or_none &output,
                    const kvpy_phase_res_arg &phase_res, bool overwrite, bool verbose,
                    const kvpy_weights_arg &weights, bool budget, bool dominance) {
    if (py::isinstance<py::str>(inputs) || py::isinstance<py::bytes>(inputs) ||
        py::isinstance(inputs, py::module_::import("os").attr("PathLike"))) {
        throw py::type_error("inputs must be a sequence of paths, not one path");
    }
    std::vector<std::string> names;
    py::list input_paths;
    for (const py::handle item : py::iter(inputs)) {
        names.push_back(kvpy_path(item));
        input_paths.append(kvpy_path_object(item));
    }
    const int32_t res = phase_res_code(phase_res);
    const std::vector<double> coefficients = kvpy_weights(weights, names.size());
    if (output.is_none() && !budget) {
        throw py::type_error("rss() needs an output path (None only with budget=True)");
    }
    if (dominance && !budget) {
        throw py::type_error("dominance=True is part of the budget: give budget=True too");
    }
    const std::string out = output.is_none() ? std::string() : kvpy_path(output);
    const py::object output_path = output.is_none() ? py::none() : kvpy_path_object(output);
    std::optional<kvpy_budget_t> storage;
    if (budget) {
        storage.emplace(names.size(), dominance);
    }

    std::vector<const char *> pointers;
    for (const std::string &name : names) {
        pointers.push_back(name.c_str());
    }
    // The library's sinks must not throw: more names than a run takes are
    // refused by the check before the count is narrowed.
    const int32_t count = pointers.size() > RSS_MAX_INPUTS ? RSS_MAX_INPUTS + 1
                                                           : static_cast<int32_t>(pointers.size());
    rss_request_t request{};
    request.out_name = output.is_none() ? nullptr : out.c_str();
    request.phase_res = res;
    request.verbose = verbose;
    request.names = pointers.data();
    request.count = count;
    request.weights = coefficients.empty() ? nullptr : coefficients.data();
    request.budget = storage ? &storage->record : nullptr;
    collected_t got;
    const rss_sink_t sink = collecting_sink(&got);

    // The command line's checks, in its order.
    int32_t rc = rss_check_request(&request, &sink);
    if (got.lost) {
        throw std::bad_alloc();
    }
    if (rc != 0) {
        raise_run_error(rc, got, input_paths, output_path);
    }
    // An existing output is replaced only when asked.
    if (request.out_name != nullptr && !overwrite && u_is_regular_file(out.c_str())) {
        py::object errno_module = py::module_::import("errno");
        PyErr_SetObject(PyExc_FileExistsError,
                        py::make_tuple(errno_module.attr("EEXIST"),
                                       "The output file exists (overwrite=True replaces it)",
                                       output_path)
                            .ptr());
        throw py::error_already_set();
    }
    {
        py::gil_scoped_release nogil;
        rc = rss_compute(&request, &sink);
    }
    if (got.lost) {
        throw std::bad_alloc(); // MemoryError; the run itself has ended cleanly
    }
    if (rc != 0) {
        raise_run_error(rc, got, input_paths, output_path);
    }
    return py::module_::import("kelvorin")
        .attr("RssResult")(kvpy_fs_text(got.report),
                           storage ? storage->to_python() : py::object(py::none()));
}

const char *const RSS_DOC =
    R"(Runs the RSS of the inputs' height maps in this process and writes output.

inputs is a sequence of paths (1 to 10000); phase_res is None (that of the
first input), 0, 1, 2, or "Normal", "High", "Super" in any case. Without
weights the output bytes are those the kelvorin tool writes for the same
inputs. Returns a kelvorin.RssResult: .report is the report when verbose
(what the tool prints on standard output, less its closing "Done"), else
""; .budget is the kelvorin.Budget with budget=True, else None.

weights gives each input a sensitivity coefficient c_i, a finite number
>= 0: the result is then sqrt(sum of (c_i x_i)^2). For an expanded
uncertainty multiply every coefficient by the coverage factor k. An input
with c_i = 0 adds nothing, but where it has no data the result has none.
Anything but one such number per input raises ValueError, and nothing is
touched.

budget=True also gathers the uncertainty budget: each input's share of the
result's squares, its RMS and largest height and where it dominates (see
help(kelvorin.Budget)). With output=None the budget is computed alone and
nothing is written. dominance=True (with budget=True) adds the map of the
input that dominates each pixel.

An existing output without overwrite=True raises FileExistsError and
nothing is touched. A failed run raises kelvorin.Error: .code is the run's
code name and .messages the texts the tool prints after "ERROR: ". An input
that cannot be opened, or an output that cannot be created, makes it also
the OSError of the reason (FileNotFoundError, PermissionError,
IsADirectoryError, ...), with .path that file.)";

} // namespace

void kvpy_bind_rss(py::module_ &m) {
    m.def(
        "_error_meaning",
        [](const std::string &name) -> py::object {
            // The run's own codes come with their message.
            for (int32_t code = 0; code <= U_ERROR_MAX; ++code) {
                if (name == u_error_text(code)) {
                    const char *text = u_error_meaning(code);
                    return text != nullptr ? py::object(py::str(text)) : py::object(py::none());
                }
            }
            return py::none();
        },
        "What the code of that name means, or None.", py::arg("name"));
    m.def("rss", &rss, RSS_DOC, py::arg("inputs"), py::arg("output"), py::kw_only(),
          py::arg("phase_res") = py::none(), py::arg("overwrite") = false,
          py::arg("verbose") = false, py::arg("weights") = py::none(), py::arg("budget") = false,
          py::arg("dominance") = false);
}
