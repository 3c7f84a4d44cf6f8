#include "dataset/dataset_actions.h"

#include <QDialog>
#include <QDir>
#include <memory>
#include <optional>

#include "dataset/class_stats.h"
#include "dataset/health_check.h"
#include "dataset/split_config_dialog.h"
#include "dataset/split_export.h"
#include "shell/prompts.h"
#include "shell/wait_cursor.h"

namespace quorlan {

void export_and_split_dataset(QWidget* parent, const QStringList& image_paths, const QStringList& classes) {
  if (image_paths.isEmpty()) return;
  SplitConfigDialog config(parent);
  if (prompts().exec_dialog(config) != QDialog::Accepted) return;
  const auto ratios = config.get_ratios();
  const LabelFormat format =
      config.get_format() == QLatin1String("Detection") ? LabelFormat::Detection : LabelFormat::Segmentation;
  const QString destination = prompts().get_existing_directory(parent, "Select Output Directory");
  if (destination.isEmpty()) return;

  QVector<ImageLabelPair> pairs = collect_annotated_pairs(image_paths);
  if (pairs.isEmpty()) {
    prompts().warning(parent, "No Annotations", "No annotated files found to split.");
    return;
  }
  shuffle_pairs(pairs);
  const SplitCounts counts = plan_split(pairs.size(), ratios[0], ratios[1]);
  ExportResult result;
  {
    const WaitCursor wait;
    result = export_dataset(pairs, counts, destination, format, classes);
  }
  if (!result.error.isEmpty()) {
    const bool wrote = result.counts.train + result.counts.val + result.counts.test > 0;
    prompts().critical(parent, "Export Error",
                       wrote ? QStringLiteral("The export stopped: %1\n\nFiles written before this point stay in %2.")
                                   .arg(result.error, QDir::toNativeSeparators(destination))
                             : QStringLiteral("The export stopped: %1\n\nNo file was written.").arg(result.error));
    return;
  }
  QString text = QStringLiteral("Exported dataset successfully to:\n") + destination;
  text += QStringLiteral("\n\ntrain: %1 images\nval: %2 images\ntest: %3 images")
              .arg(counts.train)
              .arg(counts.val)
              .arg(counts.test);
  if (counts.val == 0)
    text += QStringLiteral("\n\nWarning: the val set is empty; training needs validation images.");
  if (result.unnamed_first >= 0)
    text += result.unnamed_first == result.unnamed_last
                ? QStringLiteral("\n\nWarning: class id %1 has no name; data.yaml names it \"%1\".").arg(result.unnamed_first)
                : QStringLiteral("\n\nWarning: class ids %1 to %2 have no name; data.yaml names them by their number.")
                      .arg(result.unnamed_first)
                      .arg(result.unnamed_last);
  prompts().information(parent, "Export Complete", text);
}

void run_health_check(QWidget* parent, const QString& image_folder) {
  if (image_folder.isEmpty()) {
    prompts().information(parent, "Health Check", "Please load a dataset folder first.");
    return;
  }
  std::optional<HealthFindings> findings;
  {
    const WaitCursor wait;
    findings = examine_folder(image_folder);
  }
  if (!findings) {
    prompts().warning(parent, "Health Check",
                      "The folder " + QDir::toNativeSeparators(image_folder) + " cannot be read any more.");
    return;
  }
  prompts().information(parent, "Health Check", health_report_text(*findings));
}

void show_dataset_analytics(QWidget* parent, const QStringList& image_paths, const QStringList& classes) {
  if (image_paths.isEmpty()) {
    prompts().information(parent, "Analytics", "Load a dataset first.");
    return;
  }
  const ClassCounts counts = count_class_objects(image_paths, classes);
  if (counts.isEmpty()) {
    prompts().information(parent, "Analytics", "No objects annotated yet.");
    return;
  }
  std::unique_ptr<QDialog> dialog(make_class_distribution_dialog(counts, parent));
  prompts().exec_dialog(*dialog);
}

}  // namespace quorlan
