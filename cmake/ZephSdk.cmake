# The SDK: `cmake --install <build> --prefix DIR` writes what a component in its own repository
# needs, and `find_package(ZephScript)` then `zeph_add_component(...)` is all its CMakeLists says.
#
#   include/                      the platform and base library headers
#   lib/, bin/                    zeph_string, the base library (static), zeph-host (native only)
#   lib/cmake/ZephScript/         the package config, the kit, the Windows cross toolchain
#
# A native build and the windows-x86 build install side by side into one folder: each writes its
# own targets file, and the package config picks the one for the platform being built.
include(CMakePackageConfigHelpers)

if(ZEPH_NATIVE_HOST)
  set(ZEPH_SDK_FLAVOUR native)
else()
  set(ZEPH_SDK_FLAVOUR windows)
endif()
set(ZEPH_SDK_CMAKE_DIR lib/cmake/ZephScript)

set_target_properties(zeph_string PROPERTIES EXPORT_NAME string)
set_target_properties(zeph_script_helper PROPERTIES EXPORT_NAME script_helper)
set_target_properties(zeph_component_flags PROPERTIES EXPORT_NAME component_flags)
set(ZEPH_SDK_TARGETS zeph_string zeph_script_helper zeph_component_flags)
if(TARGET zeph_msvc_runtime)
  set_target_properties(zeph_msvc_runtime PROPERTIES EXPORT_NAME msvc_runtime)
  list(APPEND ZEPH_SDK_TARGETS zeph_msvc_runtime)
endif()
if(TARGET zeph-host)
  # zeph_string is in lib/ of the SDK.
  set_target_properties(zeph-host PROPERTIES EXPORT_NAME zeph-host INSTALL_RPATH "$ORIGIN/../lib")
  list(APPEND ZEPH_SDK_TARGETS zeph-host)
endif()

install(TARGETS ${ZEPH_SDK_TARGETS} EXPORT ZephScriptTargets
  RUNTIME DESTINATION bin
  LIBRARY DESTINATION lib
  ARCHIVE DESTINATION lib
  INCLUDES DESTINATION include)
install(FILES
  ${PROJECT_SOURCE_DIR}/platform/zeph_string.h
  ${PROJECT_SOURCE_DIR}/platform/zeph_export.h
  ${PROJECT_SOURCE_DIR}/platform/zeph_client_callback.h
  ${PROJECT_SOURCE_DIR}/platform/zeph_records.h
  ${PROJECT_SOURCE_DIR}/platform/zeph_win32.h
  ${PROJECT_SOURCE_DIR}/script_helper/zeph_script_helper.h
  ${PROJECT_SOURCE_DIR}/script_helper/zeph_notify.h
  DESTINATION include)
install(EXPORT ZephScriptTargets NAMESPACE zeph:: DESTINATION ${ZEPH_SDK_CMAKE_DIR}
  FILE ZephScriptTargets-${ZEPH_SDK_FLAVOUR}.cmake)

configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/ZephScriptConfig.cmake.in
  ${PROJECT_BINARY_DIR}/sdk/ZephScriptConfig.cmake INSTALL_DESTINATION ${ZEPH_SDK_CMAKE_DIR})
# One version file serves both flavours: the 64-bit native and the 32-bit Windows halves.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/sdk/ZephScriptConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion ARCH_INDEPENDENT)
install(FILES
  ${PROJECT_BINARY_DIR}/sdk/ZephScriptConfig.cmake
  ${PROJECT_BINARY_DIR}/sdk/ZephScriptConfigVersion.cmake
  ${CMAKE_CURRENT_LIST_DIR}/ZephComponent.cmake
  ${CMAKE_CURRENT_LIST_DIR}/i686-windows-msvc-clang.cmake
  DESTINATION ${ZEPH_SDK_CMAKE_DIR})
install(DIRECTORY ${CMAKE_CURRENT_LIST_DIR}/kit DESTINATION ${ZEPH_SDK_CMAKE_DIR})
install(PROGRAMS ${PROJECT_SOURCE_DIR}/tools/new-component DESTINATION bin RENAME zeph-new-component)

# ---- The SDK under test ----------------------------------------------------------------------------
# Installs this build into a scratch folder, scaffolds a component there and builds and tests it
# out of tree (label "sdk"; it takes a while, since it configures and builds a project of its own).
if(ZEPH_BUILD_TESTS AND (TARGET zeph-host OR NOT ZEPH_NATIVE_HOST))
  set(args -DBUILD=${PROJECT_BINARY_DIR} -DSOURCE=${PROJECT_SOURCE_DIR}
      -DWORK=${PROJECT_BINARY_DIR}/sdk-scaffold-test "-DGENERATOR=${CMAKE_GENERATOR}" -DCONFIG=$<CONFIG>)
  if(ZEPH_NATIVE_HOST)
    list(APPEND args "-DEXPECT=scenario.take;validate;exports")
    if(ZEPH_SANITIZE)
      # The installed libraries and zeph-host are instrumented; so is what links into them.
      list(APPEND args "-DCXX_FLAGS=-fsanitize=address,undefined -fno-sanitize-recover=undefined")
    endif()
  else()
    list(APPEND args -DTOOLCHAIN=i686-windows-msvc-clang.cmake
         "-DEXPECT=binary.exports;binary.imports;binary.resources")
  endif()
  add_test(NAME sdk.scaffold COMMAND ${CMAKE_COMMAND} ${args}
           -P ${PROJECT_SOURCE_DIR}/tests/sdk/scaffold_test.cmake)
  set_tests_properties(sdk.scaffold PROPERTIES LABELS sdk TIMEOUT 300)
endif()
