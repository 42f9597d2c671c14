# The component kit's edit loop as its user lives it, on a scaffold: edit a scenario and rebuild
# (the copy beside the module plays the new line), add a scenario (a test of its own appears),
# rename the component (its tests follow the name). A DLL older than its sources is refused by
# kit.on_dll and, on a real DLL, sdk.scaffold.
#   in tree:     the repository's own CMakeLists (its kit, zeph_string, the base library) with the
#                component under panels/components, scaffolded by tools/new-component; the bench
#                is this build's zeph-host
#   out of tree: this build installed as an SDK, the component scaffolded by its zeph-new-component
#                and built with its own dev preset
# Run as: cmake -DMODE=in-tree|sdk -DBUILD=<build> -DSOURCE=<repository> -DWORK=<scratch>
#               -DZEPH_HOST=<zeph-host> [-DCONFIG=<config>] -P edit_loop_test.cmake
cmake_minimum_required(VERSION 3.25)
set(name Beacon)
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK})

# Runs a command; EXPECT_FAIL inverts the verdict. The output lands in `output`.
function(step what)
  cmake_parse_arguments(PARSE_ARGV 1 ARG "EXPECT_FAIL" "" "")
  set(dir ${here})
  if(ARG_UNPARSED_ARGUMENTS MATCHES "^${CMAKE_CTEST_COMMAND};")
    set(dir ${bin})
  endif()
  execute_process(COMMAND ${ARG_UNPARSED_ARGUMENTS} RESULT_VARIABLE rc OUTPUT_VARIABLE out
                  ERROR_VARIABLE out WORKING_DIRECTORY ${dir})
  set(passed FALSE)
  if(rc EQUAL 0)
    set(passed TRUE)
  endif()
  if(passed STREQUAL ARG_EXPECT_FAIL)
    message(FATAL_ERROR "FAIL: ${what} (exit ${rc}):\n${out}")
  endif()
  message(STATUS "ok: ${what}")
  set(output "${out}" PARENT_SCOPE)
endfunction()
function(check what regex)
  if(NOT output MATCHES "${regex}")
    message(FATAL_ERROR "FAIL: ${what}:\n${output}")
  endif()
  message(STATUS "ok: ${what}")
endfunction()

set(here ${WORK})
if(MODE STREQUAL "in-tree")
  # The repository's folders, its panels/components holding only the new component.
  set(repo ${WORK}/repo)
  file(MAKE_DIRECTORY ${repo}/panels/components)
  foreach(entry CMakeLists.txt .clang-format cmake platform script_helper host bench tools)
    file(CREATE_LINK ${SOURCE}/${entry} ${repo}/${entry} SYMBOLIC)
  endforeach()
  # Tests on, the bench this build's: enable_testing and zeph-host imported after project().
  file(WRITE ${WORK}/bench.cmake "enable_testing()
add_executable(zeph::zeph-host IMPORTED GLOBAL)
set_target_properties(zeph::zeph-host PROPERTIES IMPORTED_LOCATION ${ZEPH_HOST})\n")
  set(here ${repo})
  step("tools/new-component ${name} writes panels/components/${name}" tools/new-component ${name})
  set(component ${repo}/panels/components/${name})
  set(bin ${repo}/build)
  step("configure the repository" ${CMAKE_COMMAND} -S ${repo} -B ${bin} -G Ninja
       -DCMAKE_BUILD_TYPE=Debug -DZEPH_BUILD_TESTS=OFF -DZEPH_BUILD_TOOLS=OFF
       -DCMAKE_PROJECT_zeph_components_INCLUDE=${WORK}/bench.cmake)
  set(build_args --build ${bin} --target)
else()
  set(sdk ${WORK}/sdk)
  step("install this build as an SDK" ${CMAKE_COMMAND} --install ${BUILD} --prefix ${sdk} --config ${CONFIG})
  step("zeph-new-component ${name} writes a project" ${sdk}/bin/zeph-new-component ${name} ${WORK}/${name})
  set(component ${WORK}/${name})
  set(here ${component})
  set(bin ${component}/build/dev)
  step("configure (preset dev)" ${CMAKE_COMMAND} --preset dev)
  set(build_args --build --preset dev --target)
endif()
set(take ${component}/workout/take.zs)
file(READ ${take} original)

step("build ${name}" ${CMAKE_COMMAND} ${build_args} ${name})
step("its tests pass" ${CMAKE_CTEST_COMMAND} --output-on-failure -R "^${name}[.]")
check("the kit registered ${name}.run" " ${name}[.]run ")

# An edit as an editor makes it, in place: the folder's time does not change, the file's does.
execute_process(COMMAND ${CMAKE_COMMAND} -E sleep 1)
file(APPEND ${take} "expect HN 'edited=1'\n")
step("rebuild after take.zs grew a line" ${CMAKE_COMMAND} ${build_args} ${name})
step("${name}.run plays the edited take, whose new line fails" EXPECT_FAIL
     ${CMAKE_CTEST_COMMAND} --output-on-failure -R "^${name}[.]run$")
check("the failure names the new line" "edited=1")
execute_process(COMMAND ${CMAKE_COMMAND} -E sleep 1)
file(WRITE ${take} "${original}")
step("rebuild after the line went" ${CMAKE_COMMAND} ${build_args} ${name})
step("${name}.run passes again" ${CMAKE_CTEST_COMMAND} --output-on-failure -R "^${name}[.]run$")

file(WRITE ${component}/workout/second.zs "${original}")
step("rebuild after a scenario was added" ${CMAKE_COMMAND} ${build_args} ${name})
step("list the tests" ${CMAKE_CTEST_COMMAND} -N)
check("the new scenario is a test of its own" " ${name}[.]scenario[.]second\n")
step("it passes" ${CMAKE_CTEST_COMMAND} --output-on-failure -R "^${name}[.]scenario[.]second$")
if(NOT EXISTS ${bin}/${name}.workout/second.zs AND NOT EXISTS ${bin}/bin/${name}.workout/second.zs)
  message(FATAL_ERROR "FAIL: second.zs was not copied beside the module")
endif()

set(new Lantern)
file(READ ${component}/CMakeLists.txt lists)
string(REPLACE "zeph_add_component(${name}" "zeph_add_component(${new}" lists "${lists}")
file(WRITE ${component}/CMakeLists.txt "${lists}")
step("rebuild after the rename to ${new}" ${CMAKE_COMMAND} ${build_args} ${new})
step("list the tests" ${CMAKE_CTEST_COMMAND} -N)
check("the tests carry the new name" " ${new}[.]run\n")
if(output MATCHES " ${name}[.]")
  message(FATAL_ERROR "FAIL: tests of the old name are left:\n${output}")
endif()
message(STATUS "ok: no test of the old name is left")
step("${new}'s tests pass, its take found beside ${new}'s module"
     ${CMAKE_CTEST_COMMAND} --output-on-failure -R "^${new}[.]")
file(REMOVE_RECURSE ${WORK})
