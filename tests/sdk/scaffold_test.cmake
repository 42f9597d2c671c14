# The scaffold and the SDK together, as someone outside this repository uses them: install this
# build (and natively a windows-x86 build beside it, when there is one) as an SDK, move it, write a
# new component with the SDK's zeph-new-component, and build and test it with its own presets:
# the module, and its DLL with the bench playing it under Wine. A DLL older than its sources must
# fail its tests with one line, and the next build must mend it.
# Run as: cmake -DBUILD=<this build> -DSOURCE=<repository> -DWORK=<scratch folder> -DCONFIG=<config>
#               [-DWINDOWS_BUILD=<windows-x86 build>] [-DREADELF=<readelf>] [-DCXX_FLAGS=<flags>]
#               [-DCXX_COMPILER=<the compiler of an instrumented build>]
#               -DEXPECT=<test names> -P scaffold_test.cmake
#        or, for the cross build alone: ... -DGENERATOR=<generator> -DTOOLCHAIN=<file name in the SDK>
cmake_minimum_required(VERSION 3.25)

function(run what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out
                  WORKING_DIRECTORY ${component})
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${what} failed (${rc}):\n${out}")
  endif()
  message(STATUS "${what}: ok")
  set(output "${out}" PARENT_SCOPE)
endfunction()

set(name Scaffolded)
set(sdk ${WORK}/sdk)
set(component ${WORK}/${name})
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK})

# ---- An SDK that installs anywhere ---------------------------------------------------------------
set(staged ${WORK}/staged)
set(component ${WORK})
run("install the SDK" ${CMAKE_COMMAND} --install ${BUILD} --prefix ${staged} --config ${CONFIG})
set(dll OFF)
if(WINDOWS_BUILD AND EXISTS ${WINDOWS_BUILD}/cmake_install.cmake AND EXISTS ${WINDOWS_BUILD}/bin/zeph_string.dll)
  run("install its Windows half" ${CMAKE_COMMAND} --install ${WINDOWS_BUILD} --prefix ${staged})
  set(dll ON)
elseif(NOT TOOLCHAIN)
  message(STATUS "no windows-x86 build (${WINDOWS_BUILD}): the DLL road is not taken")
endif()
file(RENAME ${staged} ${sdk})

file(GLOB_RECURSE package_files ${sdk}/lib/cmake/*)
foreach(file IN LISTS package_files)
  file(READ ${file} text)
  foreach(tree ${BUILD} ${SOURCE} ${staged})
    string(FIND "${text}" "${tree}" at)
    if(NOT at EQUAL -1)
      message(FATAL_ERROR "${file} names ${tree}: the SDK cannot move")
    endif()
  endforeach()
endforeach()
execute_process(COMMAND test -x ${sdk}/lib/cmake/ZephScript/kit/on-dll RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "the SDK's kit/on-dll lost its run bit: every DLL test would fail to start")
endif()

# readelf -d: the RUNPATH of FILE must be WANT exactly.
function(expect_runpath file want)
  execute_process(COMMAND ${READELF} -d ${file} OUTPUT_VARIABLE dynamic)
  string(REGEX MATCH "(RUNPATH|RPATH)[^[]*\\[([^]]*)\\]" found "${dynamic}")
  if(NOT CMAKE_MATCH_2 STREQUAL want)
    message(FATAL_ERROR "${file}: run path [${CMAKE_MATCH_2}], not [${want}]")
  endif()
  message(STATUS "${file}: run path ${want}")
endfunction()
if(READELF AND NOT TOOLCHAIN)
  expect_runpath(${sdk}/bin/zeph-host "$ORIGIN/../lib")
endif()

# ---- A project of its own -------------------------------------------------------------------------
run("scaffold ${name}" ${sdk}/bin/zeph-new-component ${name} ${WORK}/${name})
set(component ${WORK}/${name})
foreach(file CMakePresets.json .clang-format .gitignore README.md)
  if(NOT EXISTS ${component}/${file})
    message(FATAL_ERROR "the scaffold brought no ${file}")
  endif()
endforeach()

if(TOOLCHAIN)
  # The cross build alone, as the windows-x86 build tests it.
  run("configure against the SDK" ${CMAKE_COMMAND} -S . -B build -G ${GENERATOR}
      -DCMAKE_PREFIX_PATH=${sdk} -DCMAKE_COMPILE_WARNING_AS_ERROR=ON
      -DCMAKE_TOOLCHAIN_FILE=${sdk}/lib/cmake/ZephScript/${TOOLCHAIN})
  run("build" ${CMAKE_COMMAND} --build build --parallel 2)
  run("the kit's tests" ${CMAKE_CTEST_COMMAND} --test-dir build --output-on-failure --no-tests=error)
else()
  # Its CI preset: the module and, with the Windows half, the DLL; warnings as errors.
  set(preset dev)
  set(configure -DCMAKE_COMPILE_WARNING_AS_ERROR=ON)
  if(dll)
    set(preset ci)
  endif()
  if(CXX_FLAGS)
    # The installed libraries and zeph-host are instrumented; so is what links into them.
    list(APPEND configure "-DCMAKE_CXX_FLAGS=${CXX_FLAGS}" "-DCMAKE_MODULE_LINKER_FLAGS=${CXX_FLAGS}")
  endif()
  if(CXX_COMPILER)
    list(APPEND configure "-DCMAKE_CXX_COMPILER=${CXX_COMPILER}")
  endif()
  run("configure (preset ${preset})" ${CMAKE_COMMAND} --preset ${preset} ${configure})
  run("build (preset ${preset})" ${CMAKE_COMMAND} --build --preset ${preset} --parallel 2)
  run("the kit's tests" ${CMAKE_CTEST_COMMAND} --preset ${preset})
  if(READELF)
    expect_runpath(${component}/build/${preset}/${name}.so "$ORIGIN")
  endif()
endif()
foreach(test IN LISTS EXPECT)
  if(test MATCHES "^dll|^windows" AND NOT dll)
    continue()
  endif()
  string(FIND "${output}" " ${test} " at)
  if(at EQUAL -1)
    string(FIND "${output}" " ${name}.${test} " at)
  endif()
  if(at EQUAL -1)
    message(FATAL_ERROR "the kit registered no test ${name}.${test}:\n${output}")
  endif()
endforeach()
message(STATUS "${output}")
if(output MATCHES "${name}[.]dll[.][^\n]*Skipped")
  message(STATUS "the DLL tests said skipped: Wine cannot run here (the cross build ran)")
endif()

# ---- A stale DLL is not played ---------------------------------------------------------------------
if(dll)
  execute_process(COMMAND ${CMAKE_COMMAND} -E sleep 1)
  file(TOUCH ${component}/scaffolded.cpp)
  execute_process(COMMAND ${CMAKE_CTEST_COMMAND} --preset ${preset} -R "^${name}[.]dll[.]"
                  WORKING_DIRECTORY ${component} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(rc EQUAL 0 OR NOT out MATCHES "on-dll: FAIL: ${name}.dll is older than [^\n]*scaffolded.cpp")
    message(FATAL_ERROR "the DLL tests played a DLL older than its sources:\n${out}")
  endif()
  message(STATUS "a DLL older than its sources fails its tests: ok")
  run("build again" ${CMAKE_COMMAND} --build --preset ${preset} --parallel 2)
  run("the DLL tests on the new DLL" ${CMAKE_CTEST_COMMAND} --preset ${preset} -R "^${name}[.]dll[.]")
endif()
file(REMOVE_RECURSE ${WORK})
