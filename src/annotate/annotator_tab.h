#pragma once
#include <QHash>
#include <QKeySequence>
#include <QSet>
#include <QStringList>
#include <QVector>
#include <QWidget>
#include <array>
#include <functional>
#include <memory>
#include <opencv2/core.hpp>
#include <optional>

#include "annotate/class_changes.h"
#include "annotate/edit_history.h"
#include "annotate/frame_tracks.h"
#include "annotate/image_prefetch.h"
#include "annotate/picture_queue.h"
#include "annotate/shape_rows.h"
#include "core/annotation_document.h"
#include "core/class_edit.h"
#include "core/label_kind.h"
#include "predict/predicting_model.h"
#include "review/finding_queue.h"
#include "review/label_review.h"
#include "review/review_dismissals.h"
#include "review/review_run.h"
#include "segment/segment_session.h"
#include "shell/annotator_keys.h"
#include "widgets/shape_item.h"

class QCheckBox;
class QComboBox;
class QDoubleSpinBox;
class QGraphicsItem;
class QGraphicsPolygonItem;
class QGroupBox;
class QLabel;
class QListWidget;
class QPushButton;
class QScrollArea;
class QSplitter;
class QTableWidget;
class QUndoStack;
class QVBoxLayout;

namespace quorlan {

class InteractiveCanvas;
class ZoomableView;

// The drawing modes, each with the command of its key.
inline constexpr std::array<std::pair<AnnotatorCommand, const char*>, 8> kAnnotatorModes = {
    {{AnnotatorCommand::ModeSelect, "Select/Move"},
     {AnnotatorCommand::ModePolygon, "Polygon"},
     {AnnotatorCommand::ModeRectangle, "Rectangle"},
     {AnnotatorCommand::ModeCircle, "Circle"},
     {AnnotatorCommand::ModePentagon, "Pentagon"},
     {AnnotatorCommand::ModeAiPolygon, "AI Polygon"},
     {AnnotatorCommand::ModeAiBox, "AI Box"},
     {AnnotatorCommand::ModeRefineBox, "Refine Box"}}};

// The "Image Annotator" tab: a folder of images, their shapes, labels and label files.
class AnnotatorTab : public QWidget {
  Q_OBJECT
 public:
  explicit AnnotatorTab(QWidget* parent = nullptr);
  ~AnnotatorTab() override;

  void setup_workspace_tab();

  // Folder and navigation.
  void load_directory();
  // Reads `folder` beside the window, then lists its images and shows `picture` when it is one of
  // them, else the first; what load_directory does after its dialog.
  void open_folder(const QString& folder, const QString& picture = {});
  // A video's frames written into `<video name>_frames` beside it (a stride and near-identical
  // frames asked for), beside the window with progress and Cancel, then that folder opened.
  void open_video();
  // The folder's pictures, their marks and where the user is.
  const PictureQueue& queue() const { return queue_; }
  // The export's destination offered first ("Set Output Folder").
  void set_output_folder();
  void set_output_folder_path(const QString& folder);
  void load_current_image();
  void render_canvas_image();
  void fit_canvas_to_screen();
  void jump_to_image(int row);
  // Shows the image at `path` of the folder (from a health-check finding); nothing when unknown.
  void show_image_file(const QString& path);
  void prev_image();
  void next_image();
  void change_active_mode(const QString& mode);
  void handle_canvas_point(const QPointF& pt);

  // Records and files.
  void load_existing_annotations(const QString& img_path);
  // Writes the current image's label file beside the window when its shapes were changed
  // (nothing otherwise); a write that fails says so in a "Save Failed" box when it lands.
  void save_current_annotations();
  // Before anything replaces the current image (navigation, another folder, the dataset tools,
  // closing): true when the shapes on screen are on disk. Otherwise they are written beside the
  // window and `again` (the step, asked again) runs once they have landed; a write that fails
  // asks to retry, discard or stay, and staying drops the steps waiting.
  bool resolve_unsaved(std::function<void()> again = {});
  // The folder's classes.txt, where a class the user adds is kept.
  QString classes_file_path() const;
  bool save_classes_file();
  void update_single_list_status();
  // The shapes' colours and the class names' after a change of theme or palette.
  void update_annotation_colors();
  void recolour_class_list();

  // Labelling and the object table.
  void handle_new_poly(const QPolygonF& polygon);
  void sync_table_selection();
  void sync_canvas_selection();
  void ann_delete_selected();
  // The keys of the window while this tab is shown and no text is being typed: Delete,
  // A key with its modifiers, as the key table binds it (shell/annotator_keys.h).
  void handle_edit_key(int key);
  void run_command(AnnotatorCommand command);
  // The keys go to the picture (after a field of the tab had them).
  void focus_picture();
  // Escape in a field of this tab gives the keys back to the picture.
  bool eventFilter(QObject* watched, QEvent* event) override;
  void relabel_shape(int row);
  void copy_previous_frame_shapes();
  // Marks an image without objects as a confirmed background (an empty label file).
  void confirm_empty();

  // Undo and redo of the current image's edits; each image keeps its own history.
  void undo();
  void redo();
  QUndoStack* history() const;

  // The side panels: resizable, each folded away and back by its arrow (or Ctrl+[ / Ctrl+]);
  // their widths are kept as the splitter's state.
  static constexpr int kLeftPanelWidth = 280;
  static constexpr int kRightPanelWidth = 310;
  void toggle_panel(int index);  // 0: the queue, 2: the annotation panel
  void reset_panels();
  // In a narrow window the side panels give way (down to their least widths) so that the picture
  // keeps half of the width; they take their own widths back as the window widens.
  void fit_panels_to_width();
  QByteArray panel_state() const;
  void restore_panel_state(const QByteArray& state);

  // Class management on the class list: a rename keeps every id (classes.txt only); merging one
  // class into another, deleting one and moving one rewrite every label file of the folder after
  // a confirmation that counts files and objects, all or none. Each is one step that
  // undo_class_change() (or Ctrl+Z, while it is the last edit) takes back while the studio runs.
  // The label files are read and rewritten beside the window, under the busy box.
  bool rename_class(int id);
  void merge_class(int from);
  void delete_class(int id);
  void move_class(int id, int step);
  void undo_class_change();
  // The class picked in the class list, or -1.
  int selected_class() const;

  // Classes whose shapes are not drawn (and cannot be selected); they are saved unchanged.
  void set_class_hidden(int class_id, bool hidden);

  // Model-assisted labelling.
  void load_ai_model();
  void run_ai_autolabel();

  // Label review with a model (the loaded one, else one asked for): the folder's findings, worst
  // first, filtered by kind and class. Choosing one shows its picture with the label picked and
  // the prediction dashed; Y takes the model's version (one undo step, saved like any edit), N
  // dismisses the finding (or reopens a dismissed one), remembered per folder, never in the labels.
  void review_labels_with_model();
  // The honest review without a model: one trained on each half reviews the other half.
  void review_by_cross_check();
  void refresh_review_list();
  // Shows the finding at `index` of review().findings(): its picture (once decoded), the label picked
  // and the prediction drawn apart.
  void show_review_finding(int index);
  void draw_review_finding(int index);
  bool accept_review_finding();
  bool dismiss_review_finding();
  // The last review's findings, ranked (settled ones leave), and the folder's dismissals.
  const FindingQueue& review() const { return review_; }

  // Click to segment ("AI Polygon", "AI Box", "Refine Box"): the SAM-family weights (or exported
  // pair) to use, prepared beside the window; the outline proposed for the prompt, accepted as one
  // edit of the current class, or dropped.
  void use_segment_weights(const QString& weights);
  void accept_outline();
  void drop_outline();
  const SegmentSession& segmenting() const { return segment_; }
  bool has_segment_model() const { return sam_ != nullptr; }

  // Tracks on a folder of frames: the list beside the object table, its keyframes, and the track
  // filled in between two keyframes or carried onward from the picked box (each an undoable change
  // of the folder's files, as a class change is).
  void interpolate_track();
  void track_forward();
  void go_to_keyframe(int step);
  const FrameTracks& frame_tracks() const { return tracks_; }

  // Adds a shape of class `label` (appended to the class list when new) without asking.
  void add_annotation(const QPolygonF& polygon, const QString& label, const QString& type);

  // The folder's label kind: new shapes are written as boxes or as polygons. Switching rewrites,
  // after a confirmation that counts them, the label files holding lines of the other kind.
  LabelKind label_kind() const { return label_kind_; }
  // The files are read and rewritten beside the window; `switched` runs once the folder holds `to`.
  void switch_label_kind(LabelKind to, const std::function<void()>& switched = {});

  // What the tab shows, read-only: the folder's class names, the shapes on screen (each with its
  // canvas item and table row), the picture's document, the picture itself (empty when none is),
  // the classes hidden, the class given last, the export's destination and the model loaded.
  const QStringList& class_names() const { return classes; }
  const ShapeRows& shapes_on_screen() const { return annotations; }
  const AnnotationDocument& picture_document() const { return *document; }
  const cv::Mat& picture() const { return display_cv_img; }
  const QSet<int>& hidden() const { return hidden_classes; }
  const QString& last_class() const { return last_label; }
  const QString& output_folder_path() const { return output_folder; }
  const std::shared_ptr<PredictingModel>& model() const { return ai_model; }
  // The model that proposes shapes from now on (the one load_ai_model loaded, or one given).
  void use_model(std::shared_ptr<PredictingModel> model);

 signals:
  // A short notice for the window's status line (an image that could not be read, ...).
  void notice_signal(const QString& text);
  // The dataset buttons, after the shapes on screen reached disk (nothing when they could not).
  void export_requested();
  void health_check_requested();
  void analytics_requested();

 private:
  cv::Mat display_cv_img;  // empty when no image is shown
  QStringList classes;
  ShapeRows annotations;  // the document's shapes on screen, each with its canvas item and table row
  QString last_label;
  QString output_folder;
  std::shared_ptr<PredictingModel> ai_model;  // the model that proposes shapes, once loaded
  AnnotationDocument* document = nullptr;     // the current image's shapes and label file
  QSet<int> hidden_classes;
  // The widgets (each found by its object name, which is its member name).
  QPushButton* btn_load_dir = nullptr;
  QPushButton* btn_open_video = nullptr;
  QPushButton* btn_set_output = nullptr;
  QLabel* lbl_output_folder = nullptr;
  QListWidget* list_images = nullptr;
  QPushButton* btn_prev_img = nullptr;
  QPushButton* btn_next_img = nullptr;
  QLabel* lbl_img_status = nullptr;
  QPushButton* btn_health_check = nullptr;
  QPushButton* btn_analytics = nullptr;
  QPushButton* btn_split_export = nullptr;
  InteractiveCanvas* canvas = nullptr;
  ZoomableView* canvas_view = nullptr;
  QPushButton* btn_fit_screen = nullptr;
  QComboBox* combo_mode = nullptr;
  QPushButton* btn_copy_prev = nullptr;
  QPushButton* btn_load_ai = nullptr;
  QDoubleSpinBox* spin_ai_conf = nullptr;
  QLabel* lbl_ai_runtime = nullptr;  // the loaded model and the runtime that answers it
  QPushButton* btn_run_ai = nullptr;
  QTableWidget* table_objects = nullptr;
  QPushButton* btn_delete_obj = nullptr;
  QPushButton* btn_save_ann = nullptr;
  QPushButton* btn_confirm_empty = nullptr;
  QPushButton* btn_undo = nullptr;
  QPushButton* btn_redo = nullptr;
  QLabel* lbl_progress = nullptr;
  QListWidget* list_classes = nullptr;
  QLabel* lbl_label_kind = nullptr;
  QPushButton* btn_label_kind = nullptr;
  QSplitter* panels = nullptr;  // queue | picture | annotation panel
  QPushButton* btn_toggle_left = nullptr;
  QPushButton* btn_toggle_right = nullptr;
  QPushButton* btn_class_rename = nullptr;
  QPushButton* btn_class_merge = nullptr;
  QPushButton* btn_class_delete = nullptr;
  QPushButton* btn_class_up = nullptr;
  QPushButton* btn_class_down = nullptr;
  QPushButton* btn_class_undo = nullptr;
  QGroupBox* review_box = nullptr;  // shown once a review has run
  QPushButton* btn_review = nullptr;
  QLabel* lbl_review_note = nullptr;  // the counts, and the warning of a model that learned these pictures
  QComboBox* combo_review_kind = nullptr;
  QComboBox* combo_review_class = nullptr;
  QCheckBox* check_review_dismissed = nullptr;
  QListWidget* list_review = nullptr;
  QPushButton* btn_review_accept = nullptr;
  QPushButton* btn_review_dismiss = nullptr;
  QGroupBox* track_box = nullptr;  // shown on a folder of frames
  QListWidget* list_tracks = nullptr;
  QPushButton* btn_new_track = nullptr;
  QPushButton* btn_interpolate = nullptr;
  QPushButton* btn_track_forward = nullptr;
  enum class WriteOutcome { Written, Stayed };
  // Starts writing the changes of the picture on screen (Written: on their way, or none; Stayed:
  // the user kept them on screen); a failure when nothing could be started.
  Expected<WriteOutcome> start_writing();
  void warn_save_failed(const QString& reason);
  // The "Save Failed" question: true to go on (retry, or the changes were discarded).
  bool keep_or_discard_unsaved(const QString& reason);
  void unsaved_resolved(const Status& landed);
  QString label_path_of(const QString& image_path) const;
  int class_count() const;
  QString class_name(int id) const;
  // The id for `label` (an existing position, a number in a folder without names, or a new
  // class appended to the list and classes.txt).
  int class_id_for(const QString& label, int chosen_index);
  // Asks the label dialog (offering `offered`) for a class; nullopt when cancelled or refused.
  std::optional<int> ask_class(const QString& offered);
  int largest_id_in_folder() const;
  // The folder's largest label id, read beside the window (and raised by every edit since).
  void scan_largest_id();
  int largest_known_ = -1;
  bool largest_ready_ = false;
  int largest_scan_ = 0;
  enum class PictureShown { Shown, Unreadable };
  void show_image(int idx, std::function<void(PictureShown)> shown = {});
  void picture_decoded(int request, int idx, const QString& path, const DecodedImage& decoded,
                       const std::function<void(PictureShown)>& shown);
  PictureShown put_on_screen(int idx, const QString& path, const DecodedImage& decoded);
  // Shows the first readable picture from `idx` on in `step`'s direction, naming those skipped;
  // `none` when there is none.
  void show_readable(int idx, int step, std::function<void()> none = {}, QStringList skipped = {});
  // An empty canvas and shape list: no picture is shown.
  void show_no_picture();
  // The folder read: its pictures listed, its classes and label kind taken, its first picture
  // (or `picture`) asked for.
  void folder_listed(const FolderListing& listing, const QString& picture);
  // For a folder without pictures inside a dataset: the split folder its manifest names that the
  // user picks, or empty.
  QString choose_split_folder(const FolderListing& listing);
  // The list of pictures and the progress, from the queue.
  void show_queue();
  // The canvas and the table show the document's shapes again (only the rows that differ change).
  void mirror_document();
  void insert_record(int row, const Annotation& shape);
  void update_record(int row, const Annotation& shape);
  // A drawn or predicted shape as the folder's labels want it: a box in a box file or folder (a
  // polygon becomes its bounding box), else a polygon.
  Annotation new_annotation(int class_id, const QPolygonF& polygon, const QString& type) const;
  // The confirmation of a planned kind switch (none is asked when no file changes).
  bool confirm_kind_switch(const KindSwitch& plan, LabelKind to);
  void kind_switched(LabelKind to, const Expected<int>& written, const std::function<void()>& switched);
  // A shape drawn as `type`: its class asked, then added and picked.
  void add_drawn_shape(const QPolygonF& polygon, const QString& type);
  // What a new shape of `type` ("Rectangle", "AI Polygon", ...) is saved as.
  LabelKind kind_for_new_shape(const QString& type) const;
  void settle_label_kind();
  void pick_shape(int row);  // highlights the shape on the canvas and its row
  void show_label_kind();
  // After an edit of the document: the scene follows and the file is written beside the window
  // (a write that fails says so when it lands). False when the edit changed nothing.
  bool after_edit(bool edited);
  void remove_records(QVector<int> rows);
  // A finished drag of shapes in "Select/Move", and a vertex edit: each one step of the document.
  void move_shapes();
  void edit_vertices(QGraphicsItem* item, const QPolygonF& points);
  void set_status_label(LabelMark mark);
  bool write_or_warn(const QString& path, const QByteArray& data);

  void show_panel_arrows();
  void remember_side_widths();
  int side_widths_[2] = {kLeftPanelWidth, kRightPanelWidth};  // as the user left them
  QScrollArea* right_scroll_ = nullptr;                       // the annotation panel, scrolling
  bool panels_fit_pending_ = false;
  bool queue_folded_for_room_ = false;  // folded by fit_panels_to_width, not by the user
  void resizeEvent(QResizeEvent* event) override;
  void showEvent(QShowEvent* event) override;
  void schedule_panel_fit();
  void update_history_buttons();
  void apply_class_visibility();
  void rebuild_class_list();
  LabelMark current_mark() const;
  // The picture on screen; empty when none is.
  QString shown_picture() const;

  // Applies `mapping` (titled `title`) to the folder; the confirmation says `what` happens to the
  // objects of class `subject`. The class list then picks `pick_after` (>= 0).
  void apply_class_mapping(const QString& title, const ClassMapping& mapping, int subject, const QString& what,
                           int pick_after = -1);
  // The confirmation of a rewrite planned (or why there is none): true to go on.
  bool confirm_class_rewrite(const QString& title, const ClassRewrite& plan, int subject, const QString& what);
  void rewrite_classes(const QString& title, const ClassMapping& mapping, const ClassRewrite& plan, int pick_after);
  // Writes `change` beside the window; `written(change)` follows, or a box titled with the
  // change's title says `failed` and why.
  void write_class_change(const ClassChange& change, const QString& failed, std::function<void(ClassChange)> written);
  // The names become `names`: the class list, classes.txt and the shapes on screen follow.
  bool set_class_names(const QStringList& names);
  // The class list shown (and the shapes on screen read again) once its file already holds `names`.
  void show_class_names(const QStringList& names);
  // Merging, deleting and moving need classes.txt: names from a dataset manifest are refused.
  bool class_edit_allowed(const QString& title);
  void update_class_buttons();
  // A change made: undoable, and the one Ctrl+Z takes back next.
  void record_class_change(ClassChange change);
  ClassChanges class_changes_;
  EditHistory history_;
  PictureQueue queue_;
  int folder_request_ = 0;  // the folder asked for last: a listing of another is not opened

  void show_review_results(const ReviewResult& result, QHash<int, QString> model_names, const QString& by,
                           const QString& warning);
  ReviewSource folder_review_source() const;  // the folder shown, as a review reads it
  // Loads a model file for auto-labelling or the review (beside the window); null after telling
  // why it could not be, or when cancelled.
  // Adds what the model found on the current picture as one undoable edit, or says why not.
  void add_predicted_shapes(const PredictingModel& model, const Expected<Prediction>& result);
  // Reviews the folder's labels with `model` and lists what it found.
  void review_with(const std::shared_ptr<PredictingModel>& model);
  bool run_view_command(AnnotatorCommand command);
  // The widgets, part by part, and what their controls do.
  QWidget* build_queue_panel();
  QWidget* build_picture();
  void build_shape_panel(QVBoxLayout* right_layout);
  void build_class_panel(QVBoxLayout* right_layout);
  QGroupBox* build_model_tools();
  QGroupBox* build_review_box();
  void connect_queue_and_view();
  void connect_model_tools();
  void connect_shapes();
  void connect_classes();
  void relabel_picked_shape();
  void undo_picture_edit();
  void remove_picked_shapes();
  // The cross-check once the engine is known to be there.
  void cross_check_with_engine();
  int current_review_finding() const;  // the chosen finding's index into review_.findings(), or -1
  void clear_review_overlay();
  FindingQueue review_;
  // Tracks.
  QGroupBox* build_track_box();
  void connect_tracks();
  void open_tracks();
  void show_tracks();
  // The shapes on screen get their tracks from the track file; after an edit the file follows them.
  void mark_shown_tracks();
  void follow_tracks();
  // Adds a drawn shape: with a track picked, a box is that track's keyframe on this frame.
  bool add_to_track(Annotation shape);
  // The class a new box takes without asking (the picked track's), or -1.
  int drawing_class() const;
  // False after saying why when the folder's track file cannot be read (or no folder is open).
  bool tracks_usable(const QString& title);
  void fill_written(const QString& title, const QString& folder, const Expected<TrackFill>& fill);
  // The track file read again and the shapes on screen with it (a fill or its undo wrote them).
  void reload_tracks();
  // The queue's marks of the pictures of `label_paths` read again (a change of the folder wrote them).
  void remark_pictures(const QStringList& label_paths);
  FrameTracks tracks_;
  // Click to segment.
  void choose_segment_model();
  void connect_segmenting();
  bool segment_prompt_active() const;
  void encode_around_shown();
  void encode_picture(const QString& path, const cv::Mat& bgr);
  void ask_outline(const SegmentPrompt& prompt, bool committed);
  void show_segment_prompt();
  void prompt_changed();
  std::shared_ptr<SamModel> sam_;
  SegmentSession segment_;
  EmbeddingCache embeddings_;
  bool outline_in_flight_ = false;
  bool accept_waiting_ = false;
  std::optional<SegmentPrompt> hover_waiting_;
  QGraphicsItem* review_overlay_ = nullptr;  // the chosen finding's prediction, dashed
  int review_shown_ = -1;  // the finding on screen (its picture, label and dashed prediction); Y and N act on no other
  // Asks, once per folder, where dismissals are kept; false when the user cancels.
  bool choose_dismissal_place();

  QString canvas_hint_;  // what the empty picture says: how to start, and the keys
  LabelKind label_kind_ = LabelKind::Polygons;
  // False while the folder has no label lines and no manifest naming its task: rectangles are then
  // saved as boxes and other shapes as polygons, and the first shape saved settles the kind.
  bool label_kind_settled_ = true;
  bool box_notice_given_ = false;  // the folder's boxes were explained once (a polygon drawn in it)
  QImage display_image_;           // display_cv_img in the canvas's form
  ImagePrefetch prefetch_{decode_for_canvas};
  bool classes_unsaved_ = false;                    // a class was added but classes.txt could not be written
  bool save_watched_ = false;                       // a save's outcome is awaited
  std::vector<std::function<void()>> after_saves_;  // steps waiting for the shapes to land
  // The dataset manifest (data.yaml) the folder's names came from, which the studio never rewrites;
  // the first class added in such a folder says so.
  QString names_manifest_;
  bool manifest_told_ = false;
};

}  // namespace quorlan
