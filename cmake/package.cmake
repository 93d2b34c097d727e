# What a Windows user receives, and what hosts that build with CMake find.
#
# The release files: ndisfilter.dll and ndisfilterctl.exe stripped, in
# <build>/release, with their debug information in <build>/release/debug as
# <name>.debug, named in each binary's .gnu_debuglink section. The packages
# (CPack, ZIP) and any installer are made from these files:
#   cmake --build --preset windows-x64 --target package
# gives <build>/package/ndisfilter-<version>-win64.zip (binaries, the driver
# package's files (cmake/driver-package.cmake), public header, CMake package,
# README.txt) and ndisfilter-<version>-win64-debug.zip
# (the .debug files, to unpack into the same folder). win32 for windows-x86.
set(NDISFILTER_RELEASE_DIR ${PROJECT_BINARY_DIR}/release)
include(${CMAKE_CURRENT_LIST_DIR}/driver-package.cmake)

# Release code with debug information; the information is split off below.
target_compile_options(ndisfilter PRIVATE -g)
target_compile_options(ndisfilterctl_core PRIVATE -g)
target_compile_options(ndisfilterctl PRIVATE -g)

set(NDISFILTER_RELEASE_FILES)
set(NDISFILTER_DEBUG_FILES)
foreach(target ndisfilter ndisfilterctl)
  get_target_property(kind ${target} TYPE)
  if(kind STREQUAL "EXECUTABLE")
    set(name ${target}.exe)
  else()
    set(name ${target}.dll)
  endif()
  set(stripped ${NDISFILTER_RELEASE_DIR}/${name})
  set(debug ${NDISFILTER_RELEASE_DIR}/debug/${name}.debug)
  # The link holds the debug file's name and checksum; a debugger looks for
  # it beside the binary (and in a debug/ folder there).
  add_custom_command(OUTPUT ${stripped} ${debug}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${NDISFILTER_RELEASE_DIR}/debug
    COMMAND ${CMAKE_OBJCOPY} --only-keep-debug $<TARGET_FILE:${target}> ${debug}
    COMMAND ${CMAKE_OBJCOPY} --strip-all $<TARGET_FILE:${target}> ${stripped}
    COMMAND ${CMAKE_OBJCOPY} --add-gnu-debuglink=${debug} ${stripped}
    DEPENDS ${target}
    COMMENT "Splitting the debug information off ${name}"
    VERBATIM)
  list(APPEND NDISFILTER_RELEASE_FILES ${stripped})
  list(APPEND NDISFILTER_DEBUG_FILES ${debug})
endforeach()
add_custom_target(ndisfilter_release ALL DEPENDS ${NDISFILTER_RELEASE_FILES} ${NDISFILTER_DEBUG_FILES})

# The public header as a header-only target: find_package(ndisfilter) gives
# ndisfilter::headers.
add_library(ndisfilter_headers INTERFACE)
add_library(ndisfilter::headers ALIAS ndisfilter_headers)
set_target_properties(ndisfilter_headers PROPERTIES EXPORT_NAME headers)
target_include_directories(ndisfilter_headers INTERFACE
  $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/ndisfilter/module> $<INSTALL_INTERFACE:include>)

# One folder: the program finds the library and the INF beside itself, the
# platform the INF's files and catalog beside the INF.
install(FILES ${NDISFILTER_RELEASE_FILES} ${NDISFILTER_DRIVER_FILES}
  DESTINATION . COMPONENT runtime)
install(FILES ${PROJECT_SOURCE_DIR}/docs/README-Windows.txt DESTINATION . RENAME README.txt
  COMPONENT runtime)
install(FILES ${NDISFILTER_DEBUG_FILES} DESTINATION . COMPONENT debug)
install(FILES ${PROJECT_SOURCE_DIR}/ndisfilter/module/ndisfilter.h DESTINATION include
  COMPONENT runtime)
install(TARGETS ndisfilter_headers EXPORT ndisfilterTargets COMPONENT runtime)
install(EXPORT ndisfilterTargets NAMESPACE ndisfilter:: DESTINATION lib/cmake/ndisfilter
  COMPONENT runtime)
include(CMakePackageConfigHelpers)
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/ndisfilterConfig.cmake.in
  ${PROJECT_BINARY_DIR}/ndisfilterConfig.cmake INSTALL_DESTINATION lib/cmake/ndisfilter)
# The header is the same for both architectures.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/ndisfilterConfigVersion.cmake
  COMPATIBILITY SameMajorVersion ARCH_INDEPENDENT)
install(FILES ${PROJECT_BINARY_DIR}/ndisfilterConfig.cmake
  ${PROJECT_BINARY_DIR}/ndisfilterConfigVersion.cmake
  DESTINATION lib/cmake/ndisfilter COMPONENT runtime)

if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(NDISFILTER_PACKAGE_SYSTEM win64)
else()
  set(NDISFILTER_PACKAGE_SYSTEM win32)
endif()
set(NDISFILTER_PACKAGE_NAME ${PROJECT_NAME}-${PROJECT_VERSION}-${NDISFILTER_PACKAGE_SYSTEM})
set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME ${PROJECT_NAME})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_SYSTEM_NAME ${NDISFILTER_PACKAGE_SYSTEM})
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/package)
set(CPACK_ARCHIVE_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime debug)
set(CPACK_COMPONENTS_GROUPING IGNORE)
set(CPACK_ARCHIVE_RUNTIME_FILE_NAME ${NDISFILTER_PACKAGE_NAME})
set(CPACK_ARCHIVE_DEBUG_FILE_NAME ${NDISFILTER_PACKAGE_NAME}-debug)
# No folder inside the archives: both unpack into the same chosen folder, the
# .debug files beside their binaries.
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
set(CPACK_PACKAGE_FILE_NAME ${NDISFILTER_PACKAGE_NAME})
include(CPack)
