# The scaffold and the SDK together, as someone outside this repository uses them: install this
# build as an SDK into a scratch folder, write a new component there with tools/new-component,
# build it out of tree against the SDK, and run the tests the kit registered for it.
# Run as: cmake -DBUILD=<this build> -DSOURCE=<repository> -DWORK=<scratch folder>
#               -DGENERATOR=<generator> -DCONFIG=<config> [-DTOOLCHAIN=<file name in the SDK>]
#               [-DCXX_FLAGS=<flags>] -DEXPECT=<test names> -P scaffold_test.cmake
cmake_minimum_required(VERSION 3.25)

function(run what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
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

run("install the SDK" ${CMAKE_COMMAND} --install ${BUILD} --prefix ${sdk} --config ${CONFIG})
run("scaffold ${name}" bash ${SOURCE}/tools/new-component ${name} ${component})

set(configure -S ${component} -B ${component}/build -G ${GENERATOR} -DCMAKE_BUILD_TYPE=${CONFIG}
    -DCMAKE_PREFIX_PATH=${sdk} -DCMAKE_COMPILE_WARNING_AS_ERROR=ON)
if(TOOLCHAIN)
  list(APPEND configure -DCMAKE_TOOLCHAIN_FILE=${sdk}/lib/cmake/ZephScript/${TOOLCHAIN})
endif()
if(CXX_FLAGS)
  list(APPEND configure "-DCMAKE_CXX_FLAGS=${CXX_FLAGS}" "-DCMAKE_MODULE_LINKER_FLAGS=${CXX_FLAGS}")
endif()
run("configure against the SDK" ${CMAKE_COMMAND} ${configure})
run("build" ${CMAKE_COMMAND} --build ${component}/build --parallel 2)

# Tests needing the Wine bridge are the Windows stage's business, not this test's.
run("the kit's tests" ${CMAKE_CTEST_COMMAND} --test-dir ${component}/build --output-on-failure
    --no-tests=error -E wine)
foreach(test IN LISTS EXPECT)
  string(FIND "${output}" " ${name}.${test} " at)
  if(at EQUAL -1)
    message(FATAL_ERROR "the kit registered no test ${name}.${test}:\n${output}")
  endif()
endforeach()
message(STATUS "${output}")
file(REMOVE_RECURSE ${WORK})
