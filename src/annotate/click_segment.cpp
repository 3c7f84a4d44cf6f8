// Click to segment in the annotator: "AI Polygon" and "AI Box" ask a SAM-family model (run
// natively, the picture encoded once beside the window) for the outline of what the user clicks
// or boxes; "Refine Box" asks GrabCut, which needs no weights. Enter or a double click accepts the
// outline as one edit of the current class; Escape drops it; Backspace takes back the last click.
#include <QComboBox>
#include <QFileInfo>
#include <QTimer>

#include "annotate/annotator_tab.h"
#include "core/image_reader.h"
#include "engine_client/engine_host.h"
#include "engine_client/engine_run.h"
#include "segment/grabcut_refine.h"
#include "segment/sam_weights.h"
#include "widgets/background_work.h"
#include "widgets/interactive_canvas.h"
#include "widgets/prompts.h"

namespace quorlan {

namespace {

bool is_model_mode(const QString& mode) {
  return mode == QLatin1String("AI Polygon") || mode == QLatin1String("AI Box");
}

// The pair of `weights`, exported through the engine first when it has none (on the work pool).
Expected<std::shared_ptr<SamModel>> open_segment_model(const QString& weights, const WorkControl& control) {
  QString folder = exported_pair_of(weights);
  if (folder.isEmpty()) {
    if (!is_sam_weights(weights))
      return failure(QFileInfo(weights).fileName() +
                     " is not a SAM-family weights file (sam_b.pt, sam_l.pt, sam_h.pt, mobile_sam.pt).");
    if (!HAS_YOLO())
      return failure(
          "The model is exported once by the engine, and Ultralytics is not installed: set up the engine "
          "(see the README).");
    EngineRun engine;
    const Expected<EngineRun::Reply> reply = engine.command(
        sam_export_request(weights), "exported", [](const QString&) {},
        [&] {
          if (control.cancel.load()) engine.cancel();
        });
    if (!reply) return failure(reply.error());
    if (reply->end == EngineRun::End::Cancelled) return failure(QStringLiteral("Cancelled."));
    folder = reply->done.value("path").toString();
  }
  Expected<std::unique_ptr<SamModel>> model = SamModel::open(folder);
  if (!model) return failure(model.error());
  return std::shared_ptr<SamModel>(std::move(model).value());
}

}  // namespace

bool AnnotatorTab::segment_prompt_active() const { return canvas->is_prompt_mode() && !segment_.prompt().empty(); }

void AnnotatorTab::choose_segment_model() {
  const int choice = prompts().choose(
      this, "Segmentation Model",
      "AI Polygon and AI Box outline what you click with a SAM-family model (mobile_sam.pt, sam_b.pt, ...), run on "
      "this computer. It is prepared once per weights file.\n\nThe engine fetches mobile_sam.pt itself when this "
      "computer is online; offline, pick a weights file.",
      {"Pick a weights file", "Fetch mobile_sam.pt", "Cancel"});
  QString weights;
  if (choice == 0)
    weights = prompts().get_open_file_name(this, "Pick a weights file", QString(),
                                           "SAM weights (*.pt);;Exported pair (sam.json)");
  else if (choice == 1)
    weights = QStringLiteral("mobile_sam.pt");
  if (weights.isEmpty()) {
    combo_mode->setCurrentText(QStringLiteral("Select/Move"));
    return;
  }
  if (QFileInfo(weights).fileName() == QLatin1String("sam.json")) weights = QFileInfo(weights).absolutePath();
  use_segment_weights(weights);
}

void AnnotatorTab::use_segment_weights(const QString& weights) {
  auto control = std::make_shared<WorkControl>();
  run_beside_window(
      this, "Preparing the segmentation model...", control,
      [weights, control] { return open_segment_model(weights, *control); },
      [this, weights, control](const Expected<std::shared_ptr<SamModel>>& opened) {
        if (control->cancel.load()) return;
        if (!opened) {
          prompts().warning(this, "Segmentation Model", opened.error());
          if (!sam_) combo_mode->setCurrentText(QStringLiteral("Select/Move"));
          return;
        }
        sam_ = *opened;
        embeddings_.clear();
        emit notice_signal("Segmentation model ready: " + QFileInfo(weights).fileName());
        encode_around_shown();
      });
}

void AnnotatorTab::encode_around_shown() {
  if (!sam_ || !is_model_mode(canvas->draw_mode)) return;
  const QString shown = shown_picture();
  if (!shown.isEmpty()) encode_picture(shown, display_cv_img);
  // The next picture too, so that a click on it rarely waits.
  const int next = queue_.next();
  if (next >= 0) encode_picture(queue_.path(next), cv::Mat());
}

void AnnotatorTab::encode_picture(const QString& path, const cv::Mat& bgr) {
  if (!embeddings_.start(path)) return;
  auto control = std::make_shared<WorkControl>();
  std::shared_ptr<SamModel> model = sam_;
  run_behind_tab(
      this, control,
      [model, path, bgr]() -> Expected<std::shared_ptr<const SamEmbedding>> {
        Expected<cv::Mat> picture = bgr.empty() ? read_image_bgr(path) : Expected<cv::Mat>(bgr);
        if (!picture) return failure(picture.error());
        return model->encode(*picture);
      },
      [this, model, path](const Expected<std::shared_ptr<const SamEmbedding>>& encoded) {
        if (model != sam_) return;  // another model since
        embeddings_.put(path, encoded ? *encoded : nullptr);
        if (!encoded && path == shown_picture()) emit notice_signal(encoded.error());
        if (path == shown_picture() && !segment_.prompt().empty()) ask_outline(segment_.prompt(), true);
      });
}

void AnnotatorTab::ask_outline(const SegmentPrompt& prompt, bool committed) {
  if (display_cv_img.empty() || prompt.empty()) return;
  const bool grabcut = canvas->draw_mode == QLatin1String("Refine Box");
  if (grabcut && !prompt.box) return;  // GrabCut takes a box, never clicks
  std::shared_ptr<const SamEmbedding> embedding;
  if (!grabcut) {
    if (!sam_) return;
    embedding = embeddings_.get(shown_picture());
    if (!embedding) {  // asked again once the picture is encoded
      if (committed) emit notice_signal("Encoding the picture for the segmentation model...");
      encode_picture(shown_picture(), display_cv_img);
      return;
    }
  }
  if (!committed && outline_in_flight_) {  // one preview at a time: the cursor's latest waits
    hover_waiting_ = prompt;
    return;
  }
  const int request = segment_.ask(committed);
  outline_in_flight_ = true;
  auto control = std::make_shared<WorkControl>();
  std::shared_ptr<SamModel> model = sam_;
  const cv::Mat picture = display_cv_img;
  run_behind_tab(
      this, control,
      [model, embedding, picture, prompt, grabcut]() -> Expected<Segmentation> {
        if (!grabcut) return model->segment(*embedding, prompt);
        Expected<MaskOutline> refined = refine_box(picture, *prompt.box);
        if (!refined) return failure(refined.error());
        Segmentation s;
        s.polygon = refined->polygon;
        s.box = refined->box;
        s.score = 1;
        return s;
      },
      [this, request](const Expected<Segmentation>& outline) {
        outline_in_flight_ = false;
        if (segment_.answer(request, outline)) show_segment_prompt();
        if (accept_waiting_ && !segment_.waiting()) {
          accept_waiting_ = false;
          accept_outline();
        }
        if (hover_waiting_) {
          const SegmentPrompt next = *hover_waiting_;
          hover_waiting_.reset();
          ask_outline(next, false);
        }
      });
}

void AnnotatorTab::show_segment_prompt() {
  QVector<QPointF> positive, negative;
  for (const PromptPoint& p : segment_.prompt().points) (p.positive ? positive : negative) << QPointF(p.at.x, p.at.y);
  const bool box_mode = canvas->draw_mode == QLatin1String("AI Box");
  const Segmentation& shown = segment_.shown();
  const QPolygonF outline = box_mode && !shown.polygon.isEmpty() ? QPolygonF(shown.box) : shown.polygon;
  canvas->show_prompt(positive, negative, segment_.prompt().box, outline);
}

void AnnotatorTab::prompt_changed() {
  hover_waiting_.reset();
  show_segment_prompt();
  ask_outline(segment_.prompt(), true);
}

void AnnotatorTab::connect_segmenting() {
  connect(canvas, &InteractiveCanvas::prompt_point, this, [this](const QPointF& at, bool positive) {
    segment_.add_point(at, positive);
    prompt_changed();
  });
  connect(canvas, &InteractiveCanvas::prompt_box, this, [this](const QRectF& box) {
    segment_.set_box(box);
    prompt_changed();
  });
  connect(canvas, &InteractiveCanvas::prompt_hover, this, [this](const QPointF& at) {
    // The preview follows the cursor while the prompt has no box (a box already frames the object).
    if (!is_model_mode(canvas->draw_mode) || segment_.prompt().box || !sam_) return;
    ask_outline(segment_.with_hover(at), false);
  });
  connect(canvas, &InteractiveCanvas::prompt_accept, this, &AnnotatorTab::accept_outline);
}

void AnnotatorTab::drop_outline() {
  segment_.reset();
  hover_waiting_.reset();
  accept_waiting_ = false;
  canvas->show_prompt({}, {}, std::nullopt, {});
}

void AnnotatorTab::accept_outline() {
  if (segment_.prompt().empty()) return;
  if (segment_.waiting()) {  // the last click's answer is on its way: accept it when it lands
    accept_waiting_ = true;
    return;
  }
  const std::optional<Segmentation>& proposal = segment_.proposal();
  if (!proposal || proposal->polygon.size() < 3) {
    emit notice_signal(
        segment_.problem().isEmpty()
            ? QStringLiteral("Nothing is outlined there: click inside the object or drag a box around it.")
            : segment_.problem());
    return;
  }
  if (display_cv_img.empty() || !document->is_open()) return;
  // AI Box gives a box; AI Polygon and Refine Box a polygon, which a box folder keeps as its box.
  const bool box_mode = canvas->draw_mode == QLatin1String("AI Box");
  const QPolygonF shape = box_mode ? QPolygonF(QRectF(proposal->box)) : proposal->polygon;
  // The class picked in the list, else the one given last; asked only when there is neither.
  const int picked = selected_class();
  std::optional<int> class_id;
  if (picked >= 0)
    class_id = picked;
  else if (!last_label.isEmpty())
    class_id = class_id_for(last_label, -1);
  else
    class_id = ask_class(last_label);
  if (!class_id) return;
  drop_outline();
  // A box is a rectangle wherever it goes; a polygon in a box folder becomes its box.
  const QString type = box_mode ? QStringLiteral("Rectangle") : QStringLiteral("AI Polygon");
  QPolygonF corners = shape;
  if (box_mode && corners.size() == 5) corners.removeLast();  // QPolygonF(QRectF) closes itself
  if (!document->add(QStringLiteral("Add Shape"), {new_annotation(*class_id, corners, type)})) return;
  after_edit(true);
  pick_shape(static_cast<int>(annotations.size()) - 1);
}

}  // namespace quorlan
