// Stand-in for the handset's telephony service: answers the six TAPI_ calls from scripts set by
// a test or read from the scenario file named by ZAVTAPI_SCENARIO.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "zavtapi_control.h"

namespace zavtapi {
namespace {

constexpr int kCallKinds = 6;
constexpr size_t kMaxIdentityDigits = TAPI_IDENTITY_LEN - 1;
constexpr size_t kMaxLoggedCalls = 10000;

// A list of successive answers; the last one repeats.
template <class T>
struct Script {
    std::vector<T> items;
    size_t next = 0;
    T take()
    {
        if (items.empty()) {
            return T();
        }
        const T& item = items[next < items.size() ? next : items.size() - 1];
        if (next < items.size()) {
            ++next;
        }
        return item;
    }
};

struct State {
    Script<int> results[kCallKinds];
    Script<int> simStatus;
    Script<int> pin1Active;
    Script<std::string> imsi;
    Script<std::string> imei;
    Script<std::string> serviceCentre;
    int calls[kCallKinds] = {};
    std::vector<Call> log;  // the first calls
    long callNumber = 0;
    long failCallNumber = 0;
    int failCallResult = 0;
    std::vector<SentSms> sent;
    std::string outbox;
    bool broken = false;      // a malformed scenario: every call answers "not initiated"
    bool configured = false;  // the scenario variable has been consulted (or a test took over)
};

std::mutex g_mutex;
State g_state;

void setDefaults(State& s)
{
    s = State();
    for (auto& r : s.results) {
        r.items = {TAPI_RESULT_SUCCESS};
    }
    s.simStatus.items = {TAPI_SIM_READY};
    s.pin1Active.items = {0};
    s.imsi.items = {kDefaultImsi};
    s.imei.items = {kDefaultImei};
    s.serviceCentre.items = {kDefaultServiceCentre};
    s.configured = true;
}

bool parseInts(const std::string& text, std::vector<int>& out)
{
    out.clear();
    const char* p = text.c_str();
    while (*p != '\0') {
        while (*p == ' ' || *p == '\t') {
            ++p;
        }
        if (*p == '\0') {
            break;
        }
        char* end = nullptr;
        errno = 0;
        const long v = strtol(p, &end, 10);
        if (end == p || errno != 0 || v < INT32_MIN || v > INT32_MAX || (*end != '\0' && *end != ' ' && *end != '\t')) {
            return false;
        }
        out.push_back(static_cast<int>(v));
        p = end;
    }
    return !out.empty();
}

std::vector<std::string> splitWords(const std::string& text)
{
    std::vector<std::string> words;
    size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) {
            ++i;
        }
        size_t j = i;
        while (j < text.size() && text[j] != ' ' && text[j] != '\t') {
            ++j;
        }
        if (j > i) {
            words.push_back(text.substr(i, j - i));
        }
        i = j;
    }
    return words;
}

std::string trim(const std::string& s)
{
    size_t b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos) {
        return "";
    }
    size_t e = s.find_last_not_of(" \t\r\n");
    return s.substr(b, e - b + 1);
}

bool isDigits(const std::string& s)
{
    return s.find_first_not_of("0123456789") == std::string::npos;
}

// Applies one "key = value" line; returns an error text, empty on success.
std::string applySetting(State& s, const std::string& key, const std::string& value)
{
    struct IntKey {
        const char* name;
        Script<int>* script;
    };
    const IntKey intKeys[] = {
        {"sim_status", &s.simStatus},
        {"sim_status_result", &s.results[static_cast<int>(Call::SimCardStatus)]},
        {"pin1_result", &s.results[static_cast<int>(Call::Pin1Status)]},
        {"pin1_active", &s.pin1Active},
        {"imsi_result", &s.results[static_cast<int>(Call::Imsi)]},
        {"imei_result", &s.results[static_cast<int>(Call::Imei)]},
        {"service_centre_result", &s.results[static_cast<int>(Call::ServiceCenter)]},
        {"send_result", &s.results[static_cast<int>(Call::SendPortSm)]},
    };
    for (const IntKey& k : intKeys) {
        if (key == k.name) {
            std::vector<int> values;
            if (!parseInts(value, values)) {
                return "bad number in '" + value + "'";
            }
            k.script->items = values;
            k.script->next = 0;
            return "";
        }
    }
    struct TextKey {
        const char* name;
        Script<std::string>* script;
        bool identity;
    };
    const TextKey textKeys[] = {
        {"imsi", &s.imsi, true},
        {"imei", &s.imei, true},
        {"service_centre", &s.serviceCentre, false},
    };
    for (const TextKey& k : textKeys) {
        if (key == k.name) {
            std::vector<std::string> words = splitWords(value);
            if (words.empty()) {
                return "no value for " + key;
            }
            for (const std::string& w : words) {
                if (k.identity && (w.size() > kMaxIdentityDigits || !isDigits(w))) {
                    return key + " '" + w + "' is not a string of at most 15 digits";
                }
                if (!k.identity && w.size() >= TAPI_SMS_ADDRESS_LEN) {
                    return key + " '" + w + "' is longer than 41 characters";
                }
            }
            k.script->items = words;
            k.script->next = 0;
            return "";
        }
    }
    if (key == "outbox") {
        s.outbox = value;
        return "";
    }
    return "unknown key '" + key + "'";
}

bool loadScenarioLocked(const char* path)
{
    setDefaults(g_state);
    FILE* f = fopen(path, "r");
    if (f == nullptr) {
        fprintf(stderr, "zavtapi: %s: cannot open scenario: %s\n", path, strerror(errno));
        g_state.broken = true;
        return false;
    }
    char* line = nullptr;
    size_t cap = 0;
    int lineNo = 0;
    bool ok = true;
    while (ok && getline(&line, &cap, f) >= 0) {
        ++lineNo;
        std::string text = trim(line);
        if (text.empty() || text[0] == '#') {
            continue;
        }
        const size_t eq = text.find('=');
        std::string error;
        if (eq == std::string::npos) {
            error = "expected 'key = value'";
        } else {
            error = applySetting(g_state, trim(text.substr(0, eq)), trim(text.substr(eq + 1)));
        }
        if (!error.empty()) {
            fprintf(stderr, "zavtapi: %s:%d: %s\n", path, lineNo, error.c_str());
            ok = false;
        }
    }
    free(line);  // NOLINT(cppcoreguidelines-no-malloc): getline's own buffer
    fclose(f);
    g_state.broken = !ok;
    return ok;
}

// Reads ZAVTAPI_SCENARIO at the first call, unless a test has taken over.
State& state()
{
    if (!g_state.configured) {
        const char* path = getenv("ZAVTAPI_SCENARIO");
        if (path != nullptr && path[0] != '\0') {
            loadScenarioLocked(path);
        } else {
            setDefaults(g_state);
        }
    }
    return g_state;
}

// Counts the call and takes its next result code.
int begin(State& s, Call call)
{
    const int i = static_cast<int>(call);
    ++s.calls[i];
    if (s.log.size() < kMaxLoggedCalls) {  // a PIN wait of days must not grow the host
        s.log.push_back(call);
    }
    const int result = s.broken ? TAPI_RESULT_NOT_INITIATED : s.results[i].take();
    return ++s.callNumber == s.failCallNumber ? s.failCallResult : result;
}

void copyIdentity(Script<std::string>& script, char* out)
{
    const std::string value = script.take();
    if (out != nullptr) {
        const size_t n = value.size() < kMaxIdentityDigits ? value.size() : kMaxIdentityDigits;
        memcpy(out, value.data(), n);
        out[n] = '\0';
    }
}

void appendToOutbox(const State& s, const _TAPI_SMS_SEND_PORT_SM_S& sms, const std::string& data)
{
    if (s.outbox.empty()) {
        return;
    }
    FILE* f = fopen(s.outbox.c_str(), "a");
    if (f == nullptr) {
        fprintf(stderr, "zavtapi: cannot append to outbox %s: %s\n", s.outbox.c_str(), strerror(errno));
        return;
    }
    fprintf(f, "src=%u dst=%u sc=%.*s to=%.*s len=%u data=", static_cast<unsigned>(sms.srcPort),
            static_cast<unsigned>(sms.destPort), TAPI_SMS_ADDRESS_LEN, sms.serviceCenter, TAPI_SMS_ADDRESS_LEN,
            sms.serveraddr, static_cast<unsigned>(sms.dataLen));
    fwrite(data.data(), 1, data.size(), f);
    fputc('\n', f);
    fclose(f);
}

}  // namespace

void reset()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    setDefaults(g_state);
}

bool loadScenario(const char* path)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    return loadScenarioLocked(path);
}

void setResults(Call call, const std::vector<int>& results)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    state().results[static_cast<int>(call)] = Script<int>{results, 0};
}

void setSimStatus(const std::vector<int>& statuses)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    state().simStatus = Script<int>{statuses, 0};
}

void setPin1Active(const std::vector<int>& flags)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    state().pin1Active = Script<int>{flags, 0};
}

void setImsi(const std::vector<std::string>& imsis)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    state().imsi = Script<std::string>{imsis, 0};
}

void setImei(const std::vector<std::string>& imeis)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    state().imei = Script<std::string>{imeis, 0};
}

void setServiceCentre(const std::vector<std::string>& numbers)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    state().serviceCentre = Script<std::string>{numbers, 0};
}

void setOutbox(const std::string& path)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    state().outbox = path;
}

int calls(Call call)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    return state().calls[static_cast<int>(call)];
}

std::vector<Call> callLog()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    return state().log;
}

void failCall(int n, int result)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    state().failCallNumber = n;
    state().failCallResult = result;
}

std::vector<SentSms> sent()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    return state().sent;
}

}  // namespace zavtapi

using zavtapi::Call;

extern "C" {

TAPI_RESULT TAPI_ACCE_GetSimCardStatus(int32_t* status)
{
    std::lock_guard<std::mutex> lock(zavtapi::g_mutex);
    zavtapi::State& s = zavtapi::state();
    const int result = zavtapi::begin(s, Call::SimCardStatus);
    const int value = s.simStatus.take();
    if (result == TAPI_RESULT_SUCCESS && status != nullptr) {
        *status = value;
    }
    return result;
}

TAPI_RESULT TAPI_SECURITY_GetPin1Status(int32_t /*pin*/, uint8_t* active)
{
    std::lock_guard<std::mutex> lock(zavtapi::g_mutex);
    zavtapi::State& s = zavtapi::state();
    const int result = zavtapi::begin(s, Call::Pin1Status);
    const int value = s.pin1Active.take();
    if (result != TAPI_RESULT_NOT_INITIATED && active != nullptr) {
        *active = static_cast<uint8_t>(value);
    }
    return result;
}

TAPI_RESULT TAPI_ACCE_GetImsi(char* imsi)
{
    std::lock_guard<std::mutex> lock(zavtapi::g_mutex);
    zavtapi::State& s = zavtapi::state();
    const int result = zavtapi::begin(s, Call::Imsi);
    if (result == TAPI_RESULT_SUCCESS) {
        zavtapi::copyIdentity(s.imsi, imsi);
    }
    return result;
}

TAPI_RESULT TAPI_ACCE_GetImei(char* imei)
{
    std::lock_guard<std::mutex> lock(zavtapi::g_mutex);
    zavtapi::State& s = zavtapi::state();
    const int result = zavtapi::begin(s, Call::Imei);
    if (result == TAPI_RESULT_SUCCESS) {
        zavtapi::copyIdentity(s.imei, imei);
    }
    return result;
}

TAPI_RESULT TAPI_SMS_GetServiceCenter(char* serviceCenter)
{
    std::lock_guard<std::mutex> lock(zavtapi::g_mutex);
    zavtapi::State& s = zavtapi::state();
    const int result = zavtapi::begin(s, Call::ServiceCenter);
    if (result == TAPI_RESULT_SUCCESS && serviceCenter != nullptr) {
        const std::string number = s.serviceCentre.take();
        snprintf(serviceCenter, TAPI_SMS_ADDRESS_LEN, "%s", number.c_str());
    }
    return result;
}

TAPI_RESULT TAPI_SMS_SendPortNumberSmUnblockMode(const _TAPI_SMS_SEND_PORT_SM_S* sms, uint32_t* requestId)
{
    std::lock_guard<std::mutex> lock(zavtapi::g_mutex);
    zavtapi::State& s = zavtapi::state();
    int result = zavtapi::begin(s, Call::SendPortSm);
    if (sms == nullptr) {
        return result == TAPI_RESULT_SUCCESS ? 1 : result;
    }
    zavtapi::SentSms captured;
    const auto* bytes = reinterpret_cast<const unsigned char*>(sms);
    captured.record.assign(bytes, bytes + sizeof(*sms));
    if (sms->pData != nullptr) {
        captured.data.assign(sms->pData, sms->dataLen);
    }
    captured.dataPointer = sms->pData;
    captured.result = result;
    s.sent.push_back(captured);
    if (result == TAPI_RESULT_SUCCESS) {
        zavtapi::appendToOutbox(s, *sms, captured.data);
        if (requestId != nullptr) {
            *requestId = static_cast<uint32_t>(s.sent.size());
        }
    }
    return result;
}

}  // extern "C"
