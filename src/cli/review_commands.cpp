// `quorlan review`: a dataset's labels held against a model, the likeliest mistakes first.
#include <QFileInfo>
#include <QJsonArray>

#include "cli/cli.h"
#include "engine_client/engine_host.h"
#include "engine_client/prediction_host.h"
#include "predict/predicting_model.h"
#include "review/review_run.h"

namespace quorlan::cli {

namespace {

QJsonArray box_json(const QRectF& r) { return {r.left(), r.top(), r.right(), r.bottom()}; }

int run_review(const QStringList& arguments) {
  Command c("review",
            "Review the labels of a folder (or of every split of a data.yaml) with a model: missing objects, labels "
            "on nothing, wrong classes and loose boxes, each scored 0..1, the likeliest mistakes first.",
            arguments);
  c.parser.addOptions({
      {"model", "The model: .pt weights (through the engine) or an exported .onnx / OpenVINO .xml (natively).",
       "WEIGHTS"},
      {"conf", "Lowest confidence of the predictions looked at (default 0.05).", "X", "0.05"},
      {"top", "List at most N findings (default: all).", "N", "0"},
  });
  if (const int code = c.parse({"FOLDER|DATA.yaml"}); code >= 0) return code;
  bool ok = true;
  const double conf = c.real_value("conf", &ok);
  const int top = ok ? c.int_value("top", &ok, 0, 100000000) : 0;
  if (!ok) return kUsage;
  if (conf <= 0 || conf > 1) return c.usage("--conf is above 0 and at most 1.");
  const QString weights = c.value("model");
  if (weights.isEmpty()) return c.usage("--model WEIGHTS is needed: the model that reviews the labels.");
  if (!QFileInfo::exists(weights)) return c.fail("The weights file " + weights + " does not exist.");
  const Expected<ReviewSource> source = review_source(c.positional()[0]);
  if (!source) return c.fail(source.error());
  if (runtime_for(weights) == ModelRuntime::Engine && !HAS_YOLO())
    return c.fail("Ultralytics is not installed. Set up the engine with scripts/setup-engine (see the README).");
  PredictionHost::instance().set_cancel_flag(&stop_requested());
  const Expected<std::shared_ptr<PredictingModel>> model = load_predicting_model("cli", weights);
  if (!model) return c.fail("The model could not be loaded:\n" + model.error());
  Command::note("Runs on: " + (*model)->runtime());
  const QString warning = trained_on_these_pictures(weights, source->folders);
  if (!warning.isEmpty()) Command::note("Warning: " + warning);

  const int total = static_cast<int>(source->pictures.size());
  int done = 0;
  const ReviewResult result =
      review_dataset(**model, *source, conf, &stop_requested(), nullptr,
                     [&](const QString& picture) { c.progress(++done, total, QFileInfo(picture).fileName()); });
  PredictionHost::instance().shutdown();

  const auto name_of = [&](int cls) {
    return cls >= 0 && cls < source->classes.size() ? source->classes[cls] : QString::number(cls);
  };
  QJsonArray findings;
  QStringList lines;
  const int shown =
      top > 0 ? std::min<int>(top, static_cast<int>(result.findings.size())) : static_cast<int>(result.findings.size());
  for (int i = 0; i < shown; ++i) {
    const ReviewFinding& f = result.findings[i];
    QJsonObject o{{"kind", finding_kind_name(f.kind)}, {"score", f.score}, {"image", f.picture}};
    if (f.label_row >= 0) {
      o.insert("label", QJsonObject{{"row", f.label_row},
                                    {"cls", f.label_cls},
                                    {"name", name_of(f.label_cls)},
                                    {"xyxy", box_json(f.label_box)}});
    }
    if (f.predicted_cls >= 0) {
      o.insert("prediction", QJsonObject{{"cls", f.predicted_cls},
                                         {"name", (*model)->names().value(f.predicted_cls, name_of(f.predicted_cls))},
                                         {"conf", f.predicted_conf},
                                         {"xyxy", box_json(f.predicted_box)}});
    }
    findings.append(o);
    const QString what = f.label_row >= 0 ? name_of(f.label_cls) : (*model)->names().value(f.predicted_cls);
    lines << QStringLiteral("%1  %2  %3  %4 (line %5)")
                 .arg(f.score, 0, 'f', 2)
                 .arg(finding_kind_name(f.kind), -16)
                 .arg(QFileInfo(f.picture).fileName(), what)
                 .arg(f.label_row >= 0 ? QString::number(f.label_row + 1) : QStringLiteral("-"));
  }
  const QJsonObject json{{"findings", findings},
                         {"pictures", result.pictures},
                         {"labels", result.labels},
                         {"runtime", (*model)->runtime()},
                         {"trained_on_these_pictures", warning},
                         {"failed", QJsonArray::fromStringList(result.failures)}};
  QString text = QStringLiteral("%1 pictures, %2 labels reviewed: %3 findings.")
                     .arg(result.pictures)
                     .arg(result.labels)
                     .arg(result.findings.size());
  if (!lines.isEmpty()) text += "\n" + lines.join('\n');
  if (!result.failures.isEmpty()) text += "\nFailed:\n" + result.failures.join('\n');
  if (stop_requested().load()) return c.fail(text + "\nInterrupted.", json, kInterrupted);
  if (!result.failures.isEmpty()) return c.fail(text, json);
  return c.succeed(text, json);
}

}  // namespace

QList<Entry> review_commands() { return {{"review", "review the labels with a model", run_review}}; }

}  // namespace quorlan::cli
