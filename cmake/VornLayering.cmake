# The layering check of scripts/check-layering.py: run by the build before any library compiles
# (target vorn_layering, in ALL) and again by ctest (test layering). It reruns whenever a
# source of a checked folder changes.
set(VORN_LAYERING_SCRIPT ${PROJECT_SOURCE_DIR}/scripts/check-layering.py)
file(GLOB_RECURSE VORN_LAYERED_SOURCES CONFIGURE_DEPENDS
  ${PROJECT_SOURCE_DIR}/api/*.h
  ${PROJECT_SOURCE_DIR}/contracts/*.h ${PROJECT_SOURCE_DIR}/contracts/*.cpp
  ${PROJECT_SOURCE_DIR}/entrylog/*.h ${PROJECT_SOURCE_DIR}/entrylog/*.cpp
  ${PROJECT_SOURCE_DIR}/swtable/*.h ${PROJECT_SOURCE_DIR}/swtable/*.cpp
  ${PROJECT_SOURCE_DIR}/linkage/*.h ${PROJECT_SOURCE_DIR}/linkage/*.cpp
  ${PROJECT_SOURCE_DIR}/interface/*.h ${PROJECT_SOURCE_DIR}/interface/*.cpp
  ${PROJECT_SOURCE_DIR}/agent/*.h ${PROJECT_SOURCE_DIR}/agent/*.cpp
  ${PROJECT_SOURCE_DIR}/python/*.cpp
  ${PROJECT_SOURCE_DIR}/tests/*.h ${PROJECT_SOURCE_DIR}/tests/*.cpp
  ${PROJECT_SOURCE_DIR}/bench/*.h ${PROJECT_SOURCE_DIR}/bench/*.cpp)
set(VORN_LAYERING_STAMP ${CMAKE_BINARY_DIR}/layering.stamp)
add_custom_command(
  OUTPUT ${VORN_LAYERING_STAMP}
  COMMAND ${Python3_EXECUTABLE} ${VORN_LAYERING_SCRIPT} --root ${PROJECT_SOURCE_DIR} --stamp ${VORN_LAYERING_STAMP}
  DEPENDS ${VORN_LAYERING_SCRIPT} ${VORN_LAYERED_SOURCES}
  COMMENT "Checking that each folder includes only the folders below it"
  VERBATIM)
add_custom_target(vorn_layering ALL DEPENDS ${VORN_LAYERING_STAMP})
add_test(NAME layering COMMAND ${Python3_EXECUTABLE} ${VORN_LAYERING_SCRIPT} --root ${PROJECT_SOURCE_DIR})
