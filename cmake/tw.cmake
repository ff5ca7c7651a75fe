# tw_folder_headers(<target> <folder>)
# Makes "<folder>/x.h" includable by <target> and by every target that links it, and by no other:
# the include root build/include/<folder> holds only a link to that one source folder.
function(tw_folder_headers target folder)
  set(root ${CMAKE_BINARY_DIR}/include/${folder})
  file(MAKE_DIRECTORY ${root})
  file(CREATE_LINK ${CMAKE_SOURCE_DIR}/${folder} ${root}/${folder} SYMBOLIC)
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
