# Compiles through ccache, set up so that a clone of this repository in any
# folder hits what another clone compiled: paths under the source folder are
# hashed relative to the build folder, and the debug information and __FILE__
# name them relative to the source folder (so a cached object is right for
# every clone). The build folder's own name is not hashed, so that the wheel's
# build-wheel/ reuses what build/ compiled with the same flags (the folders lie
# at the same depth, so the relative paths agree); the debug information of
# such an object names the other folder as where it was compiled. Nothing
# depends on the user's ccache configuration; precompiled headers need the
# sloppiness set here.
#
#   orvane_use_compiler_cache(<root folder of the sources>)
#
# A launcher other than ccache, chosen by the user, is left alone.
function(orvane_use_compiler_cache root)
  if(CMAKE_CXX_COMPILER_LAUNCHER)
    list(GET CMAKE_CXX_COMPILER_LAUNCHER -1 chosen)
    get_filename_component(chosen ${chosen} NAME)
    if(NOT chosen STREQUAL "ccache")
      return()
    endif()
  endif()
  find_program(ORVANE_CCACHE_PROGRAM ccache)
  if(NOT ORVANE_CCACHE_PROGRAM)
    return()
  endif()
  set(CMAKE_CXX_COMPILER_LAUNCHER env
    CCACHE_BASEDIR=${root}
    CCACHE_NOHASHDIR=1
    CCACHE_SLOPPINESS=pch_defines,time_macros,include_file_mtime,include_file_ctime
    ${ORVANE_CCACHE_PROGRAM} PARENT_SCOPE)
  add_compile_options(-ffile-prefix-map=${root}=.)
endfunction()
