#include "dataset/dataset_actions.h"

#include <QDialog>
#include <QDialogButtonBox>
#include <QDir>
#include <QLabel>
#include <QListWidget>
#include <QVBoxLayout>
#include <cstdio>
#include <memory>
#include <optional>

#include "core/dataset_reader.h"
#include "core/image_files.h"
#include "dataset/class_stats.h"
#include "dataset/dataset_qa.h"
#include "dataset/health_check.h"
#include "dataset/split_config_dialog.h"
#include "dataset/split_export.h"
#include "widgets/background_work.h"
#include "widgets/prompts.h"

namespace quorlan {

void export_and_split_dataset(QWidget* parent, const QStringList& image_paths, const QStringList& classes,
                              const QString& default_destination) {
  if (image_paths.isEmpty()) return;
  SplitConfigDialog config(parent);
  if (prompts().exec_dialog(config) != QDialog::Accepted) return;
  const auto ratios = config.get_ratios();
  const LabelFormat format =
      config.get_format() == QLatin1String("Detection") ? LabelFormat::Detection : LabelFormat::Segmentation;
  const QString destination = prompts().get_existing_directory(parent, "Select Output Directory", default_destination);
  if (destination.isEmpty()) return;

  // The folder's pictures as the engine finds them (its subfolders too), each with its label file.
  const QString folder = QFileInfo(image_paths.first()).absolutePath();
  const Expected<Dataset> dataset = open_dataset(folder);
  QStringList unlabelled;
  const QVector<ImageLabelPair> pairs =
      dataset && dataset->kind == Dataset::Kind::Folder
          ? collect_annotated_pairs(dataset->pictures, config.get_backgrounds(), &unlabelled)
          : collect_annotated_pairs(image_paths, config.get_backgrounds(), &unlabelled);
  if (pairs.isEmpty()) {
    prompts().warning(parent, "No Annotations", "No annotated files found to split.");
    return;
  }
  // What an export a crash cut short left there is finished or cleared first, and said.
  if (const QString recovered = recover_interrupted_export(destination); !recovered.isEmpty())
    prompts().information(parent, "Interrupted Export", recovered);
  // An earlier export in the destination would mix its sets with the new ones (and leak).
  const QStringList earlier = earlier_export_sets(destination);
  const bool replace = !earlier.isEmpty();
  if (replace) {
    const Status conflict = export_source_conflict(pairs, destination);
    if (!conflict) {
      prompts().critical(parent, "Export Error",
                         QStringLiteral("The export stopped: %1\n\nNo file was written.").arg(conflict.error()));
      return;
    }
    const int choice =
        prompts().choose(parent, "Older Export Found",
                         QStringLiteral("%1 already holds an export (%2). Its images would mix with the new split.\n\n"
                                        "Replace it (its train, val and test folders and data.yaml are replaced once "
                                        "the new export is complete) or cancel?")
                             .arg(QDir::toNativeSeparators(destination), earlier.join(", ")),
                         {"Replace", "Cancel"});
    if (choice != 0) return;
  }
  const quint64 seed = config.get_seed();
  struct Outcome {
    GroupedSplit split;
    Expected<ExportResult> result = failure(QString());
  };
  // Grouping reads every picture and the export copies them: both beside the window, the copies
  // counted. Cancel stops at the next file and leaves the destination as it was.
  auto control = std::make_shared<WorkControl>();
  run_beside_window(
      parent, "Exporting the dataset...", control,
      [pairs, ratios, seed, destination, format, classes, replace, control] {
        Outcome out;
        out.split = plan_grouped_split(pairs, ratios[0], ratios[1], seed, &control->cancel);
        control->total = static_cast<int>(out.split.pairs.size());
        out.result = export_dataset(out.split.pairs, out.split.counts, destination, format, classes, &control->cancel,
                                    replace, &control->done);
        return out;
      },
      [parent, destination, seed, classes, unlabelled, folder](const Outcome& out) {
        if (!out.result) {
          prompts().critical(parent, "Export Error", export_error_text(out.result.error()));
          return;
        }
        ExportResult result = *out.result;
        if (result.cancelled) return;
        result.unlabelled = unlabelled;
        result.left_out += undecodable_image_notes(folder);
        prompts().information(parent, "Export Complete",
                              export_summary_text(destination, out.split, result, seed, classes));
      });
}

namespace {

// Every finding, the image each names; a double-click shows that image in the annotator.
class FindingsDialog : public QDialog {
 public:
  FindingsDialog(const QaFindings& findings, const std::function<void(const QString&)>& jump, QWidget* parent)
      : QDialog(parent) {
    setWindowTitle("Health Check Details");
    resize(640, 480);
    auto* layout = new QVBoxLayout(this);
    list = new QListWidget;
    list->setObjectName("list_findings");
    for (const QaSection& section : findings.sections) {
      auto* heading = new QListWidgetItem(QStringLiteral("%1 (%2)").arg(section.title).arg(section.items.size()));
      QFont bold = heading->font();
      bold.setBold(true);
      heading->setFont(bold);
      heading->setFlags(Qt::ItemIsEnabled);
      list->addItem(heading);
      for (int i = 0; i < section.items.size(); ++i) {
        auto* item = new QListWidgetItem("  " + section.items[i]);
        item->setData(Qt::UserRole, section.images.value(i));
        list->addItem(item);
      }
    }
    layout->addWidget(new QLabel("Double-click a finding to show its image in the annotator."));
    layout->addWidget(list);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addWidget(buttons);
    connect(list, &QListWidget::itemDoubleClicked, this, [this, jump](QListWidgetItem* item) {
      const QString image = item->data(Qt::UserRole).toString();
      if (image.isEmpty() || !jump) return;
      jump(image);
      accept();
    });
  }
  QListWidget* list = nullptr;
};

void show_health_report(QWidget* parent, const Expected<HealthFindings>& findings, const QaFindings& quality,
                        const std::function<void(const QString&)>& jump) {
  if (!findings) {
    prompts().warning(parent, "Health Check", findings.error());
    return;
  }
  const QString text = health_report_text(*findings) + qa_report_text(quality);
  if (quality.sections.isEmpty()) {
    prompts().information(parent, "Health Check", text);
    return;
  }
  // The full list goes to the console; the box offers it with a way to each image.
  for (const QaSection& section : quality.sections) {
    std::printf("Health Check: %s (%d)\n", section.title.toLocal8Bit().constData(), int(section.items.size()));
    for (const QString& item : section.items) std::printf("  %s\n", item.toLocal8Bit().constData());
  }
  std::fflush(stdout);
  if (prompts().choose(parent, "Health Check", text, {"Details", "OK"}) != 0) return;
  FindingsDialog details(quality, jump, parent);
  prompts().exec_dialog(details);
}

}  // namespace

void run_health_check(QWidget* parent, const QString& image_folder, const QStringList& classes, int imgsz,
                      const std::function<void(const QString&)>& jump) {
  if (image_folder.isEmpty()) {
    prompts().information(parent, "Health Check", "Please load a dataset folder first.");
    return;
  }
  struct Outcome {
    Expected<HealthFindings> findings = failure(QString());
    QaFindings quality;
  };
  auto control = std::make_shared<WorkControl>();
  run_beside_window(
      parent, "Checking the dataset...", control,
      [image_folder, classes, imgsz, control] {
        Outcome out;
        out.findings = examine_folder(image_folder);
        if (out.findings) out.quality = examine_dataset_quality(image_folder, classes, imgsz, &control->cancel);
        return out;
      },
      [parent, jump, control](const Outcome& out) {
        if (out.quality.cancelled || control->cancel) return;
        show_health_report(parent, out.findings, out.quality, jump);
      });
}

void show_dataset_analytics(QWidget* parent, const QStringList& image_paths, const QStringList& classes) {
  if (image_paths.isEmpty()) {
    prompts().information(parent, "Analytics", "Load a dataset first.");
    return;
  }
  auto control = std::make_shared<WorkControl>();
  control->total = static_cast<int>(image_paths.size());
  run_beside_window(
      parent, "Counting objects...", control,
      [image_paths, classes, control] {
        return count_class_objects(image_paths, classes, &control->cancel, &control->done);
      },
      [parent, control](const ClassCounts& counts) {
        if (control->cancel) return;
        if (counts.isEmpty()) {
          prompts().information(parent, "Analytics", "No objects annotated yet.");
          return;
        }
        std::unique_ptr<QDialog> dialog(make_class_distribution_dialog(counts, parent));
        prompts().exec_dialog(*dialog);
      });
}

}  // namespace quorlan
