#include "platform/DxDiag.h"

#include <windows.h>

#include <ole2.h>
// The DxDiag GUIDs are defined here, in this one file, and nowhere else.
#include <initguid.h>

#include <dxdiag.h>

#include <algorithm>
#include <new>
#include <vector>

namespace platform
{

namespace
{

// Releases a COM interface when the query leaves, on every path.
template <class T> class ComRef
{
public:
    ComRef() = default;
    ~ComRef()
    {
        if (m_p)
            m_p->Release();
    }
    ComRef(const ComRef&) = delete;
    ComRef& operator=(const ComRef&) = delete;
    T* operator->() const { return m_p; }
    T& operator*() const { return *m_p; }
    T** out() { return &m_p; }
    explicit operator bool() const { return m_p != nullptr; }

private:
    T* m_p = nullptr;
};

// COM for the calling thread, uninitialised only when it was initialised here
// (S_FALSE, already initialised in the same mode, also counts and is undone).
class ComScope
{
public:
    ComScope() : m_ok(SUCCEEDED(CoInitialize(nullptr))) {}
    ~ComScope()
    {
        if (m_ok)
            CoUninitialize();
    }
    ComScope(const ComScope&) = delete;
    ComScope& operator=(const ComScope&) = delete;

private:
    bool m_ok;
};

class Variant
{
public:
    Variant() { VariantInit(&v); }
    ~Variant() { VariantClear(&v); }
    Variant(const Variant&) = delete;
    Variant& operator=(const Variant&) = delete;
    VARIANT v;
};

std::optional<uint32_t> readUnsigned(IDxDiagContainer& container, const wchar_t* name)
{
    Variant value;
    if (FAILED(container.GetProp(name, &value.v)) || value.v.vt != VT_UI4)
        return std::nullopt;
    return uint32_t(value.v.ulVal);
}

std::optional<std::string> readString(IDxDiagContainer& container, const wchar_t* name)
{
    Variant value;
    if (FAILED(container.GetProp(name, &value.v)) || value.v.vt != VT_BSTR || !value.v.bstrVal)
        return std::nullopt;
    UINT length = SysStringLen(value.v.bstrVal);
    if (length == 0)
        return std::nullopt;
    // A letter needs one character; the rest of a longer text is not converted.
    char buffer[10] = {};
    int n = WideCharToMultiByte(CP_ACP, 0, value.v.bstrVal, int(std::min<UINT>(length, 4)), buffer,
                                sizeof buffer - 1, nullptr, nullptr);
    if (n <= 0)
        return std::nullopt;
    return std::string(buffer, size_t(n));
}

} // namespace

DxDiagInfo queryDxDiagSystemInfo()
{
    DxDiagInfo info;
    ComScope com;
    ComRef<IDxDiagProvider> provider;
    if (FAILED(CoCreateInstance(CLSID_DxDiagProvider, nullptr, CLSCTX_INPROC_SERVER, IID_IDxDiagProvider,
                                reinterpret_cast<void**>(provider.out()))) ||
        !provider)
        return info;
    DXDIAG_INIT_PARAMS params{};
    // The provider checks the block's size, which is 24 bytes in a 64-bit program.
    params.dwSize = sizeof params;
    params.dwDxDiagHeaderVersion = DXDIAG_DX9_SDK_VERSION;
    params.bAllowWHQLChecks = FALSE;
    params.pReserved = nullptr;
    if (FAILED(provider->Initialize(&params)))
        return info;
    ComRef<IDxDiagContainer> root;
    ComRef<IDxDiagContainer> system;
    if (FAILED(provider->GetRootContainer(root.out())) || !root ||
        FAILED(root->GetChildContainer(L"DxDiag_SystemInfo", system.out())) || !system)
        return info;
    info.available = true;
    info.major = readUnsigned(*system, L"dwDirectXVersionMajor");
    info.minor = readUnsigned(*system, L"dwDirectXVersionMinor");
    info.letter = readString(*system, L"szDirectXVersionLetter");
    return info;
}

std::optional<std::string> systemLibraryFolder()
{
    char folder[MAX_PATH + 1];
    UINT n = GetSystemDirectoryA(folder, sizeof folder);
    if (n == 0 || n > MAX_PATH)
        return std::nullopt;
    return std::string(folder, n);
}

bool libraryFileVersion(const std::string& path, uint32_t& ms, uint32_t& ls)
{
    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeA(path.c_str(), &ignored);
    if (size == 0)
        return false;
    std::vector<char> block;
    try
    {
        block.resize(size);
    }
    catch (const std::bad_alloc&)
    {
        return false;
    }
    if (!GetFileVersionInfoA(path.c_str(), 0, size, block.data()))
        return false;
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT fixedSize = 0;
    if (!VerQueryValueA(block.data(), "\\", reinterpret_cast<void**>(&fixed), &fixedSize) || !fixed ||
        fixedSize < sizeof *fixed)
        return false;
    ms = fixed->dwFileVersionMS;
    ls = fixed->dwFileVersionLS;
    return true;
}

} // namespace platform
