# velmorant_headers(<target> [DIR <folder>] [HEADERS <file>...] [EXCLUDE <file>...])
#
# Gives <target> an include root of its own in the build tree, <build>/include/<target>, holding
# links to its headers under their paths from the repository root ("measure/BlockAnalysis.h"),
# and puts only that root on the include path. A target therefore finds the headers of exactly
# the libraries it links (directly or through their public links): including a header of a
# library it does not link fails to compile, so the link graph is the dependency graph.
#
# DIR is the folder holding the headers (default: the current source folder; relative paths
# are taken from it). HEADERS names the headers in it; without HEADERS every *.h in it but those
# under EXCLUDE. Libraries pass the root on to their users (interface libraries only to them);
# executables keep it to themselves.
function(velmorant_headers target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "DIR" "HEADERS;EXCLUDE")
  if(NOT arg_DIR)
    set(arg_DIR ${CMAKE_CURRENT_SOURCE_DIR})
  endif()
  cmake_path(ABSOLUTE_PATH arg_DIR BASE_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR} NORMALIZE)
  if(NOT arg_HEADERS)
    file(GLOB arg_HEADERS CONFIGURE_DEPENDS RELATIVE ${arg_DIR} ${arg_DIR}/*.h)
    if(arg_EXCLUDE)
      list(REMOVE_ITEM arg_HEADERS ${arg_EXCLUDE})
    endif()
  endif()

  file(RELATIVE_PATH folder ${VELMORANT_ROOT} ${arg_DIR})
  set(root ${CMAKE_BINARY_DIR}/include/${target})
  # Built afresh at every configure, so a header that moved away does not linger.
  file(REMOVE_RECURSE ${root})
  file(MAKE_DIRECTORY ${root}/${folder})
  foreach(header IN LISTS arg_HEADERS)
    file(CREATE_LINK ${arg_DIR}/${header} ${root}/${folder}/${header} SYMBOLIC)
  endforeach()

  get_target_property(type ${target} TYPE)
  if(type STREQUAL "INTERFACE_LIBRARY")
    set(scope INTERFACE)
  elseif(type STREQUAL "EXECUTABLE")
    set(scope PRIVATE)
  else()
    set(scope PUBLIC)
  endif()
  target_include_directories(${target} ${scope} ${root})
endfunction()
