#pragma once

#include <QString>

#include <qt_windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <memory>

/**
 * The accounts a Windows updater trusts with its files: its own user,
 * Administrators and SYSTEM, and (as an owner) TrustedInstaller, which owns
 * what Windows itself installed.
 */
struct WellKnownSids
{
    WellKnownSids()
    {
        DWORD size = SECURITY_MAX_SID_SIZE;
        CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators, &size);
        size = SECURITY_MAX_SID_SIZE;
        CreateWellKnownSid(WinLocalSystemSid, nullptr, system, &size);
        HANDLE token = nullptr;
        if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
            DWORD needed = 0;
            GetTokenInformation(token, TokenUser, tokenUser, sizeof tokenUser, &needed);
            CloseHandle(token);
        }
    }
    PSID user() { return reinterpret_cast<TOKEN_USER *>(tokenUser)->User.Sid; }
    /// The user, Administrators or SYSTEM.
    bool isOneOf(PSID sid) { return EqualSid(sid, user()) || EqualSid(sid, administrators) || EqualSid(sid, system); }
    /// One of them, or TrustedInstaller.
    bool isTrusted(PSID sid)
    {
        if (isOneOf(sid))
            return true;
        LPWSTR text = nullptr;
        const bool installer = ConvertSidToStringSidW(sid, &text)
                && QString::fromWCharArray(text) == QLatin1String("S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464");
        if (text)
            LocalFree(text);
        return installer;
    }

    BYTE administrators[SECURITY_MAX_SID_SIZE] = {};
    BYTE system[SECURITY_MAX_SID_SIZE] = {};
    alignas(TOKEN_USER) BYTE tokenUser[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE] = {};
};

/**
 * Full control for the user, SYSTEM and (for what the updater keeps) the
 * Administrators, inherited by what is made inside; nothing from the folder
 * above (protected). What mode 0700 or 0600 is elsewhere.
 */
class ProtectedDacl
{
public:
    explicit ProtectedDacl(bool administrators = true)
    {
        EXPLICIT_ACCESS_W access[3] = {};
        PSID granted[3] = {m_sids.user(), m_sids.system, m_sids.administrators};
        const ULONG count = administrators ? 3 : 2;
        for (ULONG i = 0; i < count; ++i) {
            access[i].grfAccessPermissions = GENERIC_ALL;
            access[i].grfAccessMode = SET_ACCESS;
            access[i].grfInheritance = SUB_CONTAINERS_AND_OBJECTS_INHERIT;
            access[i].Trustee.TrusteeForm = TRUSTEE_IS_SID;
            access[i].Trustee.ptstrName = static_cast<LPWSTR>(granted[i]);
        }
        PACL made = nullptr;
        m_valid = SetEntriesInAclW(count, access, nullptr, &made) == ERROR_SUCCESS;
        m_acl.reset(made);
        m_attributes.lpSecurityDescriptor = &m_descriptor;
        m_valid = m_valid && InitializeSecurityDescriptor(&m_descriptor, SECURITY_DESCRIPTOR_REVISION)
                && SetSecurityDescriptorDacl(&m_descriptor, TRUE, m_acl.get(), FALSE)
                && SetSecurityDescriptorControl(&m_descriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED);
    }
    ProtectedDacl(const ProtectedDacl &) = delete;
    ProtectedDacl &operator=(const ProtectedDacl &) = delete;

    bool isValid() const { return m_valid; }
    PACL acl() const { return m_acl.get(); }
    /// For CreateFileW and CreateDirectoryW: what is made has this DACL from its first instant.
    SECURITY_ATTRIBUTES *attributes() { return &m_attributes; }

private:
    WellKnownSids m_sids;
    std::unique_ptr<ACL, decltype(&LocalFree)> m_acl{nullptr, &LocalFree};
    SECURITY_DESCRIPTOR m_descriptor{};
    SECURITY_ATTRIBUTES m_attributes{sizeof(SECURITY_ATTRIBUTES), nullptr, FALSE};
    bool m_valid = false;
};
