# Precompiled headers: the heavy third-party headers (GoogleTest, nlohmann/json,
# Boost.Asio, pybind11) parsed once per group of targets instead of once per
# source file. GCC takes a precompiled header only from a compilation with
# the same kind of code (executable, library, Python module) and the same
# macros it reads, so each group holds targets of one kind: the first target
# of a group compiles the header, the others reuse it. CMake's per-target
# <target>_EXPORTS macro, which no source here reads, is dropped for the same
# reason. -Winvalid-pch says so when a target could not use the header (it
# still builds, only slower).
#
#   orvane_precompile_headers(<target> <group>)
#
# Groups: tests (GoogleTest executables), libraries (the project's libraries),
# python (the extension modules).
option(ORVANE_PRECOMPILED_HEADERS "Precompile the heavy third-party headers" ON)

# <utility> before Boost.Asio: 1.74 uses std::exchange without including it.
set(ORVANE_PCH_STANDARD <algorithm> <array> <atomic> <chrono> <cmath> <condition_variable> <cstdint>
    <functional> <future> <map> <memory> <mutex> <optional> <set> <string> <thread> <utility> <vector>)
set(ORVANE_PCH_tests ${ORVANE_PCH_STANDARD} <nlohmann/json.hpp> <boost/asio.hpp>
    <gtest/gtest.h> <gmock/gmock.h>)
set(ORVANE_PCH_libraries ${ORVANE_PCH_STANDARD} <nlohmann/json.hpp> <boost/asio.hpp>)
set(ORVANE_PCH_python ${ORVANE_PCH_STANDARD} <nlohmann/json.hpp> <pybind11/pybind11.h> <pybind11/stl.h>)

function(orvane_precompile_headers target group)
  if(NOT ORVANE_PRECOMPILED_HEADERS)
    return()
  endif()
  if(NOT DEFINED ORVANE_PCH_${group})
    message(FATAL_ERROR "orvane_precompile_headers: unknown group '${group}'")
  endif()
  set_property(TARGET ${target} PROPERTY DEFINE_SYMBOL "")
  get_property(donor GLOBAL PROPERTY ORVANE_PCH_DONOR_${group})
  if(donor)
    target_precompile_headers(${target} REUSE_FROM ${donor})
  else()
    set_property(GLOBAL PROPERTY ORVANE_PCH_DONOR_${group} ${target})
    target_precompile_headers(${target} PRIVATE ${ORVANE_PCH_${group}})
  endif()
  target_compile_options(${target} PRIVATE -Winvalid-pch)
endfunction()
