// The annotator's label review: the folder's labels held against a model, the findings listed worst
// first; choosing one shows its picture with the label picked and the prediction drawn apart
// (dashed); Y takes the model's version (one undo step, saved like any edit), N dismisses it.
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QGraphicsPathItem>
#include <QGraphicsScene>
#include <QGroupBox>
#include <QLabel>
#include <QListWidget>
#include <QPainterPath>
#include <QPen>
#include <QPushButton>
#include <QScrollArea>
#include <QTableWidget>
#include <QTimer>

#include "annotate/annotator_tab.h"
#include "core/label_files.h"
#include "engine_client/prediction_host.h"
#include "engine_client/run_settings.h"
#include "predict/model_loading.h"
#include "review/cross_check.h"
#include "review/review_dismissals.h"
#include "review/review_run.h"
#include "widgets/background_work.h"
#include "widgets/interactive_canvas.h"
#include "widgets/prompts.h"
#include "widgets/settings_store.h"

namespace quorlan {

namespace {

constexpr int kFindingIndex = Qt::UserRole;

}  // namespace

ReviewSource AnnotatorTab::folder_review_source() const {
  ReviewSource source;
  source.path = queue_.folder();
  source.folders = {queue_.folder()};
  source.pictures = queue_.paths();
  source.classes = classes;
  return source;
}

void AnnotatorTab::review_labels_with_model() {
  if (queue_.isEmpty()) {
    prompts().warning(this, "Label Review", "Open a folder of labelled pictures first.");
    return;
  }
  if (!resolve_unsaved([this] { review_labels_with_model(); })) return;
  std::shared_ptr<PredictingModel> model = ai_model;
  if (!model) {
    const int how = prompts().choose(
        this, "Review Labels with a Model",
        "Which model should review the labels?\n\nA model that trained on these pictures agrees with the labels it "
        "learned. A cross-check trains a model on each half of the folder through the engine and reviews each half "
        "with the other half's model.",
        {"Pick a Model File...", "Cross-check (Train Two Models)"});
    if (how < 0) return;
    if (how == 1) {
      review_by_cross_check();
      return;
    }
    const QString path = prompts().get_open_file_name(this, "Review Labels with a Model", QString(), kModelFileFilter);
    if (path.isEmpty()) return;
    load_model_beside_window(this, path, "review",
                             [this](const std::shared_ptr<PredictingModel>& loaded) { review_with(loaded); });
    return;
  }
  review_with(model);
}

void AnnotatorTab::review_with(const std::shared_ptr<PredictingModel>& model) {
  const ReviewSource source = folder_review_source();
  auto control = std::make_shared<WorkControl>();
  control->total = queue_.size();
  run_beside_window(
      this, "Reviewing the labels...", control,
      [model, source, control] { return review_dataset(*model, source, 0.001, &control->cancel, &control->done); },
      [this, model, source, control](const ReviewResult& result) {
        if (control->cancel || result.cancelled) return;
        show_review_results(result, model->names(), QFileInfo(model->weights()).fileName(),
                            trained_on_these_pictures(model->weights(), source.folders));
      },
      [model] { model->cancel(); });
}

void AnnotatorTab::review_by_cross_check() {
  with_engine(this, [this] { cross_check_with_engine(); });
}

void AnnotatorTab::cross_check_with_engine() {
  const QString answer = prompts().get_text(this, "Cross-check", "Epochs of each half's training:", "30");
  bool ok = false;
  const int epochs = answer.trimmed().toInt(&ok);
  if (answer.isEmpty()) return;
  if (!ok || epochs < 1 || epochs > 2000) {
    prompts().warning(this, "Cross-check", "The epochs are a whole number from 1 to 2000.");
    return;
  }
  const ReviewSource source = folder_review_source();
  CrossCheckSettings settings;
  settings.model = run_settings::kModel;
  settings.epochs = epochs;
  // Beside the training runs, never inside the reviewed folder.
  settings.work = QDir(run_settings::absolute_project_path(QStringLiteral("runs/cross_check")))
                      .filePath(QFileInfo(queue_.folder()).fileName());
  auto control = std::make_shared<WorkControl>();
  control->total = 2 * epochs + queue_.size();
  run_beside_window(
      this, "Cross-check: training a model on each half...", control,
      [source, settings, control]() -> Expected<ReviewResult> {
        const Expected<CrossCheckPlan> plan = prepare_cross_check(source, settings.work);
        if (!plan) return failure(plan.error());
        const int epochs = settings.epochs;
        const Expected<std::array<QString, 2>> trained =
            train_cross_check(*plan, settings, &control->cancel,
                              [&](int half, int epoch, int) { control->done = half * epochs + epoch; });
        if (!trained) return failure(trained.error());
        control->done = 2 * epochs;
        return review_cross_check(*plan, *trained, source, 0.001, &control->cancel, &control->done);
      },
      [this, control](const Expected<ReviewResult>& result) {
        if (control->cancel || (result && result->cancelled)) return;
        if (!result) {
          prompts().critical(this, "Cross-check", result.error());
          return;
        }
        QHash<int, QString> names;
        for (int id = 0; id < classes.size(); ++id) names.insert(id, classes[id]);
        show_review_results(*result, names, "a cross-check of two halves", QString());
      },
      [] { PredictionHost::instance().cancel(); });
}

void AnnotatorTab::show_review_results(const ReviewResult& result, QHash<int, QString> model_names, const QString& by,
                                       const QString& warning) {
  review_.reset(result.findings, std::move(model_names), ReviewDismissals::load(queue_.folder(), settings_store()));
  QString note = QStringLiteral("%1 pictures, %2 labels: %3 findings, by %4.")
                     .arg(result.pictures)
                     .arg(result.labels)
                     .arg(result.findings.size())
                     .arg(by);
  if (!result.failures.isEmpty())
    note += QStringLiteral(" %1 pictures could not be reviewed: %2")
                .arg(result.failures.size())
                .arg(result.failures.first());
  // How far to trust the list, above it: the model measured on these labels, and what was not reviewed.
  note += "\n" + QString(result.model_check.too_weak() ? "⚠ " : "") + model_check_text(result.model_check);
  for (const QString& line : result.notes) note += "\n" + line;
  if (!review_.dismissals()->problem().isEmpty()) note += "\n⚠ " + review_.dismissals()->problem();
  if (!warning.isEmpty()) note = "⚠ " + warning + "\n" + note;
  lbl_review_note->setText(note);
  lbl_review_note->show();
  {
    const QSignalBlocker block(combo_review_class);
    combo_review_class->clear();
    combo_review_class->addItem("All classes", -1);
    for (int i = 0; i < classes.size(); ++i) combo_review_class->addItem(classes[i], i);
  }
  review_box->show();
  // The findings are brought into sight in the scrolling panel.
  QTimer::singleShot(0, right_scroll_,
                     [scroll = right_scroll_, list = list_review] { scroll->ensureWidgetVisible(list); });
  refresh_review_list();
  if (list_review->count() > 0) list_review->setCurrentRow(0);
  // Where dismissals go is asked as the review starts, not in the middle of its flow.
  if (!review_.isEmpty()) choose_dismissal_place();
}

void AnnotatorTab::refresh_review_list() {
  const FindingFilter filter{combo_review_kind->currentData().toInt(), combo_review_class->currentData().toInt(),
                             check_review_dismissed->isChecked()};
  const QSignalBlocker block(list_review);
  list_review->clear();
  for (const FindingRow& row : review_.rows(filter, classes)) {
    auto* item = new QListWidgetItem(row.text, list_review);
    item->setData(kFindingIndex, row.index);
    item->setToolTip(row.tooltip);
  }
  btn_review_accept->setEnabled(list_review->count() > 0);
  btn_review_dismiss->setEnabled(list_review->count() > 0);
}

int AnnotatorTab::current_review_finding() const {
  const QListWidgetItem* item = list_review->currentItem();
  return item ? item->data(kFindingIndex).toInt() : -1;
}

void AnnotatorTab::clear_review_overlay() {
  review_shown_ = -1;
  if (review_overlay_ && canvas->items().contains(review_overlay_)) {
    canvas->removeItem(review_overlay_);
    delete review_overlay_;
  }
  review_overlay_ = nullptr;
}

void AnnotatorTab::show_review_finding(int index) {
  clear_review_overlay();
  if (index < 0 || index >= review_.findings().size()) return;
  const QString picture = review_.findings()[index].picture;
  if (shown_picture() == picture) return draw_review_finding(index);
  // Its picture first, once it is decoded (and only when it still is the finding picked).
  const int row = static_cast<int>(queue_.index_of(picture));
  if (row < 0 || !resolve_unsaved([this, index] {
        if (current_review_finding() == index) show_review_finding(index);
      }))
    return;
  show_image(row, [this, index](PictureShown result) {
    if (result == PictureShown::Shown && current_review_finding() == index) draw_review_finding(index);
  });
}

void AnnotatorTab::draw_review_finding(int index) {
  const ReviewFinding& f = review_.findings()[index];
  // The label picked as a shape is; the prediction drawn apart, dashed, in its class's colour.
  if (f.label_row >= 0 && f.label_row < annotations.size()) {
    table_objects->selectRow(f.label_row);
    sync_table_selection();
  } else {
    canvas->clearSelection();
  }
  if (f.predicted_cls >= 0) {
    QPainterPath path;
    path.addPolygon(f.predicted_outline());
    path.closeSubpath();
    auto* overlay = new QGraphicsPathItem(path);
    QPen pen(QColor(255, 200, 0), 2, Qt::DashLine);
    pen.setCosmetic(true);
    overlay->setPen(pen);
    overlay->setZValue(1000);
    overlay->setAcceptedMouseButtons(Qt::NoButton);
    overlay->setToolTip(
        QStringLiteral("The model: %1 %2").arg(review_.model_name(f.predicted_cls)).arg(f.predicted_conf, 0, 'f', 2));
    canvas->addItem(overlay);
    review_overlay_ = overlay;
  }
  review_shown_ = index;
}

bool AnnotatorTab::accept_review_finding() {
  const int index = current_review_finding();
  if (index < 0) return false;
  // A finding not yet on screen is shown first: Y acts only on what the user has seen.
  if (review_shown_ != index) {
    show_review_finding(index);
    return false;
  }
  const QString picture = review_.findings()[index].picture;
  const FindingQueue::Taken taken = review_.take(
      index, *document, [this](const QString& name) { return class_id_for(name, -1); },
      kind_for_new_shape(QStringLiteral("Model Review")));
  if (taken == FindingQueue::Taken::LabelChanged)
    prompts().warning(this, "Label Review",
                      "This label changed since the review. Review the folder again to see it as it is now.");
  if (taken != FindingQueue::Taken::Done || !after_edit(true)) return false;
  // The next finding is picked. On this picture it is shown at once; on another it is not yet (the
  // edited picture stays, so that Ctrl+Z still reaches the edit), and the next Y or N shows it
  // before anything acts on it.
  const int row = list_review->currentRow();
  refresh_review_list();
  clear_review_overlay();
  const QSignalBlocker block(list_review);
  if (list_review->count() > 0) {
    list_review->setCurrentRow(std::min(row, list_review->count() - 1));
    const int next = current_review_finding();
    if (next >= 0 && review_.findings()[next].picture == picture) show_review_finding(next);
  }
  return true;
}

bool AnnotatorTab::choose_dismissal_place() {
  ReviewDismissals* dismissals = review_.dismissals();
  if (!dismissals || dismissals->place_chosen()) return true;
  // Asked once per folder: the label files are never touched either way.
  const int where = prompts().choose(
      this, "Remember Dismissals",
      QStringLiteral("Where should the studio remember the findings you dismiss in this folder?\n\nIn the folder, "
                     "it keeps a small file of its own (%1) that travels with the dataset. In the studio's "
                     "settings, nothing is written into the folder.")
          .arg(ReviewDismissals::kFileName),
      {"In the Folder", "In the Studio's Settings"});
  if (where < 0) return false;
  dismissals->choose_place(where == 0);
  return true;
}

bool AnnotatorTab::dismiss_review_finding() {
  const int index = current_review_finding();
  if (index < 0 || !review_.dismissals()) return false;
  if (review_shown_ != index) {  // N too acts only on what is on screen
    show_review_finding(index);
    return false;
  }
  if (!choose_dismissal_place()) return false;
  const Status written = review_.toggle_dismissed(index);  // a dismissed one shown again is reopened
  if (!written) {
    prompts().critical(this, "Label Review", "The dismissal could not be remembered:\n" + written.error());
    return false;
  }
  const int row = list_review->currentRow();
  refresh_review_list();
  if (list_review->count() > 0) list_review->setCurrentRow(std::min(row, list_review->count() - 1));
  return true;
}

}  // namespace quorlan
