# The libraries as other programs use them: the static targets
# Kelvorin::support, Kelvorin::maps, Kelvorin::datafile (which brings the
# other two), Kelvorin::rss (the RSS run, which brings all three) and the
# umbrella Kelvorin::kelvorin, the shared library Kelvorin::shared
# (cmake/shared_library.cmake), and the public headers <kelvorin/support.h>,
# <kelvorin/maps.h>, <kelvorin/datafile.h> and <kelvorin/rss.h>, which are C
# headers (C11 or C++).
#
# In the repository the public headers include each other by repository path
# ("support/support.h"). Their copies under <build>/include/kelvorin include
# their siblings instead, so that the same copies serve the build tree and the
# installed tree, and only they are on a user's include path: internal
# headers (datafile/header_image.h, rss/ but rss.h, tool/, tests/) stay out of reach.

set(KELVORIN_PUBLIC_HEADERS support/support.h support/error_list.inc maps/maps.h
                            datafile/datafile.h rss/rss.h)
set(KELVORIN_PUBLIC_HEADER_COPIES)
foreach(header IN LISTS KELVORIN_PUBLIC_HEADERS)
    file(READ ${PROJECT_SOURCE_DIR}/${header} text)
    foreach(other IN LISTS KELVORIN_PUBLIC_HEADERS)
        get_filename_component(other_name ${other} NAME)
        string(REPLACE "#include \"${other}\"" "#include \"${other_name}\"" text "${text}")
    endforeach()
    if(text MATCHES "#include \"[^\"]*/[^\"]*\"")
        message(FATAL_ERROR "public header ${header} includes a header that is not public: "
                            "${CMAKE_MATCH_0}")
    endif()
    get_filename_component(name ${header} NAME)
    set(copy ${PROJECT_BINARY_DIR}/include/kelvorin/${name})
    # Rewritten only when it changes, so that nothing is rebuilt for nothing.
    set(old "")
    if(EXISTS ${copy})
        file(READ ${copy} old)
    endif()
    if(NOT old STREQUAL text)
        file(WRITE ${copy} "${text}")
    endif()
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/${header})
    list(APPEND KELVORIN_PUBLIC_HEADER_COPIES ${copy})
endforeach()

foreach(part support maps datafile rss)
    set_target_properties(kv_${part} PROPERTIES EXPORT_NAME ${part} OUTPUT_NAME kelvorin_${part})
    add_library(Kelvorin::${part} ALIAS kv_${part})
endforeach()

add_library(kv_kelvorin INTERFACE)
target_link_libraries(kv_kelvorin INTERFACE kv_rss kv_datafile kv_maps kv_support)
set_target_properties(kv_kelvorin PROPERTIES EXPORT_NAME kelvorin)
add_library(Kelvorin::kelvorin ALIAS kv_kelvorin)
