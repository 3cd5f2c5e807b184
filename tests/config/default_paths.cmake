# Run with cmake -P: the cache defaults of the two fixed paths, read in a clean scope.
include(${SOURCE_DIR}/cmake/DmregPaths.cmake)
if(NOT DMREG_STATUS_FILE STREQUAL "/zavlocal/download/appwrite/zav_dmregstatus.cfg")
  message(FATAL_ERROR "default status file is '${DMREG_STATUS_FILE}'")
endif()
if(NOT DMREG_SOCKET_PATH STREQUAL "/tmp/ipc_dmreg_sock")
  message(FATAL_ERROR "default socket path is '${DMREG_SOCKET_PATH}'")
endif()
message(STATUS "default paths: ${DMREG_STATUS_FILE} ${DMREG_SOCKET_PATH}")
