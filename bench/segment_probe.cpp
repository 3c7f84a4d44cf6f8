// Times click to segment natively on one picture: opening the exported pair, encoding the picture
// (ROUNDS times, the median), and one prompt on the ready embedding (the median of 20). Prints one
// JSON line: open_s, encode_s, prompt_ms (the outline on the picture), decoder_ms (the decoder
// alone), first_prompt_s (encode and the first prompt).
// Usage: bench-segment-probe PAIR_FOLDER PICTURE X Y ROUNDS
#include <QCoreApplication>
#include <QElapsedTimer>
#include <algorithm>
#include <cstdio>
#include <vector>

#include "core/image_reader.h"
#include "segment/sam_model.h"

namespace {

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char* argv[]) {
  QCoreApplication app(argc, argv);
  if (argc < 6) return 2;
  QElapsedTimer clock;
  clock.start();
  auto model = quorlan::SamModel::open(QString::fromLocal8Bit(argv[1]));
  if (!model) {
    std::fprintf(stderr, "%s\n", qPrintable(model.error()));
    return 1;
  }
  const double open_s = clock.nsecsElapsed() / 1e9;
  const auto picture = quorlan::read_image_bgr(QString::fromLocal8Bit(argv[2]));
  if (!picture) return 1;
  quorlan::SegmentPrompt prompt;
  prompt.points.push_back({{std::atof(argv[3]), std::atof(argv[4])}, true});
  const int rounds = std::max(1, std::atoi(argv[5]));
  std::vector<double> encodes, firsts, prompts;
  std::shared_ptr<const quorlan::SamEmbedding> embedding;
  for (int r = 0; r < rounds; ++r) {
    clock.restart();
    auto encoded = (*model)->encode(*picture);
    if (!encoded) return 1;
    encodes.push_back(clock.nsecsElapsed() / 1e9);
    embedding = *encoded;
    if (!(*model)->segment(*embedding, prompt)) return 1;
    firsts.push_back(clock.nsecsElapsed() / 1e9);
  }
  std::vector<double> decodes;
  for (int i = 0; i < 20; ++i) {
    clock.restart();
    if (!(*model)->segment(*embedding, prompt)) return 1;
    prompts.push_back(clock.nsecsElapsed() / 1e6);
    clock.restart();
    if (!(*model)->decode(*embedding, prompt)) return 1;
    decodes.push_back(clock.nsecsElapsed() / 1e6);
  }
  std::printf(
      "{\"open_s\": %.3f, \"encode_s\": %.3f, \"prompt_ms\": %.1f, \"decoder_ms\": %.1f, \"first_prompt_s\": "
      "%.3f}\n",
      open_s, median(encodes), median(prompts), median(decodes), median(firsts));
  return 0;
}
