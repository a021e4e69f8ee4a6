#include "artifactapplier.h"

#include "artifactdecoder.h"
#include "bodyreceiver.h"
#include "safeopen.h"

#include <QFile>

ArtifactApplier::ArtifactApplier(const Artifact &artifact, const HeldFolder &partial, const QString &artifactName,
                                 const HeldFolder &baseFolder, const QString &baseName, const HeldFolder &files,
                                 const QString &cacheName,
                                 const QString &scratchName, quint64 resultSize, bool resultSha256, QObject *parent)
    : QObject(parent)
    , m_artifact(artifact)
    , m_partial(partial)
    , m_artifactName(artifactName)
    , m_baseFolder(baseFolder)
    , m_baseName(baseName)
    , m_files(files)
    , m_cacheName(cacheName)
    , m_scratchName(scratchName)
    , m_resultSize(resultSize)
    , m_resultSha256(resultSha256)
{
}

ArtifactApplier::~ArtifactApplier()
{
    cancel();
}

void ArtifactApplier::start()
{
    m_thread = std::thread([this] {
        QString problem;
        apply(&problem);
        // Delivered in this object's thread; dropped if it is destroyed first.
        QMetaObject::invokeMethod(this, [this, problem] {
            if (m_thread.joinable())
                m_thread.join();
            if (!m_cancel)
                emit finished(problem);
        }, Qt::QueuedConnection);
    });
}

void ArtifactApplier::cancel()
{
    m_cancel = true;
    if (m_thread.joinable())
        m_thread.join();
}

std::unique_ptr<BodyReceiver> ArtifactApplier::takeResult()
{
    return std::move(m_result);
}

bool ArtifactApplier::apply(QString *problem)
{
    QFile artifact;
    const uchar *artifactBytes = nullptr;
    if (m_partial.openFile(artifact, m_artifactName, QIODevice::ReadOnly) && artifact.size() > 0)
        artifactBytes = artifact.map(0, artifact.size());
    if (!artifactBytes) {
        *problem = QStringLiteral("the artifact cannot be read back");
        return false;
    }
    QFile base;
    const uchar *baseBytes = nullptr;
    if (m_artifact.kind != Artifact::Kind::Compressed) {
        if (!m_baseFolder.openFile(base, m_baseName, QIODevice::ReadOnly, HeldFolder::Owner::Any) || base.size() == 0
                || !(baseBytes = base.map(0, base.size()))) {
            *problem = QStringLiteral("the base cannot be read");
            return false;
        }
    }
    m_result = std::make_unique<BodyReceiver>(m_files, m_cacheName, m_partial, m_scratchName, false, m_resultSha256);
    const bool decoded = m_result->decodeInto(m_resultSize, [&](uchar *out, QString *error) {
        return decodeArtifact(m_artifact.kind, artifactBytes, artifact.size(), baseBytes, base.size(), out,
                              qint64(m_resultSize), error, &m_cancel);
    }, problem, &m_cancel);
    // A mapped file cannot be replaced on Windows: the base goes before anything is installed.
    artifact.close();
    base.close();
    if (!decoded)
        m_result.reset();
    return decoded;
}
