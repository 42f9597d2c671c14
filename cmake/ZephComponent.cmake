# The component kit: zeph_add_component() turns a class deriving from zeph_script_helper into a
# module a panel host loads, with everything the host and the facility expect of one.
#
#   zeph_add_component(NAME SOURCES file.cpp...
#                      [VERSION 1.0.0.1] [DESCRIPTION "text"] [COMPANY "text"] [PRODUCT "text"]
#                      [WORKOUT dir])
#
# - natively NAME.so, exporting load_zeph_client_script alone (export map generated here);
# - on Windows NAME.dll with the kit's load entry, a version resource (block "080904b0", the
#   version from VERSION, InternalName and OriginalFilename NAME) and the "asInvoker" manifest;
# - the workout folder (default: workout/ beside the CMakeLists, when present) copied beside the
#   module as NAME.workout, refreshed whenever one of its scenarios changes;
# - CTest, each test with a time limit: NAME.scenario.<stem> for each workout scenario, NAME.run
#   (the take, found beside the module), NAME.validate with a fixed seed and NAME.exports natively;
#   NAME.dll.* the same on the DLL under Wine when ZEPH_WINDOWS_BIN names a Windows build (or
#   ZEPH_DLL builds one); NAME.binary.exports|imports|resources on the DLL itself.
#
# The component names its class in one source line: ZEPH_COMPONENT(MyPanel); (zeph_script_helper.h).
# Linked targets: zeph::script_helper, zeph::string, zeph::component_flags and, in the cross build,
# zeph::msvc_runtime; tests use zeph::zeph-host when it exists. In this repository they are the
# build's own targets; elsewhere find_package(ZephScript) imports them from the SDK.
include_guard(GLOBAL)

set(ZEPH_VALIDATE_SEED 20261208 CACHE STRING
    "Seed of the random check in each component's validate test (fixed, so CTest runs repeat)")
set(ZEPH_VALIDATE_ITERATIONS 5000 CACHE STRING
    "Notifications of the random check in each component's validate test")
option(ZEPH_DLL
  "Native build outside the components' repository: also build each component's Windows DLL with the SDK's cross toolchain (in <build>/windows) and play its workout and validate on it under Wine"
  OFF)
if(PROJECT_IS_TOP_LEVEL AND EXISTS ${PROJECT_SOURCE_DIR}/platform/zeph_string.h)
  set(_zeph_windows_bin ${PROJECT_SOURCE_DIR}/build/windows-x86/bin)
else()
  set(_zeph_windows_bin "")
endif()
set(ZEPH_WINDOWS_BIN "${_zeph_windows_bin}" CACHE PATH
    "Native build: bin folder of a windows-x86 build (with ZEPH_DLL, the build's own); each component's workout and validate are then also played against its DLL under Wine (label dll, skipped where the DLL or Wine is missing, failed where the DLL is older than its sources)")

# The Windows binary checks read the DLLs with llvm-readobj (the cross toolchain finds it already).
if(WIN32 AND NOT ZEPH_READOBJ)
  find_program(ZEPH_READOBJ NAMES llvm-readobj-14 llvm-readobj)
endif()

function(zeph_add_component name)
  cmake_parse_arguments(PARSE_ARGV 1 ARG "" "VERSION;DESCRIPTION;COMPANY;PRODUCT;WORKOUT" "SOURCES")
  if(ARG_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "zeph_add_component(${name}): unknown arguments ${ARG_UNPARSED_ARGUMENTS}")
  endif()
  if(NOT ARG_SOURCES)
    message(FATAL_ERROR "zeph_add_component(${name}): SOURCES is required")
  endif()
  _zeph_component_version(${name} "${ARG_VERSION}" version)

  add_library(${name} MODULE ${ARG_SOURCES})
  _zeph_component_module(${name} "${version}")
  if(WIN32)
    _zeph_windows_module(${name} "${version}" "${ARG_DESCRIPTION}" "${ARG_COMPANY}" "${ARG_PRODUCT}")
  endif()
  _zeph_copy_workout(${name} "${ARG_WORKOUT}" scenarios)
  if(ZEPH_DLL AND NOT WIN32)
    _zeph_windows_build()
  endif()
  _zeph_component_tests(${name} "${version}" "${scenarios}")
endfunction()

# Four numbers, as the version resource holds them; missing ones are 0. The project's version
# stands in for a missing VERSION.
function(_zeph_component_version name version out)
  if(version STREQUAL "")
    set(version "${PROJECT_VERSION}")
  endif()
  if(version STREQUAL "")
    set(version 1.0.0.0)
  endif()
  if(NOT version MATCHES "^[0-9]+(\\.[0-9]+)?(\\.[0-9]+)?(\\.[0-9]+)?$")
    message(FATAL_ERROR "zeph_add_component(${name}): VERSION '${version}' is not 1 to 4 numbers")
  endif()
  string(REPLACE "." ";" parts "${version}")
  list(LENGTH parts count)
  while(count LESS 4)
    list(APPEND parts 0)
    math(EXPR count "${count} + 1")
  endwhile()
  foreach(part IN LISTS parts)
    if(part GREATER 65535)
      message(FATAL_ERROR "zeph_add_component(${name}): VERSION parts must be below 65536")
    endif()
  endforeach()
  list(JOIN parts "." version)
  set(${out} "${version}" PARENT_SCOPE)
endfunction()

# What the module is on every platform: the base library linked in, warnings on, nothing visible
# but the factory, zeph_string found beside it.
function(_zeph_component_module name version)
  target_link_libraries(${name} PRIVATE zeph::script_helper zeph::string zeph::component_flags)
  target_compile_options(${name} PRIVATE $<IF:$<CXX_COMPILER_ID:MSVC>,/W4,-Wall;-Wextra>)
  # Only $ORIGIN: the linker would otherwise add the folder zeph_string was linked from (the
  # SDK's, or this build tree's), and the module would load whatever lies there later.
  set_target_properties(${name} PROPERTIES
    PREFIX ""
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON
    BUILD_WITH_INSTALL_RPATH ON
    INSTALL_RPATH "$ORIGIN"
    ZEPH_COMPONENT_VERSION "${version}")
  if(UNIX AND NOT APPLE)
    set(map ${CMAKE_CURRENT_BINARY_DIR}/${name}.kit/${name}.map)
    set(ZEPH_NAME ${name})
    configure_file(${CMAKE_CURRENT_FUNCTION_LIST_DIR}/kit/exports.map.in ${map} @ONLY)
    target_link_options(${name} PRIVATE "LINKER:--version-script=${map}")
    set_property(TARGET ${name} APPEND PROPERTY LINK_DEPENDS ${map})
    set_property(TARGET ${name} PROPERTY ZEPH_EXPORT_MAP ${map})
  endif()
  # Outside this repository zeph_string comes from the SDK: a copy beside the module lets the
  # bench (and, on Windows, the loader) find it.
  get_target_property(imported zeph::string IMPORTED)
  if(imported)
    add_custom_command(TARGET ${name} POST_BUILD
      COMMAND ${CMAKE_COMMAND} -E copy_if_different $<TARGET_FILE:zeph::string> $<TARGET_FILE_DIR:${name}>
      VERBATIM)
  endif()
endfunction()

# The DLL's load entry, version resource and manifest, and the runtime it links.
function(_zeph_windows_module name version description company product)
  set(gen ${CMAKE_CURRENT_BINARY_DIR}/${name}.kit)
  string(REPLACE "." ";" parts "${version}")
  list(JOIN parts ", " ZEPH_VERSION_TEXT)
  list(JOIN parts "," ZEPH_VERSION_COMMAS)
  set(ZEPH_NAME ${name})
  set(ZEPH_DESCRIPTION "${description}")
  set(ZEPH_COMPANY "${company}")
  set(ZEPH_PRODUCT "${product}")
  if(ZEPH_DESCRIPTION STREQUAL "")
    set(ZEPH_DESCRIPTION "${name} script component")
  endif()
  if(ZEPH_COMPANY STREQUAL "")
    set(ZEPH_COMPANY "${name} developers")
  endif()
  if(ZEPH_PRODUCT STREQUAL "")
    set(ZEPH_PRODUCT "${name} panel components")
  endif()
  foreach(field DESCRIPTION COMPANY PRODUCT)
    # The resource script has no escape for these.
    if(ZEPH_${field} MATCHES "[\"\\\\\n]")
      message(FATAL_ERROR "zeph_add_component(${name}): ${field} may not hold quotes, backslashes or line ends")
    endif()
  endforeach()
  configure_file(${CMAKE_CURRENT_FUNCTION_LIST_DIR}/kit/version.rc.in ${gen}/${name}.rc @ONLY)
  configure_file(${CMAKE_CURRENT_FUNCTION_LIST_DIR}/kit/component.manifest.in ${gen}/${name}.manifest COPYONLY)
  target_sources(${name} PRIVATE ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/kit/zeph_load_entry.cpp ${gen}/${name}.rc)
  set_property(SOURCE ${gen}/${name}.rc APPEND PROPERTY OBJECT_DEPENDS ${gen}/${name}.manifest)
  # The manifest is in the resources: the linker must not add a second one.
  target_link_options(${name} PRIVATE "LINKER:/manifest:no")
  if(MSVC)
    # The static C runtime: the module imports no runtime DLL, and DllMain is reached through
    # the runtime's own entry.
    set_property(TARGET ${name} PROPERTY MSVC_RUNTIME_LIBRARY "MultiThreaded$<$<CONFIG:Debug>:Debug>")
  else()
    # Cross build: no C runtime start-up, so the load entry is the DLL's entry itself.
    target_link_libraries(${name} PRIVATE zeph::msvc_runtime)
    target_link_options(${name} PRIVATE "LINKER:/entry:DllMain")
  endif()
endfunction()

# The workout travels with the module: the bench finds it as NAME.workout beside it. Gives the
# scenario files, sorted.
function(_zeph_copy_workout name workout out)
  if(workout STREQUAL "" AND IS_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}/workout)
    set(workout workout)
  endif()
  set(${out} "" PARENT_SCOPE)
  if(workout STREQUAL "")
    return()
  endif()
  get_filename_component(workout "${workout}" ABSOLUTE BASE_DIR ${CMAKE_CURRENT_SOURCE_DIR})
  if(NOT IS_DIRECTORY "${workout}")
    message(FATAL_ERROR "zeph_add_component(${name}): WORKOUT ${workout} is not a folder")
  endif()
  file(GLOB scenarios CONFIGURE_DEPENDS "${workout}/*.zs")
  list(SORT scenarios)
  set(stamp ${CMAKE_CURRENT_BINARY_DIR}/${name}.kit/workout-$<CONFIG>.stamp)
  add_custom_command(OUTPUT ${stamp}
    COMMAND ${CMAKE_COMMAND} -E rm -rf $<TARGET_FILE_DIR:${name}>/${name}.workout
    COMMAND ${CMAKE_COMMAND} -E copy_directory ${workout} $<TARGET_FILE_DIR:${name}>/${name}.workout
    COMMAND ${CMAKE_COMMAND} -E touch ${stamp}
    # The folder too: its time changes when a scenario is added or removed.
    DEPENDS ${workout} ${scenarios}
    COMMENT "Copying the workout of ${name}"
    VERBATIM)
  target_sources(${name} PRIVATE ${stamp})
  set(${out} "${scenarios}" PARENT_SCOPE)
endfunction()

# ZEPH_DLL: the whole project once more for Windows, with the SDK's cross toolchain, in
# <build>/windows; built on every build of this one, so its DLLs follow their sources.
function(_zeph_windows_build)
  get_property(done GLOBAL PROPERTY _ZEPH_WINDOWS_BUILD)
  if(done)
    return()
  endif()
  set_property(GLOBAL PROPERTY _ZEPH_WINDOWS_BUILD ON)
  set(toolchain ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/i686-windows-msvc-clang.cmake)
  get_target_property(imported zeph::string IMPORTED)
  if(NOT imported)
    message(FATAL_ERROR "ZEPH_DLL is for a project built against the SDK; here build the windows-x86 preset, whose DLLs the dev build's NAME.dll.* tests play")
  endif()
  if(NOT EXISTS ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/ZephScriptTargets-windows.cmake)
    message(FATAL_ERROR "ZEPH_DLL: this SDK (${CMAKE_CURRENT_FUNCTION_LIST_DIR}) holds no Windows half; install a windows-x86 build of the script components into it as well")
  endif()
  include(ExternalProject)
  ExternalProject_Add(zeph_windows_build
    SOURCE_DIR ${CMAKE_SOURCE_DIR}
    BINARY_DIR ${CMAKE_BINARY_DIR}/windows
    CMAKE_ARGS -DCMAKE_TOOLCHAIN_FILE=${toolchain} -DZephScript_DIR=${CMAKE_CURRENT_FUNCTION_LIST_DIR}
               -DCMAKE_BUILD_TYPE=Release -DZEPH_DLL=OFF
               -DCMAKE_RUNTIME_OUTPUT_DIRECTORY=${CMAKE_BINARY_DIR}/windows/bin
               -DCMAKE_LIBRARY_OUTPUT_DIRECTORY=${CMAKE_BINARY_DIR}/windows/bin
               -DCMAKE_COMPILE_WARNING_AS_ERROR=${CMAKE_COMPILE_WARNING_AS_ERROR}
    INSTALL_COMMAND ""
    BUILD_ALWAYS ON
    USES_TERMINAL_CONFIGURE ON
    USES_TERMINAL_BUILD ON)
  # The DLL's own checks (exports, imports, resources) run with this build's tests.
  add_test(NAME windows.binary
           COMMAND ${CMAKE_CTEST_COMMAND} --test-dir ${CMAKE_BINARY_DIR}/windows --output-on-failure
                   --no-tests=error)
  set_tests_properties(windows.binary PROPERTIES LABELS "dll;binary" TIMEOUT 120)
endfunction()

# The files a DLL must be newer than to be worth testing: the component's sources, the headers
# beside them and, in this repository, the base and string libraries' sources.
function(_zeph_dll_sources name out)
  get_target_property(sources ${name} SOURCES)
  file(GLOB headers ${CMAKE_CURRENT_SOURCE_DIR}/*.h ${CMAKE_CURRENT_SOURCE_DIR}/*.hpp)
  set(files ${headers})
  foreach(source IN LISTS sources)
    if(source MATCHES "\\.(c|cc|cpp|cxx|h|hpp)$")
      get_filename_component(source "${source}" ABSOLUTE BASE_DIR ${CMAKE_CURRENT_SOURCE_DIR})
      list(APPEND files ${source})
    endif()
  endforeach()
  foreach(library zeph_script_helper zeph_string)
    if(TARGET ${library})
      get_target_property(dir ${library} SOURCE_DIR)
      file(GLOB own ${dir}/*.h ${dir}/*.cpp)
      list(APPEND files ${own})
    endif()
  endforeach()
  list(REMOVE_DUPLICATES files)
  list(JOIN files "\n" text)
  set(list ${CMAKE_CURRENT_BINARY_DIR}/${name}.kit/${name}.sources)
  file(WRITE ${list}.new "${text}\n")
  file(COPY_FILE ${list}.new ${list} ONLY_IF_DIFFERENT)
  set(${out} ${list} PARENT_SCOPE)
endfunction()

# The bench's tests of one module file: each workout scenario, the take found beside it, validate.
function(_zeph_bench_tests prefix module scenarios labels timeout)
  set(tests "")
  foreach(file IN LISTS scenarios)
    get_filename_component(stem ${file} NAME_WE)
    add_test(NAME ${prefix}.scenario.${stem} COMMAND ${ARGN} run --quiet --strict ${module} ${file})
    list(APPEND tests ${prefix}.scenario.${stem})
    if(stem STREQUAL "take")
      # With no scenario named, the bench plays the take of the workout beside the module.
      add_test(NAME ${prefix}.run COMMAND ${ARGN} run --quiet --strict ${module})
      list(APPEND tests ${prefix}.run)
    endif()
  endforeach()
  add_test(NAME ${prefix}.validate
           COMMAND ${ARGN} validate ${module} --seed ${ZEPH_VALIDATE_SEED}
                   --iterations ${ZEPH_VALIDATE_ITERATIONS})
  if(tests)
    set_tests_properties(${tests} PROPERTIES LABELS "scenario${labels}" TIMEOUT ${timeout})
  endif()
  set_tests_properties(${prefix}.validate PROPERTIES LABELS "validate${labels}" TIMEOUT 600)
  if(labels STREQUAL ";dll")
    set_tests_properties(${tests} ${prefix}.validate PROPERTIES SKIP_RETURN_CODE 77)
  endif()
endfunction()

# CTest entries of one component: what a facility would check before installing it.
function(_zeph_component_tests name version scenarios)
  if(NOT WIN32 AND TARGET zeph::zeph-host)
    set(host $<TARGET_FILE:zeph::zeph-host>)
    _zeph_bench_tests(${name} $<TARGET_FILE:${name}> "${scenarios}" "" 60 ${host})
    # The same on the DLL of a Windows build, through the bench's Wine bridge.
    set(bin "${ZEPH_WINDOWS_BIN}")
    if(ZEPH_DLL)
      set(bin ${CMAKE_BINARY_DIR}/windows/bin)
    endif()
    # Any other test of the DLL refuses a stale one with the same list (ZEPH_DLL_SOURCES).
    _zeph_dll_sources(${name} sources)
    set_target_properties(${name} PROPERTIES ZEPH_DLL_SOURCES ${sources})
    if(bin)
      set(dll ${bin}/${name}.dll)
      _zeph_bench_tests(${name}.dll ${dll} "${scenarios}" ";dll" 120
                        ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/kit/on-dll --sources ${sources} ${dll} ${host})
    endif()
  elseif(NOT WIN32)
    message(STATUS "${name}: zeph-host is not built, the scenario and validate tests are not registered")
  endif()

  if(WIN32 AND ZEPH_READOBJ)
    foreach(check exports imports resources)
      add_test(NAME ${name}.binary.${check}
               COMMAND ${CMAKE_COMMAND} -DREADOBJ=${ZEPH_READOBJ} -DDLL=$<TARGET_FILE:${name}>
                       -DNAME=${name} -DVERSION=${version} -DCHECK=${check}
                       -P ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/kit/check_binaries.cmake)
      set_tests_properties(${name}.binary.${check} PROPERTIES LABELS "windows;binary" TIMEOUT 60)
    endforeach()
  elseif(WIN32)
    message(STATUS "${name}: llvm-readobj not found, the DLL's binary checks are not registered")
  elseif(CMAKE_NM AND NOT APPLE)
    get_target_property(map ${name} ZEPH_EXPORT_MAP)
    add_test(NAME ${name}.exports
             COMMAND ${CMAKE_COMMAND} -DNM=${CMAKE_NM} -DMODULE=$<TARGET_FILE:${name}> -DMAP=${map}
                     -P ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/kit/check_exports.cmake)
    set_tests_properties(${name}.exports PROPERTIES LABELS "unit;binary" TIMEOUT 60)
  endif()
endfunction()
