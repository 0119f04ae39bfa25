# cmake --install: both libraries (file, soname and development links), both header sets, a CMake
# package (find_package(zeltodeviceapi 4.2.1), targets zeltodeviceapi::zeltodeviceapi and
# zeltodeviceapi::zttypes) and a pkg-config file. The package files locate the prefix from their
# own place, so an installed tree can be moved.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

install(TARGETS zeltodeviceapi zttypes
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(DIRECTORY ${CMAKE_SOURCE_DIR}/include/zeltodeviceapi ${CMAKE_SOURCE_DIR}/zttypes/include/zttypes
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} FILES_MATCHING PATTERN "*.h")

set(ZDA_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/zeltodeviceapi)
set(ZDA_PKGCONFIG_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
file(RELATIVE_PATH ZDA_PACKAGE_TO_PREFIX /prefix/${ZDA_PACKAGE_DIR} /prefix)
file(RELATIVE_PATH ZDA_PKGCONFIG_TO_PREFIX /prefix/${ZDA_PKGCONFIG_DIR} /prefix)
configure_file(${CMAKE_SOURCE_DIR}/cmake/zeltodeviceapiConfig.cmake.in
               ${CMAKE_BINARY_DIR}/package/zeltodeviceapiConfig.cmake @ONLY)
write_basic_package_version_file(${CMAKE_BINARY_DIR}/package/zeltodeviceapiConfigVersion.cmake
                                 VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/package/zeltodeviceapiConfig.cmake
              ${CMAKE_BINARY_DIR}/package/zeltodeviceapiConfigVersion.cmake
        DESTINATION ${ZDA_PACKAGE_DIR})

configure_file(${CMAKE_SOURCE_DIR}/cmake/zeltodeviceapi.pc.in ${CMAKE_BINARY_DIR}/package/zeltodeviceapi.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/package/zeltodeviceapi.pc DESTINATION ${ZDA_PKGCONFIG_DIR})
