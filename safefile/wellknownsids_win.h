#pragma once

#include <QString>

#include <qt_windows.h>
#include <sddl.h>

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
