#include "imaging/resize_plan.h"

#include <QCollator>
#include <algorithm>

#include "core/image_files.h"

#include <QDir>
#include <QFileInfo>
#include <QSet>
#include <cfenv>
#include <cmath>

#include "core/constants.h"

namespace quorlan {

std::optional<double> parse_real(const QString& text) {
  bool ok = false;
  const double v = text.trimmed().toDouble(&ok);
  if (!ok || !std::isfinite(v)) return std::nullopt;
  return v;
}

long long round_half_even(double v) {
  const int mode = std::fegetround();
  std::fesetround(FE_TONEAREST);
  const double r = std::nearbyint(v);
  std::fesetround(mode);
  return static_cast<long long>(r);
}

Expected<std::optional<long long>> to_px(const QString& text, const QString& unit, double dpi) {
  const QString t = text.trimmed();
  if (t.isEmpty()) return std::optional<long long>();
  const std::optional<double> v = parse_real(t);
  if (!v) return failure(QStringLiteral("could not convert '%1' to a number").arg(t));
  const std::optional<double> inches = inches_per_unit(unit);
  if (!inches) return std::optional<long long>(round_half_even(*v));
  return std::optional<long long>(round_half_even(*v * *inches * dpi));
}

Expected<TargetSize> target_dimensions(int orig_w, int orig_h, const ResizeSettings& s) {
  if (!s.enable_dim) return TargetSize{orig_w, orig_h};
  const Expected<std::optional<long long>> width = to_px(s.width_text, s.unit, s.dpi);
  if (!width) return failure(width.error());
  const Expected<std::optional<long long>> height = to_px(s.height_text, s.unit, s.dpi);
  if (!height) return failure(height.error());
  std::optional<long long> tw = *width, th = *height;
  if (tw == 0) tw.reset();  // zero counts as absent
  if (th == 0) th.reset();
  if (s.lock_aspect) {
    if (orig_h == 0) return failure(QStringLiteral("the source image has no height"));
    const double ratio = static_cast<double>(orig_w) / orig_h;
    if (tw && !th)
      th = round_half_even(*tw / ratio);
    else if (th && !tw)
      tw = round_half_even(*th * ratio);
  }
  const TargetSize t{tw.value_or(orig_w), th.value_or(orig_h)};
  if (t.width <= 0 || t.height <= 0)
    return failure(QStringLiteral("the target size %1x%2 is not a positive size").arg(t.width).arg(t.height));
  return t;
}

TargetSize rotated(TargetSize t, int rotation) {
  if (rotation == 90 || rotation == 270) std::swap(t.width, t.height);
  return t;
}

OutputChoice output_choice(const QString& source, const QString& output_dir, const QString& format_entry,
                           const QString& detected_format) {
  const QString base = QFileInfo(source).fileName();
  const int dot = base.lastIndexOf('.');
  const QString name = dot > 0 ? base.left(dot) : base;
  const QString source_ext = dot > 0 ? base.mid(dot) : QString();
  OutputChoice choice;
  QString ext;
  if (format_entry == QLatin1String("Match Original")) {
    ext = source_ext;
    choice.encoder = detected_format.isEmpty() ? QStringLiteral("JPEG") : detected_format;
  } else {
    ext = "." + format_entry.toLower();
    choice.encoder = format_entry;
  }
  choice.path = QDir(output_dir).filePath(name + "_scaled" + ext);
  return choice;
}

QStringList plan_output_paths(const QStringList& queue, const QString& output_dir, const QString& format_entry) {
  const auto key = [](const QString& path) {
    const QFileInfo info(path);
    const QString canonical = info.canonicalFilePath();
    return canonical.isEmpty() ? QDir::cleanPath(info.absoluteFilePath()) : canonical;
  };
  QSet<QString> taken;
  for (const QString& source : queue) taken.insert(key(source));
  QStringList paths;
  paths.reserve(queue.size());
  for (const QString& source : queue) {
    const QString first = output_choice(source, output_dir, format_entry, QString()).path;
    QString candidate = first;
    const int dot = first.lastIndexOf('.');
    const bool has_ext = dot > first.lastIndexOf('/');
    for (int n = 2; taken.contains(key(candidate)); ++n)
      candidate = has_ext ? QStringLiteral("%1_%2%3").arg(first.left(dot)).arg(n).arg(first.mid(dot))
                          : QStringLiteral("%1_%2").arg(first).arg(n);
    taken.insert(key(candidate));
    paths << candidate;
  }
  return paths;
}

std::pair<int, QByteArray> search_quality(const std::function<QByteArray(int)>& encode, double limit_bytes) {
  int low = 5, high = 95, best = 5;
  QByteArray best_bytes;
  while (low <= high) {
    const int mid = (low + high) / 2;
    QByteArray bytes = encode(mid);
    if (bytes.size() <= limit_bytes) {
      best = mid;
      best_bytes = std::move(bytes);
      low = mid + 1;
    } else {
      high = mid - 1;
    }
  }
  if (best_bytes.isEmpty()) best_bytes = encode(best);  // nothing fitted: quality 5, over the limit
  return {best, best_bytes};
}

QString preview_line(TargetSize t, double dpi, qint64 source_bytes) {
  return QStringLiteral("Predicted Output: %1x%2 px | %3 DPI | Orig: %4 KB")
      .arg(t.width)
      .arg(t.height)
      .arg(QString::number(dpi, 'f', 0))
      .arg(QString::number(source_bytes / 1024.0, 'f', 1));
}

namespace {

bool accepted_name(const QString& name) { return is_image_name(name); }

}  // namespace

QStringList list_resizer_folder(const QString& folder, bool recursive) {
  QStringList found;
  QStringList pending{folder};
  while (!pending.isEmpty()) {
    const QDir dir(pending.takeFirst());
    for (const QString& name : dir.entryList(QDir::Files | QDir::Hidden, QDir::Unsorted))
      if (accepted_name(name)) found << dir.filePath(name);
    if (!recursive) break;
    QStringList subdirs;
    for (const QString& name :
         dir.entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden | QDir::NoSymLinks, QDir::Unsorted))
      subdirs << dir.filePath(name);
    pending = subdirs + pending;
  }
  return found;
}

void add_unique_files(QStringList& queue, const QStringList& found) {
  QSet<QString> queued;
  for (const QString& f : queue) queued.insert(QFileInfo(f).canonicalFilePath());
  for (const QString& f : found) {
    const QString canonical = QFileInfo(f).canonicalFilePath();
    if (canonical.isEmpty() || queued.contains(canonical)) continue;
    queued.insert(canonical);
    queue << f;
  }
  // The queue reads in the order a person counts: "img2" before "img10".
  QCollator natural;
  natural.setNumericMode(true);
  std::stable_sort(queue.begin(), queue.end(),
                   [&](const QString& a, const QString& b) { return natural.compare(a, b) < 0; });
}

Status check_target_dpi(double dpi) {
  if (!(dpi > 0)) return failure(QStringLiteral("Target DPI must be greater than 0."));
  return {};
}

}  // namespace quorlan
