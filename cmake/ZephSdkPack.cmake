# Read by cpack when it packs the SDK: the Windows half joins the native one in the tarball when
# its build is there.
if(CPACK_ZEPH_WINDOWS_BUILD AND EXISTS "${CPACK_ZEPH_WINDOWS_BUILD}/cmake_install.cmake")
  list(APPEND CPACK_INSTALL_CMAKE_PROJECTS "${CPACK_ZEPH_WINDOWS_BUILD};zeph_components;ALL;/")
  message(STATUS "ZephScript SDK: with the Windows half of ${CPACK_ZEPH_WINDOWS_BUILD}")
endif()
