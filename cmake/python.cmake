# Finds what the Python module needs: pybind11, and the interpreter with its
# development files and numpy. Sets kelvorin_python_found.
#
# Debian's pybind11 and numpy serve Debian's interpreter, the python3 beside
# pybind11's own prefix (/usr/bin/python3); a python3 earlier on PATH (pyenv,
# a virtual environment) usually lacks them. So that interpreter is taken
# unless Python3_EXECUTABLE names another.
set(kelvorin_python_found OFF)
find_file(kelvorin_pybind11_config pybind11Config.cmake
          PATH_SUFFIXES lib/cmake/pybind11 share/cmake/pybind11)
if(kelvorin_pybind11_config AND NOT Python3_EXECUTABLE)
    get_filename_component(prefix ${kelvorin_pybind11_config} DIRECTORY)
    get_filename_component(prefix ${prefix}/../../.. ABSOLUTE)
    if(EXISTS ${prefix}/bin/python3)
        set(Python3_EXECUTABLE ${prefix}/bin/python3 CACHE FILEPATH "Python interpreter")
    endif()
endif()
if(kelvorin_pybind11_config)
    find_package(Python3 COMPONENTS Interpreter Development.Module QUIET)
endif()
if(Python3_FOUND)
    execute_process(COMMAND ${Python3_EXECUTABLE} -c "import numpy"
                    RESULT_VARIABLE kelvorin_numpy_rc OUTPUT_QUIET ERROR_QUIET)
    get_filename_component(pybind11_DIR ${kelvorin_pybind11_config} DIRECTORY)
    find_package(pybind11 CONFIG QUIET)
    if(pybind11_FOUND AND kelvorin_numpy_rc EQUAL 0)
        set(kelvorin_python_found ON)
    endif()
endif()
