#include "shell/help_dialog.h"

#include <QComboBox>
#include <QHBoxLayout>

#include <QLabel>
#include <QPushButton>
#include <QScrollArea>
#include <QVBoxLayout>

#include "shell/annotator_keys.h"

namespace quorlan {
namespace {

struct Bullet {
  const char* label;
  const char* text;
};
struct Section {
  const char* heading;
  std::vector<Bullet> bullets;
};

QString escaped(const char* text) { return QString::fromUtf8(text).toHtmlEscaped(); }

// A bullet whose text is the annotator's key table's (shell/annotator_keys.h).
const char* const kKeysFromTable = "";

}  // namespace

QString help_guide_html() {
  const std::vector<Section> sections = {
      {"1. Image Resizer + Compressor",
       {{"Width / Height / DPI:", "Rescale your images perfectly using accurate dimensional metrics."},
        {"Max File Size Constraint:",
         "Automatically compress to hit a target KB size without losing excessive quality."},
        {"Queue System:", "Add individual files or entire subfolders recursively for batch processing."}}},
      {"2. Image Splitter",
       {{"Grid Layout:", "Choose how to chop up the image (e.g., 2x2, 1x4)."},
        {"Tile Generation:",
         "Divides extremely large, high-resolution images into smaller, manageable tiles for detailed AI "
         "training."}}},
      {"3. Synthetic Data Enricher",
       {{"Transform Tools:",
         "Manually crop, warp (perspective), and rotate images directly from the interactive preview canvas."},
        {"Augmentation Ranges:",
         "Dial in Brightness, Contrast, Rotation, Lighting (Gamma), and Warp variations using Min/Max sliders."},
        {"Batch Generator:",
         "Set 'Variants per Source' to generate multiple augmented duplicates per image automatically."}}},
      {"4. Image Annotator",
       {{"Labeling Tools:",
         "Draw Polygons, Rectangles, Circles, and Pentagons to annotate specific objects on the frame."},
        {"AI Auto-Labeling:",
         "Load a pre-trained YOLO .pt model and assign a confidence threshold to automatically label frames "
         "with a single click. A model exported to .onnx or OpenVINO runs without the engine. Review Labels with "
         "Model lists where a model disagrees with the labels (missing objects, labels on nothing, wrong classes, "
         "loose boxes), worst first; a model trained on these pictures hides their mistakes, so pick another or "
         "cross-check with two models trained on the halves."},
        {"Export & Split:", nullptr},
        {"Keys:", kKeysFromTable},

        {"Classes:",
         "Pick a class under Shown Classes to rename it (its labels keep their id), merge it into another, "
         "delete it or move it; the last three rewrite every label file of the folder after a confirmation with "
         "the count, and Undo (↶ or Ctrl+Z) puts the files back. A new name one letter away from a class asks "
         "first."},
        {"Layout:",
         "Drag the panels' edges; the studio remembers the window, the panels, the theme and the folders. "
         "Class colours and Reset Layout are below this guide."}}},
      {"5. YOLO Configuration & AutoML",
       {{"Hyperparameters:",
         "Tweak learning rates, batch size, optimizer type, and total epochs before starting training."},
        {"AutoML Search:",
         "Run a genetic algorithm sequence to dynamically discover the perfect training configurations for "
         "your specific dataset."}}},
      {"6. Training Analytics & Live Logs",
       {{"Console Output:", "Watch the underlying YOLO training stream in real time."},
        {"Performance Graphs:",
         "Review F1, Precision-Recall, and Confusion Matrix plots once training completes to verify model "
         "accuracy."}}},
      {"7. Inference & Model Export",
       {{"Predictions:", "Test your newly trained model weights against a folder of unseen images."},
        {"Export:", "Convert the .pt model to edge-deployable formats like ONNX, TensorRT, OpenVINO, or CoreML."}}},
  };

  QStringList lines;
  for (std::size_t s = 0; s < sections.size(); ++s) {
    if (s > 0) lines << QString();  // an empty line between sections
    lines << QStringLiteral("<b>📌 %1</b>").arg(escaped(sections[s].heading));
    for (const Bullet& b : sections[s].bullets) {
      const QString text = b.text == kKeysFromTable ? annotator_keys_guide().toHtmlEscaped()
                           : b.text                 ? escaped(b.text)
                                                    : QStringLiteral(
                                                          "Split the newly annotated dataset into balanced Train/Val/Test directories, "
                                                                          "auto-generating a valid YOLO <code>data.yaml</code>.");
      lines << QStringLiteral("• <b>%1</b> %2").arg(escaped(b.label), text);
    }
  }
  return lines.join(QStringLiteral("<br>"));  // the last bullet ends without a break
}

HelpDialog::HelpDialog(QWidget* parent) : QDialog(parent) {
  setWindowTitle("Quorlan Studio - User Guide");
  setMinimumSize(750, 600);
  auto* layout = new QVBoxLayout(this);

  auto* title = new QLabel("Quorlan Studio - User Guide");
  title->setFont(QFont("Segoe UI", 16, QFont::Bold));
  // The sizes go into the label's own style sheet too: the window's "QWidget { font-size }" rule
  // would otherwise win over setFont.
  title->setStyleSheet("color: #6366F1; font-size: 16pt; font-weight: bold;");
  auto* credit = new QLabel("Built by the Quorlan Studio team for people who label their own data.");
  credit->setFont(QFont("Segoe UI", 10, QFont::Bold));
  credit->setStyleSheet("color: #8E8E93; font-size: 10pt; font-weight: bold;");
  layout->addWidget(title);
  layout->addWidget(credit);
  layout->addSpacing(10);

  auto* scroll = new QScrollArea;
  scroll->setWidgetResizable(true);
  auto* content = new QWidget;
  auto* content_layout = new QVBoxLayout(content);
  auto* guide = new QLabel(help_guide_html());
  guide->setObjectName("guide_text");
  guide->setWordWrap(true);
  guide->setTextFormat(Qt::RichText);
  content_layout->addWidget(guide);
  scroll->setWidget(content);
  layout->addWidget(scroll);

  // What the studio looks like: the class colours and the window's layout.
  auto* bottom = new QHBoxLayout;
  bottom->addWidget(new QLabel("Class colours:"));
  combo_palette = new QComboBox;
  combo_palette->setObjectName("combo_class_palette");
  combo_palette->addItem("Standard (ten colours)", class_palette_key(ClassPalette::Standard));
  combo_palette->addItem("Colour-blind safe (Okabe-Ito)", class_palette_key(ClassPalette::ColourBlindSafe));
  combo_palette->setCurrentIndex(class_palette() == ClassPalette::ColourBlindSafe ? 1 : 0);
  combo_palette->setToolTip(
      "The colours shapes and class names are drawn in; the colour-blind safe set keeps "
      "classes apart for red-green colour-blind eyes");
  connect(combo_palette, &QComboBox::currentIndexChanged, this,
          [this] { emit palette_chosen(class_palette_from_key(combo_palette->currentData().toString())); });
  bottom->addWidget(combo_palette);
  auto* reset = new QPushButton("Reset Layout");
  reset->setObjectName("btn_reset_layout");
  reset->setToolTip("The window's size, the annotator's panels and the shown tab as on a first start");
  connect(reset, &QPushButton::clicked, this, &HelpDialog::reset_layout_requested);
  bottom->addWidget(reset);
  bottom->addStretch();
  auto* close = new QPushButton("Close Guide");
  connect(close, &QPushButton::clicked, this, &QDialog::accept);
  bottom->addWidget(close);
  layout->addLayout(bottom);
}

}  // namespace quorlan
