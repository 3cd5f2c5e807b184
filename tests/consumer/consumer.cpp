// Uses the library as an integrator does: its headers, a tree value, the operator list, and the
// handset's own acknowledgement (no modem here: no IMEI).
#include <DM_RegLaunch.h>
#include <cstdio>
#include <cstring>

int main()
{
    char number[DMREG_VALUE_BUFFER_SIZE] = {};
    DMVector<DMString> operators;
    char ack[DMREG_VALUE_BUFFER_SIZE] = {};
    getDmAckString(ack);
    const bool read = DM_DmtUtility::GetServerNumber(number) && DM_DmtUtility::GetMNCList(operators);
    printf("server number %s, %d operators, acknowledgement %s\n", number, operators.size(), ack);
    return read && strcmp(number, "+15550100200") == 0 && operators.size() == 4 && strcmp(ack, "IMEI:/1") == 0 ? 0 : 1;
}
