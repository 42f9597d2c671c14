# The SDK: `cmake --install <build> --prefix DIR` writes what a component in its own repository
# needs, and `find_package(ZephScript)` then `zeph_add_component(...)` is all its CMakeLists says.
#
#   include/                      the platform and base library headers
#   lib/, bin/                    zeph_string, the base library (static), zeph-host and what it
#                                 runs DLLs with (native only), zeph-new-component, zeph-install-deps
#   lib/cmake/ZephScript/         the package config, the kit, the Windows cross toolchain
#   share/ZephScript/             the scaffold's .clang-format, the Debian package lists
#
# A native build and the windows-x86 build install side by side into one folder: each writes its
# own targets file, and the package config picks the one for the platform being built. Nothing
# installed names the build tree: RUNPATHs are relative ($ORIGIN), the package files find their
# prefix themselves, so the folder may move. `cpack` packs it as one tarball.
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
# on-dll keeps its run bit: the DLL tests of a component built against the SDK start it.
install(DIRECTORY ${CMAKE_CURRENT_LIST_DIR}/kit DESTINATION ${ZEPH_SDK_CMAKE_DIR} PATTERN on-dll EXCLUDE)
install(PROGRAMS ${CMAKE_CURRENT_LIST_DIR}/kit/on-dll DESTINATION ${ZEPH_SDK_CMAKE_DIR}/kit)
install(PROGRAMS ${PROJECT_SOURCE_DIR}/tools/new-component DESTINATION bin RENAME zeph-new-component)
install(PROGRAMS ${PROJECT_SOURCE_DIR}/tools/install-deps DESTINATION bin RENAME zeph-install-deps)
install(FILES ${PROJECT_SOURCE_DIR}/.clang-format DESTINATION share/ZephScript RENAME clang-format)
install(FILES ${PROJECT_SOURCE_DIR}/tools/deps/sdk.txt ${PROJECT_SOURCE_DIR}/tools/deps/windows.txt
        DESTINATION share/ZephScript/deps)
install(PROGRAMS ${PROJECT_SOURCE_DIR}/tools/deps/windows.pre.sh
        ${PROJECT_SOURCE_DIR}/tools/deps/windows.post.sh DESTINATION share/ZephScript/deps)

# What the SDK ships, and nothing else: `cmake --build --preset sdk` builds this.
add_custom_target(zeph_sdk)
add_dependencies(zeph_sdk ${ZEPH_SDK_TARGETS})
foreach(shipped zeph-bridge zeph_tap zeph_tap_writer)
  if(TARGET ${shipped})
    add_dependencies(zeph_sdk ${shipped})
  endif()
endforeach()

if(ZEPH_NATIVE_HOST)
  set(ZEPH_SDK_WINDOWS_BUILD "" CACHE PATH
      "A windows-x86 build whose Windows half cpack puts in the same tarball (when it is built)")
  set(CPACK_PACKAGE_NAME ZephScript-SDK)
  set(CPACK_PACKAGE_VENDOR "Script components")
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "SDK for script components: headers, libraries, kit, bench")
  set(CPACK_GENERATOR TGZ)
  set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/package)
  set(CPACK_ZEPH_WINDOWS_BUILD "${ZEPH_SDK_WINDOWS_BUILD}")
  set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_LIST_DIR}/ZephSdkPack.cmake)
  include(CPack)
endif()
