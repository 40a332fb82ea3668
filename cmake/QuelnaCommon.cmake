# Flags shared by every target of the project.

# Our own code builds warning-free; third-party headers are included as system headers.
# QUELNA_WERROR=OFF lets a packager's newer compiler warn without failing the build.
add_library(quelna_warnings INTERFACE)
target_compile_options(quelna_warnings INTERFACE -Wall -Wextra
                       $<$<BOOL:${QUELNA_WERROR}>:-Werror>)

# QUELNA_SANITIZE=ON: AddressSanitizer and UndefinedBehaviorSanitizer; =thread: ThreadSanitizer.
if(QUELNA_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
elseif(QUELNA_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all
                      -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

# quelna_add_gtest(NAME SOURCES a.cpp b.cpp LIBS x y [LABELS l] [RADIUS_PEER])
# A GoogleTest program whose cases are registered one by one with CTest. With RADIUS_PEER its
# cases share the loopback RADIUS server that CTest starts for the run (tests/support).
function(quelna_add_gtest name)
  cmake_parse_arguments(arg "RADIUS_PEER" "" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${arg_SOURCES})
  target_link_libraries(${name} PRIVATE quelna_warnings GTest::gtest GTest::gtest_main
                        ${arg_LIBS})
  set(props TIMEOUT 300)
  if(arg_LABELS)
    list(APPEND props LABELS "${arg_LABELS}")
  endif()
  if(arg_RADIUS_PEER)
    list(APPEND props ${QUELNA_RADIUS_PEER_TEST_PROPERTIES})
  endif()
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES ${props})
endfunction()
