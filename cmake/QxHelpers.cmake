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

# The temporary directory of the test runs: qx_scratch_tests(TEST...) runs the tests with TMPDIR
# set to it, after the ctest entry scratch.setup made it anew and before scratch.leftovers, which
# removes it and fails when anything was left in it: a test that leaves files behind fails the
# run. It is in the system's temporary directory, which every user may reach (the tests that drop
# privileges work in it), named after this tree.
if(DEFINED ENV{TMPDIR} AND NOT "$ENV{TMPDIR}" STREQUAL "")
  set(QX_TEST_TMPDIR $ENV{TMPDIR})
else()
  set(QX_TEST_TMPDIR /tmp)
endif()
string(MD5 tree_hash ${CMAKE_BINARY_DIR})
string(SUBSTRING ${tree_hash} 0 12 tree_hash)
set(QX_TEST_TMPDIR ${QX_TEST_TMPDIR}/qx_test_run_${tree_hash})
function(qx_scratch_tests)
  get_property(made GLOBAL PROPERTY QX_SCRATCH_FIXTURE)
  if(NOT made)
    set_property(GLOBAL PROPERTY QX_SCRATCH_FIXTURE 1)
    foreach(mode setup leftovers)
      add_test(NAME scratch.${mode} COMMAND ${CMAKE_COMMAND} -DDIR=${QX_TEST_TMPDIR} -DMODE=${mode}
                                            -P ${CMAKE_SOURCE_DIR}/cmake/QxScratchCheck.cmake)
    endforeach()
    set_tests_properties(scratch.setup PROPERTIES FIXTURES_SETUP scratch)
    set_tests_properties(scratch.leftovers PROPERTIES FIXTURES_CLEANUP scratch)
  endif()
  foreach(test ${ARGN})
    set_property(TEST ${test} APPEND PROPERTY ENVIRONMENT TMPDIR=${QX_TEST_TMPDIR})
    set_property(TEST ${test} APPEND PROPERTY FIXTURES_REQUIRED scratch)
  endforeach()
endfunction()

# qx_add_shards(NAME PROGRAM COUNT TIMEOUT [ENV...]): COUNT ctest entries NAME.0 .. NAME.<COUNT-1>,
# each running its share of PROGRAM's cases (GoogleTest's sharding) in one process.
function(qx_add_shards name program count timeout)
  math(EXPR last "${count} - 1")
  foreach(shard RANGE ${last})
    add_test(NAME ${name}.${shard} COMMAND ${program})
    set_tests_properties(${name}.${shard} PROPERTIES TIMEOUT ${timeout} ENVIRONMENT
                         "${ARGN};GTEST_TOTAL_SHARDS=${count};GTEST_SHARD_INDEX=${shard}")
    qx_scratch_tests(${name}.${shard})
  endforeach()
endfunction()

# qx_test_suite(NAME DIR [SHARDS n] [STRESS_SHARDS m] [TEST_OPTIONS o] [LIBS...]): one
# GoogleTest program of every .cpp in DIR. ctest runs its cases in n processes, each a shard of
# the cases (a process per case cost more than the cases themselves), and, with STRESS_SHARDS,
# once more in m processes with the collector in its stress mode (a collection on every heap
# overflow call, the freed heap filled with a trap pattern), so that a native holding a heap
# pointer where no root reaches it across a collection fails. TEST_OPTIONS replaces the
# sanitized trees' compile options of test code for this program.
function(qx_test_suite name dir)
  cmake_parse_arguments(PARSE_ARGV 2 suite "" "SHARDS;STRESS_SHARDS;TEST_OPTIONS" "")
  file(GLOB srcs CONFIGURE_DEPENDS ${dir}/*.cpp)
  if(NOT srcs)
    return()
  endif()
  add_executable(${name} ${srcs})
  target_link_libraries(${name} PRIVATE ${suite_UNPARSED_ARGUMENTS} GTest::gtest_main)
  if(QX_TEST_COMPILE_OPTIONS AND suite_TEST_OPTIONS)
    target_compile_options(${name} PRIVATE ${suite_TEST_OPTIONS})
  else()
    target_compile_options(${name} PRIVATE ${QX_TEST_COMPILE_OPTIONS})
  endif()
  target_compile_options(${name} PRIVATE ${QX_TEST_CHECK_OPTIONS})
  set_target_properties(${name} PROPERTIES UNITY_BUILD ON UNITY_BUILD_BATCH_SIZE 8)
  # A unity source includes the test files, so GCC takes their fixtures in anonymous
  # namespaces for a header's and warns on every case.
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    target_compile_options(${name} PRIVATE -Wno-subobject-linkage)
  endif()
  target_include_directories(${name} PRIVATE ${dir} ${CMAKE_SOURCE_DIR}/tests/support)
  target_compile_definitions(${name} PRIVATE QX_TEST_DATA_DIR="${dir}/data"
                                             QX_BUILD_DIR="${CMAKE_BINARY_DIR}")
  if(NOT suite_SHARDS)
    set(suite_SHARDS 1)
  endif()
  qx_add_shards(${name} ${name} ${suite_SHARDS} 600)
  if(suite_STRESS_SHARDS)
    qx_add_shards(${name}.gcstress ${name} ${suite_STRESS_SHARDS} 900 QX_GC_STRESS=1)
  endif()
endfunction()
