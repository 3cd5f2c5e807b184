# The two fixed paths of the registration library. A handset build keeps these defaults; an
# integrator may move them, and the host build moves the status file into the build tree.
set(DMREG_DEFAULT_STATUS_FILE "/zavlocal/download/appwrite/zav_dmregstatus.cfg")
set(DMREG_DEFAULT_SOCKET_PATH "/tmp/ipc_dmreg_sock")

set(DMREG_STATUS_FILE "${DMREG_DEFAULT_STATUS_FILE}" CACHE STRING
    "Registration status file: the IMSI last registered")
set(DMREG_SOCKET_PATH "${DMREG_DEFAULT_SOCKET_PATH}" CACHE STRING
    "Local socket on which acknowledgements arrive (at most 24 characters)")
