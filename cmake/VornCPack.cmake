# Debian packages of an installed build (scripts/package.sh runs cpack from the release preset),
# one per install component, with the usual split:
#   libvorn-tcammgr1     runtime: the two shared libraries
#   libvorn-tcammgr-dev  dev: headers, CMake package, pkg-config file, the .so links
#   tcam-agent           agent: the agent simulator and its man page
#   python3-vorn-tcam    python: the vorn_tcam module
# Files go under /usr; dpkg-shlibdeps (Debian dpkg-dev) works out the shared-library dependencies.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vorn-tunnel-tcammgr)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "VornTunnelTcamMgr maintainers <tcammgr@vorn.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Software tables of the tunnel-termination TCAM")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime dev agent python)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libvorn-tcammgr${PROJECT_VERSION_MAJOR})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION
    "Software tables of the tunnel-termination TCAM: shared libraries\n"
    " libvorn-tcammgr (the tables, their entry logs and interfaces) and libvorn-platform (the\n"
    " platform stand-ins they run on).")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libvorn-tcammgr-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS
    "libvorn-tcammgr${PROJECT_VERSION_MAJOR} (= ${PROJECT_VERSION}), libfmt-dev, pkg-config")
set(CPACK_COMPONENT_DEV_DESCRIPTION
    "Software tables of the tunnel-termination TCAM: development files\n"
    " Headers under /usr/include/vorn/tcammgr, the CMake package VornTunnelTcamMgr and the\n"
    " pkg-config file vorn-tunnel-tcammgr.")

set(CPACK_DEBIAN_AGENT_PACKAGE_NAME tcam-agent)
set(CPACK_DEBIAN_AGENT_PACKAGE_SECTION net)
set(CPACK_COMPONENT_AGENT_DESCRIPTION
    "Tunnel-termination TCAM agent simulator\n"
    " tcam-agent hosts the TCAM tables in shared memory, programs a desired state and shows what\n"
    " shared memory holds.")

set(CPACK_DEBIAN_PYTHON_PACKAGE_NAME python3-vorn-tcam)
# The module is built for this interpreter's minor version (its file name says so).
math(EXPR VORN_PYTHON_NEXT_MINOR "${Python3_VERSION_MINOR} + 1")
set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS "python3 (>= 3.${Python3_VERSION_MINOR}), python3 (<< 3.${VORN_PYTHON_NEXT_MINOR})")
set(CPACK_COMPONENT_PYTHON_DESCRIPTION
    "Read-only Python view of the tunnel-termination TCAM tables\n"
    " The vorn_tcam module reads what a namespace's shared memory holds for the two tables.")

include(CPack)
