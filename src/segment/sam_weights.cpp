#include "segment/sam_weights.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QStandardPaths>

namespace quorlan {

namespace {

const char* const kSamNames[] = {"sam_h.pt",    "sam_l.pt",    "sam_b.pt",    "mobile_sam.pt",
                                 "sam2_t.pt",   "sam2_s.pt",   "sam2_b.pt",   "sam2_l.pt",
                                 "sam2.1_t.pt", "sam2.1_s.pt", "sam2.1_b.pt", "sam2.1_l.pt"};

QString digest_of(const QString& path) {
  QFile f(path);
  if (!f.open(QIODevice::ReadOnly)) return {};
  QCryptographicHash hash(QCryptographicHash::Sha256);
  if (!hash.addData(&f)) return {};
  return QString::fromLatin1(hash.result().toHex());
}

bool is_pair(const QString& folder) { return QFileInfo(QDir(folder).filePath(QStringLiteral("sam.json"))).isFile(); }

QString made_from(const QString& folder) {
  QFile f(QDir(folder).filePath(QStringLiteral("sam.json")));
  if (!f.open(QIODevice::ReadOnly)) return {};
  return QJsonDocument::fromJson(f.read(1 << 16)).object().value(QStringLiteral("weights_sha256")).toString();
}

// The cache folder of weights whose digest is `digest` (empty: a name the engine has still to fetch).
QString cache_folder(const QString& weights, const QString& digest) {
  const QString cache = QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation);
  const QString key = digest.isEmpty() ? QFileInfo(weights).fileName() : digest.left(24);
  return QDir(cache).filePath(QStringLiteral("quorlan-studio/segment/") + key);
}

}  // namespace

bool is_sam_weights(const QString& path) {
  const QString name = QFileInfo(path).fileName();
  for (const char* sam : kSamNames)
    if (name.endsWith(QLatin1String(sam))) return true;
  return false;
}

QString sam_cache_folder(const QString& weights) { return cache_folder(weights, digest_of(weights)); }

QString exported_pair_of(const QString& path) {
  const QFileInfo info(path);
  if (info.isDir()) return is_pair(path) ? info.absoluteFilePath() : QString();
  if (info.suffix().compare(QLatin1String("onnx"), Qt::CaseInsensitive) == 0)
    return is_pair(info.absolutePath()) ? info.absolutePath() : QString();
  const QString digest = info.isFile() ? digest_of(path) : QString();
  const QString beside = QDir(info.absolutePath()).filePath(info.completeBaseName() + QStringLiteral("_sam_onnx"));
  if (is_pair(beside) && !digest.isEmpty() && made_from(beside) == digest) return beside;
  const QString cached = cache_folder(path, digest);  // the weights are read once for their digest
  if (is_pair(cached) && (digest.isEmpty() || made_from(cached) == digest)) return cached;
  return {};
}

QJsonObject sam_export_request(const QString& weights) {
  const QFileInfo info(weights);
  // A name the engine has to fetch stays a name: it downloads it where it runs.
  const QString given = info.exists() ? info.absoluteFilePath() : weights;
  return {{"cmd", "export"}, {"weights", given}, {"format", "onnx"}, {"out", sam_cache_folder(weights)}};
}

}  // namespace quorlan
