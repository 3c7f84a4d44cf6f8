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

void AnnotatorTab::open_folder(const QString& folder) {
  // The shapes on screen are kept before the folder changes.
  if (!resolve_unsaved([this, folder] { open_folder(folder); })) return;
  // A review speaks of the folder it was made for.
  review_findings.clear();
  review_dismissals_.reset();
  review_box->hide();
  // A class change a crash cut short is rolled back before anything of the folder is read.
  if (const QString recovered = recover_class_change(class_change_journal(folder)); !recovered.isEmpty())
    prompts().information(this, "Class Change Rolled Back", recovered);

  // One listing of the folder gives the images (and the label files when they sit beside them).
  // Only regular files are listed: a FIFO or a device named like an image would block a read.
  const QDir dir(folder);
  const QStringList names = dir.entryList(QDir::Files | QDir::Hidden, QDir::Unsorted);
  const QString labels = label_folder_for(folder);
  QStringList paths;
  QSet<QString> label_files;
  for (const QString& name : names) {
    const int dot = name.lastIndexOf('.');
    if (dot <= 0) continue;
    const QString ext = name.mid(dot + 1).toLower();
    if (ext == QLatin1String("txt"))
      label_files.insert(name);
    else if (is_image_name(name))
      paths << dir.filePath(name);
  }
  if (labels != folder) {
    const QStringList txt = QDir(labels).entryList({"*.txt"}, QDir::Files | QDir::Hidden, QDir::Unsorted);
    label_files = QSet<QString>(txt.cbegin(), txt.cend());
  }
  std::sort(paths.begin(), paths.end());
  if (paths.isEmpty()) {
    // A dataset's own folder holds no pictures: its manifest names the folders that do.
    const QString split = choose_split_folder(folder);
    if (!split.isEmpty()) return open_folder(split);
  }

  // The class names belong to the folder: never the previous folder's list.
  const FolderClasses found = load_folder_classes(folder, &names);
  document->close();
  prefetch_.clear();
  hidden_classes.clear();
  history_.clear();
  classes_unsaved_ = false;
  names_manifest_ = found.source == FolderClasses::Source::Manifest ? found.path : QString();
  manifest_told_ = false;
  image_folder = folder;
  class_changes_.reset(folder, classes_file_path());  // a class change is undone only in its own folder
  label_folder = labels;
  image_paths = paths;
  classes = found.names;
  populate_image_list(label_files);
  detect_label_kind(label_files);
  rebuild_class_list();

  // Nothing of the previous folder stays on screen, or may be saved into this one's label files.
  if (image_paths.isEmpty()) {
    show_no_picture();
    emit notice_signal("No images in " + QDir::toNativeSeparators(folder));
    return;
  }
  // The previous folder's picture goes at once; the first readable one comes when it is decoded.
  show_no_picture();
  current_idx = 0;
  show_readable(0, +1);
  // Labels the studio reads beside pictures inside images/ are not where the engine looks.
  const QString first = image_paths.first();
  if (DatasetPicture{first, engine_label_path(first), label_path_in(labels, first), {}}.label_beside_only())
    emit notice_signal(QStringLiteral("The label files here sit beside the pictures inside a folder named images/: the "
                                      "studio shows them, but the engine looks for them in %1 and would train these "
                                      "pictures as backgrounds. Move them there (the health check names each).")
                           .arg(QDir::toNativeSeparators(QFileInfo(engine_label_path(first)).absolutePath())));
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

QString AnnotatorTab::choose_split_folder(const QString& folder) {
  // A dataset manifest in the folder or up to two above that names split folders: an offer the
  // user answers, so any data.yaml with splits will do (its names are not taken from here).
  std::optional<DatasetManifest> manifest;
  QDir look(QDir(folder).absolutePath());
  for (int level = 0; level < 3 && !manifest; ++level) {
    for (const char* name : {"data.yaml", "data.yml"}) {
      manifest = read_dataset_manifest(look.filePath(QLatin1String(name)));
      if (manifest && !manifest->split_folders.isEmpty()) break;
      manifest.reset();
    }
    if (!look.cdUp()) break;
  }
  if (!manifest) return {};
  const QString manifest_path = manifest->path;
  const QDir root = QFileInfo(manifest_path).absoluteDir();
  QStringList splits, choices;
  for (const QString& split : manifest->split_folders) {
    if (list_folder_images(split).isEmpty()) continue;
    splits << split;
    choices << QDir::toNativeSeparators(root.relativeFilePath(split));
  }
  if (splits.isEmpty()) return {};
  const int chosen = prompts().choose(
      this, "Open a Split",
      QStringLiteral("%1 holds no images. Its dataset manifest %2 names these image folders; open one?")
          .arg(QDir::toNativeSeparators(folder), QFileInfo(manifest_path).fileName()),
      choices + QStringList{"Cancel"});
  return chosen >= 0 && chosen < splits.size() ? splits[chosen] : QString();
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

void AnnotatorTab::load_current_image() { show_image(current_idx); }

QString AnnotatorTab::label_path_of(const QString& image_path) const {
  return label_path_in(label_folder.isEmpty() ? QFileInfo(image_path).path() : label_folder, image_path);
}

// Shows image `idx` once it is decoded: at once when the decode is at hand (a neighbour decoded
// while the last image was shown), else beside the window, which answers meanwhile. `shown` hears
// how it went, unless another picture was asked for since.
void AnnotatorTab::show_image(int idx, std::function<void(PictureShown)> shown) {
  if (idx < 0 || idx >= image_paths.size()) {
    if (shown) shown(PictureShown::Unreadable);
    return;
  }
  const QString path = image_paths[idx];
  const QFuture<DecodedImage> decode = prefetch_.decode(path);
  const int request = ++picture_request_;
  wanted_idx_ = idx;
  auto finish = [this, idx, path, request, shown = std::move(shown)](const DecodedImage& decoded) {
    picture_decoded(request, idx, path, decoded, shown);
  };
  if (decode.isFinished()) return finish(decode.result());
  run_behind_tab(
      this, std::make_shared<WorkControl>(), [decode] { return decode.result(); }, std::move(finish));
}

void AnnotatorTab::picture_decoded(int request, int idx, const QString& path, const DecodedImage& decoded,
                                   const std::function<void(PictureShown)>& shown) {
  if (request != picture_request_) return;  // another picture was asked for since
  // An edit made while the picture was decoded reaches its file before the picture goes.
  if (!decoded.bgr.empty() && !resolve_unsaved([this, request, idx, path, decoded, shown] {
        picture_decoded(request, idx, path, decoded, shown);
      }))
    return;
  wanted_idx_ = -1;
  const PictureShown result = put_on_screen(idx, path, decoded);
  if (shown) shown(result);
}

// When the picture cannot be read nothing changes: the current index, the list row and the records
// stay with the image on screen, and a notice names the file.
AnnotatorTab::PictureShown AnnotatorTab::put_on_screen(int idx, const QString& path, const DecodedImage& decoded) {
  if (decoded.bgr.empty()) {
    {
      const QSignalBlocker block(list_images);
      list_images->setCurrentRow(current_idx);
    }
    const QString too_large = too_large_to_decode(path);
    emit notice_signal(too_large.isEmpty() ? "Could not read image: " + QFileInfo(path).fileName() : too_large);
    return PictureShown::Unreadable;
  }
  const int previous_idx = current_idx;
  current_idx = idx;
  display_cv_img = decoded.bgr;
  display_image_ = decoded.image;
  {
    const QSignalBlocker block(list_images);
    list_images->setCurrentRow(current_idx);
  }
  annotations.forget();  // the canvas is cleared for the new picture, the items with it
  render_canvas_image();
  load_existing_annotations(path);
  set_status_label(current_mark());
  // The neighbours are decoded while this one is looked at, the one ahead in the direction of
  // travel first.
  const int ahead = idx < previous_idx ? -1 : +1;
  QStringList neighbours;
  for (int neighbour : {idx + ahead, idx - ahead})
    if (neighbour >= 0 && neighbour < image_paths.size()) neighbours << image_paths[neighbour];
  prefetch_.keep_only(neighbours);
  return PictureShown::Shown;
}

void AnnotatorTab::show_readable(int idx, int step, std::function<void()> none, QStringList skipped) {
  if (idx < 0 || idx >= image_paths.size()) {
    if (!skipped.isEmpty()) emit notice_signal("Could not read image(s): " + skipped.join(", "));
    if (none) none();
    return;
  }
  show_image(idx, [this, idx, step, none = std::move(none), skipped](PictureShown result) mutable {
    if (result == PictureShown::Shown && !skipped.isEmpty())
      emit notice_signal("Skipped unreadable image(s): " + skipped.join(", "));
    if (result != PictureShown::Unreadable) return;
    skipped << QFileInfo(image_paths[idx]).fileName();
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
  if (row < 0 || row >= image_paths.size() || row == step_origin()) return;
  if (row == current_idx) {  // back to the picture on screen: the one being decoded is not shown
    ++picture_request_;
    wanted_idx_ = -1;
    return;
  }
  const auto keep_row = [this] {
    const QSignalBlocker block(list_images);
    list_images->setCurrentRow(current_idx);
  };
  if (!resolve_unsaved([this, row] { jump_to_image(row); })) return keep_row();
  show_image(row, [keep_row](PictureShown result) {
    if (result != PictureShown::Shown) keep_row();
  });
}

void AnnotatorTab::show_image_file(const QString& path) {
  const int row = static_cast<int>(image_paths.indexOf(path));
  if (row >= 0) jump_to_image(row);
}

QString AnnotatorTab::shown_picture() const {
  if (display_cv_img.empty() || current_idx < 0 || current_idx >= image_paths.size()) return {};
  return image_paths[current_idx];
}

// A step goes on from the picture last asked for: keys pressed while one is decoded all count.
int AnnotatorTab::step_origin() const { return wanted_idx_ >= 0 ? wanted_idx_ : current_idx; }

void AnnotatorTab::prev_image() {
  if (step_origin() <= 0) return;
  if (!resolve_unsaved([this] { prev_image(); })) return;
  show_readable(step_origin() - 1, -1);
}

void AnnotatorTab::next_image() {
  if (step_origin() >= image_paths.size() - 1) return;
  if (!resolve_unsaved([this] { next_image(); })) return;
  show_readable(step_origin() + 1, +1);
}

void AnnotatorTab::change_active_mode(const QString& mode) {
  canvas->set_draw_mode(mode);
  canvas_view->set_interaction_mode(mode);
}

void AnnotatorTab::handle_canvas_point(const QPointF&) {}

void AnnotatorTab::update_single_list_status() {
  if (image_paths.isEmpty() || current_idx < 0 || current_idx >= image_paths.size()) return;
  QListWidgetItem* item = list_images->item(current_idx);
  if (!item) return;
  const QString& path = image_paths[current_idx];
  const LabelMark mark = current_mark();
  if (current_idx < marks_.size()) marks_[current_idx] = mark;
  item->setText(status_mark(mark) + QFileInfo(path).fileName());
  set_status_label(mark);
  update_progress();
}

void AnnotatorTab::update_progress() {
  const auto done = std::count_if(marks_.cbegin(), marks_.cend(), [](LabelMark m) { return m != LabelMark::Pending; });
  lbl_progress->setText(QStringLiteral("Annotated: %1 / %2").arg(done).arg(image_paths.size()));
}

void AnnotatorTab::populate_image_list() {
  // One listing of the folder's label files instead of one file check per image.
  const QString labels = label_folder.isEmpty() ? image_folder : label_folder;
  const QStringList txt_names = QDir(labels).entryList({"*.txt"}, QDir::Files | QDir::Hidden, QDir::Unsorted);
  populate_image_list(QSet<QString>(txt_names.cbegin(), txt_names.cend()));
}

void AnnotatorTab::populate_image_list(const QSet<QString>& label_files) {
  const QSignalBlocker block(list_images);
  list_images->clear();
  const QDir folder(image_folder);
  QStringList texts;
  texts.reserve(image_paths.size());
  marks_.clear();
  marks_.reserve(image_paths.size());
  for (const QString& path : image_paths) {
    const QFileInfo info(path);
    const QString label = label_path_of(path);
    const bool annotated = info.absolutePath() == folder.absolutePath()
                               ? label_files.contains(QFileInfo(label).fileName())
                               : QFileInfo::exists(label);
    // Only the label files found are looked at again, for their size.
    const LabelMark mark = !annotated                     ? LabelMark::Pending
                           : QFileInfo(label).size() == 0 ? LabelMark::Background
                                                          : LabelMark::Annotated;
    marks_.append(mark);
    texts << status_mark(mark) + info.fileName();
  }
  list_images->addItems(texts);
  update_progress();
}

}  // namespace quorlan
