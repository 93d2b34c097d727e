# The driver package the ZIP and the MSI carry: NDISFILTER_DRIVER_PACKAGE, a
# folder holding DorvaneV.inf, its catalog and every file the INF names
# (packaging/driver-package.sh lists and checks them). Left empty, the build
# makes a stand-in in <build>/driver-package: the sample INF naming
# DorvaneV.cat, with a DorvaneV.sys and a DorvaneV.cat that are not a driver
# and not a signature. It lets the packages be built and tested (under Wine);
# on Windows it installs nowhere, as the sample INF alone does not.
set(NDISFILTER_DRIVER_PACKAGE "" CACHE PATH
  "Driver package folder: DorvaneV.inf, its .cat and every file it names (empty: a stand-in)")

if(NDISFILTER_DRIVER_PACKAGE)
  get_filename_component(NDISFILTER_DRIVER_DIR ${NDISFILTER_DRIVER_PACKAGE} ABSOLUTE)
else()
  set(NDISFILTER_DRIVER_DIR ${PROJECT_BINARY_DIR}/driver-package)
  # Read without its carriage returns; written back with CRLF line ends.
  file(READ ${PROJECT_SOURCE_DIR}/inf/DorvaneV.inf sample)
  string(REPLACE "\r" "" sample "${sample}")
  string(REPLACE "; A sample: it names no catalog and comes without DorvaneV.sys, so as it is\n; it installs on no Windows machine; the packages take a driver package folder."
    "; A stand-in made by the build: DorvaneV.sys and DorvaneV.cat are not a driver." sample "${sample}")
  string(REPLACE "PnpLockdown = 1\n" "PnpLockdown = 1\nCatalogFile = DorvaneV.cat\n"
    sample "${sample}")
  file(CONFIGURE OUTPUT ${NDISFILTER_DRIVER_DIR}/DorvaneV.inf CONTENT "${sample}" NEWLINE_STYLE CRLF)
  foreach(name DorvaneV.sys DorvaneV.cat)
    file(CONFIGURE OUTPUT ${NDISFILTER_DRIVER_DIR}/${name}
      CONTENT "${name}: a stand-in made by the ndisfilter build, not a driver file.\n")
  endforeach()
endif()
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
  ${PROJECT_SOURCE_DIR}/inf/DorvaneV.inf ${NDISFILTER_DRIVER_DIR}/DorvaneV.inf)

execute_process(COMMAND bash ${PROJECT_SOURCE_DIR}/packaging/driver-package.sh ${NDISFILTER_DRIVER_DIR}
  OUTPUT_VARIABLE names ERROR_VARIABLE why RESULT_VARIABLE status OUTPUT_STRIP_TRAILING_WHITESPACE)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "NDISFILTER_DRIVER_PACKAGE: ${why}")
endif()
string(REPLACE "\n" ";" names "${names}")
set(NDISFILTER_DRIVER_FILES)
foreach(name ${names})
  list(APPEND NDISFILTER_DRIVER_FILES ${NDISFILTER_DRIVER_DIR}/${name})
endforeach()
