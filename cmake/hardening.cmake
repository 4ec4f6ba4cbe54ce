# Optimised Linux builds are hardened as the distribution builds its own
# programs: checked string and memory functions, stack protector, position
# independent code, full RELRO and immediate binding. Windows programs keep
# ASLR (64-bit), DEP and high-entropy ASLR. Sanitizer and fuzz builds bring
# their own run-time checks and are left as they are.
if(KELVORIN_SANITIZE OR KELVORIN_SANITIZE_THREAD OR KELVORIN_FUZZ)
    return()
endif()
include(CheckPIESupported)
check_pie_supported(LANGUAGES CXX)
set(CMAKE_POSITION_INDEPENDENT_CODE ON)

if(WIN32)
    add_link_options(-Wl,--dynamicbase -Wl,--nxcompat -Wl,--high-entropy-va)
elseif(CMAKE_SYSTEM_NAME STREQUAL "Linux")
    add_compile_options(-fstack-protector-strong)
    add_link_options(-Wl,-z,relro,-z,now)
    # _FORTIFY_SOURCE works only with optimisation; some compilers predefine it.
    set(optimised $<CONFIG:Release,RelWithDebInfo,MinSizeRel>)
    add_compile_options($<${optimised}:-U_FORTIFY_SOURCE> $<${optimised}:-D_FORTIFY_SOURCE=2>)
endif()
