// quorlan segment: a click or a rough box made an outline, by a SAM-family model run natively
// (exported through the engine once) or by GrabCut, which needs no weights.
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>

#include "cli/cli.h"
#include "cli/engine_requests.h"
#include "core/atomic_file.h"
#include "core/image_reader.h"
#include "core/label_files.h"
#include "engine_client/engine_host.h"
#include "segment/grabcut_refine.h"
#include "segment/sam_model.h"
#include "segment/sam_weights.h"

namespace quorlan::cli {
namespace {

// "X,Y" or "X,Y,L" (L 1 a positive click, 0 a negative one).
std::optional<PromptPoint> parse_point(const QString& text) {
  const QStringList parts = text.split(',');
  if (parts.size() < 2 || parts.size() > 3) return std::nullopt;
  bool okx = false, oky = false, okl = true;
  PromptPoint p{{parts[0].toDouble(&okx), parts[1].toDouble(&oky)}, true};
  if (parts.size() == 3) {
    const int label = parts[2].toInt(&okl);
    okl = okl && (label == 0 || label == 1);
    p.positive = label == 1;
  }
  if (!okx || !oky || !okl) return std::nullopt;
  return p;
}

std::optional<QRectF> parse_box(const QString& text) {
  const QStringList parts = text.split(',');
  if (parts.size() != 4) return std::nullopt;
  double v[4];
  for (int i = 0; i < 4; ++i) {
    bool ok = false;
    v[i] = parts[i].toDouble(&ok);
    if (!ok) return std::nullopt;
  }
  const QRectF box = QRectF(QPointF(v[0], v[1]), QPointF(v[2], v[3])).normalized();
  if (box.isEmpty()) return std::nullopt;
  return box;
}

// The pair for `weights`, exported through the engine first when it has none yet.
Expected<QString> pair_for(const QString& weights) {
  const QString known = exported_pair_of(weights);
  if (!known.isEmpty()) return known;
  if (!is_sam_weights(weights))
    return failure(weights +
                   " is neither a SAM-family weights file (sam_b.pt, mobile_sam.pt, ...) nor an exported pair.");
  if (!HAS_YOLO())
    return failure(
        "Ultralytics is not installed: it exports the model once. Set up the engine with scripts/setup-engine.");
  Command::note("Exporting " + QFileInfo(weights).fileName() + " for native use (once)...");
  EngineRun engine;
  const Expected<EngineRun::Reply> reply = command_until_interrupted(engine, sam_export_request(weights), "exported");
  if (!reply) return failure("Export failed: " + reply.error());
  if (reply->end == EngineRun::End::Cancelled) return failure("Export stopped.");
  return reply->done["path"].toString();
}

QJsonArray points_json(const QPolygonF& polygon, double w, double h, bool normalised) {
  QJsonArray out;
  for (const QPointF& p : polygon)
    out.append(QJsonArray{normalised ? p.x() / w : p.x(), normalised ? p.y() / h : p.y()});
  return out;
}

// Appends the outline to a label file, keeping every line already in it byte for byte.
Status save_outline(const QString& path, int cls, const QPolygonF& polygon, const QRectF& box, bool as_box,
                    cv::Size size) {
  QByteArray bytes;
  QFile existing(path);
  if (existing.exists()) {
    if (!existing.open(QIODevice::ReadOnly)) return failure(existing.errorString());
    bytes = existing.readAll();
    if (!bytes.isEmpty() && !bytes.endsWith('\n')) bytes += '\n';
  }
  const QString line = as_box ? format_box_line(cls, QPolygonF(box), size.width, size.height)
                              : format_label_line(cls, polygon, size.width, size.height);
  bytes += line.toLatin1() + '\n';
  return write_file_atomically(path, bytes);
}

int run_segment(const QStringList& arguments) {
  Command c("segment", "Outline the object a click or a rough box points at.", arguments);
  c.parser.addOption({"point", "A click at X,Y in pixels; X,Y,0 is a negative click (repeatable).", "X,Y[,L]"});
  c.parser.addOption({"box", "A rough box around the object, in pixels.", "X1,Y1,X2,Y2"});
  c.parser.addOption(
      {"method", "sam (a SAM-family model; the default) or grabcut (no weights; needs --box).", "METHOD", "sam"});
  c.parser.addOption({"save", "Append the outline to this YOLO label file.", "LABEL.txt"});
  c.parser.addOption({"class", "The class id of the saved line (default 0).", "N", "0"});
  c.parser.addOption({"as-box", "Save the outline's box line instead of its polygon."});
  // GrabCut needs no weights: the picture is then the only argument.
  bool grabcut = arguments.contains("--method=grabcut");
  for (int i = 0; i + 1 < arguments.size(); ++i)
    grabcut = grabcut || (arguments[i] == "--method" && arguments[i + 1] == "grabcut");
  if (const int code = c.parse(grabcut ? QStringList{"IMAGE"} : QStringList{"WEIGHTS", "IMAGE"}); code >= 0)
    return code;
  if (c.value("method") != "sam" && c.value("method") != "grabcut")
    return c.usage("--method is sam or grabcut, not " + c.value("method") + ".");
  SegmentPrompt prompt;
  for (const QString& text : c.parser.values("point")) {
    const std::optional<PromptPoint> p = parse_point(text);
    if (!p) return c.usage("--point takes X,Y or X,Y,0 or X,Y,1, not " + text + ".");
    prompt.points.push_back(*p);
  }
  if (c.parser.isSet("box")) {
    prompt.box = parse_box(c.value("box"));
    if (!prompt.box) return c.usage("--box takes X1,Y1,X2,Y2 of a box with an area, not " + c.value("box") + ".");
  }
  bool ok = true;
  const int cls = c.int_value("class", &ok, 0, 100000);
  if (!ok) return kUsage;
  if (grabcut && !prompt.box) return c.usage("--method grabcut needs --box.");
  if (prompt.empty()) return c.usage("Give at least one --point or a --box.");
  const QString image = c.positional().last();
  Expected<cv::Mat> bgr = read_image_bgr(image);
  if (!bgr) return c.fail(image + ": " + bgr.error());
  QPolygonF polygon;
  QRectF box;
  double score = 1;
  if (grabcut) {
    Expected<MaskOutline> refined = refine_box(*bgr, *prompt.box);
    if (!refined) return c.fail(refined.error());
    polygon = refined->polygon;
    box = refined->box;
  } else {
    Expected<QString> folder = pair_for(c.positional().first());
    if (!folder) return c.fail(folder.error());
    Expected<std::unique_ptr<SamModel>> model = SamModel::open(*folder);
    if (!model) return c.fail(model.error());
    Expected<std::shared_ptr<const SamEmbedding>> embedding = (*model)->encode(*bgr);
    if (!embedding) return c.fail(embedding.error());
    Expected<Segmentation> found = (*model)->segment(**embedding, prompt);
    if (!found) return c.fail(found.error());
    polygon = found->polygon;
    box = found->box;
    score = found->score;
  }
  const double w = bgr->cols, h = bgr->rows;
  QJsonObject result{{"image", image},
                     {"score", score},
                     {"polygon", points_json(polygon, w, h, false)},
                     {"polygon_normalised", points_json(polygon, w, h, true)},
                     {"box", QJsonArray{box.left(), box.top(), box.right(), box.bottom()}}};
  if (polygon.size() < 3) return c.fail("The model found no object there: nothing was outlined.", result);
  if (c.parser.isSet("save")) {
    const Status saved = save_outline(c.value("save"), cls, polygon, box, c.parser.isSet("as-box"), bgr->size());
    if (!saved) return c.fail(c.value("save") + ": " + saved.error(), result);
    result.insert("saved", c.value("save"));
  }
  QStringList text{QStringLiteral("%1 points, score %2, box %3,%4,%5,%6")
                       .arg(polygon.size())
                       .arg(score, 0, 'f', 3)
                       .arg(box.left())
                       .arg(box.top())
                       .arg(box.right())
                       .arg(box.bottom())};
  QStringList pixels, normalised;
  for (const QPointF& p : polygon) {
    pixels << QStringLiteral("%1,%2").arg(p.x()).arg(p.y());
    normalised << QStringLiteral("%1 %2").arg(p.x() / w, 0, 'f', 6).arg(p.y() / h, 0, 'f', 6);
  }
  text << "pixels: " + pixels.join(' ') << "normalised: " + normalised.join(' ');
  if (c.parser.isSet("save")) text << "Saved to " + c.value("save");
  return c.succeed(text.join('\n'), result);
}

}  // namespace

QList<Entry> segment_commands() { return {{"segment", "outline an object from a click or a box", run_segment}}; }

}  // namespace quorlan::cli
