# kelvorin_public_names(out header...): the names that the public headers
# declare KELVORIN_API (functions and the hooks), which the shared library
# exports and nothing else. Used for the Debian symbols file and by the
# export test (tests/consumers/check_exports.cmake).
function(kelvorin_public_names out)
    set(names)
    foreach(header IN LISTS ARGN)
        file(STRINGS ${header} decls REGEX "^(U_NODISCARD )?KELVORIN_API ")
        foreach(decl IN LISTS decls)
            if(decl MATCHES "\\(\\*([A-Za-z_][A-Za-z0-9_]*)\\)") # a hook: a function pointer
                list(APPEND names ${CMAKE_MATCH_1})
            elseif(decl MATCHES "([A-Za-z_][A-Za-z0-9_]*)\\(")
                list(APPEND names ${CMAKE_MATCH_1})
            endif()
        endforeach()
    endforeach()
    list(REMOVE_DUPLICATES names)
    list(SORT names)
    set(${out} ${names} PARENT_SCOPE)
endfunction()
