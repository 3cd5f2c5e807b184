// Expected trace lines of the registration flow, built from the pieces that the tree access and
// the identity functions write, so that a whole flow can be compared line by line.
#ifndef TESTS_FLOW_LINES_H
#define TESTS_FLOW_LINES_H

#include <string>
#include <vector>

#include "handset.h"
#include "stderr_capture.h"

namespace flow {

using Lines = std::vector<std::string>;

inline std::string launch(const std::string& func, const std::string& message)
{
    return testsupport::traceLine(5, "DM_RegLaunch.cpp", func, message);
}

inline std::string util(const std::string& func, const std::string& message)
{
    return testsupport::traceLine(5, "DM_RegUtility.cpp", func, message);
}

// A tree-library error line of the utility module.
inline std::string treeError(const std::string& message)
{
    return testsupport::platformLine(3, "DM_RegUtility.cpp", message);
}

inline Lines& operator+=(Lines& lines, const Lines& more)
{
    lines.insert(lines.end(), more.begin(), more.end());
    return lines;
}

// GetTree on a root, then the frame's GetNode check of a node.
inline Lines openAndCheck(const std::string& root, const std::string& node)
{
    Lines lines{util("GetTree", "ENTER\trootPath=" + root), util("GetTree", "LEAVE\tGet tree: " + root)};
    if (!node.empty()) {
        lines += {util("GetNode", "ENTER\tnodeName=" + node), util("GetNode", "LEAVE\tGet node: " + node)};
    }
    return lines;
}

inline Lines valueRead(const std::string& node)
{
    return {util("GetNodeValue", "ENTER\tnodeName=" + node), util("GetNode", "ENTER\tnodeName=" + node),
            util("GetNode", "LEAVE\tGet node: " + node), util("GetNodeValue", "LEAVE\tGet node: " + node)};
}

inline Lines stringRead(const std::string& node, const std::string& value)
{
    Lines lines{util("GetNodeStringValue", "ENTER\tnodeName=" + node)};
    lines += valueRead(node);
    lines += {util("GetNodeStringValue", "LEAVE\tGet node: " + node + ", value=" + value)};
    return lines;
}

// A string accessor run through the whole frame.
inline Lines stringAccessor(const std::string& func, const std::string& root, const std::string& node,
                            const std::string& value)
{
    Lines lines = openAndCheck(root, node);
    lines += stringRead(node, value);
    lines += {util(func, node + " : value-->" + value)};
    return lines;
}

// An integer or boolean accessor run through the whole frame.
inline Lines numberAccessor(const std::string& func, const std::string& node, const std::string& value)
{
    Lines lines = openAndCheck(testsupport::kRegRoot, node);
    lines += valueRead(node);
    lines += {util(func, node + " : value-->" + value)};
    return lines;
}

inline Lines imsiFetched(const std::string& imsi)
{
    return {util("GetSimIMSI", "Get Imsi result code:0"), util("GetSimIMSI", "Success get SIM IMSI:" + imsi)};
}

// imsiMatchMNCList on the handset tree: the IMSI matches the second operator.
inline Lines operatorMatch(const std::string& imsi)
{
    Lines lines = imsiFetched(imsi);
    lines += {util("imsiMatchMNCList", "get SIM card IMSI: " + imsi)};
    lines += openAndCheck(testsupport::kRegRoot, "");
    lines += {util("GetNodeChildren", "ENTER\tnodeName=MNC")};
    lines += valueRead("MNC");
    lines += {util("GetNodeChildren", "children[0]=Op1"), util("GetNodeChildren", "children[1]=Op2"),
              util("GetNodeChildren", "LEAVE\tGet node: MNC"), util("GetMNCList", "Get MNC children count: 2"),
              util("fetchMnc", "children[0]=Op1")};
    lines += stringRead("MNC/Op1/Code", "46000");
    lines += {util("fetchMnc", "children[1]=Op2")};
    lines += stringRead("MNC/Op2/Code", "00101");
    lines += {util("imsiMatchMNCList", "Get MNC table successfully with size : 2"),
              util("imsiMatchMNCList", "mncTable[0]=46000"), util("imsiMatchMNCList", "mncTable[1]=00101"),
              util("imsiMatchMNCList", "The IMSI match the MNC at 1")};
    return lines;
}

inline Lines featureEnabled()
{
    Lines lines = numberAccessor("IsFeatureEnable", "Enable", "1");
    lines += {launch("activateDmRegister", "DM feature available")};
    return lines;
}

inline Lines pinEntered()
{
    return {launch("simPINisOpen", "TAPI_SECURITY_GetPin1Status result 0,active 0"),
            launch("simPINisOpen", "------------PIN is input correctly----------------")};
}

inline Lines pinNotEntered()
{
    return {launch("simPINisOpen", "TAPI_SECURITY_GetPin1Status result 0,active 1"),
            launch("simPINisOpen", "------------PIN is not input correctly----------------"),
            launch("launchDmListener", "PIN is ON, check after 10 second")};
}

// getDmRegString on the handset tree with the default IMEI.
inline Lines registrationText(const std::string& imei)
{
    Lines lines{util("getDmRegString", "ENTER\t"), util("GetLocalIMEI", "ENTER\t"),
                util("GetLocalIMEI", "fetchPhoneImeiflag: 0"), util("GetLocalIMEI", "Need to query the tapi for imei"),
                util("GetLocalIMEI", "Fetch the imei: " + imei)};
    lines += stringAccessor("GetManufacturer", "./DevInfo", "Man", "Zav");
    lines += stringAccessor("GetModel", "./DevInfo", "Mod", "ZV-100");
    lines += stringAccessor("GetSoftwareVersion", "./DevDetail", "SwV", "1.0.3");
    lines += {util("getDmRegString", "LEAVE\tRegister string is IMEI:" + imei + "/Zav/ZV-100/1.0.3")};
    return lines;
}

}  // namespace flow

#endif
