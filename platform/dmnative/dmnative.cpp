// Stand-in for the handset's device-management tree library. The tree lives in a text file
// named by DMNATIVE_TREE, one node a line:
//
//     <path from the root> <type> [<value>]
//
// with type string, int, bool (true/false) or node (an interior node). Interior nodes are
// otherwise implied by the paths; children are listed in the order the file first names them.
// The file is read when the first access opens and rewritten atomically after every stored
// value, so that a recorded value survives the process and a crash leaves the old or the new
// file, never a mix.
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <new>
#include <mutex>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

#include "dmnative_control.h"
#include "dmt.hpp"

template class DMVector<DMString>;

namespace {

std::atomic<long> g_liveBlocks{0};
std::atomic<int> g_refusedAllocations{0};
std::atomic<long> g_liveHandles{0};

char* copyText(const char* text)
{
    if (text == nullptr || text[0] == '\0') {
        return nullptr;
    }
    const size_t n = strlen(text) + 1;
    char* copy = new (std::nothrow) char[n];
    if (copy != nullptr) {
        memcpy(copy, text, n);
    }
    return copy;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Strings, storage and reference-counted objects.

extern "C" void* DmtMemAllocEx(size_t size, const char* /*file*/, int /*line*/)
{
    int refuse = g_refusedAllocations.load();
    while (refuse > 0 && !g_refusedAllocations.compare_exchange_weak(refuse, refuse - 1)) {
    }
    if (refuse > 0) {
        return nullptr;
    }
    void* block = ::operator new(size == 0 ? 1 : size, std::nothrow);
    if (block != nullptr) {
        ++g_liveBlocks;
    }
    return block;
}

extern "C" void DmtMemFree(void* block)
{
    if (block != nullptr) {
        --g_liveBlocks;
        ::operator delete(block);
    }
}

DMString::DMString(const char* text) : m_pStr(copyText(text)) {}

DMString::DMString(const DMString& other) : m_pStr(copyText(other.m_pStr)) {}

DMString::~DMString()
{
    delete[] m_pStr;
}

DMString& DMString::operator=(const char* text)
{
    char* copy = copyText(text);  // before freeing: text may be our own
    delete[] m_pStr;
    m_pStr = copy;
    return *this;
}

DMString& DMString::operator=(const DMString& other)
{
    if (&other != this) {
        *this = other.m_pStr;
    }
    return *this;
}

DMString& DMString::operator+=(const char* text)
{
    if (text == nullptr || text[0] == '\0') {
        return *this;
    }
    const size_t have = m_pStr ? strlen(m_pStr) : 0;
    const size_t add = strlen(text);
    char* joined = new (std::nothrow) char[have + add + 1];
    if (joined == nullptr) {
        return *this;
    }
    if (have > 0) {
        memcpy(joined, m_pStr, have);
    }
    memcpy(joined + have, text, add + 1);
    delete[] m_pStr;
    m_pStr = joined;
    return *this;
}

int DMString::length() const
{
    return m_pStr ? static_cast<int>(strlen(m_pStr)) : 0;
}

JemBaseObject::JemBaseObject() : m_nRefCount(0)
{
    ++g_liveHandles;
}

JemBaseObject::~JemBaseObject()
{
    --g_liveHandles;
}

DmtErrorDescription::DmtErrorDescription(const char* text) : m_text(text) {}
DmtErrorDescription::~DmtErrorDescription() = default;
DmtNode::~DmtNode() = default;
DmtTree::~DmtTree() = default;

// ---------------------------------------------------------------------------------------------
// Injected failures and counters.

namespace {

struct Failure {
    std::string text;
    bool emptyText;
};

// Guards everything below and the tree; recursive because storing a value reads it through
// the public readers.
std::recursive_mutex g_mutex;
// Set while the stand-in reads a value for itself: such reads are not counted or failed.
thread_local bool t_internalRead = false;
std::map<std::pair<int, std::string>, Failure> g_failures;
long g_failCallNumber = 0;
Failure g_failCallError;
long g_failableCalls = 0;
int g_successfulInitializeCalls = 0;
int g_uninitializeCalls = 0;

PDmtErrorDescription makeError(const std::string& text)
{
    return PDmtErrorDescription(new DmtErrorDescription(text.c_str()));
}

PDmtErrorDescription makeError(const Failure& f)
{
    return PDmtErrorDescription(new DmtErrorDescription(f.emptyText ? nullptr : f.text.c_str()));
}

// Counts one call of an operation that can fail; true with the error when it is to fail.
bool injected(dmnative::Op op, const std::string& path, Failure& failure)
{
    ++g_failableCalls;
    if (g_failCallNumber == g_failableCalls) {
        failure = g_failCallError;
        return true;
    }
    if (g_failures.empty()) {
        return false;
    }
    auto it = g_failures.find({static_cast<int>(op), path});
    if (it == g_failures.end()) {
        return false;
    }
    failure = it->second;
    return true;
}

// ---------------------------------------------------------------------------------------------
// The tree and its file.

struct Node {
    std::string path;
    DmtData::Type type = DmtData::TYPE_NODE;
    std::string text;   // string value
    int integer = 0;
    bool flag = false;
    std::vector<size_t> children;
    long line = -1;      // index into the file's lines, -1 when implied
};

// The file the parsed tree came from, as it was: an opening of the tree reads the file again only
// when it has changed since (another inode, size or modification time).
struct Loaded {
    std::string path;
    struct stat file {};
    bool valid = false;
    bool same(const std::string& name, const struct stat& now) const
    {
        return valid && name == path && now.st_dev == file.st_dev && now.st_ino == file.st_ino &&
               now.st_size == file.st_size && now.st_mtim.tv_sec == file.st_mtim.tv_sec &&
               now.st_mtim.tv_nsec == file.st_mtim.tv_nsec;
    }
} g_loaded;

class TreeFile {
public:
    // Parses the file; on failure writes "dmnative: FILE:LINE: message" and answers false.
    bool load(const std::string& file);
    const Node* find(const std::string& path) const;
    const Node& at(size_t id) const { return m_nodes[id]; }
    // Stores a value and rewrites the file; an error text on failure.
    std::string store(const std::string& path, const DmtData& value);
    void clear()
    {
        m_nodes.clear();
        m_index.clear();
        m_lines.clear();
        m_file.clear();
    }

private:
    bool fail(long lineNo, const std::string& message) const;
    size_t ensure(const std::string& path);
    static std::string render(const Node& node);
    bool save(std::string& error) const;

    std::string m_file;
    std::vector<std::string> m_lines;
    std::vector<Node> m_nodes;
    std::map<std::string, size_t> m_index;
};

bool TreeFile::fail(long lineNo, const std::string& message) const
{
    fprintf(stderr, "dmnative: %s:%ld: %s\n", m_file.c_str(), lineNo, message.c_str());
    return false;
}

size_t TreeFile::ensure(const std::string& path)
{
    auto it = m_index.find(path);
    if (it != m_index.end()) {
        return it->second;
    }
    size_t parent = SIZE_MAX;
    const size_t slash = path.rfind('/');
    if (slash != std::string::npos) {
        parent = ensure(path.substr(0, slash));
    }
    Node node;
    node.path = path;
    m_nodes.push_back(node);
    const size_t id = m_nodes.size() - 1;
    m_index[path] = id;
    if (parent != SIZE_MAX) {
        m_nodes[parent].children.push_back(id);
    }
    return id;
}

// Every prefix of a path becomes a node of its own, so an unbounded path would cost memory that
// grows with the square of its length; real trees stay far below this.
constexpr size_t kMaxPathLength = 255;

bool validPath(const std::string& path)
{
    if (path.size() < 3 || path.compare(0, 2, "./") != 0 || path.back() == '/') {
        return false;
    }
    return path.find("//") == std::string::npos;
}

bool parseInt(const std::string& text, int& value)
{
    if (text.empty()) {
        return false;
    }
    errno = 0;
    char* end = nullptr;
    const long v = strtol(text.c_str(), &end, 10);
    if (*end != '\0' || errno != 0 || v < INT32_MIN || v > INT32_MAX) {
        return false;
    }
    value = static_cast<int>(v);
    return true;
}

bool TreeFile::load(const std::string& file)
{
    clear();
    m_file = file;
    FILE* f = fopen(file.c_str(), "r");
    if (f == nullptr) {
        fprintf(stderr, "dmnative: %s: cannot open tree: %s\n", file.c_str(), strerror(errno));
        return false;
    }
    char* raw = nullptr;
    size_t cap = 0;
    ssize_t got;
    while ((got = getline(&raw, &cap, f)) >= 0) {
        std::string line(raw, static_cast<size_t>(got));
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) {
            line.pop_back();
        }
        m_lines.push_back(line);
    }
    free(raw);  // NOLINT(cppcoreguidelines-no-malloc): getline's own buffer
    fclose(f);

    ensure(".");
    for (size_t i = 0; i < m_lines.size(); ++i) {
        const std::string& line = m_lines[i];
        const long lineNo = static_cast<long>(i) + 1;
        const size_t first = line.find_first_not_of(" \t");
        if (first == std::string::npos || line[first] == '#') {
            continue;
        }
        const size_t pathEnd = line.find(' ');
        if ((pathEnd == std::string::npos ? line.size() : pathEnd) > kMaxPathLength) {
            return fail(lineNo, "node path longer than " + std::to_string(kMaxPathLength) + " characters");
        }
        const std::string path = line.substr(0, pathEnd);
        if (!validPath(path)) {
            return fail(lineNo, "bad node path '" + path + "'");
        }
        if (pathEnd == std::string::npos) {
            return fail(lineNo, "no type for " + path);
        }
        const size_t typeEnd = line.find(' ', pathEnd + 1);
        const std::string type = line.substr(pathEnd + 1, typeEnd == std::string::npos ? std::string::npos : typeEnd - pathEnd - 1);
        const bool hasValue = typeEnd != std::string::npos;
        const std::string value = hasValue ? line.substr(typeEnd + 1) : std::string();
        const auto existing = m_index.find(path);
        if (existing != m_index.end() && m_nodes[existing->second].line >= 0) {
            return fail(lineNo, "node " + path + " named twice");
        }
        if (existing != m_index.end() && type != "node") {
            return fail(lineNo, "node " + path + " has children and cannot be a leaf");
        }
        const size_t parentSlash = path.rfind('/');
        const auto parent = m_index.find(path.substr(0, parentSlash));
        if (parent != m_index.end() && m_nodes[parent->second].type != DmtData::TYPE_NODE) {
            return fail(lineNo, "leaf " + parent->first + " cannot have children");
        }
        // Interior nodes between the root and this one are implied; a leaf among them is not.
        for (size_t s = path.find('/', 2); s != std::string::npos && s < parentSlash; s = path.find('/', s + 1)) {
            const auto up = m_index.find(path.substr(0, s));
            if (up != m_index.end() && m_nodes[up->second].type != DmtData::TYPE_NODE) {
                return fail(lineNo, "leaf " + up->first + " cannot have children");
            }
        }
        Node parsed;
        if (type == "node") {
            if (hasValue && !value.empty()) {
                return fail(lineNo, "interior node " + path + " takes no value");
            }
        } else if (type == "string") {
            parsed.type = DmtData::TYPE_STRING;
            parsed.text = value;
        } else if (type == "int") {
            parsed.type = DmtData::TYPE_INTEGER;
            if (!parseInt(value, parsed.integer)) {
                return fail(lineNo, "bad integer '" + value + "' for " + path);
            }
        } else if (type == "bool") {
            parsed.type = DmtData::TYPE_BOOLEAN;
            if (value != "true" && value != "false") {
                return fail(lineNo, "bad boolean '" + value + "' for " + path + " (true or false)");
            }
            parsed.flag = value == "true";
        } else {
            return fail(lineNo, "unknown type '" + type + "' for " + path);
        }
        Node& node = m_nodes[ensure(path)];
        node.type = parsed.type;
        node.text = parsed.text;
        node.integer = parsed.integer;
        node.flag = parsed.flag;
        node.line = static_cast<long>(i);
    }
    return true;
}

const Node* TreeFile::find(const std::string& path) const
{
    auto it = m_index.find(path);
    return it == m_index.end() ? nullptr : &m_nodes[it->second];
}

std::string TreeFile::render(const Node& node)
{
    switch (node.type) {
    case DmtData::TYPE_STRING:
        return node.path + " string " + node.text;
    case DmtData::TYPE_INTEGER:
        return node.path + " int " + std::to_string(node.integer);
    default:  // a boolean: interior nodes are never rewritten
        return node.path + " bool " + (node.flag ? "true" : "false");
    }
}

std::string TreeFile::store(const std::string& path, const DmtData& value)
{
    auto it = m_index.find(path);
    if (it == m_index.end()) {
        return "unknown node " + path;
    }
    Node& node = m_nodes[it->second];
    if (node.type == DmtData::TYPE_NODE) {
        return "interior node " + path + " holds no value";
    }
    if (value.GetType() != node.type) {
        return "value of another type for " + path;
    }
    const Node before = node;
    DMString text;
    int integer = 0;
    bool flag = false;
    t_internalRead = true;
    if (node.type == DmtData::TYPE_STRING) {
        value.GetString(text);
        const char* chars = text.c_str() ? text.c_str() : "";
        if (strpbrk(chars, "\r\n") != nullptr) {
            t_internalRead = false;
            return "a line end cannot be stored in " + path;
        }
        node.text = chars;
    } else if (node.type == DmtData::TYPE_INTEGER) {
        value.GetInt(integer);
        node.integer = integer;
    } else {
        value.GetBoolean(flag);
        node.flag = flag;
    }
    t_internalRead = false;
    const long line = node.line;
    if (render(node) == render(before)) {
        return "";  // the file already holds this value
    }
    if (line < 0) {
        node = before;
        return "node " + path + " has no line in the tree file";
    }
    const std::string previousLine = m_lines[static_cast<size_t>(line)];
    m_lines[static_cast<size_t>(line)] = render(node);
    std::string error;
    if (!save(error)) {
        m_nodes[it->second] = before;
        m_lines[static_cast<size_t>(line)] = previousLine;
        return error;
    }
    return "";
}

bool TreeFile::save(std::string& error) const
{
    const size_t slash = m_file.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : m_file.substr(0, slash == 0 ? 1 : slash);
    std::string temp = folder + "/.dmtree.XXXXXX";
    const int fd = mkostemp(&temp[0], O_CLOEXEC);
    if (fd < 0) {
        error = "cannot save tree: " + std::string(strerror(errno));
        return false;
    }
    struct stat st;
    if (stat(m_file.c_str(), &st) == 0) {
        fchmod(fd, st.st_mode & 07777);
    }
    std::string text;
    for (const std::string& line : m_lines) {
        text += line + "\n";
    }
    // The new file replaces the old one whole, and only once its bytes and then the rename are
    // on the disk: a crash or a power cut leaves the old tree or the new one.
    int failure = 0;
    for (size_t done = 0; failure == 0 && done < text.size();) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        failure = n > 0 ? 0 : n == 0 ? EIO : errno == EINTR ? 0 : errno;
        done += n > 0 ? static_cast<size_t>(n) : 0;
    }
    if (failure == 0 && fsync(fd) != 0) {
        failure = errno;
    }
    if (close(fd) != 0 && failure == 0) {
        failure = errno;
    }
    if (failure == 0 && rename(temp.c_str(), m_file.c_str()) != 0) {
        failure = errno;
    }
    if (failure != 0) {
        error = "cannot save tree: " + std::string(strerror(failure));
        unlink(temp.c_str());
        return false;
    }
    const int dir = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    failure = dir < 0 || fsync(dir) != 0 ? errno : 0;
    if (dir >= 0) {
        close(dir);
    }
    if (failure != 0) {
        // The caller undoes the value in memory: the file is read again at the next opening.
        g_loaded.valid = false;
        error = "the tree is saved, but its folder could not be synced: " + std::string(strerror(failure));
        return false;
    }
    g_loaded.valid = stat(m_file.c_str(), &g_loaded.file) == 0;  // what is parsed is the file now
    return true;
}

TreeFile g_tree;
int g_openAccesses = 0;

std::string joinPath(const std::string& root, const char* relative)
{
    if (relative == nullptr || relative[0] == '\0') {
        return root;
    }
    return root + "/" + relative;
}

class StandinNode : public DmtNode {
public:
    explicit StandinNode(std::string path) : m_path(std::move(path)) {}

    PDmtErrorDescription GetValue(DmtData& value) override
    {
        std::lock_guard<std::recursive_mutex> lock(g_mutex);
        Failure failure;
        if (injected(dmnative::Op::GetValue, m_path, failure)) {
            return makeError(failure);
        }
        const Node* node = g_tree.find(m_path);
        if (node == nullptr || g_openAccesses == 0) {
            return makeError("node " + m_path + " is no longer available");
        }
        switch (node->type) {
        case DmtData::TYPE_STRING:
            value = DmtData(node->text.c_str());
            break;
        case DmtData::TYPE_INTEGER:
            value = DmtData(node->integer);
            break;
        case DmtData::TYPE_BOOLEAN:
            value = DmtData(node->flag);
            break;
        default: {
            DMStringVector names;
            names.set_size(static_cast<int>(node->children.size()));
            if (names.size() != static_cast<int>(node->children.size())) {
                return makeError("no storage for the children of " + m_path);
            }
            int i = 0;
            for (size_t id : node->children) {
                const std::string& child = g_tree.at(id).path;
                names[i++] = child.substr(child.rfind('/') + 1).c_str();
            }
            value = DmtData(names);
            break;
        }
        }
        value.SetOrigin(m_path.c_str());
        return PDmtErrorDescription();
    }

    PDmtErrorDescription SetValue(const DmtData& value) override
    {
        std::lock_guard<std::recursive_mutex> lock(g_mutex);
        Failure failure;
        if (injected(dmnative::Op::SetValue, m_path, failure)) {
            return makeError(failure);
        }
        if (g_openAccesses == 0) {
            return makeError("tree is not open");
        }
        const std::string error = g_tree.store(m_path, value);
        return error.empty() ? PDmtErrorDescription() : makeError(error);
    }

    PDmtErrorDescription GetPath(DMString& path) override
    {
        path = m_path.c_str();
        return PDmtErrorDescription();
    }

private:
    std::string m_path;
};

class StandinTree : public DmtTree {
public:
    explicit StandinTree(std::string root) : m_root(std::move(root)) {}

    PDmtErrorDescription GetNode(const char* path, PDmtNode& node) override
    {
        std::lock_guard<std::recursive_mutex> lock(g_mutex);
        std::string full = joinPath(m_root, path);
        Failure failure;
        if (injected(dmnative::Op::GetNode, full, failure)) {
            return makeError(failure);
        }
        if (g_openAccesses == 0) {
            return makeError("tree is not open");
        }
        if (g_tree.find(full) == nullptr) {
            return makeError("unknown node " + full);
        }
        node = new StandinNode(std::move(full));
        return PDmtErrorDescription();
    }

    PDmtErrorDescription GetRootPath(DMString& path) override
    {
        path = m_root.c_str();
        return PDmtErrorDescription();
    }

private:
    std::string m_root;
};

}  // namespace

// ---------------------------------------------------------------------------------------------
// Values.

DmtData::DmtData() : m_type(TYPE_NULL), m_int(0), m_bool(false) {}
DmtData::DmtData(const char* text) : m_type(TYPE_STRING), m_int(0), m_bool(false), m_string(text) {}
DmtData::DmtData(int value) : m_type(TYPE_INTEGER), m_int(value), m_bool(false) {}
DmtData::DmtData(bool value) : m_type(TYPE_BOOLEAN), m_int(0), m_bool(value) {}
DmtData::DmtData(const DMStringVector& children) : m_type(TYPE_NODE), m_int(0), m_bool(false), m_children(children) {}
DmtData::DmtData(const DmtData& other) = default;
DmtData& DmtData::operator=(const DmtData& other) = default;
DmtData::~DmtData() = default;

namespace {

const char* typeName(DmtData::Type type)
{
    switch (type) {
    case DmtData::TYPE_STRING:
        return "a string";
    case DmtData::TYPE_INTEGER:
        return "an integer";
    case DmtData::TYPE_BOOLEAN:
        return "a boolean";
    case DmtData::TYPE_NODE:
        return "an interior node";
    default:
        return "empty";
    }
}

// The common check of the four readers: an injected failure, or a value of another type.
PDmtErrorDescription checkRead(dmnative::Op op, const DmtData& data, DmtData::Type wanted)
{
    const char* origin = data.GetOrigin().c_str() ? data.GetOrigin().c_str() : "";
    std::lock_guard<std::recursive_mutex> lock(g_mutex);
    Failure failure;
    if (!t_internalRead && injected(op, origin, failure)) {
        return makeError(failure);
    }
    if (data.GetType() != wanted) {
        return makeError(std::string("value of ") + (origin[0] ? origin : "the data") + " is " + typeName(data.GetType()) +
                         ", not " + typeName(wanted));
    }
    return PDmtErrorDescription();
}

}  // namespace

PDmtErrorDescription DmtData::GetString(DMString& value) const
{
    PDmtErrorDescription error = checkRead(dmnative::Op::GetString, *this, TYPE_STRING);
    if (!error) {
        value = m_string;
    }
    return error;
}

PDmtErrorDescription DmtData::GetInt(int& value) const
{
    PDmtErrorDescription error = checkRead(dmnative::Op::GetInt, *this, TYPE_INTEGER);
    if (!error) {
        value = m_int;
    }
    return error;
}

PDmtErrorDescription DmtData::GetBoolean(bool& value) const
{
    PDmtErrorDescription error = checkRead(dmnative::Op::GetBoolean, *this, TYPE_BOOLEAN);
    if (!error) {
        value = m_bool;
    }
    return error;
}

PDmtErrorDescription DmtData::GetNodeValue(DMStringVector& children) const
{
    PDmtErrorDescription error = checkRead(dmnative::Op::GetNodeValue, *this, TYPE_NODE);
    if (!error) {
        children = m_children;
    }
    return error;
}

// ---------------------------------------------------------------------------------------------
// Opening and closing.

bool DmtTreeFactory::Initialize()
{
    std::lock_guard<std::recursive_mutex> lock(g_mutex);
    Failure failure;
    if (injected(dmnative::Op::Initialize, "", failure)) {
        return false;
    }
    if (g_openAccesses == 0) {
        const char* file = getenv("DMNATIVE_TREE");
        if (file == nullptr || file[0] == '\0') {
            fprintf(stderr, "dmnative: DMNATIVE_TREE names no tree file\n");
            return false;
        }
        struct stat now {};
        if (stat(file, &now) != 0 || !g_loaded.same(file, now)) {
            g_loaded.valid = false;
            if (!g_tree.load(file)) {
                g_tree.clear();
                return false;
            }
            g_loaded = Loaded{file, now, true};
        }
    }
    ++g_openAccesses;
    ++g_successfulInitializeCalls;
    return true;
}

bool DmtTreeFactory::Uninitialize()
{
    std::lock_guard<std::recursive_mutex> lock(g_mutex);
    ++g_uninitializeCalls;
    if (g_openAccesses == 0) {
        return false;
    }
    --g_openAccesses;  // the parsed tree is kept for the next opening
    return true;
}

PDmtErrorDescription DmtTreeFactory::GetSubtree(const DmtPrincipal& /*principal*/, const char* rootPath, PDmtTree& tree)
{
    std::lock_guard<std::recursive_mutex> lock(g_mutex);
    std::string root = rootPath ? rootPath : "";
    Failure failure;
    if (injected(dmnative::Op::GetSubtree, root, failure)) {
        return makeError(failure);
    }
    if (g_openAccesses == 0) {
        return makeError("tree is not open");
    }
    const Node* node = g_tree.find(root);
    if (node == nullptr) {
        return makeError("no subtree " + root);
    }
    if (node->type != DmtData::TYPE_NODE) {
        return makeError(root + " is a leaf, not a subtree");
    }
    tree = new StandinTree(std::move(root));
    return PDmtErrorDescription();
}

// ---------------------------------------------------------------------------------------------
// Control interface.

namespace dmnative {

void failOn(Op op, const char* path, const char* errorText)
{
    std::lock_guard<std::recursive_mutex> lock(g_mutex);
    g_failures[{static_cast<int>(op), path ? path : ""}] = Failure{errorText ? errorText : "", errorText == nullptr};
}

void failCall(long n, const char* errorText)
{
    std::lock_guard<std::recursive_mutex> lock(g_mutex);
    g_failCallNumber = n;
    g_failCallError = Failure{errorText ? errorText : "", errorText == nullptr};
}

void failAllocations(int n)
{
    g_refusedAllocations = n;
}

void clearFailures()
{
    g_refusedAllocations = 0;
    std::lock_guard<std::recursive_mutex> lock(g_mutex);
    g_failures.clear();
    g_failCallNumber = 0;
}

long failableCalls()
{
    std::lock_guard<std::recursive_mutex> lock(g_mutex);
    return g_failableCalls;
}

int successfulInitializeCalls()
{
    std::lock_guard<std::recursive_mutex> lock(g_mutex);
    return g_successfulInitializeCalls;
}

int uninitializeCalls()
{
    std::lock_guard<std::recursive_mutex> lock(g_mutex);
    return g_uninitializeCalls;
}

void resetCounters()
{
    std::lock_guard<std::recursive_mutex> lock(g_mutex);
    g_failableCalls = 0;
    g_successfulInitializeCalls = 0;
    g_uninitializeCalls = 0;
}

long liveHandles()
{
    return g_liveHandles.load();
}

long liveBlocks()
{
    return g_liveBlocks.load();
}

bool checkTreeFile(const char* path)
{
    TreeFile file;
    return file.load(path ? path : "");
}

}  // namespace dmnative
