# Each layer's public include root. A layer's public headers are the .h files at the top of
# its folder; they are linked, and nothing else, into an include root of the layer's own in
# the build tree (build/.../include/<layer target>/<folder>/), which the layer's target gives
# to whoever links it. So a source sees the headers of the layers it links, by the names
# <folder>/<header>.h, and nothing else of the repository: not their sources, not the
# platform's private folders, not the tools. The platform keeps its headers, under their
# Windows names, in platform/include/.
#
# Installed, the same roots are two folders of the package (cmake/Install.cmake): the
# platform's headers in include/filterutilities/platform/, and the layers' folders side by side
# in include/filterutilities/layers/<folder>/, so that a filter built against the package
# includes <windows.h> and <filterutilities/xpsfilterbase.h> as the library's own sources do.
include(GNUInstallDirs)
set(FILTERUTILITIES_INSTALL_INCLUDEDIR ${CMAKE_INSTALL_INCLUDEDIR}/filterutilities)
set(FILTERUTILITIES_INSTALL_PLATFORM_INCLUDEDIR ${FILTERUTILITIES_INSTALL_INCLUDEDIR}/platform)
set(FILTERUTILITIES_INSTALL_LAYERS_INCLUDEDIR ${FILTERUTILITIES_INSTALL_INCLUDEDIR}/layers)

# Gives target, defined in the current folder, the folder's public include root. The headers
# and their folder are kept on the target (FILTERUTILITIES_PUBLIC_HEADERS,
# FILTERUTILITIES_HEADER_FOLDER) for the install rules.
function(filterutilities_public_headers target)
  get_filename_component(folder ${CMAKE_CURRENT_SOURCE_DIR} NAME)
  set(root ${CMAKE_BINARY_DIR}/include/${target})
  file(GLOB headers CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.h)
  file(REMOVE_RECURSE ${root})
  file(MAKE_DIRECTORY ${root}/${folder})
  foreach(header ${headers})
    get_filename_component(name ${header} NAME)
    file(CREATE_LINK ${header} ${root}/${folder}/${name} SYMBOLIC)
  endforeach()
  set_target_properties(${target} PROPERTIES FILTERUTILITIES_PUBLIC_HEADERS "${headers}"
                                             FILTERUTILITIES_HEADER_FOLDER ${folder})
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "INTERFACE_LIBRARY")
    set(scope INTERFACE)
  else()
    set(scope PUBLIC)
  endif()
  target_include_directories(${target} ${scope} $<BUILD_INTERFACE:${root}>
    $<INSTALL_INTERFACE:${FILTERUTILITIES_INSTALL_LAYERS_INCLUDEDIR}>)
endfunction()
