# qx_library(NAME DIR [DEPS...]): a static library of every .cpp in DIR (an interface
# library while the directory has no sources yet).
function(qx_library name dir)
  file(GLOB srcs CONFIGURE_DEPENDS ${dir}/*.cpp ${dir}/*.c)
  if(srcs)
    add_library(${name} STATIC ${srcs})
    target_include_directories(${name} PUBLIC ${dir})
    target_link_libraries(${name} PUBLIC ${ARGN})
  else()
    add_library(${name} INTERFACE)
    target_include_directories(${name} INTERFACE ${dir})
    target_link_libraries(${name} INTERFACE ${ARGN})
  endif()
endfunction()

# qx_test_suite(NAME DIR [LIBS...]): one GoogleTest program of every .cpp in DIR, its cases
# registered with ctest one by one (each case runs in a process of its own).
function(qx_test_suite name dir)
  file(GLOB srcs CONFIGURE_DEPENDS ${dir}/*.cpp)
  if(NOT srcs)
    return()
  endif()
  add_executable(${name} ${srcs})
  target_link_libraries(${name} PRIVATE ${ARGN} GTest::gtest_main)
  target_include_directories(${name} PRIVATE ${dir} ${CMAKE_SOURCE_DIR}/tests/support)
  target_compile_definitions(${name} PRIVATE QX_TEST_DATA_DIR="${dir}/data"
                                             QX_BUILD_DIR="${CMAKE_BINARY_DIR}")
  include(GoogleTest)
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
                       PROPERTIES TIMEOUT 300)
endfunction()
