# The warning set of every target we compile, in VEXCAM_WARNINGS (for target_compile_options):
# included by the top-level build, by sim/ and bench/native/ when they are built alone.
# VEXCAM_WERROR adds -Werror (/WX with MSVC).
option(VEXCAM_WERROR "Treat compiler warnings as errors" OFF)
if(MSVC)
    set(VEXCAM_WARNINGS /W4 /permissive-)
else()
    set(VEXCAM_WARNINGS -Wall -Wextra -Wpedantic -Wshadow -Wconversion
        $<$<COMPILE_LANGUAGE:CXX>:-Wnon-virtual-dtor> -Wmissing-declarations)
endif()
if(VEXCAM_WERROR)
    list(APPEND VEXCAM_WARNINGS $<IF:$<CXX_COMPILER_ID:MSVC>,/WX,-Werror>)
endif()
