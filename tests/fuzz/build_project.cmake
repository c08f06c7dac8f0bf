# Configures and builds this directory's project in its replay form (cmake -P): SOURCE, BINARY,
# GENERATOR, CXX (the compiler) and LAUNCHER (a compiler launcher, or empty). Fails when either
# step fails.
foreach(step configure build)
  if(step STREQUAL configure)
    set(command ${CMAKE_COMMAND} -S ${SOURCE} -B ${BINARY} -G ${GENERATOR} -DQX_FUZZ_REPLAY=ON
                -DCMAKE_CXX_COMPILER=${CXX} -DCMAKE_CXX_COMPILER_LAUNCHER=${LAUNCHER})
  else()
    set(command ${CMAKE_COMMAND} --build ${BINARY} -j 2)
  endif()
  execute_process(COMMAND ${command} RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "the fuzz project fails to ${step}")
  endif()
endforeach()
