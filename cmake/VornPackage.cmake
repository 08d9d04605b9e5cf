# The shared libraries and the installed package.
#
# libvorn-platform: the platform stand-ins of contracts/, compiled with hidden visibility; it
# exports what the installed contracts headers declare (#pragma GCC visibility in each).
# libvorn-tcammgr: entrylog/, swtable/, linkage/ and interface/, compiled with hidden visibility;
# only what api/Export.h marks is exported.
# Both are linked from the objects of the folders' static libraries, so nothing compiles twice.
# `cmake --install` puts the libraries, the installed API (cmake/VornPublicHeaderList.cmake,
# under include/vorn/tcammgr: a consumer includes <vorn/tcammgr/interface/TcamInterface.h>), the
# CMake package VornTunnelTcamMgr (imported targets VornTunnelTcamMgr::tcammgr and
# VornTunnelTcamMgr::platform) and the pkg-config file vorn-tunnel-tcammgr.pc under the prefix.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(VORN_INSTALL_INCLUDEDIR ${CMAKE_INSTALL_INCLUDEDIR})
set(VORN_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/VornTunnelTcamMgr)

# vorn_shared_library(<name> OUTPUT_NAME <file name> EXPORT_NAME <imported name>
#                     COMPONENTS <folder libraries...> DEPS <libraries...>
#                     [PRIVATE_DEPS <libraries the installed headers do not need...>])
function(vorn_shared_library name)
  cmake_parse_arguments(ARG "" "OUTPUT_NAME;EXPORT_NAME" "COMPONENTS;DEPS;PRIVATE_DEPS" ${ARGN})
  add_library(${name} SHARED)
  foreach(component ${ARG_COMPONENTS})
    target_sources(${name} PRIVATE $<TARGET_OBJECTS:${component}>)
  endforeach()
  target_link_libraries(${name} PUBLIC ${ARG_DEPS} PRIVATE ${ARG_PRIVATE_DEPS})
  target_include_directories(${name} INTERFACE
    $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}> $<INSTALL_INTERFACE:${VORN_INSTALL_INCLUDEDIR}>)
  target_compile_features(${name} INTERFACE cxx_std_20)
  set_target_properties(${name} PROPERTIES
    OUTPUT_NAME ${ARG_OUTPUT_NAME} EXPORT_NAME ${ARG_EXPORT_NAME} LINKER_LANGUAGE CXX
    VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR})
  # Every symbol must come from the library itself or its DEPS: this also proves at link time
  # that a lower layer needs nothing of a higher one. Sanitizer builds leave their runtime's
  # symbols to the program.
  if(NOT CMAKE_CXX_FLAGS MATCHES "-fsanitize")
    target_link_options(${name} PRIVATE LINKER:--no-undefined)
  endif()
  add_library(VornTunnelTcamMgr::${ARG_EXPORT_NAME} ALIAS ${name})
endfunction()

vorn_shared_library(vorn_platform_shared OUTPUT_NAME vorn-platform EXPORT_NAME platform
  COMPONENTS vorn_qel vorn_shm vorn_ledra vorn_asic vorn_types vorn_inlif
  DEPS fmt::fmt PRIVATE_DEPS PkgConfig::LMDB Threads::Threads)
vorn_shared_library(vorn_tcammgr_shared OUTPUT_NAME vorn-tcammgr EXPORT_NAME tcammgr
  COMPONENTS vorn_entrylog vorn_swtable vorn_linkage vorn_interface
  DEPS vorn_platform_shared)

# Install components, one Debian package each (cmake/VornCPack.cmake): runtime (the shared
# libraries), dev (headers, CMake package, pkg-config file, the libraries' .so links), agent
# (tcam-agent and its man page) and python (vorn_tcam).
install(TARGETS vorn_platform_shared vorn_tcammgr_shared EXPORT VornTunnelTcamMgrTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT dev
  INCLUDES DESTINATION ${VORN_INSTALL_INCLUDEDIR})
# The installed API, staged with its includes rewritten to the vorn/tcammgr root.
include(${PROJECT_SOURCE_DIR}/cmake/VornPublicHeaderList.cmake)
set(VORN_PUBLIC_STAGE ${PROJECT_BINARY_DIR}/public-include)
list(TRANSFORM VORN_PUBLIC_HEADERS PREPEND ${PROJECT_SOURCE_DIR}/ OUTPUT_VARIABLE VORN_PUBLIC_HEADER_FILES)
add_custom_command(
  OUTPUT ${PROJECT_BINARY_DIR}/public-include.stamp
  COMMAND ${CMAKE_COMMAND} -DSOURCE_DIR=${PROJECT_SOURCE_DIR} -DSTAGE_DIR=${VORN_PUBLIC_STAGE}
          -DSTAMP=${PROJECT_BINARY_DIR}/public-include.stamp -P ${PROJECT_SOURCE_DIR}/cmake/VornStageHeaders.cmake
  DEPENDS ${VORN_PUBLIC_HEADER_FILES} ${PROJECT_SOURCE_DIR}/cmake/VornPublicHeaderList.cmake
          ${PROJECT_SOURCE_DIR}/cmake/VornStageHeaders.cmake
  COMMENT "Staging the installed headers under vorn/tcammgr"
  VERBATIM)
add_custom_target(vorn_public_headers ALL DEPENDS ${PROJECT_BINARY_DIR}/public-include.stamp)
add_dependencies(vorn_tcammgr_shared vorn_public_headers)
install(DIRECTORY ${VORN_PUBLIC_STAGE}/ DESTINATION ${VORN_INSTALL_INCLUDEDIR} COMPONENT dev)

install(EXPORT VornTunnelTcamMgrTargets NAMESPACE VornTunnelTcamMgr:: DESTINATION ${VORN_INSTALL_CMAKEDIR}
  COMPONENT dev)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/VornTunnelTcamMgrConfig.cmake.in
  ${PROJECT_BINARY_DIR}/VornTunnelTcamMgrConfig.cmake INSTALL_DESTINATION ${VORN_INSTALL_CMAKEDIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/VornTunnelTcamMgrConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/VornTunnelTcamMgrConfig.cmake
              ${PROJECT_BINARY_DIR}/VornTunnelTcamMgrConfigVersion.cmake
  DESTINATION ${VORN_INSTALL_CMAKEDIR} COMPONENT dev)

# The pkg-config file finds the prefix from its own place, so it stays right under any
# `cmake --install --prefix`.
file(RELATIVE_PATH VORN_PC_PREFIX_FROM_PCFILEDIR
  /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
configure_file(${PROJECT_SOURCE_DIR}/cmake/vorn-tunnel-tcammgr.pc.in
  ${PROJECT_BINARY_DIR}/vorn-tunnel-tcammgr.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/vorn-tunnel-tcammgr.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
  COMPONENT dev)
