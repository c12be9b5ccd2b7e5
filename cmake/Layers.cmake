# Each layer's public include root. A layer's public headers are the .h files at the top of
# its folder; they are linked, and nothing else, into an include root of the layer's own in
# the build tree (build/.../include/<layer target>/<folder>/), which the layer's target gives
# to whoever links it. So a source sees the headers of the layers it links, by the names
# <folder>/<header>.h, and nothing else of the repository: not their sources, not the
# platform's private folders, not the tools. The platform keeps its headers, under their
# Windows names, in platform/include/.

# Gives target, defined in the current folder, the folder's public include root.
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
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "INTERFACE_LIBRARY")
    target_include_directories(${target} INTERFACE ${root})
  else()
    target_include_directories(${target} PUBLIC ${root})
  endif()
endfunction()
