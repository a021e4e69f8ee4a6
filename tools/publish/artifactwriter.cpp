#include "artifactwriter.h"

#include "artifactmaker.h"
#include "atomicfile.h"
#include "filehash.h"
#include "progressline.h"
#include "releasesigner.h"
#include "safeopen.h"

#include <QFile>

#include <algorithm>
#include <deque>
#include <future>

namespace {
// A compressed copy must save at least this share to be worth a request of its own.
constexpr qint64 worthPercent = 90;
// What the work in flight may hold beyond six times the largest file it diffs.
constexpr qint64 memoryReserve = 256LL << 20;
// What one file's work holds beyond six times its largest file: the codings at once.
constexpr qint64 jobReserve = 128LL << 20;

QByteArray readWhole(QFile &file)
{
    return file.isOpen() && file.size() <= maxPatchedFileSize ? file.readAll() : QByteArray();
}
}

/// What one file's work made: each artifact with its bytes, in the order they are kept.
struct ArtifactWriter::Made
{
    std::vector<std::pair<Artifact, QByteArray>> artifacts;
    qint64 smallestFromFirstBase = 0;
    Artifact::Kind firstBaseKind = Artifact::Kind::Compressed;
};

/// One file's work: its file and the earlier files it is patched from, opened
/// before the work starts, and what the work made.
struct ArtifactWriter::Job
{
    struct Earlier
    {
        QByteArray md5;
        std::unique_ptr<QFile> file;
        bool first;
    };

    size_t index;
    ManifestEntry entry;
    std::unique_ptr<QFile> file;
    std::vector<Earlier> bases;
    qint64 cost = 0;       // memory, by the largest file it holds
    qint64 units = 0;      // work, for the progress line
    std::future<Made> made;
};

ArtifactWriter::ArtifactWriter(const QDir &versionDir, const QList<Base> &bases, QTextCodec *pathCodec,
                               const ReleaseSigner *signer)
    : m_versionDir(versionDir)
    , m_bases(bases)
    , m_pathCodec(pathCodec)
    , m_signer(signer)
{
}

ArtifactWriter::~ArtifactWriter() = default;

void ArtifactWriter::add(const ManifestEntry &entry)
{
    m_queue.push_back(entry);
}

void ArtifactWriter::plan(Job &job) const
{
    // Sized by the manifests, before any file is opened: a release of many files
    // holds open only those being worked on.
    const ManifestEntry &entry = job.entry;
    qint64 largest = qint64(entry.size);
    int patched = 0;
    for (const Base &base : qAsConst(m_bases)) {
        const auto earlier = base.files.constFind(entry.path);
        if (earlier != base.files.cend() && earlier->md5 != entry.md5) {
            largest = qMax(largest, qint64(earlier->size));
            ++patched;
        }
    }
    job.cost = 6 * largest + jobReserve;
    job.units = qint64(entry.size) * (1 + 2 * patched);
}

bool ArtifactWriter::open(Job &job)
{
    const ManifestEntry &entry = job.entry;
    job.file = std::make_unique<QFile>();
    if (!openRegularFile(*job.file, m_versionDir.absoluteFilePath(entry.path), QIODevice::ReadOnly)
            || job.file->size() == 0 || job.file->size() > maxPatchedFileSize) {
        job.file.reset();   // empty, or too large to hold: served whole
        return true;
    }
    for (const Base &base : qAsConst(m_bases)) {
        const auto earlier = base.files.constFind(entry.path);
        if (earlier == base.files.cend() || earlier->md5 == entry.md5)
            continue;
        // Never what a link in the earlier version leads to: it could lead out of the site.
        const HeldFolder folder = base.folder.folder(relativeFolder(entry.path));
        if (folder.kindOf(relativeName(entry.path)) == HeldFolder::Kind::Link || !folder.isValid()) {
            m_errors << tr("%1/%2 is a link or lies below one: an earlier version is read only as published")
                                .arg(base.name, entry.path);
            return false;
        }
        auto file = std::make_unique<QFile>();
        if (!folder.openFile(*file, relativeName(entry.path), QIODevice::ReadOnly, HeldFolder::Owner::Any))
            file.reset();
        job.bases.push_back({earlier->md5, std::move(file), &base == &m_bases.constFirst()});
    }
    return true;
}

ArtifactWriter::Made ArtifactWriter::make(Job &job, std::atomic<qint64> *progress)
{
    Made made;
    const ManifestEntry &entry = job.entry;
    QByteArray bytes = readWhole(*job.file);
    qint64 smallest = qint64(entry.size);
    const QByteArray packed = compressWhole(bytes);
    *progress += bytes.size();
    if (!packed.isEmpty() && qint64(packed.size()) * 100 <= qint64(entry.size) * worthPercent) {
        made.artifacts.emplace_back(Artifact{Artifact::Kind::Compressed, entry.md5, entry.size, {}, 0, {}, entry.path},
                                    packed);
        smallest = packed.size();
    }
    made.smallestFromFirstBase = smallest;
    made.firstBaseKind = Artifact::Kind::Compressed;
    for (Job::Earlier &base : job.bases) {
        QByteArray baseBytes = base.file ? readWhole(*base.file) : QByteArray();
        const Patches patches = makePatches(baseBytes, bytes, progress);
        *progress += bytes.size();
        qint64 smallestFromBase = smallest;
        Artifact::Kind kind = Artifact::Kind::Compressed;
        // Today's patch for every updater, and for an executable the reference patch where it is smaller still.
        for (const auto &[patchKind, patch] : {std::pair<Artifact::Kind, const QByteArray &>{Artifact::Kind::Patch, patches.patch},
                                               {Artifact::Kind::ReferencePatch, patches.referencePatch}}) {
            if (patch.isEmpty() || patch.size() >= smallestFromBase)
                continue;
            made.artifacts.emplace_back(Artifact{patchKind, entry.md5, entry.size, base.md5, 0, {}, entry.path}, patch);
            smallestFromBase = patch.size();
            kind = patchKind;
        }
        if (base.first) {
            made.smallestFromFirstBase = smallestFromBase;
            made.firstBaseKind = kind;
        }
    }
    return made;
}

bool ArtifactWriter::finish(ProgressLine *progress)
{
    std::deque<std::unique_ptr<Job>> pending;
    m_index.assign(m_queue.size(), {});
    qint64 budget = memoryReserve;
    qint64 total = 0;
    for (size_t i = 0; i < m_queue.size(); ++i) {
        auto job = std::make_unique<Job>();
        job->index = i;
        job->entry = m_queue[i];
        if (job->entry.size == 0 || qint64(job->entry.size) > maxPatchedFileSize)
            continue;   // empty, or too large to hold: served whole
        plan(*job);
        budget = qMax(budget, job->cost - jobReserve + memoryReserve);
        total += job->units;
        pending.push_back(std::move(job));
    }
    // The largest first, so that the smaller ones fill the room beside it.
    std::stable_sort(pending.begin(), pending.end(), [](const auto &a, const auto &b) { return a->cost > b->cost; });
    std::atomic<qint64> done{0};
    std::vector<std::unique_ptr<Job>> running;
    qint64 held = 0;
    bool failed = false;
    while (!running.empty() || (!pending.empty() && !failed)) {
        for (auto it = pending.begin(); !failed && it != pending.end() && int(running.size()) < publishingWorkers();) {
            if (!running.empty() && held + (*it)->cost > budget) {
                ++it;
                continue;
            }
            Job *job = it->get();
            failed = !open(*job);
            if (!failed && job->file) {
                held += job->cost;
                job->made = std::async(std::launch::async, [job, &done] { return make(*job, &done); });
                running.push_back(std::move(*it));
            }
            it = pending.erase(it);
        }
        if (running.empty())
            continue;
        const auto ready = std::find_if(running.begin(), running.end(), [](const auto &job) {
            return job->made.wait_for(std::chrono::milliseconds(0)) == std::future_status::ready;
        });
        if (ready == running.end()) {
            running.front()->made.wait_for(std::chrono::milliseconds(100));
            if (progress)
                progress->show(running.front()->entry.path, total > 0 ? double(done) / double(total) : 1.0);
            continue;
        }
        held -= (*ready)->cost;
        failed = !take(**ready) || failed;
        running.erase(ready);
    }
    if (progress)
        progress->finish();
    return !failed && writeIndex();
}

bool ArtifactWriter::take(Job &job)
{
    Made made = job.made.get();
    for (auto &[artifact, bytes] : made.artifacts) {
        if (!keep(artifact, bytes))
            return false;
        m_index[job.index].append(artifact);
    }
    // Changed since the first earlier version: patched from it.
    if (std::none_of(job.bases.cbegin(), job.bases.cend(), [](const Job::Earlier &base) { return base.first; }))
        return true;
    const ManifestEntry &entry = job.entry;
    ++m_changedFiles;
    m_changedBytes += qint64(entry.size);
    m_changedArtifactBytes += made.smallestFromFirstBase;
    const char *kinds[] = {"compressed copy", "patch", "reference patch"};
    m_fileSummaries << tr("%1: %2, %3 bytes (%4 of the file)")
                               .arg(entry.path, made.smallestFromFirstBase < qint64(entry.size)
                                                        ? QLatin1String(kinds[int(made.firstBaseKind)]) : QLatin1String("whole"))
                               .arg(made.smallestFromFirstBase)
                               .arg(double(made.smallestFromFirstBase) / double(qMax<quint64>(1, entry.size)), 0, 'f', 3);
    return true;
}

bool ArtifactWriter::keep(Artifact &artifact, const QByteArray &bytes)
{
    artifact.size = quint64(bytes.size());
    artifact.digest = md5Text(bytes);
    const QString url = artifact.relativeUrl();
    if (!m_written.contains(url)) {
        if (!write(m_versionDir.absoluteFilePath(url), bytes))
            return false;
        m_written.insert(url, artifact.digest);
        ++(artifact.kind == Artifact::Kind::Compressed ? m_compressed
           : artifact.kind == Artifact::Kind::Patch ? m_patches : m_referencePatches);
    }
    return true;
}

bool ArtifactWriter::write(const QString &path, const QByteArray &bytes)
{
    QString error;
    if (QDir().mkpath(QFileInfo(path).absolutePath()) && writeFileAtomically(path, bytes, &error))
        return true;
    m_errors << tr("cannot write %1: %2").arg(path, error);
    return false;
}

bool ArtifactWriter::writeIndex()
{
    ArtifactIndex index(m_pathCodec);
    for (const QList<Artifact> &artifacts : m_index) {
        for (const Artifact &artifact : artifacts)
            index.add(artifact);
    }
    if (index.size() == 0)
        return true;
    const QByteArray text = index.text();
    const QString path = m_versionDir.absoluteFilePath(ArtifactIndex::indexPath);
    if (!write(path, text))
        return false;
    if (!m_signer)
        return true;
    const QByteArray signature = m_signer->sign(text);
    if (signature.isEmpty()) {
        m_errors << tr("cannot sign %1").arg(path);
        return false;
    }
    return write(path + QLatin1String(".sig"), signature);
}

QString ArtifactWriter::summary() const
{
    QString text = tr("artifacts: %1 patches, %2 reference patches, %3 compressed files")
                           .arg(m_patches).arg(m_referencePatches).arg(m_compressed);
    if (m_changedFiles > 0)
        text += tr("; the %1 files changed since %2 (%3 bytes) come as %4 bytes (%5)")
                        .arg(m_changedFiles).arg(m_bases.constFirst().name).arg(m_changedBytes).arg(m_changedArtifactBytes)
                        .arg(double(m_changedArtifactBytes) / double(m_changedBytes), 0, 'f', 3);
    return text;
}
