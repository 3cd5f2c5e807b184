// Registration decision, status file, message text, acknowledgement check, device identity and
// device-management tree access.
//
// Text results are copied with their NUL into buffers that the caller supplies and fills with
// zero bytes first. Tree values and identities are delivered into buffers of
// DMREG_VALUE_BUFFER_SIZE bytes at least; a value that does not fit is refused, never cut.
#ifndef DM_REGUTILITY_H
#define DM_REGUTILITY_H

#include <stdint.h>

#include <utility/dmvector>

#include "dmt.hpp"

#define DMREG_API __attribute__((visibility("default")))
// Members that are not part of the interface.
#define DMREG_LOCAL __attribute__((visibility("hidden")))

enum {
    DMREG_VALUE_BUFFER_SIZE = 200,  // tree values, IMSI and IMEI
    DMREG_MESSAGE_BUFFER_SIZE = 160 // the registration message
};

// Registration decision.
DMREG_API bool imsiMatchMNCList();
DMREG_API bool dmNeedRegister();
DMREG_API bool isDmFeatureAvailable();
DMREG_API bool getServerNumber(char* number);
DMREG_API uint16_t getDmClientPortNum();
DMREG_API uint16_t getDmServerPortNum();
DMREG_API bool recordSimIMSIToDMT();
DMREG_API bool setDMRegStatus(int code);

// Registration status file: the digits of the IMSI last registered.
DMREG_API void writeImsiToFile(char* imsi);
// Reads at most length - 1 bytes, so that the zero-filled buffer stays terminated.
DMREG_API bool readImsiFromFile(char* buffer, int length);

// Registration message, cut to fit a DMREG_MESSAGE_BUFFER_SIZE-byte buffer.
DMREG_API void getDmRegString(char* msg);

// Acknowledgement: "IMEI:", the IMEI, "/", any text; the last character "1" means accepted.
DMREG_API bool isContentValid(const char* content);
DMREG_API bool dmRegSuccess(const char* content);
DMREG_API void getDmAckString(char* msg);

class DMREG_API DM_SimUtility {
public:
    static bool GetSimIMSI(char* imsi);
    static bool GetLocalIMEI(char* imei);
    static bool RecordIMSI(const char* imsi);
    static bool GetLocalIMSI(char* imsi);
    static bool CheckIMSI();

    // Identity caches: filled by the first successful telephony query, kept for the process.
    static DMString simImsi;
    static bool fetchSimImsiflag;
    static DMString phoneImei;
    static bool fetchPhoneImeiflag;

private:
    DM_SimUtility() = delete;
};

class DMREG_API DM_DmtUtility {
public:
    // Tree and node access inside an open tree library.
    static JemSmartPtr<DmtTree> GetTree(const char* rootPath);
    static JemSmartPtr<DmtNode> GetNode(JemSmartPtr<DmtTree> tree, const char* nodeName);
    static bool GetNodeValue(JemSmartPtr<DmtTree> tree, const char* nodeName, DmtData& value);
    static bool GetNodeChildren(JemSmartPtr<DmtTree> tree, const char* nodeName, DMStringVector& children);
    static bool GetNodeStringValue(JemSmartPtr<DmtTree> tree, const char* nodeName, DMString& value);
    static bool GetNodeIntValue(JemSmartPtr<DmtTree> tree, const char* nodeName, int& value);
    static bool GetNodeBoolValue(JemSmartPtr<DmtTree> tree, const char* nodeName, bool& value);
    static bool SetNodeValue(JemSmartPtr<DmtTree> tree, const char* nodeName, const DmtData& value);

    // Registration settings; each call opens and closes the tree library.
    static bool GetServerNumber(char* number);
    static uint16_t GetServerPort();
    static uint16_t GetClientPort();
    static bool IsFeatureEnable();
    static bool GetMNCList(DMVector<DMString>& list);
    static bool fetchMnc(DMVector<DMString>& list, JemSmartPtr<DmtTree> tree, DMStringVector children);

    // Device information.
    static bool GetDevId(char* value);
    static bool GetManufacturer(char* value);
    static bool GetModel(char* value);
    static bool GetSoftwareVersion(char* value);

    // Registration state.
    static bool GetIMSIValue(char* imsi);
    static bool SetIMSIValue(const char* imsi);
    static bool GetRegStatusCode(int& code);
    static bool SetRegStatusCode(int code);

private:
    DM_DmtUtility() = delete;
};

#endif
