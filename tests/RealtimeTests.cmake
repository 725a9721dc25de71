# Tests that capture from the software sound device in real time. They run on the clock of a
# private sound server and fail when starved of CPU, so they carry the label "realtime"
# (ctest -L realtime selects them, -LE realtime leaves them out) and share one RESOURCE_LOCK,
# realtime-audio, so that ctest -j never runs two of them at once.
#
# gtest_discover_tests cannot set these itself: it writes its PROPERTIES into the generated test
# script as one flat argument list, so LABELS "wave;realtime" arrives there as LABELS wave
# followed by a property named "realtime" whose value is the next word, and every property after
# it (TIMEOUT, ENVIRONMENT) is shifted out of place and lost. These properties are set instead by
# a script that ctest reads right after the discovered tests, where a list stays one value.
#
# velmorant_realtime_tests(<target> [MATCHING <regex>] [LABELS <more labels>...])
#   Marks the tests discovered in <target> (all, or those whose names match <regex>).
#   Call after gtest_discover_tests(<target> ...), in the same directory.
function(velmorant_realtime_tests target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "MATCHING" "LABELS")
  if(NOT arg_MATCHING)
    set(arg_MATCHING ".")
  endif()
  set(labels realtime ${arg_LABELS})
  set(script "${CMAKE_CURRENT_BINARY_DIR}/${target}_realtime.cmake")
  file(WRITE "${script}"
    "foreach(test IN LISTS ${target}_TESTS)\n"
    "  if(test MATCHES [==[${arg_MATCHING}]==])\n"
    "    set_tests_properties(\"\${test}\" PROPERTIES\n"
    "      LABELS \"${labels}\" RESOURCE_LOCK realtime-audio)\n"
    "  endif()\n"
    "endforeach()\n")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES "${script}")
endfunction()
