// Access control lists. "Only its owner" is a protected list (nothing
// inherited) that lets in the user this process runs as and the system;
// administrators can always take ownership, so they are not counted as
// others.
#include "platform/Files.h"
#include "platform/WindowsText.h"

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <cwchar>
#include <memory>
#include <stdexcept>
#include <vector>

namespace lectora::files
{

namespace
{

std::string lastErrorText()
{
    return windows::errorText(::GetLastError());
}

struct LocalFreer {
    void operator()(void* p) const { ::LocalFree(p); }
};

// The SID of the user this process runs as, as SDDL text.
std::wstring userSid()
{
    HANDLE token = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token))
        return {};
    DWORD size = 0;
    ::GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    std::vector<char> buffer(size);
    std::wstring out;
    if (size && ::GetTokenInformation(token, TokenUser, buffer.data(), size, &size)) {
        wchar_t* text = nullptr;
        if (::ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid, &text)) {
            out = text;
            ::LocalFree(text);
        }
    }
    ::CloseHandle(token);
    return out;
}

// A security descriptor that lets in only this user and the system.
std::unique_ptr<void, LocalFreer> ownerOnlyDescriptor(bool folder)
{
    const std::wstring sid = userSid();
    if (sid.empty())
        return nullptr;
    const std::wstring inherit = folder ? L"OICI" : L"";
    const std::wstring sddl =
        L"D:P(A;" + inherit + L";FA;;;" + sid + L")(A;" + inherit + L";FA;;;SY)";
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &sd,
                                                                nullptr))
        return nullptr;
    return std::unique_ptr<void, LocalFreer>(sd);
}

bool applyOwnerOnly(const std::filesystem::path& path, bool folder)
{
    auto sd = ownerOnlyDescriptor(folder);
    if (!sd)
        return false;
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL dacl = nullptr;
    if (!::GetSecurityDescriptorDacl(sd.get(), &present, &dacl, &defaulted))
        return false;
    std::wstring name = path.wstring();
    return ::SetNamedSecurityInfoW(name.data(), SE_FILE_OBJECT,
                                   DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                                   nullptr, nullptr, dacl, nullptr) == ERROR_SUCCESS;
}

bool sidIs(PSID sid, const wchar_t* text)
{
    PSID other = nullptr;
    if (!::ConvertStringSidToSidW(text, &other))
        return false;
    const bool same = ::EqualSid(sid, other);
    ::LocalFree(other);
    return same;
}

constexpr DWORD kReadRights = FILE_READ_DATA | GENERIC_READ | GENERIC_ALL;

// Calls `reader` for each SID an allow entry of `path`'s list gives read
// access; true when the list cannot be had or lets every one in.
template <typename Reader> bool anyReader(const std::filesystem::path& path, Reader reader)
{
    PSECURITY_DESCRIPTOR sd = nullptr;
    PACL dacl = nullptr;
    PSID owner = nullptr;
    if (::GetNamedSecurityInfoW(path.wstring().c_str(), SE_FILE_OBJECT,
                                DACL_SECURITY_INFORMATION | OWNER_SECURITY_INFORMATION, &owner,
                                nullptr, &dacl, nullptr, &sd) != ERROR_SUCCESS)
        return false;
    std::unique_ptr<void, LocalFreer> hold(sd);
    if (!dacl)
        return true;
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        void* ace = nullptr;
        if (!::GetAce(dacl, i, &ace))
            continue;
        auto* header = static_cast<ACE_HEADER*>(ace);
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE || (header->AceFlags & INHERIT_ONLY_ACE))
            continue;
        auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
        if ((allowed->Mask & kReadRights) == 0)
            continue;
        if (reader(reinterpret_cast<PSID>(&allowed->SidStart), owner))
            return true;
    }
    return false;
}

bool isOwnerOrSystem(PSID sid, PSID owner)
{
    if (owner && ::EqualSid(sid, owner))
        return true;
    const std::wstring me = userSid();
    return sidIs(sid, L"S-1-5-18") || sidIs(sid, L"S-1-5-32-544") || sidIs(sid, L"S-1-3-4") ||
           (!me.empty() && sidIs(sid, me.c_str()));
}

} // namespace

std::filesystem::path fromUtf8(std::string_view utf8)
{
    return std::filesystem::path(
        std::u8string(reinterpret_cast<const char8_t*>(utf8.data()), utf8.size()));
}

void createPrivate(const std::filesystem::path& file)
{
    HANDLE h = ::CreateFileW(file.wstring().c_str(), GENERIC_READ | GENERIC_WRITE,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                             OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        throw std::runtime_error("cannot open " + file.string() + ": " + lastErrorText());
    ::CloseHandle(h);
    if (!applyOwnerOnly(file, false))
        throw std::runtime_error("cannot make " + file.string() + " private: " + lastErrorText());
}

void writeNewPrivate(const std::filesystem::path& file, const std::string& text)
{
    auto sd = ownerOnlyDescriptor(false);
    SECURITY_ATTRIBUTES sa{sizeof sa, sd.get(), FALSE};
    HANDLE h = ::CreateFileW(file.wstring().c_str(), GENERIC_WRITE, 0, sd ? &sa : nullptr,
                             CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        throw std::runtime_error("cannot create " + file.string() + ": " + lastErrorText());
    DWORD written = 0;
    const bool ok = ::WriteFile(h, text.data(), DWORD(text.size()), &written, nullptr) &&
                    written == text.size();
    const std::string why = ok ? std::string() : lastErrorText();
    ::CloseHandle(h);
    if (!ok) {
        ::DeleteFileW(file.wstring().c_str());
        throw std::runtime_error("cannot write " + file.string() + ": " + why);
    }
    if (!sd)
        applyOwnerOnly(file, false);
}

bool readableByOthers(const std::filesystem::path& file)
{
    return anyReader(file, [](PSID sid, PSID owner) { return !isOwnerOrSystem(sid, owner); });
}

bool readableByEveryone(const std::filesystem::path& file)
{
    return anyReader(file, [](PSID sid, PSID) {
        return sidIs(sid, L"S-1-1-0") || sidIs(sid, L"S-1-5-32-545") || sidIs(sid, L"S-1-5-11");
    });
}

std::filesystem::path privateTemporaryFolder(const std::string& prefix)
{
    auto sd = ownerOnlyDescriptor(true);
    SECURITY_ATTRIBUTES sa{sizeof sa, sd.get(), FALSE};
    const std::filesystem::path base = std::filesystem::temp_directory_path();
    for (int attempt = 0; attempt < 100; ++attempt) {
        wchar_t part[9];
        const unsigned long long n = ::GetTickCount64() * 2654435761ull + ::GetCurrentProcessId() +
                                     unsigned(attempt) * 40503u;
        swprintf(part, 9, L"%08llx", n & 0xffffffffull);
        const std::filesystem::path folder = base / (fromUtf8(prefix).wstring() + part);
        if (::CreateDirectoryW(folder.wstring().c_str(), sd ? &sa : nullptr))
            return folder;
        if (::GetLastError() != ERROR_ALREADY_EXISTS)
            break;
    }
    throw std::runtime_error("cannot create a private temporary folder: " + lastErrorText());
}

bool writable(const std::filesystem::path& folder)
{
    const std::filesystem::path probe = folder / L".lectora-write-check";
    HANDLE h = ::CreateFileW(probe.wstring().c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                             FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return ::GetLastError() == ERROR_FILE_EXISTS;
    ::CloseHandle(h);
    return true;
}

FolderSharing folderSharing(const std::filesystem::path& folder, std::string& why)
{
    if (::GetFileAttributesW(folder.wstring().c_str()) == INVALID_FILE_ATTRIBUTES) {
        why = lastErrorText();
        return FolderSharing::Unreadable;
    }
    if (!readableByOthers(folder))
        return FolderSharing::Private;
    // A folder of the user's own profile is theirs to close; another
    // user's, or a common one, is left as it is.
    bool mine = false;
    PSECURITY_DESCRIPTOR sd = nullptr;
    PSID owner = nullptr;
    if (::GetNamedSecurityInfoW(folder.wstring().c_str(), SE_FILE_OBJECT,
                                OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr,
                                &sd) == ERROR_SUCCESS) {
        const std::wstring me = userSid();
        mine = owner && !me.empty() && (sidIs(owner, me.c_str()) || sidIs(owner, L"S-1-5-32-544"));
        ::LocalFree(sd);
    }
    return mine ? FolderSharing::Open : FolderSharing::Shared;
}

bool restrictFolder(const std::filesystem::path& folder, std::string& why)
{
    if (applyOwnerOnly(folder, true))
        return true;
    why = lastErrorText();
    return false;
}

} // namespace lectora::files
