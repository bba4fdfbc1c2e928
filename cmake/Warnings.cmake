# -Wall -Wextra (/W4 with MSVC) on every target of ours.  Warnings become
# errors with NOTAVERO_WARNINGS_AS_ERRORS: ON in the presets and in
# scripts/test-all, OFF by default, so that a compiler newer or older than
# ours (or one of its false positives) cannot break the build of someone who
# only wants the library.
option(NOTAVERO_WARNINGS_AS_ERRORS "Treat compiler warnings as errors" OFF)

function(notavero_warnings target)
  if(MSVC)
    target_compile_options(${target} PRIVATE /W4 /utf-8)
    if(NOTAVERO_WARNINGS_AS_ERRORS)
      target_compile_options(${target} PRIVATE /WX)
    endif()
  else()
    target_compile_options(${target} PRIVATE -Wall -Wextra)
    if(NOTAVERO_WARNINGS_AS_ERRORS)
      target_compile_options(${target} PRIVATE -Werror)
    endif()
  endif()
endfunction()

# notavero_gcc12_restrict_false_positive(SOURCES...): GCC 12 at -O3 warns
# that std::string's operator+ may copy overlapping memory (-Wrestrict, GCC
# bug 105651, fixed in GCC 13).  The sources named, in the calling
# directory, are where it bites; only they lose that one warning, and only
# with GCC 12 and older.  When the Release build of scripts/test-all reports
# it for another file (the warning names std::string internals and a size of
# 2^63 bytes), add that file here.
function(notavero_gcc12_restrict_false_positive)
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
    set_property(SOURCE ${ARGN} APPEND PROPERTY COMPILE_OPTIONS -Wno-restrict)
  endif()
endfunction()
