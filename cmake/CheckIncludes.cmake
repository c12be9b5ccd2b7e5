# The layer rule, checked on what the compiler really reads: every header each source of the
# driver libraries and of the library includes, directly or through other headers, by any
# spelling (an include root, a relative or an absolute path).
#
#   layer                            may include from the repository
#   kldutil/                         kldutil/, platform/include/
#   kldcore/                         kldcore/, kldutil/, platform/include/
#   filterpipeline/, utilitiesstaticlib/
#                                    filterpipeline/, utilitiesstaticlib/, kldutil/,
#                                    kldcore/ (declarations only: it is delay-loaded),
#                                    platform/include/
#   filters/                         its own folder, the library's public headers (and the
#                                    utility library's, which they include), platform/include/
#                                    (a filter builds against the installed package too)
#
# Never a source file (.cpp), never platform/src/, and no third-party header: libxml2, zlib,
# libzip, minizip, FreeType, fontconfig and libarchive are the platform's to use.
#
#   cmake -DCOMPILE_COMMANDS=build/compile_commands.json -DSOURCE_DIR=. -P CheckIncludes.cmake
#       checks every library source the build compiles
#   ... -DPROBE=file.cpp -DPROBE_LAYER=filterpipeline ...
#       compiles file.cpp as a source of that layer would be compiled and checks it
#
# Each include that breaks the rule, and each source that does not compile, prints a line
# starting "rejected:"; the script then fails.
cmake_minimum_required(VERSION 3.25)

foreach(variable COMPILE_COMMANDS SOURCE_DIR)
  if(NOT DEFINED ${variable})
    message(FATAL_ERROR "CheckIncludes.cmake needs -D${variable}=...")
  endif()
endforeach()
file(REAL_PATH "${SOURCE_DIR}" SOURCE_DIR)

set(layers kldutil kldcore filterpipeline utilitiesstaticlib filters)
set(allowed_kldutil kldutil platform/include)
set(allowed_kldcore kldcore kldutil platform/include)
set(allowed_filterpipeline filterpipeline utilitiesstaticlib kldutil kldcore platform/include)
set(allowed_utilitiesstaticlib ${allowed_filterpipeline})
set(allowed_filters filters filterpipeline/filterutilities kldutil platform/include)

# Where the third-party libraries' headers are, as paths resolved on this machine.
set(third_party_patterns
    "/libxml2?/" "/zlib\\.h$" "/zconf\\.h$" "/zip\\.h$" "/zipconf[^/]*\\.h$" "/minizip/"
    "/freetype2?/" "/ft2build\\.h$" "/fontconfig/" "/archive\\.h$" "/archive_entry\\.h$")

# Whether path lies in the folder of the repository named by folder ("" for the repository).
function(in_folder path folder out)
  if(folder)
    string(FIND "${path}" "${SOURCE_DIR}/${folder}/" position)
  else()
    string(FIND "${path}" "${SOURCE_DIR}/" position)
  endif()
  if(position EQUAL 0)
    set(${out} TRUE PARENT_SCOPE)
  else()
    set(${out} FALSE PARENT_SCOPE)
  endif()
endfunction()

# The layer a source file of the repository belongs to, or "" when it is none of the above.
function(layer_of path out)
  set(layer "")
  foreach(candidate ${layers})
    in_folder("${path}" ${candidate} inside)
    if(inside)
      set(layer ${candidate})
    endif()
  endforeach()
  set(${out} "${layer}" PARENT_SCOPE)
endfunction()

# Why including header from a source of layer breaks the rule, or "" when it does not.
function(violation layer header out)
  set(reason "")
  in_folder("${header}" platform/src platform_source)
  in_folder("${header}" "" repository)
  if(header MATCHES "\\.(c|cc|cpp|cxx)$")
    set(reason "a source file")
  elseif(platform_source)
    set(reason "a platform source file")
  elseif(repository)
    set(reason "outside the layers ${layer}/ may use")
    foreach(folder ${allowed_${layer}})
      in_folder("${header}" ${folder} allowed)
      if(allowed)
        set(reason "")
      endif()
    endforeach()
  else()
    foreach(pattern ${third_party_patterns})
      if(header MATCHES "${pattern}")
        set(reason "a third-party header")
      endif()
    endforeach()
  endif()
  set(${out} "${reason}" PARENT_SCOPE)
endfunction()

# The compiler's arguments for source, turned from compiling an object into listing the
# headers it reads.
function(dependency_command command file source out)
  separate_arguments(arguments UNIX_COMMAND "${command}")
  set(result "")
  set(skip FALSE)
  foreach(argument ${arguments})
    if(skip)
      set(skip FALSE)
    elseif(argument MATCHES "^-(o|MF|MT|MQ)$")
      set(skip TRUE)
    elseif(argument MATCHES "^-(c|MD|MMD)$")
    elseif(argument STREQUAL file)
      list(APPEND result "${source}")
    else()
      list(APPEND result "${argument}")
    endif()
  endforeach()
  list(APPEND result -M)
  set(${out} "${result}" PARENT_SCOPE)
endfunction()

# Checks one source compiled with the command of a source of layer; sets failed in the caller.
function(check_source layer command directory file source)
  dependency_command("${command}" "${file}" "${source}" arguments)
  execute_process(COMMAND ${arguments} WORKING_DIRECTORY "${directory}"
                  RESULT_VARIABLE status OUTPUT_VARIABLE rule ERROR_VARIABLE errors)
  if(NOT status EQUAL 0)
    string(REGEX MATCH "[^\n]*(error|fatal)[^\n]*" first_error "${errors}")
    message("rejected: ${source} does not compile as a source of ${layer}/: ${first_error}")
    set(failed TRUE PARENT_SCOPE)
    return()
  endif()
  string(REPLACE "\\\n" " " rule "${rule}")
  string(REGEX REPLACE "^[^:]*:" "" rule "${rule}")
  separate_arguments(headers UNIX_COMMAND "${rule}")
  foreach(header ${headers})
    if(header STREQUAL source)
      continue()
    endif()
    file(REAL_PATH "${header}" resolved BASE_DIRECTORY "${directory}")
    violation(${layer} "${resolved}" reason)
    if(reason)
      message("rejected: ${source} includes ${resolved}: ${reason}")
      set(failed TRUE PARENT_SCOPE)
    endif()
  endforeach()
endfunction()

if(DEFINED PROBE AND NOT PROBE_LAYER IN_LIST layers)
  message(FATAL_ERROR "PROBE_LAYER must name one of: ${layers}")
endif()
file(READ "${COMPILE_COMMANDS}" database)
string(JSON count ERROR_VARIABLE json_error LENGTH "${database}")
if(json_error)
  message(FATAL_ERROR "${COMPILE_COMMANDS} is no compile command database: ${json_error}")
elseif(count EQUAL 0)
  message(FATAL_ERROR "${COMPILE_COMMANDS} holds no compile commands")
endif()
math(EXPR last "${count} - 1")
set(failed FALSE)
set(checked 0)
foreach(index RANGE ${last})
  string(JSON file GET "${database}" ${index} file)
  string(JSON command GET "${database}" ${index} command)
  string(JSON directory GET "${database}" ${index} directory)
  file(REAL_PATH "${file}" resolved BASE_DIRECTORY "${directory}")
  layer_of("${resolved}" layer)
  if(NOT layer)
    continue()
  endif()
  if(DEFINED PROBE)
    if(layer STREQUAL PROBE_LAYER)
      check_source(${layer} "${command}" "${directory}" "${file}" "${PROBE}")
      math(EXPR checked "${checked} + 1")
      break()
    endif()
  else()
    check_source(${layer} "${command}" "${directory}" "${file}" "${file}")
    math(EXPR checked "${checked} + 1")
  endif()
endforeach()

if(checked EQUAL 0)
  if(DEFINED PROBE)
    message(FATAL_ERROR "${COMPILE_COMMANDS} compiles no source of ${PROBE_LAYER}/")
  endif()
  message(FATAL_ERROR "${COMPILE_COMMANDS} compiles no source of: ${layers}")
endif()
if(failed)
  message(FATAL_ERROR "the layer rule is broken (see the lines above)")
endif()
message("${checked} sources keep to the layer rule")
