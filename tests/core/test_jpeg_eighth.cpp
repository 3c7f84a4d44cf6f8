#include <QtTest>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <random>
#include <vector>

#include <jpeglib.h>

#include "core/jpeg_eighth.h"

using namespace quorlan;

namespace {

// A photo-like picture (smooth colour fields) or fine noise, which gives long Huffman codes and
// full blocks.
cv::Mat picture(int width, int height, bool noise, int seed) {
  cv::RNG rng(seed);
  cv::Mat out;
  if (noise) {
    out.create(height, width, CV_8UC3);
    rng.fill(out, cv::RNG::UNIFORM, 0, 256);
  } else {
    cv::Mat small(3, 4, CV_8UC3);
    rng.fill(small, cv::RNG::UNIFORM, 0, 256);
    cv::resize(small, out, cv::Size(width, height), 0, 0, cv::INTER_CUBIC);
  }
  return out;
}

struct Coding {
  int quality = 90;
  int luma_h = 2, luma_v = 2;  // sampling of the luma against the chroma
  int restart = 0;             // units between restart markers
  bool optimize = false, progressive = false, arithmetic = false, rgb = false;
};

// Written with libjpeg itself, for the codings the higher-level writers do not offer.
std::vector<uchar> encode(const cv::Mat& image, const Coding& coding) {
  jpeg_compress_struct c{};
  jpeg_error_mgr errors{};
  c.err = jpeg_std_error(&errors);
  jpeg_create_compress(&c);
  unsigned char* out = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&c, &out, &size);
  c.image_width = static_cast<JDIMENSION>(image.cols);
  c.image_height = static_cast<JDIMENSION>(image.rows);
  c.input_components = image.channels();
  c.in_color_space = image.channels() == 1 ? JCS_GRAYSCALE : image.channels() == 4 ? JCS_CMYK : JCS_EXT_BGR;
  jpeg_set_defaults(&c);
  jpeg_set_quality(&c, coding.quality, TRUE);
  if (coding.rgb) jpeg_set_colorspace(&c, JCS_RGB);
  if (image.channels() == 3 && !coding.rgb) {
    c.comp_info[0].h_samp_factor = coding.luma_h;
    c.comp_info[0].v_samp_factor = coding.luma_v;
  }
  c.restart_interval = static_cast<unsigned int>(coding.restart);
  c.optimize_coding = coding.optimize;
  c.arith_code = coding.arithmetic;
  if (coding.progressive) jpeg_simple_progression(&c);
  jpeg_start_compress(&c, TRUE);
  while (c.next_scanline < c.image_height) {
    JSAMPROW row = const_cast<JSAMPROW>(image.ptr<uchar>(static_cast<int>(c.next_scanline)));
    jpeg_write_scanlines(&c, &row, 1);
  }
  jpeg_finish_compress(&c);
  jpeg_destroy_compress(&c);
  std::vector<uchar> bytes(out, out + size);
  std::free(out);
  return bytes;
}

cv::Mat libjpeg_eighth(const std::vector<uchar>& bytes) { return cv::imdecode(bytes, cv::IMREAD_REDUCED_GRAYSCALE_8); }

cv::Mat ours(const std::vector<uchar>& bytes) { return jpeg_eighth_grey(bytes.data(), bytes.size()); }

bool same(const cv::Mat& a, const cv::Mat& b) {
  return !a.empty() && a.size() == b.size() && a.type() == b.type() && cv::norm(a, b, cv::NORM_INF) == 0;
}

// The bytes with an APP1 Exif segment holding `orientation` right after the start marker.
// The tag has `type` (1 BYTE, 3 SHORT, 4 LONG), its value where that type puts it.
std::vector<uchar> with_orientation(const std::vector<uchar>& jpeg, int orientation, bool big_endian, int type = 3) {
  const uchar o = static_cast<uchar>(orientation), t = static_cast<uchar>(type);
  std::array<uchar, 4> value{o, 0, 0, 0};  // little-endian, and a BYTE in either order
  if (big_endian && type == 3) value = {0, o, 0, 0};
  if (big_endian && type == 4) value = {0, 0, 0, o};
  std::vector<uchar> tiff = big_endian
                                ? std::vector<uchar>{'M', 'M', 0, 42, 0, 0, 0, 8, 0, 1, 0x01, 0x12, 0, t, 0, 0, 0, 1}
                                : std::vector<uchar>{'I', 'I', 42, 0, 8, 0, 0, 0, 1, 0, 0x12, 0x01, t, 0, 1, 0, 0, 0};
  tiff.insert(tiff.end(), value.begin(), value.end());
  tiff.insert(tiff.end(), {0, 0, 0, 0, 0, 0, 0, 0});
  std::vector<uchar> segment{0xFF, 0xE1, 0, 0, 'E', 'x', 'i', 'f', 0, 0};
  segment.insert(segment.end(), tiff.begin(), tiff.end());
  const std::size_t length = segment.size() - 2;
  segment[2] = static_cast<uchar>(length >> 8);
  segment[3] = static_cast<uchar>(length & 0xFF);
  std::vector<uchar> out(jpeg.begin(), jpeg.begin() + 2);
  out.insert(out.end(), segment.begin(), segment.end());
  out.insert(out.end(), jpeg.begin() + 2, jpeg.end());
  return out;
}

}  // namespace

class TestJpegEighth : public QObject {
  Q_OBJECT
 private slots:
  // Every kind of baseline JPEG gives libjpeg's own 1/8-scale grey decode, pixel for pixel.
  void matches_libjpeg_data() {
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("height");
    QTest::addColumn<bool>("noise");
    QTest::addColumn<bool>("grey");
    QTest::addColumn<int>("luma_h");
    QTest::addColumn<int>("luma_v");
    QTest::addColumn<int>("quality");
    QTest::addColumn<int>("restart");
    QTest::addColumn<bool>("optimize");
    QTest::newRow("photo 4:2:0") << 640 << 480 << false << false << 2 << 2 << 88 << 0 << false;
    QTest::newRow("photo 4:4:4, odd size") << 333 << 257 << false << false << 1 << 1 << 95 << 0 << false;
    QTest::newRow("noise 4:2:2, quality 100") << 250 << 130 << true << false << 2 << 1 << 100 << 0 << false;
    QTest::newRow("noise 4:1:1, quality 5") << 203 << 99 << true << false << 4 << 1 << 5 << 0 << false;
    QTest::newRow("noise 4:4:0") << 121 << 133 << true << false << 1 << 2 << 60 << 0 << false;
    QTest::newRow("restart every unit") << 170 << 90 << true << false << 2 << 2 << 75 << 1 << false;
    QTest::newRow("restart every 3 units, optimised tables")
        << 301 << 211 << false << false << 2 << 2 << 60 << 3 << true;
    QTest::newRow("grey noise, restarts") << 129 << 77 << true << true << 1 << 1 << 90 << 5 << false;
    QTest::newRow("grey photo, optimised tables") << 400 << 300 << false << true << 1 << 1 << 70 << 0 << true;
    QTest::newRow("one pixel") << 1 << 1 << false << false << 2 << 2 << 90 << 0 << false;
    QTest::newRow("thinner than a unit") << 7 << 45 << true << false << 2 << 2 << 90 << 2 << false;
  }
  void matches_libjpeg() {
    QFETCH(int, width);
    QFETCH(int, height);
    QFETCH(bool, noise);
    QFETCH(bool, grey);
    QFETCH(int, luma_h);
    QFETCH(int, luma_v);
    QFETCH(int, quality);
    QFETCH(int, restart);
    QFETCH(bool, optimize);
    cv::Mat image = picture(width, height, noise, width * 31 + height);
    if (grey) cv::cvtColor(image, image, cv::COLOR_BGR2GRAY);
    Coding coding;
    coding.quality = quality;
    coding.luma_h = luma_h;
    coding.luma_v = luma_v;
    coding.restart = restart;
    coding.optimize = optimize;
    const std::vector<uchar> bytes = encode(image, coding);
    const cv::Mat expected = libjpeg_eighth(bytes);
    QCOMPARE(expected.size(), cv::Size((width + 7) / 8, (height + 7) / 8));
    QVERIFY(same(ours(bytes), expected));
  }

  // A phone photo's orientation tag turns the picture as the full decoder does, in either byte order.
  void turns_by_the_orientation_tag() {
    const std::vector<uchar> plain = encode(picture(160, 96, false, 7), Coding{});
    for (const bool big_endian : {false, true}) {
      for (int orientation = 1; orientation <= 8; ++orientation) {
        const std::vector<uchar> tagged = with_orientation(plain, orientation, big_endian);
        const cv::Mat expected = libjpeg_eighth(tagged);
        QCOMPARE(expected.size(), orientation >= 5 ? cv::Size(12, 20) : cv::Size(20, 12));
        QVERIFY2(same(ours(tagged), expected), qPrintable(QString("orientation %1").arg(orientation)));
      }
    }
  }

  // Whatever the tag's type, the picture is turned (or not) exactly as the full decoder turns it.
  void follows_the_decoder_for_every_tag_type() {
    const std::vector<uchar> plain = encode(picture(160, 96, false, 7), Coding{});
    for (const bool big_endian : {false, true})
      for (const int type : {1, 3, 4, 7, 9})
        for (const int orientation : {3, 6}) {
          const std::vector<uchar> tagged = with_orientation(plain, orientation, big_endian, type);
          QVERIFY2(same(ours(tagged), libjpeg_eighth(tagged)), qPrintable(QString("type %1, %2 endian, orientation %3")
                                                                              .arg(type)
                                                                              .arg(big_endian ? "big" : "little")
                                                                              .arg(orientation)));
        }
  }

  // Segments libjpeg refuses make this reader decline too; those it skips, it skips.
  void declines_exactly_what_libjpeg_declines() {
    const std::vector<uchar> plain = encode(picture(64, 48, false, 5), Coding{});
    const auto after_start = [&](const std::vector<uchar>& segment) {
      std::vector<uchar> out;
      out.reserve(plain.size() + segment.size());
      out.push_back(0xFF);
      out.push_back(0xD8);
      for (const uchar c : segment) out.push_back(c);
      for (std::size_t i = 2; i < plain.size(); ++i) out.push_back(plain[i]);
      return out;
    };
    const std::vector<std::pair<const char*, std::vector<uchar>>> variants = {
        // An unused DC table whose one symbol is over 15.
        {"unused DC table, symbol 16", {0xFF, 0xC4, 0, 20, 0x03, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 16}},
        {"JPG0 marker", {0xFF, 0xF0, 0, 4, 0, 0}},
        {"reserved marker 0x02", {0xFF, 0x02, 0, 4, 0, 0}},
        {"comment", {0xFF, 0xFE, 0, 5, 'a', 'b', 'c'}},
        {"APP5", {0xFF, 0xE5, 0, 4, 1, 2}},
    };
    for (const auto& [name, segment] : variants) {
      const std::vector<uchar> bytes = after_start(segment);
      const cv::Mat theirs = libjpeg_eighth(bytes);
      const cv::Mat mine = ours(bytes);
      QVERIFY2(mine.empty() == theirs.empty(), name);
      if (!theirs.empty()) QVERIFY2(same(mine, theirs), name);
    }
  }

  // What it does not read it leaves to the full decoder, saying so with an empty result.
  void declines_what_it_does_not_read() {
    const cv::Mat image = picture(120, 80, false, 3);
    const std::vector<uchar> baseline = encode(image, Coding{});
    Coding progressive, arithmetic, rgb;
    progressive.progressive = true;
    arithmetic.arithmetic = true;
    rgb.rgb = true;
    QVERIFY(ours(encode(image, progressive)).empty());
    QVERIFY(ours(encode(image, arithmetic)).empty());
    QVERIFY(ours(encode(image, rgb)).empty());  // stored as RGB: its grey is a mix, not a channel
    cv::Mat cmyk;
    cv::cvtColor(image, cmyk, cv::COLOR_BGR2BGRA);
    QVERIFY(ours(encode(cmyk, Coding{})).empty());
    std::vector<uchar> png;
    cv::imencode(".png", image, png);
    QVERIFY(ours(png).empty());
    QVERIFY(jpeg_eighth_grey(baseline.data(), 0).empty());
    // Cut anywhere in the coded data: never a picture made up of missing bits.
    for (const double share : {0.3, 0.6, 0.95}) {
      const std::vector<uchar> cut(baseline.begin(), baseline.begin() + static_cast<long>(baseline.size() * share));
      QVERIFY(ours(cut).empty());
    }
  }

  // Damaged files (any byte changed) are read safely: either declined or a picture of the right size.
  void damaged_files_are_read_safely() {
    Coding coding;
    coding.restart = 2;
    const std::vector<uchar> original = encode(picture(90, 70, true, 5), coding);
    std::size_t coded = 0;  // where the coded data starts: damage after it leaves the header whole
    for (std::size_t i = 0; i + 1 < original.size() && !coded; ++i)
      if (original[i] == 0xFF && original[i + 1] == 0xDA) coded = i;
    std::mt19937 random(11);
    int declined = 0;
    for (int trial = 0; trial < 400; ++trial) {
      std::vector<uchar> damaged = original;
      bool header_whole = true;
      for (int k = 0; k < 1 + trial % 4; ++k) {
        const std::size_t at = trial % 2 ? coded + random() % (damaged.size() - coded) : random() % damaged.size();
        damaged[at] = static_cast<uchar>(trial % 3 == 0 ? 0xFF : random() & 0xFF);
        header_whole = header_whole && at > coded + 20;
      }
      const cv::Mat result = ours(damaged);
      if (result.empty()) {
        ++declined;
        continue;
      }
      QCOMPARE(result.type(), CV_8UC1);
      if (header_whole) QCOMPARE(result.size(), cv::Size(12, 9));
    }
    QVERIFY(declined > 0);
  }
};

QTEST_GUILESS_MAIN(TestJpegEighth)
#include "test_jpeg_eighth.moc"
