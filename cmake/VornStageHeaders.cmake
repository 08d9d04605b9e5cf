# cmake -DSOURCE_DIR=<project root> -DSTAGE_DIR=<dir> -DSTAMP=<file> -P VornStageHeaders.cmake
#
# Copies the installed API (cmake/VornPublicHeaderList.cmake) into STAGE_DIR/vorn/tcammgr, the
# one include root a consumer sees, with the project's own includes rewritten to that root
# ("contracts/asic/Types.h" becomes "vorn/tcammgr/contracts/asic/Types.h"): a consumer needs
# nothing but -I<prefix>/include, and no folder name of ours lands at the top of it.
# Fails when a listed header includes a project header that is not listed, or lmdb.h.
cmake_policy(VERSION 3.25)
include(${SOURCE_DIR}/cmake/VornPublicHeaderList.cmake)
set(root vorn/tcammgr)
set(folders "api|contracts|entrylog|swtable|linkage|interface")

file(REMOVE_RECURSE ${STAGE_DIR})
set(errors "")
foreach(header ${VORN_PUBLIC_HEADERS})
  file(READ ${SOURCE_DIR}/${header} text)
  if(text MATCHES "#[ \t]*include[ \t]*[<\"]lmdb\\.h[>\"]")
    string(APPEND errors "  ${header} includes lmdb.h\n")
  endif()
  string(REGEX MATCHALL "#[ \t]*include[ \t]*\"[^\"]+\"" includes "${text}")
  foreach(line ${includes})
    string(REGEX REPLACE ".*\"([^\"]+)\"" "\\1" included "${line}")
    if(NOT included IN_LIST VORN_PUBLIC_HEADERS)
      string(APPEND errors "  ${header} includes ${included}, which is not installed\n")
    endif()
  endforeach()
  string(REGEX REPLACE "(#[ \t]*include[ \t]*\")((${folders})/[^\"]+\")" "\\1${root}/\\2" text "${text}")
  file(WRITE ${STAGE_DIR}/${root}/${header} "${text}")
endforeach()
if(errors)
  message(FATAL_ERROR "The installed API is not closed:\n${errors}"
                      "List the header in cmake/VornPublicHeaderList.cmake or stop including it.")
endif()
file(TOUCH ${STAMP})
