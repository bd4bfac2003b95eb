# qh_add_test(<name> SOURCES <files...> [LIBS <targets...>] [LABELS <labels...>]
#             [DESKTOP] [TIMEOUT <s>])
# One GoogleTest executable registered as one CTest test. DESKTOP tests run inside
# the private virtual desktop (Xvfb, jwm, PulseAudio) that the 'desktop' fixture
# starts once per ctest run; under Wine every test also gets a warmed wineserver.

set(QH_DESKTOP_DIR ${CMAKE_BINARY_DIR}/desktop)
set(QH_SCRIPTS ${CMAKE_SOURCE_DIR}/scripts)

add_test(NAME desktop.start COMMAND ${QH_SCRIPTS}/virtual-desktop.sh start ${QH_DESKTOP_DIR})
add_test(NAME desktop.stop COMMAND ${QH_SCRIPTS}/virtual-desktop.sh stop ${QH_DESKTOP_DIR})
set_tests_properties(desktop.start PROPERTIES FIXTURES_SETUP desktop LABELS fixture)
set_tests_properties(desktop.stop PROPERTIES FIXTURES_CLEANUP desktop LABELS fixture)

if(WIN32)
  add_test(NAME wine.start COMMAND ${QH_SCRIPTS}/wine-run.sh --start)
  add_test(NAME wine.stop COMMAND ${QH_SCRIPTS}/wine-run.sh --stop)
  # Wine's desktop process starts with the server: it needs the virtual desktop's
  # display, or no later program gets a window or a Direct3D device.
  set_tests_properties(wine.start PROPERTIES FIXTURES_SETUP wine FIXTURES_REQUIRED desktop LABELS fixture
                                             ENVIRONMENT "QH_DESKTOP_DIR=${QH_DESKTOP_DIR}")
  set_tests_properties(wine.stop PROPERTIES FIXTURES_CLEANUP wine LABELS fixture
                                            ENVIRONMENT "QH_DESKTOP_DIR=${QH_DESKTOP_DIR}")
endif()

# Aggregate target for the ThreadSanitizer build, which builds only what it runs.
add_custom_target(qh_tsan_tests)

function(qh_add_test name)
  cmake_parse_arguments(T "DESKTOP;TSAN" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gmock GTest::gtest_main)
  target_compile_definitions(${name} PRIVATE QH_SOURCE_DIR="${CMAKE_SOURCE_DIR}"
                                             QH_BINARY_DIR="${CMAKE_BINARY_DIR}")
  if(T_TSAN)
    add_dependencies(qh_tsan_tests ${name})
    list(APPEND T_LABELS tsan)
  endif()
  set(env "QH_DESKTOP_DIR=${QH_DESKTOP_DIR}")
  set(fixtures "")
  if(T_DESKTOP OR WIN32)
    list(APPEND fixtures desktop)
    list(APPEND T_LABELS desktop)
  endif()
  if(WIN32)
    list(APPEND fixtures wine)
  endif()
  if(T_DESKTOP AND NOT WIN32)
    add_test(NAME ${name} COMMAND ${QH_SCRIPTS}/with-desktop.sh ${QH_DESKTOP_DIR} $<TARGET_FILE:${name}>)
  else()
    add_test(NAME ${name} COMMAND ${name})
  endif()
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  set_tests_properties(${name} PROPERTIES TIMEOUT ${T_TIMEOUT} ENVIRONMENT "${env}"
                                          LABELS "${T_LABELS}")
  if(fixtures)
    set_tests_properties(${name} PROPERTIES FIXTURES_REQUIRED "${fixtures}")
  endif()
endfunction()
