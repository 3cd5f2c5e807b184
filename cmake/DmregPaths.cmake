# The two fixed paths of the registration library. A handset build keeps these defaults; an
# integrator may move them.
set(DMREG_DEFAULT_STATUS_FILE "/zavlocal/download/appwrite/zav_dmregstatus.cfg")
set(DMREG_DEFAULT_SOCKET_PATH "/tmp/ipc_dmreg_sock")

set(DMREG_STATUS_FILE "${DMREG_DEFAULT_STATUS_FILE}" CACHE STRING
    "Registration status file: the IMSI last registered")
set(DMREG_SOCKET_PATH "${DMREG_DEFAULT_SOCKET_PATH}" CACHE STRING
    "Local socket on which acknowledgements arrive (at most 24 characters)")

# This build's own folder under /tmp, for a socket path that stays within 24 characters and that
# no other build, run or installed host shares.
string(SHA1 DMREG_BUILD_ID "${CMAKE_BINARY_DIR}")
string(SUBSTRING "${DMREG_BUILD_ID}" 0 8 DMREG_BUILD_ID)
set(DMREG_RUN_DIR "/tmp/dmr-${DMREG_BUILD_ID}")

# Builds for tests and the demo keep the status file in their build tree and the socket in their
# run folder, so that two of them, or a host listening on the shipping socket, never meet.
option(DMREG_LOCAL_PATHS "Status file in the build tree, socket in ${DMREG_RUN_DIR}" OFF)
# A Linux device keeps its state where the system keeps services' state, its socket in the
# service's runtime folder (the packages are built so).
option(DMREG_DEVICE_PATHS "Status file in /var/lib/dmreg, socket in /run/dmreg" OFF)
if(DMREG_DEVICE_PATHS)
  set(DMREG_STATUS_FILE "/var/lib/dmreg/zav_dmregstatus.cfg")
  set(DMREG_SOCKET_PATH "/run/dmreg/dmreg.sock")
elseif(DMREG_LOCAL_PATHS)
  set(DMREG_STATUS_FILE "${CMAKE_BINARY_DIR}/sim-root/zavlocal/download/appwrite/zav_dmregstatus.cfg")
  set(DMREG_SOCKET_PATH "${DMREG_RUN_DIR}/sock")
endif()
