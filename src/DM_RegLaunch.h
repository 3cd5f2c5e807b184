// The entry of the library: the host creates a DM_RegLaunch and calls activateDmRegister()
// once after start-up. The call carries the whole registration on the host's thread and blocks
// until it has ended; every outcome is told by trace lines on standard error.
#ifndef DM_REGLAUNCH_H
#define DM_REGLAUNCH_H

#include "DM_RegUtility.h"

class DMREG_API DM_RegLaunch {
public:
    enum { START_DELAY_SECONDS = 120, PIN_CHECK_SECONDS = 10 };

    DM_RegLaunch();
    ~DM_RegLaunch();

    void activateDmRegister();
    void launchDmListener();
    void launchDmRegister();
    bool simPINisOpen();
};

#endif
