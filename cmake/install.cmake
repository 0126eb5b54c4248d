# SPDX-License-Identifier: Apache-2.0
# Installation and packaging: the two libraries with versioned sonames, the
# public header, the daemon and the operator tool, the samples as
# examples, a pkg-config file and a CMake package (find_package(cpic)
# gives cpic::cpic), and a .deb through CPack.
include(CMakePackageConfigHelpers)

install(TARGETS cpic zorvel EXPORT cpicTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(TARGETS zorveld RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})
install(TARGETS zorvel_tool RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES
  ${PROJECT_SOURCE_DIR}/samples/cpicping.c ${PROJECT_SOURCE_DIR}/samples/cpicpingd.c
  ${PROJECT_SOURCE_DIR}/samples/hello_client.c ${PROJECT_SOURCE_DIR}/samples/hello_server.c
  ${PROJECT_SOURCE_DIR}/samples/sample_names.h ${PROJECT_SOURCE_DIR}/samples/node.toml.in
  DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)
install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR})

# pkg-config: cc prog.c $(pkg-config --cflags --libs cpic)
# Relative to the file itself, so a tree installed under any prefix (or
# unpacked from the .deb anywhere) describes itself.
file(RELATIVE_PATH CPIC_PC_TO_PREFIX ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
configure_file(${PROJECT_SOURCE_DIR}/cmake/cpic.pc.in ${PROJECT_BINARY_DIR}/cpic.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/cpic.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

set(cpic_cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/cpic)
install(EXPORT cpicTargets NAMESPACE cpic:: DESTINATION ${cpic_cmake_dir})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/cpicConfig.cmake.in
  ${PROJECT_BINARY_DIR}/cpicConfig.cmake INSTALL_DESTINATION ${cpic_cmake_dir})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/cpicConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/cpicConfig.cmake ${PROJECT_BINARY_DIR}/cpicConfigVersion.cmake
  DESTINATION ${cpic_cmake_dir})
# The project used through add_subdirectory links the same name.
add_library(cpic::cpic ALIAS cpic)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME libcpic)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "CPI-C for Linux: the libcpic library, the LU 6.2 node daemon and its tools")
set(CPACK_PACKAGE_CONTACT "libcpic maintainers <libcpic@localhost>")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
# The i386 build packs for i386 whatever the build machine is.
if(CPIC_ABI STREQUAL "i386")
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE i386)
endif()
# A shlibs file and the ldconfig trigger: the sonames are known to dpkg and
# the loader's cache once the package is installed.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
find_program(CPIC_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(CPIC_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
include(CPack)
