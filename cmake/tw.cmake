# tw_folder_headers(<target> <folder> [HEADERS <file>...])
# Makes "<folder>/x.h" includable by <target> and by every target that links it, and by no other.
# The include root build/include/<target> holds a real folder <folder> with one link per header of
# the library: without HEADERS every header of the source folder and its subfolders, with HEADERS
# only those named, for libraries that share a folder. The folders being real, "<folder>/../y/z.h"
# leads nowhere.
function(tw_folder_headers target folder)
  cmake_parse_arguments(ARG "" "" "HEADERS" ${ARGN})
  set(source ${CMAKE_SOURCE_DIR}/${folder})
  if(ARG_HEADERS)
    set(headers ${ARG_HEADERS})
  else()
    file(GLOB_RECURSE headers CONFIGURE_DEPENDS RELATIVE ${source} ${source}/*.h)
  endif()
  set(root ${CMAKE_BINARY_DIR}/include/${target})
  file(REMOVE_RECURSE ${root})
  file(MAKE_DIRECTORY ${root}/${folder})
  foreach(header IN LISTS headers)
    if(NOT EXISTS ${source}/${header})
      message(FATAL_ERROR "tw_folder_headers(${target}): ${folder}/${header} does not exist")
    endif()
    get_filename_component(subfolder ${root}/${folder}/${header} DIRECTORY)
    file(MAKE_DIRECTORY ${subfolder})
    file(CREATE_LINK ${source}/${header} ${root}/${folder}/${header} SYMBOLIC)
  endforeach()
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "INTERFACE_LIBRARY")
    target_include_directories(${target} INTERFACE ${root})
  else()
    target_include_directories(${target} PUBLIC ${root})
  endif()
endfunction()

# tw_add_test(<name> SOURCES <files...> LIBS <targets...>)
# Builds one GoogleTest executable and registers each of its cases with CTest.
function(tw_add_test name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} tw_test_support GTest::gtest GTest::gtest_main Threads::Threads)
  # Test discovery splits every property value at ";", so each variable goes in a property of its
  # own: a list of two in ENVIRONMENT would arrive as one variable and a stray property name.
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60
                       PROPERTIES ENVIRONMENT "TW_SOURCE_DIR=${CMAKE_SOURCE_DIR}"
                                  ENVIRONMENT_MODIFICATION "TW_BINARY_DIR=set:${CMAKE_BINARY_DIR}")
endfunction()
