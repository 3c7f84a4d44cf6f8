// quorlan train, tune, predict, export-model: the engine through the same host as the studio.
#include <QDir>
#include <QFileInfo>
#include <QImageReader>
#include <QJsonArray>
#include <QVariantMap>

#include "cli/cli.h"
#include "cli/engine_requests.h"
#include "core/atomic_file.h"
#include "core/constants.h"
#include "core/image_files.h"
#include "core/label_files.h"
#include "dataset/dataset_qa.h"
#include "engine_client/engine_host.h"
#include "engine_client/engine_run.h"
#include "engine_client/prediction_host.h"
#include "engine_client/run_settings.h"
#include "predict/predicting_model.h"
#include "segment/sam_weights.h"

namespace quorlan::cli {

int engine_missing(Command& c) {
  return c.fail("Ultralytics is not installed. Set up the engine with scripts/setup-engine (see the README).");
}

Expected<EngineRun::Reply> command_until_interrupted(EngineRun& engine, const QJsonObject& request,
                                                     const QString& done_event) {
  return engine.command(request, done_event, Command::note, [&] {
    if (stop_requested().load()) engine.cancel();
  });
}

namespace {

void console(const QString& text) { Command::note(text); }

// Ctrl+C reaches the run: the first asks a training run to stop (it saves and ends), the second
// ends the host at once.
void follow_interrupts(EngineRun& engine) {
  if (stop_requested().load()) engine.stop();
  if (abort_requested().load()) engine.cancel();
}

// An option's help with its default.
// A run on a dataset holding JPEGs the engine would re-encode in place goes ahead only when asked
// for with --allow-rewrite; -1 when it may go ahead.
int refuse_engine_rewrites(Command& c, const QString& data_yaml) {
  if (c.parser.isSet("allow-rewrite")) return -1;
  const QStringList rewritten = jpegs_the_engine_rewrites(data_yaml);
  if (rewritten.isEmpty()) return -1;
  return c.fail(engine_rewrites_text(rewritten) +
                "\n\nTrain on an export of the dataset (its pictures are copies), or run again with --allow-rewrite.");
}

const QCommandLineOption kAllowRewrite(
    "allow-rewrite",
    "Train even when the engine would re-encode JPEG files of the dataset in place (files that do not end with the "
    "JPEG end marker).");

QString with_default(const char* help, const QString& value) {
  return QStringLiteral("%1 (default %2).").arg(help, value);
}
QString with_default(const char* help, run_settings::IntSetting setting) {
  return with_default(help, QString::number(setting.value));
}

// A whole-number option within the bounds the configuration tab has.
int setting_value(const Command& c, const QString& option, run_settings::IntSetting setting, bool* ok) {
  return *ok ? c.int_value(option, ok, setting.min, setting.max) : 0;
}

int run_train(const QStringList& arguments) {
  namespace rs = run_settings;
  Command c("train", "Train a YOLO model on DATA.yaml through the engine, as the training tab does.", arguments);
  c.parser.addOptions({
      {"model", with_default("Weights or model config to start from", rs::kModel), "M", rs::kModel},
      {"epochs", with_default("Epochs", rs::kEpochs), "N", QString::number(rs::kEpochs.value)},
      {"imgsz", with_default("Image size", rs::kImageSize), "N", QString::number(rs::kImageSize.value)},
      {"batch", with_default("Batch size, -1 for auto", rs::kBatch), "N", QString::number(rs::kBatch.value)},
      {"workers", with_default("Data loader workers", rs::kWorkers), "N", QString::number(rs::kWorkers.value)},
      {"optimizer", with_default("auto, AdamW, SGD or Adam", rs::kOptimizers.first()), "NAME", rs::kOptimizers.first()},
      {"lr0", with_default("Initial learning rate", QString::number(rs::kLr0)), "X", QString::number(rs::kLr0)},
      {"lrf", with_default("Final learning rate factor", QString::number(rs::kLrf)), "X", QString::number(rs::kLrf)},
      {"close-mosaic", with_default("Epochs without mosaic at the end", rs::kCloseMosaic), "N",
       QString::number(rs::kCloseMosaic.value)},
      {"device", "auto (the first GPU when there is one, else the CPU), cpu, or a GPU like 0 (default auto).", "D",
       "auto"},
      {"project", with_default("Folder of the runs", rs::kProject), "DIR", rs::kProject},
      {"name", with_default("Run name", rs::kName), "NAME", rs::kName},
  });
  c.parser.addOption(kAllowRewrite);
  if (const int code = c.parse({"DATA.yaml"}); code >= 0) return code;
  bool ok = true;
  const int epochs = setting_value(c, "epochs", rs::kEpochs, &ok);
  const int imgsz = setting_value(c, "imgsz", rs::kImageSize, &ok);
  const int batch = setting_value(c, "batch", rs::kBatch, &ok);
  const int workers = setting_value(c, "workers", rs::kWorkers, &ok);
  const int close_mosaic = setting_value(c, "close-mosaic", rs::kCloseMosaic, &ok);
  const double lr0 = ok ? c.real_value("lr0", &ok) : 0;
  const double lrf = ok ? c.real_value("lrf", &ok) : 0;
  if (!ok) return kUsage;
  if (!rs::kOptimizers.contains(c.value("optimizer"))) return c.usage("--optimizer is auto, AdamW, SGD or Adam.");
  const QString data = c.positional()[0];
  if (!QFileInfo::exists(data)) return c.fail("YAML file path does not exist:\n" + data);
  if (const int refused = refuse_engine_rewrites(c, data); refused >= 0) return refused;
  if (!HAS_YOLO()) return engine_missing(c);
  const QString device = resolved_device(c.value("device").trimmed());
  const QVariantMap params{{"model_path", c.value("model")},
                           {"data_yaml", run_settings::absolute_project_path(data)},
                           {"project", run_settings::absolute_project_path(c.value("project"))},
                           {"name", c.value("name")},
                           {"epochs", epochs},
                           {"imgsz", imgsz},
                           {"batch", batch},
                           {"workers", workers},
                           {"optimizer", c.value("optimizer")},
                           {"lr0", lr0},
                           {"lrf", lrf},
                           {"close_mosaic", close_mosaic},
                           {"device", device}};
  EngineRun engine;
  const Expected<EngineRun::Training> trained = engine.train(
      QJsonObject::fromVariantMap(params), console,
      [&](const EngineRun::TrainStep& step) {
        if (step.kind == EngineRun::TrainStep::Kind::Epoch)
          c.progress(step.epoch, step.epochs, QStringLiteral("epochs"));
      },
      [&] { follow_interrupts(engine); });
  const QString run_dir = QDir(run_settings::absolute_project_path(c.value("project"))).filePath(c.value("name"));
  const EngineRun::Training training = trained ? *trained : EngineRun::Training{};
  QJsonObject json{{"save_dir", training.finished.value("save_dir").toString(run_dir)}};
  if (!trained) return c.fail("Training failed: " + trained.error(), json);
  if (training.stopped || training.cancelled)
    return c.fail(QStringLiteral("Training Stopped: the run is in %1 (its weights as saved last).").arg(run_dir), json,
                  kInterrupted);
  json.insert("metrics", training.finished.value("metrics"));
  json.insert("best", QDir(json["save_dir"].toString()).filePath("weights/best.pt"));
  return c.succeed(QStringLiteral("Training Complete. The run is in %1.").arg(json["save_dir"].toString()), json);
}

int run_tune(const QStringList& arguments) {
  Command c("tune", "Search hyperparameters on DATA.yaml through the engine, as AutoML tuning in the studio does.",
            arguments);
  c.parser.addOptions({
      {"model", with_default("Weights to start from", run_settings::kModel), "M", run_settings::kModel},
      {"epochs", with_default("Epochs per trial, at most 10 are used", run_settings::kEpochs), "N",
       QString::number(run_settings::kEpochs.value)},
      {"optimizer", with_default("auto, AdamW, SGD or Adam", run_settings::kOptimizers.first()), "NAME",
       run_settings::kOptimizers.first()},
      {"project", with_default("Folder of the runs", run_settings::kProject), "DIR", run_settings::kProject},
      {"name", with_default("Run name", run_settings::kName + "_tune"), "NAME", run_settings::kName + "_tune"},
      {"iterations", "Trials of the search (default 5, as the studio's AutoML runs).", "N", "5"},
  });
  c.parser.addOption(kAllowRewrite);
  if (const int code = c.parse({"DATA.yaml"}); code >= 0) return code;
  bool ok = true;
  const int epochs = setting_value(c, "epochs", run_settings::kEpochs, &ok);
  const int iterations = ok ? c.int_value("iterations", &ok, 1, 10000) : 0;
  if (!ok) return kUsage;
  const QString data = c.positional()[0];
  if (!QFileInfo::exists(data)) return c.fail("Data YAML file path does not exist.");
  if (const int refused = refuse_engine_rewrites(c, data); refused >= 0) return refused;
  if (!HAS_YOLO()) return engine_missing(c);
  const QVariantMap params{{"model_path", c.value("model")},
                           {"data_yaml", run_settings::absolute_project_path(data)},
                           {"project", run_settings::absolute_project_path(c.value("project"))},
                           {"name", c.value("name")},
                           {"epochs", epochs},
                           {"iterations", iterations},
                           {"optimizer", c.value("optimizer")}};
  EngineRun engine;
  const Expected<EngineRun::Reply> reply =
      command_until_interrupted(engine, {{"cmd", "tune"}, {"params", QJsonObject::fromVariantMap(params)}}, "tuned");
  const QString run_dir = QDir(run_settings::absolute_project_path(c.value("project"))).filePath(c.value("name"));
  const QJsonObject json{{"save_dir", run_dir}};
  if (!reply) return c.fail("Tuning failed: " + reply.error(), json);
  if (reply->end == EngineRun::End::Cancelled)
    return c.fail("Tuning stopped: the trials so far are in " + run_dir, json, kInterrupted);
  return c.succeed("Tuning complete. The results are in " + run_dir + ".", json);
}

int run_predict(const QStringList& arguments) {
  Command c("predict",
            "Run a model on pictures (a file or a folder) and print or save what it finds. The engine runs .pt "
            "weights; an exported .onnx or OpenVINO .xml model runs natively, without the engine.",
            arguments);
  c.parser.addOptions({
      {"conf", "Confidence threshold (default 0.25).", "X", "0.25"},
      {"imgsz", "Image size (default: the model's).", "N", "0"},
      {"save", "Write each picture's drawn result (<stem>.jpg) and YOLO labels (<stem>.txt) into DIR.", "DIR"},
      {"save-conf", "With --save: end each label line with the object's confidence, as the engine's save_conf does."},
  });
  if (const int code = c.parse({"WEIGHTS", "SRC"}); code >= 0) return code;
  bool ok = true;
  const double conf = c.real_value("conf", &ok);
  const int imgsz = ok ? c.int_value("imgsz", &ok, 0, 8192) : 0;
  if (!ok) return kUsage;
  if (conf <= 0 || conf > 1) return c.usage("--conf is above 0 and at most 1.");
  const QString weights = c.positional()[0], source = c.positional()[1];
  if (!QFileInfo::exists(weights)) return c.fail("The weights file " + weights + " does not exist.");
  const QStringList images = QFileInfo(source).isDir() ? list_folder_images(source) : QStringList{source};
  if (images.isEmpty() || !QFileInfo(images.first()).isFile()) return c.fail("No pictures found in " + source + ".");
  const QString save = c.value("save");
  const bool save_conf = c.parser.isSet("save-conf");
  if (save_conf && save.isEmpty()) return c.usage("--save-conf writes into the labels of --save DIR.");
  if (!save.isEmpty() && !QDir().mkpath(save)) return c.fail("The folder " + save + " cannot be created.");
  // An exported model runs natively; only the engine's own weights need the engine.
  if (runtime_for(weights) == ModelRuntime::Engine && !HAS_YOLO()) return engine_missing(c);
  PredictionHost::instance().set_cancel_flag(&stop_requested());  // Ctrl+C ends a prediction waited for
  const Expected<std::shared_ptr<PredictingModel>> loaded = load_predicting_model("cli", weights);
  if (!loaded) return c.fail("The model could not be loaded:\n" + loaded.error());
  const std::shared_ptr<PredictingModel>& model = *loaded;
  c.note("Runs on: " + model->runtime());
  QJsonArray results;
  QStringList lines, failures;
  for (int i = 0; i < images.size() && !stop_requested().load(); ++i) {
    const QString& image = images[i];
    const Expected<Prediction> p = model->predict(image, conf, imgsz, !save.isEmpty());
    c.progress(i + 1, static_cast<int>(images.size()), QFileInfo(image).fileName());
    if (!p) {
      failures << QStringLiteral("%1: %2").arg(QFileInfo(image).fileName(), p.error());
      continue;
    }
    QJsonArray boxes;
    QStringList found;
    const QSize size = QImageReader(image).size();
    QByteArray label_bytes;
    for (int b = 0; b < p->boxes.size(); ++b) {
      const Detection& d = p->boxes[b];
      const QString name = p->names.value(d.cls, model->names().value(d.cls, QString::number(d.cls)));
      QJsonObject object{
          {"cls", d.cls}, {"name", name}, {"conf", d.conf}, {"xyxy", QJsonArray{d.x1, d.y1, d.x2, d.y2}}};
      const bool has_mask = p->masks && b < p->masks->size();
      if (has_mask) {
        QJsonArray polygon;
        for (const QPointF& point : (*p->masks)[b]) polygon.append(QJsonArray{point.x(), point.y()});
        object.insert("polygon", polygon);
      }
      boxes.append(object);
      found << (d.conf > 0 ? QStringLiteral("%1 %2").arg(name).arg(d.conf, 0, 'f', 2) : name);
      if (size.isValid()) {
        const QPolygonF shape = has_mask ? (*p->masks)[b] : d.corners();
        QString line = p->masks ? format_label_line(d.cls, shape, size.width(), size.height())
                                : format_box_line(d.cls, shape, size.width(), size.height());
        // The engine's save_conf: the confidence after the coordinates.
        if (save_conf) line += QStringLiteral(" %1").arg(d.conf, 0, 'g', 6);
        label_bytes += line.toLatin1() + '\n';
      }
    }
    QJsonObject result{{"image", image}, {"boxes", boxes}};
    if (p->dropped > 0) result.insert("dropped", p->dropped);
    results.append(result);
    lines << QStringLiteral("%1: %2").arg(QFileInfo(image).fileName(),
                                          found.isEmpty() ? QStringLiteral("no objects") : found.join(", "));
    if (p->dropped > 0) lines << QStringLiteral("  ") + dropped_text(p->dropped);
    if (!save.isEmpty()) {
      const QString stem = QFileInfo(image).completeBaseName();
      if (!p->plot.isNull() && !p->plot.save(QDir(save).filePath(stem + ".jpg"), "JPEG", 95))
        failures << QStringLiteral("%1: could not be written").arg(QDir(save).filePath(stem + ".jpg"));
      const Status written = write_file_atomically(QDir(save).filePath(stem + ".txt"), label_bytes, false);
      if (!written) failures << QStringLiteral("%1: %2").arg(QDir(save).filePath(stem + ".txt"), written.error());
    }
  }
  PredictionHost::instance().shutdown();
  const QJsonObject json{
      {"results", results}, {"failed", QJsonArray::fromStringList(failures)}, {"runtime", model->runtime()}};
  QString text = lines.join('\n');
  if (!failures.isEmpty()) text += "\nFailed:\n" + failures.join('\n');
  if (stop_requested().load()) return c.fail(text + "\nInterrupted.", json, kInterrupted);
  if (!failures.isEmpty()) return c.fail(text, json);
  return c.succeed(text, json);
}

int run_export_model(const QStringList& arguments) {
  Command c("export-model",
            "Export trained weights to another format through the engine (a SAM-family model into an image encoder and "
            "a prompt decoder, onnx).",
            arguments);
  c.parser.addOption(
      {"format", "onnx, torchscript, openvino, engine, coreml, tflite, ... (default onnx).", "FORMAT", "onnx"});
  if (const int code = c.parse({"WEIGHTS"}); code >= 0) return code;
  const QString weights = c.positional()[0];
  // The engine fetches its own SAM-family weights by name when online.
  const bool sam = is_sam_weights(weights);
  if (!QFileInfo::exists(weights) && !sam) return c.fail("The weights file " + weights + " does not exist.");
  if (!HAS_YOLO()) return engine_missing(c);
  EngineRun engine;
  const QString given = QFileInfo::exists(weights) ? QFileInfo(weights).absoluteFilePath() : weights;
  const Expected<EngineRun::Reply> reply = command_until_interrupted(
      engine, {{"cmd", "export"}, {"weights", given}, {"format", c.value("format")}}, "exported");
  if (!reply) return c.fail("Export failed: " + reply.error());
  if (reply->end == EngineRun::End::Cancelled) return c.fail("Export stopped.", {}, kInterrupted);
  const QString path = reply->done["path"].toString();
  return c.succeed("Model exported to:\n" + path, {{"path", path}});
}

}  // namespace

QList<Entry> engine_commands() {
  return {{"train", "train a model", run_train},
          {"tune", "search hyperparameters", run_tune},
          {"predict", "run a model on pictures", run_predict},
          {"export-model", "export weights to another format", run_export_model}};
}

}  // namespace quorlan::cli
