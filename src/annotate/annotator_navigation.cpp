#include "annotate/annotator_tab.h"

#include <QComboBox>
#include <QDir>
#include <QDoubleSpinBox>
#include <QFile>
#include <QFileInfo>
#include <QGraphicsPolygonItem>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QTableWidget>
#include <QUndoStack>
#include <QVBoxLayout>
#include <algorithm>
#include <array>
#include <cstdio>
#include <opencv2/imgcodecs.hpp>

#include "annotate/label_dialog.h"
#include "core/atomic_file.h"
#include "core/class_edit.h"
#include "core/class_names.h"
#include "core/constants.h"
#include "core/dataset_reader.h"
#include "core/image_files.h"
#include "core/image_limits.h"
#include "core/label_files.h"
#include "core/polygon_edit.h"
#include "engine_client/engine_host.h"
#include "widgets/background_work.h"
#include "widgets/bgr_pixmap.h"
#include "widgets/interactive_canvas.h"
#include "widgets/named.h"
#include "widgets/prompts.h"
#include "widgets/shape_item.h"
#include "widgets/zoomable_view.h"

namespace quorlan {

// ---------------------------------------------------------------- folder and navigation

void AnnotatorTab::load_directory() {
  const QString folder = prompts().get_existing_directory(this, "Select Image Directory");
  if (folder.isEmpty()) return;
  open_folder(folder);
}

void AnnotatorTab::open_folder(const QString& folder, const QString& picture) {
  // The shapes on screen are kept before the folder changes.
  if (!resolve_unsaved([this, folder, picture] { open_folder(folder, picture); })) return;
  // A class change a crash cut short is rolled back before anything of the folder is read.
  if (const QString recovered = recover_class_change(class_change_journal(folder)); !recovered.isEmpty())
    prompts().information(this, "Class Change Rolled Back", recovered);
  // The folder is read beside the window (a folder of 100,000 pictures takes a second); the last
  // folder asked for is the one opened.
  const int request = ++folder_request_;
  auto control = std::make_shared<WorkControl>();
  run_beside_window(
      this, QStringLiteral("Reading the folder..."), control, [folder] { return list_folder(folder); },
      [this, control, request, picture](const FolderListing& listing) {
        if (control->cancel || request != folder_request_) return;
        folder_listed(listing, picture);
      });
}

void AnnotatorTab::folder_listed(const FolderListing& listing, const QString& picture) {
  // Another step may have changed the shapes on screen while the folder was read.
  if (!resolve_unsaved([this, listing, picture] { folder_listed(listing, picture); })) return;
  if (listing.paths.isEmpty() && !listing.splits.isEmpty()) {
    // A dataset's own folder holds no pictures: its manifest names the folders that do.
    const QString split = choose_split_folder(listing);
    if (!split.isEmpty()) return open_folder(split);
  }
  // A review speaks of the folder it was made for.
  review_.clear();
  review_box->hide();
  const QString& folder = listing.folder;
  const FolderClasses& found = listing.classes;
  document->close();
  prefetch_.clear();
  hidden_classes.clear();
  history_.clear();
  classes_unsaved_ = false;
  names_manifest_ = found.source == FolderClasses::Source::Manifest ? found.path : QString();
  manifest_told_ = false;
  queue_.open(listing);
  scan_largest_id();
  class_changes_.reset(folder, classes_file_path());  // a class change is undone only in its own folder
  classes = found.names;
  open_tracks();
  show_queue();
  label_kind_ = listing.kind.value_or(LabelKind::Boxes);
  label_kind_settled_ = listing.kind.has_value();
  box_notice_given_ = false;
  show_label_kind();
  rebuild_class_list();

  // Nothing of the previous folder stays on screen, or may be saved into this one's label files.
  // The previous folder's picture goes at once; the first readable one comes when it is decoded.
  show_no_picture();
  if (queue_.isEmpty()) {
    emit notice_signal("No images in " + QDir::toNativeSeparators(folder));
    return;
  }
  const int first = std::max(0, queue_.index_of(picture));
  show_readable(first, +1);
  // Labels the studio reads beside pictures inside images/ are not where the engine looks.
  const QString one = queue_.path(0);
  if (DatasetPicture{one, engine_label_path(one), queue_.label_path_of(one), {}}.label_beside_only())
    emit notice_signal(QStringLiteral("The label files here sit beside the pictures inside a folder named images/: the "
                                      "studio shows them, but the engine looks for them in %1 and would train these "
                                      "pictures as backgrounds. Move them there (the health check names each).")
                           .arg(QDir::toNativeSeparators(QFileInfo(engine_label_path(one)).absolutePath())));
  if (!found.blank_names.isEmpty()) {
    QStringList ids;
    for (int id : found.blank_names) ids << QString::number(id);
    emit notice_signal(QStringLiteral("%1 gives class id(s) %2 no name; each is shown and written as its number.")
                           .arg(QFileInfo(found.path).fileName(), ids.join(", ")));
  }
}

void AnnotatorTab::show_no_picture() {
  display_cv_img.release();
  display_image_ = QImage();
  {
    // A picked shape going with the scene must not call back into records that point at it.
    const QSignalBlocker block(canvas);
    canvas->reset_drawing();
    canvas->clear();
    annotations.forget();
  }
  canvas_view->set_placeholder(canvas_hint_);
  document->close();
  mirror_document();  // the ids of the shapes that were shown go with them
  lbl_img_status->setText("Status: Pending");
  lbl_img_status->setStyleSheet(QString());
}

QString AnnotatorTab::choose_split_folder(const FolderListing& listing) {
  const QDir root = QFileInfo(listing.split_manifest).absoluteDir();
  QStringList choices;
  for (const QString& split : listing.splits) choices << QDir::toNativeSeparators(root.relativeFilePath(split));
  const int chosen = prompts().choose(
      this, "Open a Split",
      QStringLiteral("%1 holds no images. Its dataset manifest %2 names these image folders; open one?")
          .arg(QDir::toNativeSeparators(listing.folder), QFileInfo(listing.split_manifest).fileName()),
      choices + QStringList{"Cancel"});
  return chosen >= 0 && chosen < listing.splits.size() ? listing.splits[chosen] : QString();
}

void AnnotatorTab::set_output_folder() {
  const QString folder = prompts().get_existing_directory(this, "Select Output Directory", output_folder);
  if (!folder.isEmpty()) set_output_folder_path(folder);
}

void AnnotatorTab::set_output_folder_path(const QString& folder) {
  output_folder = folder;
  lbl_output_folder->setText("Output: " + QFileInfo(folder).fileName());
  lbl_output_folder->setToolTip(QDir::toNativeSeparators(folder));
  emit notice_signal("Export && Split Dataset will offer " + QDir::toNativeSeparators(folder));
}

void AnnotatorTab::load_current_image() { show_image(queue_.current()); }

QString AnnotatorTab::label_path_of(const QString& image_path) const { return queue_.label_path_of(image_path); }

// Shows image `idx` once it is decoded: at once when the decode is at hand (a neighbour decoded
// while the last image was shown), else beside the window, which answers meanwhile. `shown` hears
// how it went, unless another picture was asked for since.
void AnnotatorTab::show_image(int idx, std::function<void(PictureShown)> shown) {
  if (idx < 0 || idx >= queue_.size()) {
    if (shown) shown(PictureShown::Unreadable);
    return;
  }
  const QString path = queue_.path(idx);
  const QFuture<DecodedImage> decode = prefetch_.decode(path);
  const int request = queue_.ask(idx);
  auto finish = [this, idx, path, request, shown = std::move(shown)](const DecodedImage& decoded) {
    picture_decoded(request, idx, path, decoded, shown);
  };
  if (decode.isFinished()) return finish(decode.result());
  run_behind_tab(
      this, std::make_shared<WorkControl>(), [decode] { return decode.result(); }, std::move(finish));
}

void AnnotatorTab::picture_decoded(int request, int idx, const QString& path, const DecodedImage& decoded,
                                   const std::function<void(PictureShown)>& shown) {
  if (!queue_.is_latest(request)) return;  // another picture was asked for since
  // An edit made while the picture was decoded reaches its file before the picture goes.
  if (!decoded.bgr.empty() && !resolve_unsaved([this, request, idx, path, decoded, shown] {
        picture_decoded(request, idx, path, decoded, shown);
      }))
    return;
  const PictureShown result = put_on_screen(idx, path, decoded);
  if (shown) shown(result);
}

// When the picture cannot be read nothing changes: the current index, the list row and the records
// stay with the image on screen, and a notice names the file.
AnnotatorTab::PictureShown AnnotatorTab::put_on_screen(int idx, const QString& path, const DecodedImage& decoded) {
  if (decoded.bgr.empty()) {
    {
      const QSignalBlocker block(list_images);
      list_images->setCurrentRow(queue_.current());
    }
    const QString too_large = too_large_to_decode(path);
    emit notice_signal(too_large.isEmpty() ? "Could not read image: " + QFileInfo(path).fileName() : too_large);
    return PictureShown::Unreadable;
  }
  const int previous_idx = queue_.current();
  queue_.shown(idx);
  display_cv_img = decoded.bgr;
  display_image_ = decoded.image;
  {
    const QSignalBlocker block(list_images);
    list_images->setCurrentRow(idx);
  }
  annotations.forget();  // the canvas is cleared for the new picture, the items with it
  render_canvas_image();
  load_existing_annotations(path);
  set_status_label(current_mark());
  // The neighbours are decoded while this one is looked at (and encoded for the segmentation model).
  prefetch_.keep_only(queue_.neighbours(idx, previous_idx));
  drop_outline();
  encode_around_shown();
  return PictureShown::Shown;
}

void AnnotatorTab::show_readable(int idx, int step, std::function<void()> none, QStringList skipped) {
  if (idx < 0 || idx >= queue_.size()) {
    if (!skipped.isEmpty()) emit notice_signal("Could not read image(s): " + skipped.join(", "));
    if (none) none();
    return;
  }
  show_image(idx, [this, idx, step, none = std::move(none), skipped](PictureShown result) mutable {
    if (result == PictureShown::Shown && !skipped.isEmpty())
      emit notice_signal("Skipped unreadable image(s): " + skipped.join(", "));
    if (result != PictureShown::Unreadable) return;
    skipped << QFileInfo(queue_.path(idx)).fileName();
    show_readable(idx + step, step, std::move(none), skipped);
  });
}

void AnnotatorTab::set_status_label(LabelMark mark) {
  lbl_img_status->setText(mark == LabelMark::Annotated    ? "STATUS: ANNOTATED"
                          : mark == LabelMark::Background ? "STATUS: NO OBJECTS (BACKGROUND)"
                                                          : "STATUS: PENDING");
  lbl_img_status->setStyleSheet(mark == LabelMark::Pending ? "color: #D3112E;" : "color: #10B981;");
}

LabelMark AnnotatorTab::current_mark() const {
  if (!document->is_open()) return LabelMark::Pending;
  const FileStamp stamp = file_stamp(document->path());
  if (!stamp.exists) return LabelMark::Pending;
  return stamp.size == 0 ? LabelMark::Background : LabelMark::Annotated;
}

void AnnotatorTab::render_canvas_image() {
  if (display_cv_img.empty()) return;
  {
    const QSignalBlocker block_scene(canvas);
    const QSignalBlocker block_table(table_objects);
    canvas->reset_drawing();
    canvas->clear();
    if (display_image_.isNull()) display_image_ = qimage_from_bgr(display_cv_img);
    canvas->addPixmap(QPixmap::fromImage(display_image_));
    canvas->setSceneRect(0, 0, display_cv_img.cols, display_cv_img.rows);
  }
  canvas_view->set_placeholder(QString());
  fit_canvas_to_screen();
}

void AnnotatorTab::fit_canvas_to_screen() { canvas_view->fit_scene(); }

void AnnotatorTab::jump_to_image(int row) {
  if (row < 0 || row >= queue_.size() || row == queue_.origin()) return;
  if (row == queue_.current()) return queue_.drop_asked();  // back to the picture on screen
  const auto keep_row = [this] {
    const QSignalBlocker block(list_images);
    list_images->setCurrentRow(queue_.current());
  };
  if (!resolve_unsaved([this, row] { jump_to_image(row); })) return keep_row();
  show_image(row, [keep_row](PictureShown result) {
    if (result != PictureShown::Shown) keep_row();
  });
}

void AnnotatorTab::show_image_file(const QString& path) { jump_to_image(queue_.index_of(path)); }

QString AnnotatorTab::shown_picture() const {
  return display_cv_img.empty() ? QString() : queue_.path(queue_.current());
}

void AnnotatorTab::prev_image() {
  if (queue_.previous() < 0) return;
  if (!resolve_unsaved([this] { prev_image(); })) return;
  show_readable(queue_.previous(), -1);
}

void AnnotatorTab::next_image() {
  if (queue_.next() < 0) return;
  if (!resolve_unsaved([this] { next_image(); })) return;
  show_readable(queue_.next(), +1);
}

void AnnotatorTab::change_active_mode(const QString& mode) {
  drop_outline();
  canvas->set_draw_mode(mode);
  canvas_view->set_interaction_mode(mode);
  if (mode == QLatin1String("AI Polygon") || mode == QLatin1String("AI Box")) {
    if (!sam_)
      choose_segment_model();
    else
      encode_around_shown();
  }
}

void AnnotatorTab::handle_canvas_point(const QPointF&) {}

void AnnotatorTab::update_single_list_status() {
  const int idx = queue_.current();
  QListWidgetItem* item = list_images->item(idx);
  if (!item) return;
  const LabelMark mark = current_mark();
  queue_.set_mark(idx, mark);
  item->setText(queue_.entry_text(idx));
  set_status_label(mark);
  lbl_progress->setText(queue_.progress_text());
}

void AnnotatorTab::show_queue() {
  const QSignalBlocker block(list_images);
  list_images->clear();
  QStringList texts;
  texts.reserve(queue_.size());
  for (int i = 0; i < queue_.size(); ++i) texts << queue_.entry_text(i);
  list_images->addItems(texts);
  lbl_progress->setText(queue_.progress_text());
}

}  // namespace quorlan
