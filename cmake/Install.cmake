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
# No installed text file and no run path names a folder of the build machine, so the prefix
# can move: the CMake files find the prefix from their own place, the pkg-config file from
# ${pcfiledir}, the programs their libraries through $ORIGIN. (The source file names that the
# compiler records in code and debug information stay as they were built.) The libraries keep their unversioned names: the library and the delay loader open
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

# How the folder `to` is reached from the folder `from` (install folders, as GNUInstallDirs
# gives them): a relative path when both are relative to the prefix, so that the package can
# move; otherwise `to` as an absolute path (an absolute install folder, as some distributions
# pass, pins the package where it is installed).
function(filterutilities_path_from variable from to)
  if(IS_ABSOLUTE "${from}" OR IS_ABSOLUTE "${to}")
    if(IS_ABSOLUTE "${to}")
      set(${variable} ${to} PARENT_SCOPE)
    else()
      set(${variable} ${CMAKE_INSTALL_PREFIX}/${to} PARENT_SCOPE)
    endif()
    return()
  endif()
  file(RELATIVE_PATH relative /prefix/${from} /prefix/${to})
  string(REGEX REPLACE "/$" "" relative "${relative}")
  if(relative STREQUAL "")
    set(relative .)
  endif()
  set(${variable} ${relative} PARENT_SCOPE)
endfunction()

# The prefix-relative install folder `folder` as pkg-config's ${prefix}/folder, or as it stands
# when it is absolute.
function(filterutilities_pkgconfig_folder variable folder)
  if(IS_ABSOLUTE "${folder}")
    set(${variable} ${folder} PARENT_SCOPE)
  else()
    set(${variable} "\${prefix}/${folder}" PARENT_SCOPE)
  endif()
endfunction()

filterutilities_path_from(bin_to_lib ${CMAKE_INSTALL_BINDIR} ${CMAKE_INSTALL_LIBDIR})
if(NOT IS_ABSOLUTE "${bin_to_lib}")
  set(bin_to_lib "$ORIGIN/${bin_to_lib}")
endif()
set_target_properties(${FILTERUTILITIES_INSTALLED_LIBRARIES} PROPERTIES INSTALL_RPATH "$ORIGIN")
set_target_properties(filterutil PROPERTIES INSTALL_RPATH "${bin_to_lib}")

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
filterutilities_path_from(pkgconfig_prefix ${CMAKE_INSTALL_LIBDIR}/pkgconfig .)
if(IS_ABSOLUTE "${pkgconfig_prefix}")
  set(pkgconfig_prefix ${CMAKE_INSTALL_PREFIX})
else()
  set(pkgconfig_prefix "\${pcfiledir}/${pkgconfig_prefix}")
endif()
filterutilities_pkgconfig_folder(pkgconfig_bindir ${CMAKE_INSTALL_BINDIR})
filterutilities_pkgconfig_folder(pkgconfig_libdir ${CMAKE_INSTALL_LIBDIR})
filterutilities_pkgconfig_folder(pkgconfig_includedir ${CMAKE_INSTALL_INCLUDEDIR})
configure_file(${PROJECT_SOURCE_DIR}/cmake/filterutilities.pc.in
               ${PROJECT_BINARY_DIR}/package/filterutilities.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/package/filterutilities.pc
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT Development)
