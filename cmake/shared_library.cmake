# The shared library: the four public subsystems in one file with a stable C
# ABI, for programs in any language that can call a C library.
#   Linux    libkelvorin.so.2 (SONAME), libkelvorin.so.2.0, the link libkelvorin.so
#   Windows  kelvorin.dll with its import library libkelvorin.dll.a and the
#            export list kelvorin.def; it needs no MinGW runtime DLL
# Exported are exactly the names that the public headers mark KELVORIN_API.
# Bump the SONAME only when that ABI breaks.
find_package(Threads REQUIRED)
add_library(kv_shared SHARED)
foreach(part IN LISTS kelvorin_shared_parts)
    if(WIN32)
        target_sources(kv_shared PRIVATE $<TARGET_OBJECTS:${part}_dll_objects>)
    else()
        target_sources(kv_shared PRIVATE $<TARGET_OBJECTS:${part}_objects>)
    endif()
endforeach()
target_link_libraries(kv_shared PRIVATE Threads::Threads)
target_include_directories(kv_shared INTERFACE $<BUILD_INTERFACE:${PROJECT_BINARY_DIR}/include>
                                               $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
set_target_properties(kv_shared PROPERTIES OUTPUT_NAME kelvorin EXPORT_NAME shared
                                           VERSION ${PROJECT_VERSION}
                                           SOVERSION ${PROJECT_VERSION_MAJOR}
                                           LINKER_LANGUAGE CXX)
if(WIN32)
    # kelvorin.dll, not libkelvorin.dll; callers import its variables.
    set_target_properties(kv_shared PROPERTIES PREFIX "" IMPORT_PREFIX lib)
    target_compile_definitions(kv_shared INTERFACE KELVORIN_DLL)
    target_link_options(kv_shared PRIVATE -static -static-libgcc -static-libstdc++
                        -Wl,--output-def,${CMAKE_CURRENT_BINARY_DIR}/kelvorin.def)
else()
    target_link_options(kv_shared PRIVATE -Wl,--no-undefined
                        -Wl,--version-script=${PROJECT_SOURCE_DIR}/cmake/kelvorin.map)
    set_property(TARGET kv_shared APPEND PROPERTY LINK_DEPENDS
                 ${PROJECT_SOURCE_DIR}/cmake/kelvorin.map)
endif()
add_library(Kelvorin::shared ALIAS kv_shared)
