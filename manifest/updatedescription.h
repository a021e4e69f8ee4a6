#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>

/**
 * The update description, update.ini: which folder of the site holds the
 * published version, its version text, and whether the update is optional;
 * for signed sites also its place in the sequence of publications, when it
 * stops being trusted, and which md5.txt belongs to it. This is the one place
 * that knows its keys, its defaults and its text.
 *
 *     [Summary]
 *     UpdateType=1
 *     Serial=7
 *     Expires=2027-01-07T12:00:00Z
 *     [Version]
 *     Folder="2.0"
 *     Version="2.0"
 *     ManifestSize=4096
 *     ManifestSha256=<64 hexadecimal digits>
 *     Sha256ListSize=5120
 *     Sha256ListSha256=<64 hexadecimal digits>
 *     [Rollout]
 *     Folder="2.1"
 *     Version="2.1"
 *     Share=10
 *     ManifestSize=4100
 *     ManifestSha256=<64 hexadecimal digits>
 *     …
 *
 * [Version] names the live release: every install outside the stage, and every
 * updater that knows no stage, takes it. [Rollout], when present, names a
 * release staged to a share of installs (see Stage).
 */
struct UpdateDescription
{
    /// A release staged to a whole-number share, 0 to 100 per cent, of installs.
    struct Stage
    {
        QString folder;
        QString version;
        /// 0 halts the stage; -1: no stage.
        int share = -1;
        qint64 manifestSize = -1;
        QByteArray manifestSha256;
        qint64 sha256ListSize = -1;
        QByteArray sha256ListSha256;
    };

    /// 0: optional; anything else: mandatory. A value that is not a number reads as 0.
    int updateType = 1;
    QString folder = QStringLiteral("Base");
    QString version;
    /// One above the site's previous publication; -1 when none is given.
    qint64 serial = -1;
    /// When it stops being trusted (UTC); invalid when it does not expire. A value
    /// that does not read as a time lies in the past.
    QDateTime expires;
    /// Size and SHA-256 (lowercase hexadecimal) of the version's md5.txt; -1 and empty when not given.
    qint64 manifestSize = -1;
    QByteArray manifestSha256;
    /// Size and SHA-256 of the version's sha256.txt (signed sites); -1 and empty when not given.
    qint64 sha256ListSize = -1;
    QByteArray sha256ListSha256;
    /// The staged release; its share is -1 when there is none.
    Stage stage;

    /// Reads the file at @p path (INI syntax, UTF-8); missing keys keep their defaults.
    static UpdateDescription fromFile(const QString &path);
    /// The text of update.ini for this description; fromFile() reads it back.
    QByteArray text() const;
    /// True when the description names its md5.txt by size and digest.
    bool namesAManifest() const { return manifestSize >= 0 || !manifestSha256.isEmpty(); }
    /// True when @p manifest is the md5.txt this description names, or it names none.
    bool names(const QByteArray &manifest) const;
    /// True when the description names a sha256.txt by size and digest.
    bool namesASha256List() const { return sha256ListSize >= 0 || !sha256ListSha256.isEmpty(); }
    /// True when @p list is the sha256.txt this description names, or it names none.
    bool namesSha256List(const QByteArray &list) const;
    /// True when a release is staged beside the live one.
    bool hasStage() const { return stage.share >= 0; }
    /// This description with the staged release in the live one's place, and no stage.
    UpdateDescription staged() const;
    /// Replaces the stage by the live release of @p release (its folder, version and bindings) at @p share.
    void stageRelease(const UpdateDescription &release, int share);
    /**
     * True when the install of @p installId is in a stage of @p share per cent
     * for @p folder: the first 32 bits of SHA-256(id ‖ folder) fall below that
     * share of 2^32. Stable for one release, drawn anew for the next, and an
     * install in at a share is in at every larger one.
     */
    static bool isInStage(const QByteArray &installId, const QString &folder, int share);
};
