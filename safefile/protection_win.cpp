#include "protection.h"

#include "heldfolder.h"
#include "winsecurity_win.h"

#include <QDir>
#include <QFileInfo>

#include <aclapi.h>

#include <memory>

namespace {
// What lets another account change a file or folder itself, or add to a folder.
constexpr ACCESS_MASK changesIt = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA | FILE_WRITE_ATTRIBUTES | FILE_DELETE_CHILD
        | DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;
// What lets another account rename or replace what a folder above holds (making
// new entries there does not).
constexpr ACCESS_MASK replacesBelow = FILE_DELETE_CHILD | DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_ALL;

// Who else may change @p path as it stands, with the rights that count there; empty when nobody.
QString otherAccount(const QString &path, ACCESS_MASK rights, WellKnownSids &sids)
{
    PSID owner = nullptr;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    std::wstring native = nativePath(path);
    if (GetNamedSecurityInfoW(native.data(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner,
                              nullptr, &dacl, nullptr, &descriptor) != ERROR_SUCCESS)
        return QString();
    const std::unique_ptr<void, decltype(&LocalFree)> held(descriptor, &LocalFree);
    const auto name = [](PSID sid) {
        LPWSTR text = nullptr;
        const QString sidText = ConvertSidToStringSidW(sid, &text) ? QString::fromWCharArray(text) : QStringLiteral("?");
        if (text)
            LocalFree(text);
        return sidText;
    };
    if (!sids.isTrusted(owner))
        return QStringLiteral("%1 belongs to %2").arg(path, name(owner));
    if (!dacl)
        return QStringLiteral("%1 has no DACL: everyone may change it").arg(path);
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        ACE_HEADER *ace = nullptr;
        if (!GetAce(dacl, i, reinterpret_cast<void **>(&ace)) || ace->AceType != ACCESS_ALLOWED_ACE_TYPE
                || (ace->AceFlags & INHERIT_ONLY_ACE))
            continue;
        const auto *allowed = reinterpret_cast<ACCESS_ALLOWED_ACE *>(ace);
        PSID sid = const_cast<DWORD *>(&allowed->SidStart);
        if ((allowed->Mask & rights) && !sids.isTrusted(sid))
            return QStringLiteral("%1 can be changed by %2").arg(path, name(sid));
    }
    return QString();
}
}

QString whoElseMayChange(const QString &path)
{
    WellKnownSids sids;
    QString current = QFileInfo(path).canonicalFilePath();
    for (bool itself = true; !current.isEmpty(); itself = false) {
        const QString who = otherAccount(current, itself ? changesIt : replacesBelow, sids);
        if (!who.isEmpty())
            return QDir::toNativeSeparators(who);
        const QString parent = QFileInfo(current).absolutePath();
        if (parent == current)
            break;
        current = parent;
    }
    return QString();
}
