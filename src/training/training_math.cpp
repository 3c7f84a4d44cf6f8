#include "training/training_math.h"

#include <yaml-cpp/yaml.h>
#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <algorithm>

namespace quorlan {

int progress_percent(int ep, int tot) { return static_cast<int>(static_cast<double>(ep) / tot * 100); }

QString eta_text(double seconds) {
  long long s = static_cast<long long>(seconds);
  if (s < 0) s = 0;
  s %= 86400;
  return QStringLiteral("%1:%2:%3")
      .arg(s / 3600, 2, 10, QLatin1Char('0'))
      .arg((s / 60) % 60, 2, 10, QLatin1Char('0'))
      .arg(s % 60, 2, 10, QLatin1Char('0'));
}

QString epoch_status_text(int ep, int tot, double elapsed) {
  const double eta = (tot - ep) * elapsed / std::max(ep, 1);
  return QStringLiteral("Epoch %1/%2 (%3%) | ETA: %4")
      .arg(ep)
      .arg(tot)
      .arg(progress_percent(ep, tot))
      .arg(eta_text(eta));
}

const QVector<PlotPatterns>& result_plot_patterns() {
  static const QVector<PlotPatterns> patterns = {
      {"view_loss_plot", {"results.png", "live_loss_plot.png"}},
      {"view_confusion_plot", {"confusion_matrix.png", "*confusion_matrix*.png"}},
      {"view_f1_plot", {"F1_curve.png", "*F1_curve.png", "BoxF1_curve.png"}},
      {"view_pr_plot", {"PR_curve.png", "*PR_curve.png", "BoxPR_curve.png"}},
      {"view_val_batch", {"val_batch0_pred.jpg", "val_batch0_labels.jpg"}},
  };
  return patterns;
}

QString find_result_plot(const QString& run_dir, const QStringList& patterns) {
  const QDir dir(run_dir);
  for (const QString& pattern : patterns) {
    // Shell expansion lists matches in sorted order; hidden files only match a leading dot.
    QStringList matches = dir.entryList({pattern}, QDir::Files | QDir::System | QDir::CaseSensitive, QDir::Name);
    if (!pattern.startsWith('.'))
      matches.erase(std::remove_if(matches.begin(), matches.end(), [](const QString& n) { return n.startsWith('.'); }),
                    matches.end());
    if (!matches.isEmpty() && QFileInfo::exists(dir.filePath(matches.first()))) return dir.filePath(matches.first());
  }
  return {};
}

namespace {

// Birth time where the file system keeps one (Qt asks statx for it), else status-change time.
qint64 creation_time(const QString& path) {
  const QFileInfo info(path);
  const QDateTime born = info.birthTime();
  return (born.isValid() ? born : info.metadataChangeTime()).toMSecsSinceEpoch();
}

QVariant yaml_to_variant(const YAML::Node& node) {
  if (node.IsMap()) {
    QVariantMap map;
    for (const auto& kv : node)
      map.insert(QString::fromStdString(kv.first.as<std::string>()), yaml_to_variant(kv.second));
    return map;
  }
  if (node.IsSequence()) {
    QVariantList list;
    for (const auto& item : node) list << yaml_to_variant(item);
    return list;
  }
  if (node.IsScalar()) {
    const std::string& text = node.Scalar();
    if (node.Tag() != "!") {  // plain scalars: numbers become numbers
      bool ok = false;
      const double v = QString::fromStdString(text).toDouble(&ok);
      if (ok) return v;
    }
    return QString::fromStdString(text);
  }
  return {};
}

}  // namespace

QString newest_file_named(const QString& root, const QString& name) {
  QString best;
  qint64 best_time = -1;
  QDirIterator it(root, {name}, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
  while (it.hasNext()) {
    const QString path = it.next();
    const qint64 t = creation_time(path);
    if (t > best_time) {
      best_time = t;
      best = path;
    }
  }
  return best;
}

Expected<QVariantMap> read_yaml_mapping(const QString& path) {
  try {
    const YAML::Node node = YAML::LoadFile(QFile::encodeName(path).toStdString());
    if (!node.IsMap())
      return failure(QStringLiteral("%1 does not hold a mapping.").arg(QDir::toNativeSeparators(path)));
    return yaml_to_variant(node).toMap();
  } catch (const std::exception& e) {
    return failure(QString::fromLocal8Bit(e.what()));
  }
}

}  // namespace quorlan
