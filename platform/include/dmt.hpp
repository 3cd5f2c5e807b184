// Declarations of the handset's device-management tree library, libdmnative.so.02.
//
// Reference counting. Tree, node and error objects derive from JemBaseObject, which carries a
// signed 32-bit count; a JemSmartPtr holds one reference. Copying a JemSmartPtr adds one,
// dropping or reassigning it subtracts one, and the object deletes itself through its virtual
// destructor when the count falls to 0 or below. Assignment counts the new object up before
// the old one down, so self-assignment is safe. Every handle must be dropped before
// DmtTreeFactory::Uninitialize() closes the access that produced it. An error handle that is
// null means success.
#ifndef DMT_HPP
#define DMT_HPP

#include <stddef.h>
#include <stdint.h>

#define DMT_API __attribute__((visibility("default")))

extern "C" {
// Storage for DMVector and the library's containers; file and line name the requester.
DMT_API void* DmtMemAllocEx(size_t size, const char* file, int line);
DMT_API void DmtMemFree(void* block);
}

// The library's string: one pointer to its own NUL-terminated copy, null when empty.
class DMT_API DMString {
public:
    DMString() noexcept : m_pStr(nullptr) {}
    DMString(const char* text);  // null makes an empty string
    DMString(const DMString& other);
    ~DMString();
    DMString& operator=(const char* text);
    DMString& operator=(const DMString& other);
    DMString& operator+=(const char* text);
    int length() const;
    // The characters, or null when the string is empty.
    const char* c_str() const { return m_pStr; }

private:
    char* m_pStr;
};

#include <utility/dmvector>

// DMVector<DMString> is instantiated once per binary that fills such vectors: the registration
// library exports its instance to its users.
extern template class DMVector<DMString>;

class DMStringVector : public DMVector<DMString> {};

class DMT_API JemBaseObject {
public:
    JemBaseObject();
    virtual ~JemBaseObject();
    void AddRef() { ++m_nRefCount; }
    void Release()
    {
        if (--m_nRefCount <= 0) {
            delete this;
        }
    }

private:
    JemBaseObject(const JemBaseObject&) = delete;
    JemBaseObject& operator=(const JemBaseObject&) = delete;
    int32_t m_nRefCount;
};

template <class T>
class JemSmartPtr {
public:
    JemSmartPtr() : m_pObj(nullptr) {}
    JemSmartPtr(T* obj) : m_pObj(obj) { addRef(m_pObj); }
    JemSmartPtr(const JemSmartPtr& other) : m_pObj(other.m_pObj) { addRef(m_pObj); }
    ~JemSmartPtr() { release(m_pObj); }
    JemSmartPtr& operator=(const JemSmartPtr& other)
    {
        if (&other != this) {
            *this = other.m_pObj;
        }
        return *this;
    }
    // The new object is counted up before the old one down.
    JemSmartPtr& operator=(T* obj)
    {
        addRef(obj);
        T* old = m_pObj;
        m_pObj = obj;
        release(old);
        return *this;
    }
    T* operator->() const { return m_pObj; }
    T& operator*() const { return *m_pObj; }
    T* GetPtr() const { return m_pObj; }
    explicit operator bool() const { return m_pObj != nullptr; }

private:
    static void addRef(T* obj)
    {
        if (obj) {
            obj->AddRef();
        }
    }
    static void release(T* obj)
    {
        if (obj) {
            obj->Release();
        }
    }
    T* m_pObj;
};

class DMT_API DmtErrorDescription : public JemBaseObject {
public:
    explicit DmtErrorDescription(const char* text);
    ~DmtErrorDescription() override;
    const DMString& GetErrorText() const { return m_text; }

private:
    DMString m_text;
};

using PDmtErrorDescription = JemSmartPtr<DmtErrorDescription>;

// A node value: a string, an integer, a boolean, or the child names of an interior node.
class DMT_API DmtData {
public:
    enum Type { TYPE_NULL, TYPE_STRING, TYPE_INTEGER, TYPE_BOOLEAN, TYPE_NODE };

    DmtData();
    explicit DmtData(const char* text);
    explicit DmtData(int value);
    explicit DmtData(bool value);
    explicit DmtData(const DMStringVector& children);
    DmtData(const DmtData& other);
    DmtData& operator=(const DmtData& other);
    ~DmtData();

    Type GetType() const { return m_type; }
    PDmtErrorDescription GetString(DMString& value) const;
    PDmtErrorDescription GetInt(int& value) const;
    PDmtErrorDescription GetBoolean(bool& value) const;
    PDmtErrorDescription GetNodeValue(DMStringVector& children) const;

    // The path of the node the value was read from (empty for a value built by the caller);
    // error texts name it.
    const DMString& GetOrigin() const { return m_origin; }
    void SetOrigin(const char* path) { m_origin = path; }

private:
    Type m_type;
    int m_int;
    bool m_bool;
    DMString m_string;
    DMStringVector m_children;
    DMString m_origin;
};

class DmtNode;
using PDmtNode = JemSmartPtr<DmtNode>;

class DMT_API DmtNode : public JemBaseObject {
public:
    ~DmtNode() override;
    virtual PDmtErrorDescription GetValue(DmtData& value) = 0;
    virtual PDmtErrorDescription SetValue(const DmtData& value) = 0;
    virtual PDmtErrorDescription GetPath(DMString& path) = 0;
};

class DMT_API DmtTree : public JemBaseObject {
public:
    ~DmtTree() override;
    // path is relative to the subtree's root, segments separated by "/".
    virtual PDmtErrorDescription GetNode(const char* path, PDmtNode& node) = 0;
    virtual PDmtErrorDescription GetRootPath(DMString& path) = 0;
};

using PDmtTree = JemSmartPtr<DmtTree>;

// The identity on whose behalf a subtree is opened.
class DMT_API DmtPrincipal {
public:
    explicit DmtPrincipal(const char* name) : m_strName(name) {}
    const DMString& GetName() const { return m_strName; }

private:
    DMString m_strName;
};

class DMT_API DmtTreeFactory {
public:
    // Opens one access to the tree; true when usable. Each successful call is closed by one
    // Uninitialize() after every handle of that access has been dropped.
    static bool Initialize();
    static bool Uninitialize();
    static PDmtErrorDescription GetSubtree(const DmtPrincipal& principal, const char* rootPath,
                                           PDmtTree& tree);
};

#endif
