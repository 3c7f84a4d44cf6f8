// `quorlan review`: a dataset's labels held against a model, the likeliest mistakes first.
#include <QFileInfo>
#include <QJsonArray>

#include "cli/cli.h"
#include "engine_client/engine_host.h"
#include "engine_client/prediction_host.h"
#include "engine_client/run_settings.h"
#include "predict/predicting_model.h"
#include "review/cross_check.h"
#include "review/review_run.h"

namespace quorlan::cli {

namespace {

QJsonArray box_json(const QRectF& r) { return {r.left(), r.top(), r.right(), r.bottom()}; }

// The review's findings (the first `top`, all with 0), its check of the model and its notes as
// JSON, and one line of text per finding listed.
struct ReviewReport {
  QJsonObject json;
  QStringList lines;
};
ReviewReport review_report(const ReviewResult& result, const QStringList& classes,
                           const QHash<int, QString>& model_names, int top) {
  QStringList lines;
  const auto name_of = [&](int cls) { return cls >= 0 && cls < classes.size() ? classes[cls] : QString::number(cls); };
  QJsonArray findings;
  const int shown =
      top > 0 ? std::min<int>(top, static_cast<int>(result.findings.size())) : static_cast<int>(result.findings.size());
  for (int i = 0; i < shown; ++i) {
    const ReviewFinding& f = result.findings[i];
    QJsonObject o{{"kind", finding_kind_name(f.kind)}, {"score", f.score}, {"image", f.picture}};
    if (f.label_row >= 0) {
      o.insert("label", QJsonObject{{"row", f.label_row},
                                    {"line", f.label_line},
                                    {"cls", f.label_cls},
                                    {"name", name_of(f.label_cls)},
                                    {"xyxy", box_json(f.label_box)}});
    }
    if (f.predicted_cls >= 0) {
      o.insert("prediction", QJsonObject{{"cls", f.predicted_cls},
                                         {"name", model_names.value(f.predicted_cls, name_of(f.predicted_cls))},
                                         {"conf", f.predicted_conf},
                                         {"xyxy", box_json(f.predicted_box)}});
    }
    findings.append(o);
    const QString what =
        f.label_row >= 0 ? name_of(f.label_cls) : model_names.value(f.predicted_cls, name_of(f.predicted_cls));
    lines << QStringLiteral("%1  %2  %3  %4 (line %5)")
                 .arg(f.score, 0, 'f', 2)
                 .arg(finding_kind_name(f.kind), -16)
                 .arg(QFileInfo(f.picture).fileName(), what)
                 .arg(f.label_line > 0 ? QString::number(f.label_line) : QStringLiteral("-"));
  }
  QJsonArray per_class;
  for (auto it = result.model_check.per_class.cbegin(); it != result.model_check.per_class.cend(); ++it)
    per_class.append(
        QJsonObject{{"cls", it.key()},
                    {"name", name_of(it.key())},
                    {"labels", it.value().first},
                    {"found", it.value().second},
                    {"recall", it.value().first > 0 ? it.value().second / double(it.value().first) : 0.0}});
  const QString check_text = model_check_text(result.model_check);
  const QJsonObject model_check{{"threshold", result.model_check.threshold}, {"labels", result.model_check.labels},
                                {"found", result.model_check.found},         {"recall", result.model_check.recall()},
                                {"map50", result.model_check.map50},         {"per_class", per_class},
                                {"too_weak", result.model_check.too_weak()}, {"text", check_text}};
  return {{{"findings", findings},
           {"model_check", model_check},
           {"notes", QJsonArray::fromStringList(result.notes)},
           {"pictures", result.pictures},
           {"labels", result.labels},
           {"failed", QJsonArray::fromStringList(result.failures)}},
          lines};
}

int run_review(const QStringList& arguments) {
  Command c("review",
            "Review the labels of a folder (or of every split of a data.yaml) with a model: missing objects, labels "
            "on nothing, wrong classes and loose boxes, each scored 0..1, the likeliest mistakes first.",
            arguments);
  c.parser.addOptions({
      {"model", "The model: .pt weights (through the engine) or an exported .onnx / OpenVINO .xml (natively).",
       "WEIGHTS"},
      {"conf", "Lowest confidence of the predictions looked at (default 0.001, as the engine validates).", "X",
       "0.001"},
      {"top", "List at most N findings (default: all).", "N", "0"},
      {"cross-check",
       "Train two models on the two halves of the pictures (starting from --model, default yolov8s.pt) and review "
       "each half with the other half's model: no model reviews pictures it learned."},
      {"epochs", "With --cross-check: epochs of each half's training (default 30).", "N", "30"},
      {"imgsz", "With --cross-check: image size of the training (default 640).", "N", "640"},
      {"work", "With --cross-check: the folder of the copies and the two runs (default runs/cross_check).", "DIR",
       "runs/cross_check"},
  });
  if (const int code = c.parse({"FOLDER|DATA.yaml"}); code >= 0) return code;
  bool ok = true;
  const double conf = c.real_value("conf", &ok);
  const int top = ok ? c.int_value("top", &ok, 0, 100000000) : 0;
  const int epochs = ok ? c.int_value("epochs", &ok, 1, 2000) : 0;
  const int imgsz = ok ? c.int_value("imgsz", &ok, 32, 4096) : 0;
  if (!ok) return kUsage;
  const bool cross_check = c.parser.isSet("cross-check");
  if (conf <= 0 || conf > 1) return c.usage("--conf is above 0 and at most 1.");
  const QString weights = c.value("model").isEmpty() && cross_check ? run_settings::kModel : c.value("model");
  if (weights.isEmpty()) return c.usage("--model WEIGHTS is needed: the model that reviews the labels.");
  if (!cross_check && !QFileInfo::exists(weights)) return c.fail("The weights file " + weights + " does not exist.");
  recover_cut_short_change(c.positional()[0]);
  const Expected<ReviewSource> source = review_source(c.positional()[0]);
  if (!source) return c.fail(source.error());
  if ((cross_check || runtime_for(weights) == ModelRuntime::Engine) && !HAS_YOLO())
    return c.fail("Ultralytics is not installed. Set up the engine with scripts/setup-engine (see the README).");
  PredictionHost::instance().set_cancel_flag(&stop_requested());
  const int total = static_cast<int>(source->pictures.size());
  ReviewResult result;
  QString warning;
  QString runtime;
  QHash<int, QString> model_names;
  if (cross_check) {
    CrossCheckSettings settings;
    settings.model = weights;
    settings.epochs = epochs;
    settings.imgsz = imgsz;
    settings.work = run_settings::absolute_project_path(c.value("work"));
    const Expected<CrossCheckPlan> plan = prepare_cross_check(*source, settings.work);
    if (!plan) return c.fail(plan.error());
    const Expected<std::array<QString, 2>> trained = train_cross_check(
        *plan, settings, &stop_requested(),
        [&](int half, int epoch, int of) {
          c.progress(epoch, of,
                     half == 0 ? QStringLiteral("epochs of the first half's model")
                               : QStringLiteral("epochs of the second half's model"));
        },
        [](const QString& line) { Command::note(line); });
    if (!trained)
      return c.fail(trained.error(), {{"work", settings.work}}, stop_requested().load() ? kInterrupted : kFailed);
    std::atomic<int> done{0};
    result = review_cross_check(*plan, *trained, *source, conf, &stop_requested(), &done);
    c.progress(done.load(), total, QStringLiteral("pictures reviewed"));
    for (int id = 0; id < source->classes.size(); ++id) model_names.insert(id, source->classes[id]);
    runtime = QStringLiteral("cross-check: %1 and %2").arg(trained->at(0), trained->at(1));
  } else {
    const Expected<std::shared_ptr<PredictingModel>> model = load_predicting_model("cli", weights);
    if (!model) return c.fail("The model could not be loaded:\n" + model.error());
    runtime = (*model)->runtime();
    model_names = (*model)->names();
    Command::note("Runs on: " + runtime);
    warning = trained_on_these_pictures(weights, source->folders);
    if (!warning.isEmpty()) Command::note("Warning: " + warning);
    int done = 0;
    result = review_dataset(**model, *source, conf, &stop_requested(), nullptr,
                            [&](const QString& picture) { c.progress(++done, total, QFileInfo(picture).fileName()); });
  }
  PredictionHost::instance().shutdown();

  ReviewReport report = review_report(result, source->classes, model_names, top);
  QJsonObject& json = report.json;
  const QStringList& lines = report.lines;
  json.insert("runtime", runtime);
  json.insert("trained_on_these_pictures", warning);
  const QString check_text = json["model_check"].toObject()["text"].toString();
  QString text = QStringLiteral("%1 pictures, %2 labels reviewed: %3 findings.")
                     .arg(result.pictures)
                     .arg(result.labels)
                     .arg(result.findings.size());
  // How far to trust the list comes before it.
  text += "\n" + check_text;
  for (const QString& note : result.notes) text += "\n" + note;
  if (!lines.isEmpty()) text += "\n" + lines.join('\n');
  if (!result.failures.isEmpty()) text += "\nFailed:\n" + result.failures.join('\n');
  if (stop_requested().load()) return c.fail(text + "\nInterrupted.", json, kInterrupted);
  if (!result.failures.isEmpty()) return c.fail(text, json);
  return c.succeed(text, json);
}

}  // namespace

QList<Entry> review_commands() { return {{"review", "review the labels with a model", run_review}}; }

}  // namespace quorlan::cli
