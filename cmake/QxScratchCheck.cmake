# The test runs' temporary directory (cmake -P, DIR and MODE): MODE setup makes DIR anew and
# empty; MODE leftovers removes it and fails, naming them, when files or directories were left in
# it.
if(MODE STREQUAL "setup")
  file(REMOVE_RECURSE ${DIR})
  file(MAKE_DIRECTORY ${DIR})
else()
  file(GLOB left LIST_DIRECTORIES true ${DIR}/* ${DIR}/.*)
  file(REMOVE_RECURSE ${DIR})
  if(left)
    string(REPLACE ";" "\n  " left "${left}")
    message(FATAL_ERROR "the tests left in ${DIR}:\n  ${left}")
  endif()
endif()
