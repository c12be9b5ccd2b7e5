# The installed package: what a driver developer needs to build a filter module against the
# library and to run it through the pipeline host.
#
#   bin/filterutil                               the command-line tool (RUNPATH to lib/)
#   lib/libfilterutilities.so, libplatform.so,   side by side, each with RUNPATH $ORIGIN: the
#       libkldutil.so, libkldcore.so             library delay-loads the core library from
#                                                beside its own file
#   include/filterutilities/platform/            the platform's headers, under their Windows
#                                                names (never loose in include/)
#   include/filterutilities/layers/<folder>/     the headers of filterutilities/, kldutil/ and
#                                                kldcore/
#   lib/cmake/FilterUtilities/                   find_package(FilterUtilities): the targets
#                                                FilterUtilities::filterutilities, ::kldcore,
#                                                ::kldutil, ::platform, ::kldcore_headers
#   lib/pkgconfig/filterutilities.pc             the same for a plain compiler line
#
# Nothing installed names a folder of the build machine: the CMake files find the prefix from
# their own place, the pkg-config file from ${pcfiledir}, the programs their libraries through
# $ORIGIN. The libraries keep their unversioned names: the library and the delay loader open
# libkldcore.so and libkldutil.so by those names, as a driver's files are found by theirs.
# The built-in printer and the core library's paper size tables are compiled in, so the tool
# needs no data files.
#
# The package carries no compile or link flags of its own build beyond the C++ standard: a
# sanitizer build of the package must be matched by the consumer (the test of the package
# passes the flags itself).

include(CMakePackageConfigHelpers)

set(FILTERUTILITIES_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/FilterUtilities)
set(FILTERUTILITIES_INSTALLED_LIBRARIES platform kldutil kldcore filterutilities)

# The folder that holds `to`, as seen from the folder `from`, both relative to the prefix.
function(filterutilities_relative_folder variable from to)
  if(IS_ABSOLUTE "${from}" OR IS_ABSOLUTE "${to}")
    message(FATAL_ERROR "the install folders must be relative to the prefix to keep the "
                        "package relocatable: ${from}, ${to}")
  endif()
  file(RELATIVE_PATH relative /prefix/${from} /prefix/${to})
  string(REGEX REPLACE "/$" "" relative "${relative}")
  if(relative STREQUAL "")
    set(relative .)
  endif()
  set(${variable} ${relative} PARENT_SCOPE)
endfunction()

filterutilities_relative_folder(bin_to_lib ${CMAKE_INSTALL_BINDIR} ${CMAKE_INSTALL_LIBDIR})
set_target_properties(${FILTERUTILITIES_INSTALLED_LIBRARIES} PROPERTIES INSTALL_RPATH "$ORIGIN")
set_target_properties(filterutil PROPERTIES INSTALL_RPATH "$ORIGIN/${bin_to_lib}")

install(TARGETS ${FILTERUTILITIES_INSTALLED_LIBRARIES} kldcore_headers
        EXPORT FilterUtilitiesTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT Runtime)
install(TARGETS filterutil RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT Runtime)

# Headers: the platform's include root as it stands, and each layer's public headers (those
# its include root in the build tree links) in a folder named after the layer.
install(DIRECTORY ${PROJECT_SOURCE_DIR}/platform/include/
        DESTINATION ${FILTERUTILITIES_INSTALL_PLATFORM_INCLUDEDIR} COMPONENT Development
        FILES_MATCHING PATTERN "*.h")
foreach(layer kldutil kldcore filterutilities)
  get_target_property(headers ${layer} FILTERUTILITIES_PUBLIC_HEADERS)
  get_target_property(folder ${layer} FILTERUTILITIES_HEADER_FOLDER)
  install(FILES ${headers} DESTINATION ${FILTERUTILITIES_INSTALL_LAYERS_INCLUDEDIR}/${folder}
          COMPONENT Development)
endforeach()

# find_package(FilterUtilities)
install(EXPORT FilterUtilitiesTargets NAMESPACE FilterUtilities::
        DESTINATION ${FILTERUTILITIES_INSTALL_CMAKEDIR} COMPONENT Development)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/FilterUtilitiesConfig.cmake.in
                              ${PROJECT_BINARY_DIR}/package/FilterUtilitiesConfig.cmake
                              INSTALL_DESTINATION ${FILTERUTILITIES_INSTALL_CMAKEDIR}
                              PATH_VARS CMAKE_INSTALL_BINDIR)
# Before 1.0 a minor version may change the interface.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/package/FilterUtilitiesConfigVersion.cmake
                                 COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/package/FilterUtilitiesConfig.cmake
              ${PROJECT_BINARY_DIR}/package/FilterUtilitiesConfigVersion.cmake
        DESTINATION ${FILTERUTILITIES_INSTALL_CMAKEDIR} COMPONENT Development)

# pkg-config: the prefix is found from the file's own folder.
filterutilities_relative_folder(pkgconfig_to_prefix ${CMAKE_INSTALL_LIBDIR}/pkgconfig .)
configure_file(${PROJECT_SOURCE_DIR}/cmake/filterutilities.pc.in
               ${PROJECT_BINARY_DIR}/package/filterutilities.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/package/filterutilities.pc
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT Development)
