// The acknowledgement listener on a local stream socket. One request per connection:
//
//   client: LF LF "<GetPort>" [LF "N" LF]   listener: LF "N" LF <client port in decimal>
//   client: <acknowledgement> [LF "N" LF]   listener: nothing; the outcome is recorded
//
// A text ends at LF N LF or at the end of the client's stream, holds at most 159 characters,
// and must arrive within CLIENT_TIME_LIMIT seconds of the connection being accepted.
#ifndef DM_REGSERVER_H
#define DM_REGSERVER_H

#include <stdio.h>
#include <sys/socket.h>
#include <sys/un.h>

#include "DM_RegUtility.h"

class DMREG_API DM_RegServer {
public:
    enum { SOCKET_PATH_SIZE = 25, RECEIVED_TEXT_SIZE = 160, LISTEN_BACKLOG = 2, CLIENT_TIME_LIMIT = 10 };

    // Creates the socket and binds it to path (at most 24 characters), removing a stale file
    // there first. Failures are traced; listenAndProcess() then ends at once.
    explicit DM_RegServer(const char* path);
    // Closes a listening socket that listenAndProcess() did not get to close.
    ~DM_RegServer();

    // Serves one connection after the other until listening or accepting fails; always 0.
    int listenAndProcess();
    // The steps of one connection: read its text, handle it as an acknowledgement, record a
    // success. A caller that drives them itself sets up the connection's read stream first.
    void parseString();
    void processDMMsg();
    void changeStatus();

private:
    DM_RegServer(const DM_RegServer&) = delete;
    DM_RegServer& operator=(const DM_RegServer&) = delete;

    DMREG_LOCAL bool acceptClient();
    DMREG_LOCAL int nextByte(long long deadlineMs);
    DMREG_LOCAL void closeListeningSocket();

    int m_sockFd;
    socklen_t m_clientAddrLen;
    int m_connFd;
    char m_sockPath[SOCKET_PATH_SIZE];
    char m_recvText[RECEIVED_TEXT_SIZE];
    FILE* m_readStream;
    sockaddr_un m_serverAddr;
    sockaddr_un m_clientAddr;
};

#endif
