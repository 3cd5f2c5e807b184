// Registration decision, status file, message text, acknowledgement check, device identity,
// tree access, and the trace facility that every module writes through.
#include "DM_RegUtility.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "DM_RegTrace.h"
#include "dmreg_config.h"
#include "zavtapi.h"

// The instance of DMVector<DMString> that the library exports to its users.
template class DMVector<DMString>;

// ---------------------------------------------------------------------------------------------
// Trace facility.

namespace {

// Appends text to the line, as much of it as fits before the line's last byte.
void append(char* line, size_t size, size_t& used, const char* text, size_t length)
{
    const size_t fits = std::min(length, size - 1 - used);
    memcpy(line + used, text, fits);
    used += fits;
}

// Levels and source lines are never negative.
void appendNumber(char* line, size_t size, size_t& used, unsigned value)
{
    char digits[12];
    size_t count = 0;
    do {
        digits[sizeof(digits) - 1 - count++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    append(line, size, used, digits + sizeof(digits) - count, count);
}

}  // namespace

// The prefix is put together by hand: a trace line is written for nearly every step, and printf's
// machinery would cost it twice.
void dmreg::trace(int level, const char* file, int line, const char* func, const char* format, ...)
{
    const char* slash = strrchr(file, '/');
    const char* base = slash ? slash + 1 : file;
    char local[512];
    size_t prefixLength = 0;
    append(local, sizeof(local), prefixLength, "{", 1);
    appendNumber(local, sizeof(local), prefixLength, static_cast<unsigned>(level));
    append(local, sizeof(local), prefixLength, "} ", 2);
    append(local, sizeof(local), prefixLength, base, strlen(base));
    append(local, sizeof(local), prefixLength, ":", 1);
    appendNumber(local, sizeof(local), prefixLength, static_cast<unsigned>(line));
    if (func != nullptr) {
        append(local, sizeof(local), prefixLength, ", ", 2);
        append(local, sizeof(local), prefixLength, func, strlen(func));
        append(local, sizeof(local), prefixLength, "()", 2);
    }
    append(local, sizeof(local), prefixLength, "\t", 1);
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    const int body = vsnprintf(local + prefixLength, sizeof(local) - prefixLength, format, args);
    va_end(args);
    // A line longer than the local buffer is formatted again on the heap, or cut if it cannot be.
    size_t total = prefixLength + (body > 0 ? static_cast<size_t>(body) : 0);
    std::unique_ptr<char[]> heap(total >= sizeof(local) ? new (std::nothrow) char[total + 1] : nullptr);
    if (heap) {
        memcpy(heap.get(), local, prefixLength);
        vsnprintf(heap.get() + prefixLength, total + 1 - prefixLength, format, again);
    }
    va_end(again);
    total = std::min(total, heap ? total : sizeof(local) - 1);
    fwrite(heap ? heap.get() : local, 1, total, stderr);
}

namespace {

const char kRegistrationRoot[] = "./DevDetail/Ext/Conf/PMF/Agents/Registration";
const char kDevInfoRoot[] = "./DevInfo";
const char kDevDetailRoot[] = "./DevDetail";
const char kImeiTag[] = "IMEI:";
const size_t kImeiTagLength = sizeof(kImeiTag) - 1;

// The text of a DMString, "" when it holds none.
const char* textOf(const DMString& s)
{
    return s.c_str() ? s.c_str() : "";
}

const char* textOf(const PDmtErrorDescription& error)
{
    return textOf(error->GetErrorText());
}

// Copies a value with its NUL into a caller's DMREG_VALUE_BUFFER_SIZE-byte buffer, or refuses
// it whole, leaving the buffer untouched.
bool deliverValue(const char* func, const char* node, const char* value, char* out)
{
    const size_t length = strlen(value);
    if (out == nullptr || length >= DMREG_VALUE_BUFFER_SIZE) {
        DM_TRACE_AS(func, "%s : value of %zu characters refused, the buffer holds %d\n", node, length,
                    DMREG_VALUE_BUFFER_SIZE - 1);
        return false;
    }
    DM_TRACE_AS(func, "%s : value-->%s\n", node, value);
    memcpy(out, value, length + 1);
    return true;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Tree and node access. These assume an open tree library and never open or close it.

JemSmartPtr<DmtTree> DM_DmtUtility::GetTree(const char* rootPath)
{
    DM_TRACE("ENTER\trootPath=%s\n", rootPath);
    const DmtPrincipal principal("localhost");
    JemSmartPtr<DmtTree> tree;
    const PDmtErrorDescription error = DmtTreeFactory::GetSubtree(principal, rootPath, tree);
    if (error) {
        DM_TRACE_PLATFORM(dmreg::kTraceTree, "Can't get tree: %s\n", textOf(error));
        tree = nullptr;
        return tree;
    }
    DM_TRACE("LEAVE\tGet tree: %s\n", rootPath);
    return tree;
}

JemSmartPtr<DmtNode> DM_DmtUtility::GetNode(JemSmartPtr<DmtTree> tree, const char* nodeName)
{
    DM_TRACE("ENTER\tnodeName=%s\n", nodeName);
    JemSmartPtr<DmtNode> node;
    const PDmtErrorDescription error = tree->GetNode(nodeName, node);
    if (error) {
        DM_TRACE_PLATFORM(dmreg::kTraceTree, "Can't get node: %s\n", textOf(error));
        node = nullptr;
        return node;
    }
    DM_TRACE("LEAVE\tGet node: %s\n", nodeName);
    return node;
}

bool DM_DmtUtility::GetNodeValue(JemSmartPtr<DmtTree> tree, const char* nodeName, DmtData& value)
{
    DM_TRACE("ENTER\tnodeName=%s\n", nodeName);
    JemSmartPtr<DmtNode> node = GetNode(tree, nodeName);
    if (!node) {
        DM_TRACE_PLATFORM(dmreg::kTraceTree, "Can't get node: %s\n", nodeName);
        return false;
    }
    const PDmtErrorDescription error = node->GetValue(value);
    if (error) {
        DM_TRACE_PLATFORM(dmreg::kTraceTree, "Can't get value from node %s, error=%s\n", nodeName, textOf(error));
        return false;
    }
    node = nullptr;
    DM_TRACE("LEAVE\tGet node: %s\n", nodeName);
    return true;
}

bool DM_DmtUtility::GetNodeChildren(JemSmartPtr<DmtTree> tree, const char* nodeName, DMStringVector& children)
{
    DM_TRACE("ENTER\tnodeName=%s\n", nodeName);
    DmtData value;
    if (!GetNodeValue(tree, nodeName, value)) {
        DM_TRACE("Error get node:%s\n", nodeName);
        return false;
    }
    const PDmtErrorDescription error = value.GetNodeValue(children);
    if (error) {
        DM_TRACE_PLATFORM(dmreg::kTraceTree, "Can't get children from node %s, error=%s\n", nodeName, textOf(error));
        return false;
    }
    for (int i = 0; i < children.size(); ++i) {
        DM_TRACE("children[%d]=%s\n", i, textOf(children[i]));
    }
    DM_TRACE("LEAVE\tGet node: %s\n", nodeName);
    return true;
}

bool DM_DmtUtility::GetNodeStringValue(JemSmartPtr<DmtTree> tree, const char* nodeName, DMString& value)
{
    DM_TRACE("ENTER\tnodeName=%s\n", nodeName);
    DmtData data;
    if (!GetNodeValue(tree, nodeName, data)) {
        return false;
    }
    const PDmtErrorDescription error = data.GetString(value);
    if (error) {
        DM_TRACE_PLATFORM(dmreg::kTraceTree, "Can't get string value from node %s, error=%s\n", nodeName, textOf(error));
        return false;
    }
    DM_TRACE("LEAVE\tGet node: %s, value=%s\n", nodeName, textOf(value));
    return true;
}

bool DM_DmtUtility::GetNodeIntValue(JemSmartPtr<DmtTree> tree, const char* nodeName, int& value)
{
    DmtData data;
    if (!GetNodeValue(tree, nodeName, data)) {
        DM_TRACE("Can't get the node value:%s\n", nodeName);
        return false;
    }
    const PDmtErrorDescription error = data.GetInt(value);
    if (error) {
        DM_TRACE_PLATFORM(dmreg::kTraceTree, "Can't get integer value from node %s, error=%s\n", nodeName, textOf(error));
        return false;
    }
    return true;
}

bool DM_DmtUtility::GetNodeBoolValue(JemSmartPtr<DmtTree> tree, const char* nodeName, bool& value)
{
    DmtData data;
    if (!GetNodeValue(tree, nodeName, data)) {
        DM_TRACE("Can't get the node value:%s\n", nodeName);
        return false;
    }
    const PDmtErrorDescription error = data.GetBoolean(value);
    if (error) {
        DM_TRACE_PLATFORM(dmreg::kTraceTree, "Can't get boolean value from node %s, error=%s\n", nodeName, textOf(error));
        return false;
    }
    return true;
}

bool DM_DmtUtility::SetNodeValue(JemSmartPtr<DmtTree> tree, const char* nodeName, const DmtData& value)
{
    DM_TRACE("ENTER\tnodeName=%s\n", nodeName);
    JemSmartPtr<DmtNode> node = GetNode(tree, nodeName);
    if (!node) {
        DM_TRACE_PLATFORM(dmreg::kTraceTree, "Can't get node: %s\n", nodeName);
        return false;
    }
    const PDmtErrorDescription error = node->SetValue(value);
    if (error) {
        DM_TRACE_PLATFORM(dmreg::kTraceTree, "Can't set value of node %s, error=%s\n", nodeName, textOf(error));
        return false;
    }
    node = nullptr;
    DM_TRACE("LEAVE\tset node: %s\n", nodeName);
    return true;
}

// ---------------------------------------------------------------------------------------------
// The accessor frame: one complete opening, use and closing of the tree library.

namespace {

class TreeAccess {
public:
    // Opens the library and the subtree at root; open() tells whether both succeeded.
    TreeAccess(const char* func, const char* root)
        : m_func(func), m_path(root), m_initialised(DmtTreeFactory::Initialize())
    {
        if (!m_initialised) {
            DM_TRACE_AS(m_func, "Dmt tree initialize failed!!\n");
            return;
        }
        m_tree = DM_DmtUtility::GetTree(textOf(m_path));
        if (!m_tree) {
            DM_TRACE_AS(m_func, "Can't get tree:%s\n", textOf(m_path));
        }
    }

    // The tree handle goes before the library is closed.
    ~TreeAccess()
    {
        m_tree = nullptr;
        if (m_initialised) {
            DmtTreeFactory::Uninitialize();
        }
    }

    TreeAccess(const TreeAccess&) = delete;
    TreeAccess& operator=(const TreeAccess&) = delete;

    bool open() const { return static_cast<bool>(m_tree); }
    const JemSmartPtr<DmtTree>& tree() const { return m_tree; }

    // Proves that the node exists; the node handle is dropped at once.
    bool hasNode(const char* node)
    {
        m_path = node;
        if (!DM_DmtUtility::GetNode(m_tree, textOf(m_path))) {
            DM_TRACE_AS(m_func, "Can't get the node:%s \n", textOf(m_path));
            return false;
        }
        return true;
    }

private:
    const char* m_func;
    DMString m_path;
    bool m_initialised;
    JemSmartPtr<DmtTree> m_tree;
};

// What an accessor does with its node once the frame has found it: read it as a string into
// out, as an integer into number or as a flag into flag, or store value (shown in the value line
// as shown, or as number when shown is null).
struct NodeStep {
    enum Kind { kString, kInteger, kFlag, kStore } kind;
    char* out;
    const char* shown;
    int* number;
    bool* flag;
    const DmtData* value;
};

// Runs the frame around one node: the step reads or writes the value, writes the value line and
// hands the value over. One function for every accessor, so that the frame is in the library once.
bool accessNode(const char* func, const char* root, const char* node, const NodeStep& step)
{
    TreeAccess access(func, root);
    if (!access.open() || !access.hasNode(node)) {
        return false;
    }
    const JemSmartPtr<DmtTree>& tree = access.tree();
    switch (step.kind) {
    case NodeStep::kString: {
        DMString value;
        return DM_DmtUtility::GetNodeStringValue(tree, node, value) && deliverValue(func, node, textOf(value), step.out);
    }
    case NodeStep::kInteger:
        if (!DM_DmtUtility::GetNodeIntValue(tree, node, *step.number)) {
            return false;
        }
        break;
    case NodeStep::kFlag:
        *step.flag = false;
        DM_DmtUtility::GetNodeBoolValue(tree, node, *step.flag);  // a failed read is the flag as it stands
        DM_TRACE_AS(func, "%s : value-->%d\n", node, *step.flag ? 1 : 0);
        return true;
    case NodeStep::kStore:
        if (!DM_DmtUtility::SetNodeValue(tree, node, *step.value)) {
            return false;
        }
        if (step.shown != nullptr) {
            DM_TRACE_AS(func, "%s : value-->%s\n", node, step.shown);
            return true;
        }
        break;
    }
    DM_TRACE_AS(func, "%s : value-->%d\n", node, *step.number);
    return true;
}

bool readStringNode(const char* func, const char* root, const char* node, char* out)
{
    return accessNode(func, root, node, NodeStep{NodeStep::kString, out, nullptr, nullptr, nullptr, nullptr});
}

bool readIntNode(const char* func, const char* node, int& value)
{
    return accessNode(func, kRegistrationRoot, node, NodeStep{NodeStep::kInteger, nullptr, nullptr, &value, nullptr, nullptr});
}

uint16_t readPort(const char* func, const char* node)
{
    int value = 0;
    return readIntNode(func, node, value) ? static_cast<uint16_t>(value) : 0;
}

}  // namespace

bool DM_DmtUtility::GetServerNumber(char* number)
{
    return readStringNode(__func__, kRegistrationRoot, "ServerNumber", number);
}

uint16_t DM_DmtUtility::GetServerPort()
{
    return readPort(__func__, "ServerPort");
}

uint16_t DM_DmtUtility::GetClientPort()
{
    return readPort(__func__, "ClientPort");
}

bool DM_DmtUtility::IsFeatureEnable()
{
    bool flag = false;
    accessNode(__func__, kRegistrationRoot, "Enable", NodeStep{NodeStep::kFlag, nullptr, nullptr, nullptr, &flag, nullptr});
    return flag;
}

bool DM_DmtUtility::GetMNCList(DMVector<DMString>& list)
{
    TreeAccess access(__func__, kRegistrationRoot);
    if (!access.open()) {
        return false;
    }
    DMStringVector children;
    if (!GetNodeChildren(access.tree(), "MNC", children)) {
        DM_TRACE("Can't get the node children:%s\n", "MNC");
        return false;
    }
    DM_TRACE("Get MNC children count: %d\n", children.size());
    list.set_size(children.size());
    if (!fetchMnc(list, access.tree(), children)) {
        DM_TRACE("Nothing fetched in MNC\n");
        return false;
    }
    return true;
}

bool DM_DmtUtility::fetchMnc(DMVector<DMString>& list, JemSmartPtr<DmtTree> tree, DMStringVector children)
{
    bool fetched = false;
    DMString path;
    DMString value;
    for (int i = 0; i < children.size(); ++i) {
        path = "MNC";
        path += "/";
        path += textOf(children[i]);
        path += "/";
        path += "Code";
        DM_TRACE("children[%d]=%s\n", i, textOf(children[i]));
        if (!GetNodeStringValue(tree, textOf(path), value)) {
            DM_TRACE("Error get present value of %s, continue to fetch the next\n", textOf(path));
            continue;
        }
        if (value.length() == 0) {
            DM_TRACE("Error retrieve the MNC!\n");
            continue;
        }
        if (i < list.size()) {  // the list is short only when its storage could not grow
            list[i] = textOf(value);
            fetched = true;
        }
    }
    return fetched;
}

bool DM_DmtUtility::GetDevId(char* value)
{
    return readStringNode(__func__, kDevInfoRoot, "DevId", value);
}

bool DM_DmtUtility::GetManufacturer(char* value)
{
    return readStringNode(__func__, kDevInfoRoot, "Man", value);
}

bool DM_DmtUtility::GetModel(char* value)
{
    return readStringNode(__func__, kDevInfoRoot, "Mod", value);
}

bool DM_DmtUtility::GetSoftwareVersion(char* value)
{
    return readStringNode(__func__, kDevDetailRoot, "SwV", value);
}

bool DM_DmtUtility::GetIMSIValue(char* imsi)
{
    return readStringNode(__func__, kRegistrationRoot, "RegIMSI", imsi);
}

bool DM_DmtUtility::SetIMSIValue(const char* imsi)
{
    if (imsi == nullptr) {  // would erase the registered IMSI
        DM_TRACE("Param is NULL!\n");
        return false;
    }
    const DmtData value(imsi);
    return accessNode(__func__, kRegistrationRoot, "RegIMSI",
                      NodeStep{NodeStep::kStore, nullptr, imsi, nullptr, nullptr, &value});
}

bool DM_DmtUtility::GetRegStatusCode(int& code)
{
    return readIntNode(__func__, "RegStatus", code);
}

bool DM_DmtUtility::SetRegStatusCode(int code)
{
    const DmtData value(code);
    return accessNode(__func__, kRegistrationRoot, "RegStatus", NodeStep{NodeStep::kStore, nullptr, nullptr, &code, nullptr, &value});
}

// ---------------------------------------------------------------------------------------------
// SIM and handset identity.

DMString DM_SimUtility::simImsi;
bool DM_SimUtility::fetchSimImsiflag = false;
DMString DM_SimUtility::phoneImei;
bool DM_SimUtility::fetchPhoneImeiflag = false;

namespace {

// Copies an identity of at most TAPI_IDENTITY_LEN - 1 characters with its NUL.
void copyIdentity(char* out, const char* identity)
{
    const size_t length = strnlen(identity, TAPI_IDENTITY_LEN - 1);
    memcpy(out, identity, length);
    out[length] = '\0';
}

}  // namespace

bool DM_SimUtility::GetSimIMSI(char* imsi)
{
    if (imsi == nullptr) {
        DM_TRACE("Param is NULL!\n");
        return false;
    }
    if (fetchSimImsiflag) {
        DM_TRACE("the sim IMSI is :%s\n", textOf(simImsi));
        copyIdentity(imsi, textOf(simImsi));
        return true;
    }
    char fetched[TAPI_IDENTITY_LEN] = {};
    const TAPI_RESULT result = TAPI_ACCE_GetImsi(fetched);
    fetched[TAPI_IDENTITY_LEN - 1] = '\0';
    DM_TRACE("Get Imsi result code:%d\n", result);
    if (result != TAPI_RESULT_SUCCESS) {
        DM_TRACE("Error get SIM IMSI\n");
        return false;
    }
    copyIdentity(imsi, fetched);
    simImsi = fetched;
    fetchSimImsiflag = true;
    DM_TRACE("Success get SIM IMSI:%s\n", imsi);
    return true;
}

bool DM_SimUtility::GetLocalIMEI(char* imei)
{
    DM_TRACE("ENTER\t\n");
    if (imei == nullptr) {
        DM_TRACE("Param is NULL!\n");
        return false;
    }
    DM_TRACE("fetchPhoneImeiflag: %d\n", fetchPhoneImeiflag ? 1 : 0);
    if (fetchPhoneImeiflag) {
        DM_TRACE("Already fetch the imei: %s\n", textOf(phoneImei));
        copyIdentity(imei, textOf(phoneImei));
        return true;
    }
    DM_TRACE("Need to query the tapi for imei\n");
    char fetched[TAPI_IDENTITY_LEN] = {};
    const TAPI_RESULT result = TAPI_ACCE_GetImei(fetched);
    fetched[TAPI_IDENTITY_LEN - 1] = '\0';
    if (result != TAPI_RESULT_SUCCESS) {
        DM_TRACE("LEAVE\t\n");
        return false;
    }
    copyIdentity(imei, fetched);
    phoneImei = fetched;
    fetchPhoneImeiflag = true;
    DM_TRACE("Fetch the imei: %s\n", textOf(phoneImei));
    return true;
}

bool DM_SimUtility::RecordIMSI(const char* imsi)
{
    DM_TRACE("Save to DMT stValue:%s\n", imsi ? imsi : "");
    return DM_DmtUtility::SetIMSIValue(imsi);
}

bool DM_SimUtility::GetLocalIMSI(char* imsi)
{
    return DM_DmtUtility::GetIMSIValue(imsi);
}

bool DM_SimUtility::CheckIMSI()
{
    char stored[DMREG_VALUE_BUFFER_SIZE] = {};
    char sim[DMREG_VALUE_BUFFER_SIZE] = {};
    if (!DM_DmtUtility::GetIMSIValue(stored) || !GetSimIMSI(sim) || strcmp(stored, sim) != 0) {
        DM_TRACE("New sim card with IMSI:%s\n", sim);
        return false;
    }
    DM_TRACE("IMSI code match..\n");
    return true;
}

// ---------------------------------------------------------------------------------------------
// Registration decision.

bool imsiMatchMNCList()
{
    char imsi[DMREG_VALUE_BUFFER_SIZE] = {};
    DMVector<DMString> mncList;
    if (DM_SimUtility::GetSimIMSI(imsi)) {
        DM_TRACE("get SIM card IMSI: %s\n", imsi);
        if (!DM_DmtUtility::GetMNCList(mncList)) {
            DM_TRACE("Error get MNC table\n");
        } else {
            DM_TRACE("Get MNC table successfully with size : %d\n", mncList.size());
            for (int i = 0; i < mncList.size(); ++i) {
                const char* code = textOf(mncList[i]);
                DM_TRACE("mncTable[%d]=%s\n", i, code);
                if (strncmp(code, imsi, 5) == 0) {
                    DM_TRACE("The IMSI match the MNC at %d\n", i);
                    return true;
                }
            }
        }
    }
    DM_TRACE("IMSI do not match MNC table imsi: %s \n", imsi);
    return false;
}

bool dmNeedRegister()
{
    const int kImsiBufferSize = 30;
    char recorded[kImsiBufferSize] = {};
    if (!readImsiFromFile(recorded, kImsiBufferSize)) {
        DM_TRACE("Error read file\n\n");
        return false;
    }
    char sim[kImsiBufferSize] = {};
    if (!DM_SimUtility::GetSimIMSI(sim)) {
        DM_TRACE("Error get sim imsi!\n\n");
        return false;
    }
    if (strncmp(recorded, sim, kImsiBufferSize) == 0) {
        DM_TRACE("SIM card IMSI is same as the file, need not register\n\n");
        return false;
    }
    DM_TRACE("SIM card IMSI is not same as the file, need register\n\n");
    return true;
}

bool isDmFeatureAvailable()
{
    return DM_DmtUtility::IsFeatureEnable();
}

bool getServerNumber(char* number)
{
    return DM_DmtUtility::GetServerNumber(number);
}

uint16_t getDmClientPortNum()
{
    return DM_DmtUtility::GetClientPort();
}

uint16_t getDmServerPortNum()
{
    return DM_DmtUtility::GetServerPort();
}

bool recordSimIMSIToDMT()
{
    DM_TRACE("ENTER\t\n");
    char imsi[DMREG_VALUE_BUFFER_SIZE] = {};
    if (!DM_SimUtility::GetSimIMSI(imsi)) {
        DM_TRACE("Error get sim imsi!\n");
        return false;
    }
    DM_TRACE("Write imsi to dmt...\n");
    return DM_SimUtility::RecordIMSI(imsi);
}

bool setDMRegStatus(int code)
{
    return DM_DmtUtility::SetRegStatusCode(code);
}

// ---------------------------------------------------------------------------------------------
// Registration status file.

namespace {

// A call interrupted by a signal before it did anything is made again.
template <class Call>
auto retryOnSignal(Call call) -> decltype(call())
{
    decltype(call()) result;
    do {
        result = call();
    } while (result < 0 && errno == EINTR);
    return result;
}

// A new record goes to a file beside the status file, which then replaces it whole: a failure
// or a crash at any moment leaves the old record or the new one, never an empty or partial
// file. The process's file-creation mask is not touched (another thread of the host may be
// using it): the mode is set on the new file's own descriptor, 0777 for a first record, the old
// file's mode otherwise.
const char kNewStatusFile[] = DMREG_STATUS_FILE ".new";

// The rename is durable only once the folder that holds both names is: without this, a power cut
// soon after could bring back the old record.
int syncStatusFolder()
{
    char folder[sizeof(DMREG_STATUS_FILE)] = DMREG_STATUS_FILE;  // an absolute path (CMakeLists.txt)
    const size_t slash = static_cast<size_t>(strrchr(folder, '/') - folder);
    folder[slash + static_cast<size_t>(slash == 0)] = '\0';  // "/" for a file of the root
    const int fd = retryOnSignal([&] { return open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC); });
    const int error = fd < 0 || fsync(fd) != 0 ? errno : 0;
    if (fd >= 0) {
        close(fd);
    }
    return error;
}

}  // namespace

void writeImsiToFile(char* imsi)
{
    const char* digits = imsi ? imsi : "";
    DM_TRACE("write IMSI to file:%s\n", digits);
    unlink(kNewStatusFile);  // left by an earlier crash
    const int fd = retryOnSignal([] { return open(kNewStatusFile, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600); });
    if (fd < 0) {
        DM_TRACE("Cannot open %s to record the IMSI: %s\n", kNewStatusFile, strerror(errno));
        return;
    }
    struct stat old;
    const mode_t mode = stat(DMREG_STATUS_FILE, &old) == 0 ? (old.st_mode & 07777) : 0777;
    const size_t length = strlen(digits);
    int error = 0;
    for (size_t done = 0; error == 0 && done < length;) {
        const ssize_t written = retryOnSignal([&] { return write(fd, digits + done, length - done); });
        error = written < 0 ? errno : written == 0 ? EIO : 0;
        done += written > 0 ? static_cast<size_t>(written) : 0;
    }
    if (error == 0 && (fchmod(fd, mode) != 0 || fsync(fd) != 0)) {
        error = errno;
    }
    close(fd);
    if (error == 0 && rename(kNewStatusFile, DMREG_STATUS_FILE) != 0) {
        error = errno;
    }
    if (error != 0) {
        DM_TRACE("Cannot record the IMSI in %s: %s\n", DMREG_STATUS_FILE, strerror(error));
        unlink(kNewStatusFile);
        return;
    }
    error = syncStatusFolder();
    if (error != 0) {
        DM_TRACE("The IMSI is in %s, but its folder could not be synced: %s\n", DMREG_STATUS_FILE, strerror(error));
    }
}

bool readImsiFromFile(char* buffer, int length)
{
    if (access(DMREG_STATUS_FILE, R_OK) != 0) {
        DM_TRACE("File not exist\n");
        return true;
    }
    // Only a regular file is a record: a link is not followed and a FIFO does not block the read.
    const int fd = retryOnSignal([] { return open(DMREG_STATUS_FILE, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK); });
    ssize_t got = -1;
    if (fd >= 0) {
        struct stat file {};
        fstat(fd, &file);  // of a descriptor just opened; were it to fail, a mode of 0 is no regular file
        const size_t room = (buffer != nullptr && length > 1) ? static_cast<size_t>(length) - 1 : 0;
        got = S_ISREG(file.st_mode) ? retryOnSignal([&] { return read(fd, buffer, room); }) : -1;
        close(fd);
    }
    if (got > 0) {
        DM_TRACE("read IMSI from file:%s\n", buffer);
        return true;
    }
    if (got == 0) {
        DM_TRACE("No IMSI saved in the file\n");
        return true;
    }
    DM_TRACE("Read file error\n");
    return false;
}

// ---------------------------------------------------------------------------------------------
// Registration message and acknowledgement.

void getDmRegString(char* msg)
{
    DMString text(kImeiTag);
    DM_TRACE("ENTER\t\n");
    if (msg == nullptr) {
        DM_TRACE("msg is NULL!\n");
        return;
    }
    char value[DMREG_VALUE_BUFFER_SIZE] = {};
    DM_SimUtility::GetLocalIMEI(value);
    text += value;
    text += "/";
    bool (*const deviceValues[])(char*) = {DM_DmtUtility::GetManufacturer, DM_DmtUtility::GetModel,
                                           DM_DmtUtility::GetSoftwareVersion};
    for (size_t i = 0; i < sizeof(deviceValues) / sizeof(deviceValues[0]); ++i) {
        memset(value, 0, sizeof(value));
        if (deviceValues[i](value)) {
            text += value;
        }
        if (i + 1 < sizeof(deviceValues) / sizeof(deviceValues[0])) {
            text += "/";
        }
    }
    DM_TRACE("LEAVE\tRegister string is %s\n", textOf(text));
    size_t length = strlen(textOf(text));
    if (length >= DMREG_MESSAGE_BUFFER_SIZE) {
        DM_TRACE("Register string of %zu characters cut to %d\n", length, DMREG_MESSAGE_BUFFER_SIZE - 1);
        length = DMREG_MESSAGE_BUFFER_SIZE - 1;
    }
    memcpy(msg, textOf(text), length);
    msg[length] = '\0';
}

namespace {

// The IMEI field of an acknowledgement: after the first "IMEI:", up to the first "/" after it.
struct ImeiField {
    const char* start;
    size_t length;
};

bool findImeiField(const char* content, ImeiField& field, bool& tagFound)
{
    const char* tag = strstr(content, kImeiTag);
    tagFound = tag != nullptr;
    if (!tagFound) {
        return false;
    }
    field.start = tag + kImeiTagLength;
    const char* slash = strchr(field.start, '/');
    if (slash == nullptr) {
        return false;
    }
    field.length = static_cast<size_t>(slash - field.start);
    return true;
}

}  // namespace

bool isContentValid(const char* content)
{
    if (content == nullptr) {
        DM_TRACE("content is NULL! or Too Long!!\n");
        return false;
    }
    if (content[0] == '\0') {
        DM_TRACE("parameter wrong\n");
        return false;
    }
    DM_TRACE("content is %s length is %d\n", content, static_cast<int>(strlen(content)));
    ImeiField field{};
    bool tagFound = false;
    if (!findImeiField(content, field, tagFound)) {
        if (!tagFound) {
            DM_TRACE("Can't find IMEI: sub string!\n");
        } else {
            DM_TRACE("Wrong format without token: /\n");
        }
        return false;
    }
    if (field.length >= DMREG_VALUE_BUFFER_SIZE) {
        DM_TRACE("length is too large!\n");
        return false;
    }
    return true;
}

bool dmRegSuccess(const char* content)
{
    if (!isContentValid(content)) {
        return false;
    }
    ImeiField field{};
    bool tagFound = false;
    findImeiField(content, field, tagFound);
    char ackImei[DMREG_VALUE_BUFFER_SIZE] = {};
    memcpy(ackImei, field.start, field.length);
    char imei[DMREG_VALUE_BUFFER_SIZE] = {};
    if (!DM_SimUtility::GetLocalIMEI(imei)) {
        DM_TRACE("Error get imei from dmt!\n");
        return false;
    }
    DM_TRACE("ackImei: %s\n", ackImei);
    DM_TRACE("imei: %s\n", imei);
    if (strcmp(ackImei, imei) != 0) {
        DM_TRACE("Receive imei does not match the phone's!\n");
        return false;
    }
    const char code = content[strlen(content) - 1];
    DM_TRACE("result code %c\n", code);
    return code == '1';
}

void getDmAckString(char* msg)
{
    DMString text(kImeiTag);
    DM_TRACE("ENTER\t\n");
    if (msg == nullptr) {
        DM_TRACE("msg is NULL!\n");
        return;
    }
    char imei[DMREG_VALUE_BUFFER_SIZE] = {};
    DM_SimUtility::GetLocalIMEI(imei);
    text += imei;
    text += "/";
    text += "1";
    // At most the tag, 15 digits, "/" and "1".
    const size_t length = strlen(textOf(text));
    memcpy(msg, textOf(text), length + 1);
    DM_TRACE("LEAVE\tRegister string is %s\n", textOf(text));
}
